#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "AnimatedBitmapButton.h"
#include "Controls.h"
#include "IInstallListener.h"
#include "QuillonDialog.h"
#include "UpdateHandOver.h"

// Reports of the install worker, posted to the dialog's own thread.
const UINT WM_INSTALL_STATUS = WM_USER + 1;    // wParam status code, lParam 1
const UINT WM_INSTALL_PROGRESS = WM_USER + 2;  // lParam phase fraction x 1000
const UINT WM_INSTALL_RETURNED = WM_USER + 3;  // the worker is about to end
// The run waits for the installed program to quit (wParam 1) or has
// stopped waiting (0).
const UINT WM_HANDOVER_WAITING = WM_USER + 16;

// --- decisions of the dialog, kept free of windows ---


// The status text of a failed run. A letter 0 ends the text there.
std::wstring FailureText(bool appUpdateMode, int errorReason, wchar_t driveLetter);

// WM_INSTALL_PROGRESS's lParam for a fraction of the current phase.
LPARAM ProgressReport(float fraction);

// Where the bar stands for a report: the download fills 0..50, the
// extraction 50..100, any other state shows 0.
int ProgressPosition(int lastStatus, LPARAM report);

// The window the user watches while Quillon is installed or updated. Its
// worker thread runs the install and reports back through this listener.
class InstallDialog : public QuillonDialog, public IInstallListener {
public:
    InstallDialog(wchar_t driveLetter, const std::wstring& workFolder);
    ~InstallDialog() override;

    // Before the modal run, in update mode only: the drive is drivePath's
    // first unit and exePath is started with "/NotifyUpdate" at the end.
    void SetAppUpdateMode(const std::wstring& drivePath, const std::wstring& exePath);

    // Called once if a way out hides the window while the worker still runs,
    // with the result the dialog will end with.
    void SetWhenWindowGone(std::function<void(int result)> whenGone);

    // IInstallListener, called on the worker thread; they only post or store.
    void OnStatus(int status) override;
    void OnProgress(float fraction) override;
    int GetErrorReason() override;
    void SetErrorReason(int reason) override;
    // Makes way for the commit: the copies of Quillon on the stick quit.
    bool OnReadyToCommit() override;

    // The run committed: the install or update completed.
    bool Completed() const { return m_completed; }

protected:
    void DoDataExchange() override;
    void SetUpControls() override;
    void CreateFonts() override;
    BOOL FinishInit() override;
    // "Install Complete" in green, the other texts in the dialogs' colour.
    COLORREF StaticTextColour(HWND control) const override;
    void OnOK() override;
    // Esc: stops the worker like OnOK, but ends with IDCANCEL.
    void OnCancel() override;
    // Run Quillon, once the install is complete.
    int ArmedMainAction() const override;
    std::vector<std::pair<int, std::wstring>> AccessibleNames() const override;

private:
    // "Install to:" and the drive, fitted to the button in the font it is drawn in.
    void ShowDriveOnActionButton();
    void FocusControl(HWND control);
    void RunInstall();
    // Sets the cancel flag and waits for the worker, if there is one.
    void StopWorker();
    // Ends the dialog with `result` once the worker has returned, which a
    // cancel makes it do soon; the window keeps answering meanwhile, and
    // with `announce` it says that it is stopping.
    void EndWhenWorkerReturns(int result, bool announce);
    void LaunchProduct(bool notifyUpdate);
    // Both tell screen readers of the change.
    void SetStatusText(const std::wstring& text);
    void SetProgress(int position);
    void RepaintStatusText();
    // What each report shows.
    void ShowDownloading();
    void ShowInstalling();
    void ShowSucceeded();
    void ShowFailed();

    void OnActionButton();
    LRESULT OnClose(WPARAM wParam, LPARAM lParam);
    LRESULT OnDestroy(WPARAM wParam, LPARAM lParam);
    LRESULT OnInstallStatus(WPARAM wParam, LPARAM lParam);
    LRESULT OnInstallProgress(WPARAM wParam, LPARAM lParam);
    LRESULT OnWorkerReturned(WPARAM wParam, LPARAM lParam);
    LRESULT OnTimer(WPARAM wParam, LPARAM lParam);
    LRESULT OnHandOverWaiting(WPARAM wParam, LPARAM lParam);

    int m_lastStatus = 0;
    bool m_appUpdateMode = false;
    std::wstring m_exePathToUpdate;
    wchar_t m_driveLetter;
    std::wstring m_driveLabel;
    std::wstring m_workFolder;
    std::atomic<int> m_errorReason{0};
    std::atomic<bool> m_completed{false};
    UpdateHandOver m_handOver;
    // Declared before the buttons that draw with them, so they outlive them.
    NCommon::ScopedFont m_statusFont;
    NCommon::ScopedFont m_buttonFont;
    NCommon::ScopedFont m_completeFont;
    NCommon::AnimatedBitmapButton m_actionButton;
    NCommon::CProgressCtrl m_progress;
    // Where the worker posts its reports: set before the worker starts and
    // never changed while it runs.
    HWND m_reportWindow = nullptr;
    std::thread m_worker;
    std::atomic<bool> m_cancel{false};
    bool m_finished = false;
    // A way out was taken while the worker ran: the dialog ends with
    // m_endResult when the worker returns.
    bool m_ending = false;
    int m_endResult = IDOK;
    std::function<void(int)> m_whenWindowGone;

    DECLARE_MESSAGE_TABLE()
};
