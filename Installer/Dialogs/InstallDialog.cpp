#include "InstallDialog.h"

#include <commctrl.h>

#include <cwchar>
#include <system_error>
#include <utility>

#include "DriveNames.h"
#include "DpiScale.h"
#include "Accessibility.h"
#include "InstallBackend.h"
#include "ProductConstants.h"
#include "ProductHandOver.h"
#include "TextConversion.h"
#include "UsbDrives.h"
#include "WindowDC.h"
#include "easylogging++.h"
#include "resource.h"


namespace {

const int kCornerDiameter = 23;

const COLORREF kCompleteColour = RGB(63, 162, 36);

const wchar_t kStartingText[] = L"Please wait\u2026";
const wchar_t kDownloadingText[] = L"Please wait, downloading Quillon...";
const wchar_t kInstallingText[] = L"Please wait, installing Quillon...";
const wchar_t kUpdatingText[] = L"Please wait, updating Quillon...";
const wchar_t kCancellingText[] = L"Please wait, cancelling...";
const wchar_t kWaitingForProgramText[] = L"Waiting for Quillon to close\u2026";

// A worker that a cancel cannot stop at once (a drive or WMI that does not
// answer) keeps the process, not the window: the window goes from the
// screen after this long and the dialog ends when the worker returns.
const UINT_PTR kHideTimer = 1;
// One second leaves the promised two for a busy machine to carry it out.
const UINT kHideAfterMs = 1000;

// The advice under a failure's headline: smaller than the headline, left of
// the action button, from just under the headline's last line down.
const DialogFontLook kAdviceFont{L"Microsoft Sans Serif", 12, std::nullopt};
const int kAdviceGap = 6;

}  // namespace

LPARAM ProgressReport(float fraction)
{
    return static_cast<LPARAM>(static_cast<int>(fraction * 1000.0f));
}

int ProgressPosition(int lastStatus, LPARAM report)
{
    const float part = static_cast<float>(report) / 1000.0f * 50.0f;
    if (lastStatus == IInstallListener::StatusDownloading) {
        return static_cast<int>(part);
    }
    if (lastStatus == IInstallListener::StatusInstalling) {
        return static_cast<int>(part + 50.0f);
    }
    return 0;
}

BEGIN_MESSAGE_TABLE(InstallDialog, QuillonDialog)
    ON_MESSAGE(WM_CLOSE, &InstallDialog::OnClose)
    ON_MESSAGE(WM_DESTROY, &InstallDialog::OnDestroy)
    // Closing waits for the worker and ends with IDOK, as the OK command does.
    ON_COMMAND(IDC_CLOSE_BUTTON, BN_CLICKED, &InstallDialog::OnOK)
    ON_COMMAND(IDC_ACTION, BN_CLICKED, &InstallDialog::OnActionButton)
    ON_MESSAGE(WM_INSTALL_STATUS, &InstallDialog::OnInstallStatus)
    ON_MESSAGE(WM_INSTALL_PROGRESS, &InstallDialog::OnInstallProgress)
    ON_MESSAGE(WM_INSTALL_RETURNED, &InstallDialog::OnWorkerReturned)
    ON_MESSAGE(WM_TIMER, &InstallDialog::OnTimer)
    ON_MESSAGE(WM_HANDOVER_WAITING, &InstallDialog::OnHandOverWaiting)
    ON_MESSAGE(WM_DEVICECHANGE, &InstallDialog::OnDeviceChange)
    ON_MESSAGE(WM_DRIVE_PRESENCE, &InstallDialog::OnDrivePresence)
END_MESSAGE_TABLE()

InstallDialog::InstallDialog(wchar_t driveLetter, const std::wstring& workFolder)
    : QuillonDialog(IDB_SKIN, IDD_INSTALL_DIALOG, kCornerDiameter), m_driveLetter(driveLetter), m_workFolder(workFolder),
      m_handOver(driveLetter)
{
}

InstallDialog::~InstallDialog()
{
    // The window's end has joined the worker already; this covers a dialog
    // whose window never got that far.
    StopWorker();
}

