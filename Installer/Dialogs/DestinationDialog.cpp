#include "DestinationDialog.h"

#include "DriveNames.h"
#include "DriveWatch.h"
#include "Accessibility.h"
#include "UsbDrives.h"
#include "resource.h"

namespace {
const int kCornerDiameter = 23;
const wchar_t kNoDrive[] = L"No USB drive found";
const wchar_t kLooking[] = L"Looking for USB drives\u2026";
const UINT WM_DRIVES_FOUND = WM_APP + 1;
// WMI can learn of a volume a moment after Windows has told the windows:
// one more look after this long catches it.
const UINT_PTR kLookAgainTimer = 1;
const UINT kLookAgainAfterMs = 1500;
}  // namespace

BEGIN_MESSAGE_TABLE(DestinationDialog, QuillonDialog)
    ON_COMMAND(IDC_REFRESH, BN_CLICKED, &DestinationDialog::OnRefresh)
    ON_COMMAND(IDC_INSTALL, BN_CLICKED, &DestinationDialog::OnInstall)
    ON_COMMAND(IDC_DRIVE_LIST, CBN_SELENDOK, &DestinationDialog::OnDriveChosen)
    ON_MESSAGE(WM_DRIVES_FOUND, &DestinationDialog::OnDrivesFound)
    ON_MESSAGE(WM_DEVICECHANGE, &DestinationDialog::OnDeviceChange)
    ON_MESSAGE(WM_TIMER, &DestinationDialog::OnTimer)
END_MESSAGE_TABLE()

DestinationDialog::DestinationDialog(wchar_t* driveLetter)
    : QuillonDialog(IDB_SKIN, IDD_DESTINATION_DIALOG, kCornerDiameter), m_driveLetter(driveLetter)
{
}

DestinationDialog::~DestinationDialog() = default;

void DestinationDialog::DoDataExchange()
{
    QuillonDialog::DoDataExchange();
    DDX_Control(IDC_REFRESH, m_refreshButton);
    DDX_Control(IDC_INSTALL, m_installButton);
    DDX_Control(IDC_DRIVE_LIST, m_driveList);
}

void DestinationDialog::SetUpControls()
{
    m_refreshButton.LoadBitmaps(IDB_REFRESH, IDB_REFRESH, IDB_REFRESH);
    m_refreshButton.SizeToContent();
    // Sized once to the green image; the grey one of the no-drive state is
    // shown at this size too.
    m_installButton.LoadBitmaps(IDB_ACTION_GREEN);
    m_installButton.SizeToContent();

    LookForDrives();
}

void DestinationDialog::CreateFonts()
{
    m_labelFont = DeriveFont(kTextFont);
    SetControlFont(kTextId, m_labelFont.get());
    m_installFont = DeriveFont(kActionCaptionFont);
    m_installButton.m_captionFont = m_installFont.get();
    m_listFont = DeriveFont({L"Microsoft Sans Serif", 15, std::nullopt});
    m_driveList.SetFont(m_listFont.get());
    m_driveList.FitItemHeight();
}

BOOL DestinationDialog::FinishInit()
{
    // Enter on refresh only looks again; the keyboard moves on to the list
    // once there are drives in it.
    FocusControl(m_refreshButton.m_hWnd);
    return FALSE;
}

