#include "InstallDialog.h"

#include <commctrl.h>

#include <cwchar>
#include <system_error>
#include <utility>

#include "DriveNames.h"
#include "Accessibility.h"
#include "InstallBackend.h"
#include "ProductConstants.h"
#include "ProductHandOver.h"
#include "TextConversion.h"
#include "UsbDrives.h"
#include "easylogging++.h"
#include "resource.h"


namespace {

const int kCornerDiameter = 23;

// The engine's free-space threshold in MiB, as the user reads it.
const double kRequiredMegabytes = static_cast<double>(kMinimumFreeBytes) / (1024.0 * 1024.0);

const COLORREF kCompleteColour = RGB(63, 162, 36);

const wchar_t kDownloadingText[] = L"Please wait, downloading Quillon...";
const wchar_t kInstallingText[] = L"Please wait, installing Quillon...";
const wchar_t kUpdatingText[] = L"Please wait, updating Quillon...";
const wchar_t kCancellingText[] = L"Please wait, cancelling...";

// A worker that a cancel cannot stop at once (a drive or WMI that does not
// answer) keeps the process, not the window: the window goes from the
// screen after this long and the dialog ends when the worker returns.
const UINT_PTR kHideTimer = 1;
// One second leaves the promised two for a busy machine to carry it out.
const UINT kHideAfterMs = 1000;

}  // namespace

std::wstring FailureText(bool appUpdateMode, int errorReason, wchar_t driveLetter)
{
    const std::wstring letter(1, driveLetter);
    std::wstring text = appUpdateMode ? L"Update failed." : L"Installation failed.";
    if (errorReason == IInstallListener::ReasonDriveMissing) {
        text = L"Check drive " + letter + L" is connected";
    } else if (errorReason == IInstallListener::ReasonLowFreeSpace) {
        wchar_t megabytes[32] = {};
        swprintf(megabytes, 32, L"%.0f", kRequiredMegabytes);
        text = L"Not enough drive " + letter + L" free space.\nAt least " + megabytes + L"MB required.";
    }
    return text.substr(0, text.find(L'\0'));
}

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
END_MESSAGE_TABLE()

InstallDialog::InstallDialog(wchar_t driveLetter, const std::wstring& workFolder)
    : QuillonDialog(IDB_SKIN, IDD_INSTALL_DIALOG, kCornerDiameter), m_driveLetter(driveLetter), m_workFolder(workFolder)
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
    // Greyed out, and passed by Tab, until there is a Quillon to run.
    m_actionButton.EnableWindow(FALSE);

    m_progress.SetRange(0, 100);
    ::ShowWindow(GetDlgItem(IDC_INSTALL_COMPLETE), SW_HIDE);
}

void InstallDialog::CreateFonts()
{
    m_statusFont = DeriveFont(kTextFont);
    SetControlFont(kTextId, m_statusFont.get());
    m_buttonFont = DeriveFont(kActionCaptionFont);
    m_actionButton.m_captionFont = m_buttonFont.get();
    m_completeFont = DeriveFont({L"Arial", 16, FW_BOLD});
    SetControlFont(IDC_INSTALL_COMPLETE, m_completeFont.get());
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
    try {
        m_worker = std::thread(&InstallDialog::RunInstall, this);
    } catch (const std::system_error& error) {
        // Nothing may escape into the window procedure; the dialog stays in
        // its starting state and the user closes it.
        LOG(ERROR) << "Starting the install worker failed: " << error.what();
    }
    // The keyboard starts where Enter cannot stop the run: on the product
    // logo, which never does anything (the action button cannot act yet,
    // and the close button would cancel).
    FocusControl(m_logoButton.m_hWnd);
    return FALSE;
}

void InstallDialog::FocusControl(HWND control)
{
    ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

void InstallDialog::RunInstall()
{
    const std::wstring destination = std::wstring(1, m_driveLetter) + L":";
    InstallBackend::Install(destination, m_workFolder, this, &m_cancel);
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
    return m_finished && !m_appUpdateMode && !m_ending ? IDC_ACTION : 0;
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
    if (m_ending) {
        ::KillTimer(m_hWnd, kHideTimer);
        EndDialog(m_endResult);
    }
    return 0;
}

LRESULT InstallDialog::OnTimer(WPARAM wParam, LPARAM)
{
    if (wParam == kHideTimer) {
        ::KillTimer(m_hWnd, kHideTimer);
        ShowWindow(SW_HIDE);
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
    ::RemovePropW(m_hWnd, kClosingWindowProperty);
    return Default();
}

void InstallDialog::LaunchProduct(bool notifyUpdate)
{
    ::LaunchProduct(notifyUpdate, m_exePathToUpdate, m_driveLetter);
}

void InstallDialog::OnActionButton()
{
    if (!m_finished || m_ending) {
        return;
    }
    LaunchProduct(false);
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
    CloseProductWindow();
    SignalProductProcesses();
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
        LaunchProduct(true);
        EndWhenWorkerReturns(IDOK, false);
        return;
    }
    m_actionButton.m_captionOffsetX = 24;
    m_actionButton.m_captionOffsetY = 0;
    m_actionButton.m_multiLineCaption = false;
    m_actionButton.m_caption = L"&Run Quillon";
    m_actionButton.SetWindowText(m_actionButton.m_caption);
    m_actionButton.LoadBitmaps(IDB_ACTION_GREEN);
    m_actionButton.SizeToContent();
    m_actionButton.EnableWindow(TRUE);
    m_actionButton.RedrawWindow();
    // Where the keyboard waited, Enter now runs Quillon: before the text
    // says so, so that no one acts on the text with the keyboard elsewhere.
    if (::GetFocus() == m_logoButton.m_hWnd) {
        FocusControl(m_actionButton.m_hWnd);
    }
    ::ShowWindow(GetDlgItem(kTextId), SW_HIDE);
    ::ShowWindow(GetDlgItem(IDC_INSTALL_COMPLETE), SW_SHOW);
    NCommon::AnnounceTextChange(GetDlgItem(IDC_INSTALL_COMPLETE));
}

void InstallDialog::ShowFailed()
{
    SetStatusText(FailureText(m_appUpdateMode, m_errorReason, m_driveLetter));
    m_progress.ShowWindow(SW_HIDE);
    RedrawWindow();
    RepaintStatusText();
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