void InstallDialog::SetAppUpdateMode(const std::wstring& drivePath, const std::wstring& exePath)
{
    m_appUpdateMode = true;
    m_driveLetter = drivePath.empty() ? L'\0' : drivePath[0];
    LOG(ERROR) << "SetAppUpdateMode m_driveLetter: " << static_cast<int>(m_driveLetter);
    m_exePathToUpdate = exePath;
    m_handOver.SetUpdate(m_driveLetter, exePath);
    LOG(ERROR) << "SetAppUpdateMode m_exePathToUpdate: " << ToUtf8(exePath);
}

void InstallDialog::SetWhenWindowGone(std::function<void(int result)> whenGone)
{
    m_whenWindowGone = std::move(whenGone);
}

void InstallDialog::DoDataExchange()
{
    QuillonDialog::DoDataExchange();
    DDX_Control(IDC_ACTION, m_actionButton);
    DDX_Control(IDC_PROGRESS, m_progress);
}

void InstallDialog::SetUpControls()
{
    m_actionButton.m_captionOffsetX = 28;
    m_actionButton.m_captionOffsetY = 2;
    m_actionButton.m_multiLineCaption = true;
    m_driveLabel = GetDriveLabel(m_driveLetter);
    m_actionButton.m_caption = InstallToCaption(NCommon::CaptionLiteral(m_driveLabel), m_driveLetter);
    m_actionButton.LoadBitmaps(IDB_ACTION_GREY);
    m_actionButton.SizeToContent();
    // Screen readers read the caption from the window's text.
    m_actionButton.SetWindowText(m_actionButton.m_caption);
    // Greyed out, and passed by Tab, until there is a Quillon to run or a
    // run to try again; then it is the first stop of Tab.
    m_actionButton.EnableWindow(FALSE);
    m_actionButton.SetWindowPos(HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

    m_progress.SetRange(0, 100);
    ::ShowWindow(GetDlgItem(IDC_INSTALL_COMPLETE), SW_HIDE);
    ::ShowWindow(GetDlgItem(IDC_FAILURE_ADVICE), SW_HIDE);
    // Until the first report: the picker's heading of the template says nothing here.
    ::SetWindowTextW(GetDlgItem(kTextId), kStartingText);
}

void InstallDialog::CreateFonts()
{
    m_statusFont = DeriveFont(kTextFont);
    SetControlFont(kTextId, m_statusFont.get());
    m_buttonFont = DeriveFont(kActionCaptionFont);
    m_actionButton.m_captionFont = m_buttonFont.get();
    m_completeFont = DeriveFont({L"Arial", 16, FW_BOLD});
    SetControlFont(IDC_INSTALL_COMPLETE, m_completeFont.get());
    m_adviceFont = DeriveFont(kAdviceFont);
    SetControlFont(IDC_FAILURE_ADVICE, m_adviceFont.get());
}

void InstallDialog::ShowDriveOnActionButton()
{
    if (m_driveLetter == L'\0') {
        return;  // the caption ends where the letter would be; nothing to fit
    }
    m_actionButton.m_caption = FittedInstallCaption(m_actionButton, m_driveLabel, m_driveLetter);
}

BOOL InstallDialog::FinishInit()
{
    // Fitted once its font is there; not in CreateFonts, which runs again
    // after a change of resolution, when the caption may be another.
    ShowDriveOnActionButton();
    m_reportWindow = m_hWnd;
    if (m_driveLetter != L'\0') {
        m_driveWatch.Start(m_hWnd, WM_DRIVE_PRESENCE, m_driveLetter);
    }
    // The keyboard starts where Enter cannot stop the run: on the bar, which
    // a screen reader reads out (the action button cannot act yet, and the
    // close button would cancel).
    FocusControl(m_progress.m_hWnd);
    if (!StartWorker()) {
        ShowFailed();
        ShowTryAgain();
    }
    return FALSE;
}

bool InstallDialog::StartWorker()
{
    try {
        m_worker = std::thread(&InstallDialog::RunInstall, this);
        return true;
    } catch (const std::system_error& error) {
        // Nothing may escape into the window procedure.
        LOG(ERROR) << "Starting the install worker failed: " << error.what();
        return false;
    }
}

void InstallDialog::FocusControl(HWND control)
{
    ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

void InstallDialog::RunInstall()
{
    const std::wstring destination = std::wstring(1, m_driveLetter) + L":";
    InstallBackend::InstallOptions options;
    options.update = m_appUpdateMode;
    if (InstallBackend::Install(destination, m_workFolder, this, &m_cancel, options)) {
        m_completed = true;
    }
    m_handOver.RunReturned();
    ::PostMessageW(m_reportWindow, WM_INSTALL_RETURNED, 0, 0);
}

void InstallDialog::StopWorker()
{
    m_cancel = true;
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

void InstallDialog::OnStatus(int status)
{
    ::PostMessageW(m_reportWindow, WM_INSTALL_STATUS, static_cast<WPARAM>(status), 1);
}

void InstallDialog::OnProgress(float fraction)
{
    ::PostMessageW(m_reportWindow, WM_INSTALL_PROGRESS, 0, ProgressReport(fraction));
}

int InstallDialog::GetErrorReason()
{
    return m_errorReason;
}

void InstallDialog::SetErrorReason(int reason)
{
    m_errorReason = reason;
}

bool InstallDialog::OnReadyToCommit()
{
    const bool clear = m_handOver.MakeWay(m_cancel, [this] {
        ::PostMessageW(m_reportWindow, WM_HANDOVER_WAITING, 1, 0);
    });
    ::PostMessageW(m_reportWindow, WM_HANDOVER_WAITING, 0, 0);
    return clear;
}

LRESULT InstallDialog::OnHandOverWaiting(WPARAM wParam, LPARAM)
{
    if (m_ending || m_errorReason != ReasonNone) {
        return 0;
    }
    const wchar_t* working = m_lastStatus == StatusDownloading ? kDownloadingText
                             : m_appUpdateMode                 ? kUpdatingText
                                                               : kInstallingText;
    SetStatusText(wParam != 0 ? kWaitingForProgramText : working);
    // The text is drawn over the skin: the old one goes with the window's repaint.
    RedrawWindow();
    RepaintStatusText();
    return 0;
}

void InstallDialog::OnFailure(const InstallFailure& failure)
{
    const std::lock_guard<std::mutex> guard(m_failureLock);
    m_failure = failure;
}

bool InstallDialog::DriveRemoved()
{
    return m_driveRemoved;
}

void InstallDialog::OnOK()
{
    EndWhenWorkerReturns(IDOK, true);
}

void InstallDialog::OnCancel()
{
    EndWhenWorkerReturns(IDCANCEL, true);
}

int InstallDialog::ArmedMainAction() const
{
    if (m_ending) {
        return 0;
    }
    const bool runQuillon = m_finished && !m_appUpdateMode;
    const bool tryAgain = m_failed && !m_worker.joinable();
    return runQuillon || tryAgain ? IDC_ACTION : 0;
}

void InstallDialog::EndWhenWorkerReturns(int result, bool announce)
{
    if (!m_worker.joinable()) {
        EndDialog(result);
        return;
    }
    if (m_ending) {
        return;  // the first way out taken stands
    }
    m_ending = true;
    m_endResult = result;
    m_cancel = true;
    ::SetPropW(m_hWnd, kClosingWindowProperty, reinterpret_cast<HANDLE>(1));
    if (announce && !m_finished) {
        SetStatusText(kCancellingText);
        ::ShowWindow(GetDlgItem(kTextId), SW_SHOW);
        ::ShowWindow(GetDlgItem(IDC_INSTALL_COMPLETE), SW_HIDE);
        RedrawWindow();
        RepaintStatusText();
    }
    ::SetTimer(m_hWnd, kHideTimer, kHideAfterMs, nullptr);
}

LRESULT InstallDialog::OnWorkerReturned(WPARAM, LPARAM)
{
    if (m_worker.joinable()) {
        m_worker.join();
    }
    m_handOver.RunEnded(m_completed, false);
    if (m_ending) {
        ::KillTimer(m_hWnd, kHideTimer);
        EndDialog(m_endResult);
        return 0;
    }
    if (!m_finished) {
        // A run ends with a verdict; one that ended without is a failure too.
        if (!m_failed) {
            ShowFailed();
        }
        ShowTryAgain();
    }
    return 0;
}

LRESULT InstallDialog::OnTimer(WPARAM wParam, LPARAM)
{
    if (wParam == kHideTimer) {
        ::KillTimer(m_hWnd, kHideTimer);
        ShowWindow(SW_HIDE);
        m_handOver.RunEnded(m_completed, true);
        if (m_whenWindowGone) {
            m_whenWindowGone(m_endResult);
        }
    }
    return 0;
}

LRESULT InstallDialog::OnClose(WPARAM, LPARAM)
{
    OnOK();
    return 0;
}

LRESULT InstallDialog::OnDestroy(WPARAM, LPARAM)
{
    // Every way out passes here, also one that skipped OnOK and OnCancel:
    // the worker must not outlive the window it reports to.
    StopWorker();
    m_handOver.RunEnded(m_completed, true);
    m_driveWatch.Stop();
    ::RemovePropW(m_hWnd, kClosingWindowProperty);
    return Default();
}

void InstallDialog::LaunchProduct(bool notifyUpdate)
{
    ::LaunchProduct(notifyUpdate, m_exePathToUpdate, m_driveLetter);
}

void InstallDialog::OnActionButton()
{
    if (m_ending) {
        return;
    }
    if (m_failed) {
        TryAgain();
        return;
    }
    if (!m_finished) {
        return;
    }
    LaunchProduct(false);
    m_handOver.StartedByUser();
    EndWhenWorkerReturns(IDOK, false);
}

void InstallDialog::SetStatusText(const std::wstring& text)
{
    ::SetWindowTextW(GetDlgItem(kTextId), text.c_str());
    NCommon::AnnounceTextChange(GetDlgItem(kTextId));
}

void InstallDialog::SetProgress(int position)
{
    if (m_progress.SetPos(position) != position) {
        NCommon::AnnounceValueChange(m_progress.m_hWnd);
    }
}

std::vector<std::pair<int, std::wstring>> InstallDialog::AccessibleNames() const
{
    auto names = QuillonDialog::AccessibleNames();
    names.emplace_back(IDC_PROGRESS, m_appUpdateMode ? L"Update progress" : L"Installation progress");
    return names;
}

void InstallDialog::RepaintStatusText()
{
    ::RedrawWindow(GetDlgItem(kTextId), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

LRESULT InstallDialog::OnInstallStatus(WPARAM wParam, LPARAM)
{
    if (m_ending) {
        return 0;  // the window says it is stopping; the reports no longer count
    }
    m_lastStatus = static_cast<int>(wParam);
    switch (m_lastStatus) {
    case StatusDownloading:
        // After a failure with a reason, its text stays.
        if (m_errorReason == ReasonNone) {
            ShowDownloading();
        }
        break;
    case StatusInstalling:
        if (m_errorReason == ReasonNone) {
            ShowInstalling();
        }
        break;
    case StatusSucceeded:
        ShowSucceeded();
        break;
    case StatusFailed:
        ShowFailed();
        break;
    default:
        break;
    }
    return 0;
}

void InstallDialog::ShowDownloading()
{
    if (m_appUpdateMode) {
        m_actionButton.ShowWindow(SW_HIDE);
    }
    SetStatusText(kDownloadingText);
    SetProgress(0);
    RedrawWindow();
    RepaintStatusText();
}

void InstallDialog::ShowInstalling()
{
    SetStatusText(m_appUpdateMode ? kUpdatingText : kInstallingText);
    RedrawWindow();
    SetProgress(50);
    RepaintStatusText();
}

void InstallDialog::ShowSucceeded()
{
    SetProgress(100);
    m_finished = true;
    if (m_appUpdateMode) {
        m_handOver.RunEnded(true, false);
        EndWhenWorkerReturns(IDOK, false);
        return;
    }
    ArmActionButton(L"&Run Quillon");
    // Where the keyboard waited, Enter now runs Quillon: before the text
    // says so, so that no one acts on the text with the keyboard elsewhere.
    if (::GetFocus() == m_progress.m_hWnd) {
        FocusControl(m_actionButton.m_hWnd);
    }
    ::ShowWindow(GetDlgItem(kTextId), SW_HIDE);
    ::ShowWindow(GetDlgItem(IDC_INSTALL_COMPLETE), SW_SHOW);
    NCommon::AnnounceTextChange(GetDlgItem(IDC_INSTALL_COMPLETE));
}

void InstallDialog::ShowFailed()
{
    m_failed = true;
    InstallFailure failure;
    {
        const std::lock_guard<std::mutex> guard(m_failureLock);
        failure = m_failure;
    }
    if (failure.kind == FailureKind::None && m_driveRemoved) {
        // The run was stopped for the stick that went and said nothing of why.
        failure.kind = FailureKind::DriveMissing;
    }
    const FailureMessage message = DescribeFailure(m_appUpdateMode, m_errorReason, failure, m_driveLetter);
    m_progress.ShowWindow(SW_HIDE);
    SetStatusText(message.headline);
    ShowAdvice(message.advice);
    // Said at once, wherever the reader is.
    ::NotifyWinEvent(EVENT_SYSTEM_ALERT, GetDlgItem(kTextId), OBJID_CLIENT, CHILDID_SELF);
    RedrawWindow();
    RepaintStatusText();
    RepaintAdvice();
}

void InstallDialog::RepaintAdvice()
{
    ::RedrawWindow(GetDlgItem(IDC_FAILURE_ADVICE), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void InstallDialog::ShowAdvice(const std::wstring& advice)
{
    HWND status = GetDlgItem(kTextId);
    HWND shown = GetDlgItem(IDC_FAILURE_ADVICE);
    RECT statusBox = {};
    RECT actionBox = {};
    RECT client = {};
    ::GetWindowRect(status, &statusBox);
    ::GetWindowRect(m_actionButton.m_hWnd, &actionBox);
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&statusBox), 2);
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&actionBox), 2);
    GetClientRect(&client);
    // As high as the headline's lines take in its font.
    int headlineHeight = 0;
    {
        const WindowDC dc(status);
        if (dc.get() != nullptr) {
            const NCommon::ScopedSelection font(dc.get(), m_statusFont.get());
            RECT measured = {0, 0, statusBox.right - statusBox.left, 0};
            wchar_t headline[256] = {};
            ::GetWindowTextW(status, headline, 256);
            ::DrawTextW(dc.get(), headline, -1, &measured, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
            headlineHeight = measured.bottom;
        }
    }
    // The gaps are pixels at 96 dpi, as every size the dialogs give.
    const int gap = NCommon::ScaleToDpi(kAdviceGap, LayoutDpi());
    const int top = statusBox.top + headlineHeight + NCommon::ScaleToDpi(2, LayoutDpi());
    ::MoveWindow(shown, statusBox.left, top, actionBox.left - gap - statusBox.left, client.bottom - gap - top, FALSE);
    ::SetWindowTextW(shown, advice.c_str());
    ::ShowWindow(shown, advice.empty() ? SW_HIDE : SW_SHOW);
    NCommon::AnnounceTextChange(shown);
    RedrawWindow();
    RepaintAdvice();
}

void InstallDialog::ArmActionButton(const wchar_t* caption)
{
    m_actionButton.m_captionOffsetX = 24;
    m_actionButton.m_captionOffsetY = 0;
    m_actionButton.m_multiLineCaption = false;
    m_actionButton.m_caption = caption;
    m_actionButton.SetWindowText(m_actionButton.m_caption);
    m_actionButton.LoadBitmaps(IDB_ACTION_GREEN);
    m_actionButton.SizeToContent();
    m_actionButton.EnableWindow(TRUE);
    m_actionButton.ShowWindow(SW_SHOW);
    m_actionButton.RedrawWindow();
}

void InstallDialog::ShowTryAgain()
{
    ArmActionButton(L"&Try again");
    FocusControl(m_actionButton.m_hWnd);
}

void InstallDialog::TryAgain()
{
    if (m_worker.joinable() || m_ending) {
        return;  // the run before has not returned yet
    }
    if (!m_drivePresent) {
        m_waitingForDrive = true;
        ShowAdvice(StillMissingAdvice(m_driveLetter));
        return;
    }
    m_waitingForDrive = false;
    LOG(INFO) << "Trying the run again";
    ShowStarting();
    if (!StartWorker()) {
        ShowFailed();
        ShowTryAgain();
    }
}

void InstallDialog::ShowStarting()
{
    m_failed = false;
    m_lastStatus = 0;
    m_errorReason = ReasonNone;
    {
        const std::lock_guard<std::mutex> guard(m_failureLock);
        m_failure = InstallFailure();
    }
    m_driveRemoved = false;
    m_cancel = false;
    // The keyboard waits on the bar again, where Enter does nothing.
    m_progress.ShowWindow(SW_SHOW);
    FocusControl(m_progress.m_hWnd);
    m_actionButton.m_captionOffsetX = 28;
    m_actionButton.m_captionOffsetY = 2;
    m_actionButton.m_multiLineCaption = true;
    m_actionButton.m_caption = InstallToCaption(NCommon::CaptionLiteral(m_driveLabel), m_driveLetter);
    m_actionButton.SetWindowText(m_actionButton.m_caption);
    m_actionButton.LoadBitmaps(IDB_ACTION_GREY);
    m_actionButton.SizeToContent();
    ShowDriveOnActionButton();
    m_actionButton.EnableWindow(FALSE);
    ::ShowWindow(GetDlgItem(IDC_FAILURE_ADVICE), SW_HIDE);
    SetProgress(0);
    SetStatusText(kStartingText);
    RedrawWindow();
    RepaintStatusText();
}

LRESULT InstallDialog::OnDeviceChange(WPARAM wParam, LPARAM lParam)
{
    if (NamesDrive(RemovedVolumes(wParam, lParam), m_driveLetter)) {
        DriveGone();
    } else if (NamesDrive(ArrivedVolumes(wParam, lParam), m_driveLetter)) {
        DriveBack();
    } else {
        return TRUE;
    }
    // The watch looks afresh, so that it tells of the next change from here.
    m_driveWatch.Start(m_hWnd, WM_DRIVE_PRESENCE, m_driveLetter);
    return TRUE;
}

LRESULT InstallDialog::OnDrivePresence(WPARAM wParam, LPARAM)
{
    if (wParam != 0) {
        DriveBack();
    } else {
        DriveGone();
    }
    return 0;
}

void InstallDialog::DriveGone()
{
    m_drivePresent = false;
    if (m_worker.joinable() && !m_ending && !m_finished && !m_driveRemoved) {
        LOG(INFO) << "Drive " << static_cast<char>(m_driveLetter) << ": went during the run";
        m_driveRemoved = true;
        m_cancel = true;
    }
}

void InstallDialog::DriveBack()
{
    m_drivePresent = true;
    if (m_waitingForDrive && m_failed && !m_ending) {
        TryAgain();
    }
}

LRESULT InstallDialog::OnInstallProgress(WPARAM, LPARAM lParam)
{
    if (m_ending) {
        return 0;
    }
    SetProgress(ProgressPosition(m_lastStatus, lParam));
    return 0;
}

COLORREF InstallDialog::StaticTextColour(HWND control) const
{
    if (::GetDlgCtrlID(control) == IDC_INSTALL_COMPLETE) {
        return kCompleteColour;
    }
    return QuillonDialog::StaticTextColour(control);
}
