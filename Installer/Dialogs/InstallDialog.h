#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "AnimatedBitmapButton.h"
#include "Controls.h"
#include "DriveWatch.h"
#include "FailureMessage.h"
#include "IInstallListener.h"
#include "QuillonDialog.h"

// Reports of the install worker, posted to the dialog's own thread.
const UINT WM_INSTALL_STATUS = WM_USER + 1;    // wParam status code, lParam 1
const UINT WM_INSTALL_PROGRESS = WM_USER + 2;  // lParam phase fraction x 1000
const UINT WM_INSTALL_RETURNED = WM_USER + 3;  // the worker is about to end
const UINT WM_DRIVE_PRESENCE = WM_USER + 4;    // wParam 1: the target drive is there

// --- decisions of the dialog, kept free of windows ---

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
    void OnFailure(const InstallFailure& failure) override;
    bool DriveRemoved() override;

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
    // Run Quillon once the install is complete; Try again after a failure.
    int ArmedMainAction() const override;
    std::vector<std::pair<int, std::wstring>> AccessibleNames() const override;

private:
    // "Install to:" and the drive, fitted to the button in the font it is drawn in.
    void ShowDriveOnActionButton();
    void FocusControl(HWND control);
    // A new worker for a run; false when no thread could be had.
    bool StartWorker();
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
    void RepaintAdvice();
    // What each report shows.
    void ShowDownloading();
    void ShowInstalling();
    void ShowSucceeded();
    void ShowFailed();
    // One line on the green image, enabled and shown.
    void ArmActionButton(const wchar_t* caption);
    // After a failure, once the worker has returned.
    void ShowTryAgain();
    void ShowAdvice(const std::wstring& advice);
    // The same run again, in this window for the same drive; after a pulled
    // stick, once the stick is back.
    void TryAgain();
    void ShowStarting();
    // What the drive watch and the device-change messages tell.
    void DriveGone();
    void DriveBack();

    void OnActionButton();
    LRESULT OnClose(WPARAM wParam, LPARAM lParam);
    LRESULT OnDestroy(WPARAM wParam, LPARAM lParam);
    LRESULT OnInstallStatus(WPARAM wParam, LPARAM lParam);
    LRESULT OnInstallProgress(WPARAM wParam, LPARAM lParam);
    LRESULT OnWorkerReturned(WPARAM wParam, LPARAM lParam);
    LRESULT OnTimer(WPARAM wParam, LPARAM lParam);
    LRESULT OnDeviceChange(WPARAM wParam, LPARAM lParam);
    LRESULT OnDrivePresence(WPARAM wParam, LPARAM lParam);

    int m_lastStatus = 0;
    bool m_appUpdateMode = false;
    std::wstring m_exePathToUpdate;
    wchar_t m_driveLetter;
    std::wstring m_driveLabel;
    std::wstring m_workFolder;
    std::atomic<int> m_errorReason{0};
    // Declared before the buttons that draw with them, so they outlive them.
    NCommon::ScopedFont m_statusFont;
    NCommon::ScopedFont m_buttonFont;
    NCommon::ScopedFont m_completeFont;
    NCommon::ScopedFont m_adviceFont;
    NCommon::AnimatedBitmapButton m_actionButton;
    NCommon::CProgressCtrl m_progress;
    // Where the worker posts its reports: set before the worker starts and
    // never changed while it runs.
    HWND m_reportWindow = nullptr;
    std::thread m_worker;
    std::atomic<bool> m_cancel{false};
    bool m_finished = false;
    // The run failed; Try again is offered once its worker has returned.
    bool m_failed = false;
    // What the worker's OnFailure handed over, read once StatusFailed is in.
    std::mutex m_failureLock;
    InstallFailure m_failure;
    // The target stick went while the run went on: the run is told so.
    std::atomic<bool> m_driveRemoved{false};
    DriveWatch m_driveWatch;
    bool m_drivePresent = true;
    // Try again was pressed while the stick was away: it starts when it is back.
    bool m_waitingForDrive = false;
    // A way out was taken while the worker ran: the dialog ends with
    // m_endResult when the worker returns.
    bool m_ending = false;
    int m_endResult = IDOK;
    std::function<void(int)> m_whenWindowGone;

    DECLARE_MESSAGE_TABLE()
};