void DestinationDialog::FocusControl(HWND control)
{
    ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

int DestinationDialog::ArmedMainAction() const
{
    return m_driveList.IsWindowEnabled() ? IDC_INSTALL : 0;
}

void DestinationDialog::LookForDrives()
{
    m_quietScan = false;
    m_driveList.ShowMessage(kLooking);
    UpdateInstallButton();
    m_scan.Start(m_hWnd, WM_DRIVES_FOUND);
}

void DestinationDialog::LookAgainQuietly()
{
    // Also in place of a look the user asked for: this one sees more.
    m_quietScan = true;
    m_scan.Start(m_hWnd, WM_DRIVES_FOUND);
}

LRESULT DestinationDialog::OnDeviceChange(WPARAM wParam, LPARAM lParam)
{
    if (ArrivedVolumes(wParam, lParam) != 0 || RemovedVolumes(wParam, lParam) != 0) {
        LookAgainQuietly();
        ::SetTimer(m_hWnd, kLookAgainTimer, kLookAgainAfterMs, nullptr);
    }
    return TRUE;
}

LRESULT DestinationDialog::OnTimer(WPARAM wParam, LPARAM)
{
    if (wParam == kLookAgainTimer) {
        ::KillTimer(m_hWnd, kLookAgainTimer);
        LookAgainQuietly();
    }
    return 0;
}

LRESULT DestinationDialog::OnDrivesFound(WPARAM, LPARAM)
{
    const std::optional<FoundDrives> drives = m_scan.TakeResult();
    if (!drives) {
        return 0;  // left over from a scan that a refresh replaced
    }
    // A look of the user's own starts at the first drive; one that a stick
    // coming or going made keeps the drive the user chose, while it is there.
    const std::optional<FoundDrive> chosen = m_quietScan ? m_driveList.SelectedDrive() : std::nullopt;
    m_quietScan = false;
    if (drives->empty()) {
        m_driveList.ShowMessage(kNoDrive);
    } else {
        m_driveList.ShowDrives(*drives, chosen ? chosen->letter : L'\0');
    }
    UpdateInstallButton();
    // The list's value changed under a reader's eyes: say so.
    NCommon::AnnounceValueChange(m_driveList.m_hWnd);
    if (m_opening && m_driveList.IsWindowEnabled() && ::GetFocus() == m_refreshButton.m_hWnd) {
        FocusControl(m_driveList.m_hWnd);
    }
    m_opening = false;
    return 0;
}

void DestinationDialog::UpdateInstallButton()
{
    const std::optional<FoundDrive> drive = m_driveList.SelectedDrive();
    std::wstring spoken;
    if (drive) {
        // Centred on the bar between the square and the rounded end, where
        // the drive's name has the most room.
        m_installButton.m_captionOffsetX = 28;
        m_installButton.m_captionOffsetY = 2;
        m_installButton.m_multiLineCaption = true;
        // "&" marks the access key; the label's own ampersands show as they are.
        m_installButton.m_caption = L"&" + FittedInstallCaption(m_installButton, drive->label, drive->letter);
        m_installButton.LoadBitmaps(IDB_ACTION_GREEN);
        spoken = L"&" + InstallToCaption(NCommon::CaptionLiteral(drive->label), drive->letter);
    } else {
        m_installButton.m_caption = L"&Install";
        m_installButton.m_captionOffsetX = 18;
        m_installButton.m_captionOffsetY = 0;
        m_installButton.m_multiLineCaption = false;
        m_installButton.LoadBitmaps(IDB_ACTION_GREY);
        spoken = m_installButton.m_caption;
    }
    // Without a drive Install cannot act: greyed out, Tab passes it by.
    m_installButton.EnableWindow(drive ? TRUE : FALSE);
    // The owner-drawn caption is not the window's text; keeping the two the
    // same (the drive's whole name) lets screen readers say it.
    m_installButton.SetWindowText(spoken);
    m_installButton.RedrawWindow();
}

void DestinationDialog::OnInstall()
{
    const std::optional<FoundDrive> drive = m_driveList.SelectedDrive();
    *m_driveLetter = drive ? drive->letter : L'\0';
    if (drive) {
        QuillonDialog::OnOK();
    }
}

// The OK command runs the Install command, so that it too ends the dialog
// only with a drive stored, and does nothing while there is none.
void DestinationDialog::OnOK()
{
    OnInstall();
}

void DestinationDialog::OnRefresh()
{
    LookForDrives();
}

void DestinationDialog::OnDriveChosen()
{
    UpdateInstallButton();
}
