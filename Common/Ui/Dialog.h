#pragma once

#include "Window.h"

namespace NCommon {

// What Enter does in a dialog.
enum class EnterAction {
    LeaveToControl,      // the focused control takes it (an open drop-down list)
    PressFocusedButton,  // as a click on the focused button
    MainAction,          // as a click on the dialog's main action button
    Nothing,
};

// Enter, as users of Windows dialogs expect it: on a button it does what
// Space does, a click; elsewhere it runs the main action only while that
// action is armed.
EnterAction DecideEnter(bool focusTakesEnter, bool focusIsButton, bool mainActionArmed);

// Top-left corner that centres a window of `size` over `over`, moved only as
// far as it takes to keep the whole window inside `workArea` (its top-left
// corner first, where the window is larger than the area).
POINT CentredPosition(SIZE size, const RECT& over, const RECT& workArea);

// A modal dialog made from a dialog template in the program's resources.
//
// DoModal creates the dialog, shows it and runs a message loop of its own
// until EndDialog is called; every message of the thread passes
// PreTranslateMessage, then the dialog's own Enter and Esc handling, before
// the dialog manager (IsDialogMessage) sees it and moves the focus with Tab.
// The owner, if one was given, is disabled for the run and enabled again
// before the dialog goes away.
//
// A dialog whose initialisation did not move it opens centred over its
// owner, or else over the window of the modal dialog that ran before it in
// this process, or else on the work area. Focus cues show once the keyboard is used
// in a dialog, and from the start in a dialog that follows keyboard use.
class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr);
    ~CDialog() override;

    // The value EndDialog was given; -1 if the dialog could not be created.
    virtual INT_PTR DoModal();
    // Ends the modal run with this result once the current message is done.
    void EndDialog(int result);

    // Called once the template's controls exist: binds the controls
    // (DoDataExchange). Return TRUE to let the dialog manager set the focus.
    virtual BOOL OnInitDialog();
    // Sees every message of the thread during the run; TRUE swallows it.
    virtual BOOL PreTranslateMessage(MSG* message);

    UINT GetTemplateId() const { return m_templateId; }

protected:
    // The control binding step: DDX_Control for each member control.
    virtual void DoDataExchange();
    // Attaches a member object to the template's control with this id, so
    // that it handles that control's messages. False if there is no such
    // control or it is attached already.
    bool DDX_Control(int id, CWnd& control);

    // IDOK and IDCANCEL commands (Esc, a close request).
    virtual void OnOK();
    virtual void OnCancel();

    // The button Enter presses where the focus is on no button, while that
    // action can be taken; 0 for none (the default).
    virtual int ArmedMainAction() const;

    // The dialog's keyboard-cue state, which owner-drawn controls ask for.
    LRESULT OnQueryUiState(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_TABLE()

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // Until EndDialog: every message of the thread, ours first.
    void RunMessageLoop(HWND dialog);
    // Remembers where the dialog stood and gives the activation back.
    void DestroyAfterRun(HWND dialog, HWND owner);
    // Enter and Esc for this dialog; true when the key was taken.
    bool HandleDialogKey(const MSG& message);
    // Notes whether the mouse or the keyboard was used last; true for a key
    // meant for this dialog.
    bool NoteInputKind(const MSG& message) const;
    void ShowCuesForNavigation(HWND focus);
    bool HandleEscape(HWND focus);
    bool HandleEnter(HWND focus);
    void PlaceAfterInit(POINT before);
    void HideFocusCues(bool hide);

    UINT m_templateId;
    HWND m_owner;
    bool m_endRequested = false;
    // Kept here as well as told to the platform: Wine answers WM_QUERYUISTATE
    // with 0 whatever it was told.
    bool m_hideFocusCues = false;
    INT_PTR m_result = -1;
};

}  // namespace NCommon
