#pragma once

#include "Window.h"

namespace NCommon {

// A modal dialog made from a dialog template in the program's resources.
//
// DoModal creates the dialog, shows it and runs a message loop of its own
// until EndDialog is called; every message of the thread passes
// PreTranslateMessage before the dialog manager (IsDialogMessage) sees it, so
// Tab, Enter and Esc keep their usual meaning. The owner, if one was given,
// is disabled for the run and enabled again before the dialog goes away.
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

    // IDOK and IDCANCEL commands (Enter, Esc, a close request).
    virtual void OnOK();
    virtual void OnCancel();

    DECLARE_MESSAGE_TABLE()

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_templateId;
    HWND m_owner;
    bool m_endRequested = false;
    INT_PTR m_result = -1;
};

}  // namespace NCommon
