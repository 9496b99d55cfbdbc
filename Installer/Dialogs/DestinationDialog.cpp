#include "DestinationDialog.h"

#include "Accessibility.h"
#include "UsbDrives.h"
#include "resource.h"

namespace {
const int kCornerDiameter = 23;
const wchar_t kNoDrive[] = L"No USB drive found";
}  // namespace

wchar_t LetterOfEntry(int selected, DWORD_PTR itemData)
{
    return selected < 0 ? L'\0' : static_cast<wchar_t>(LOWORD(itemData));
}

BEGIN_MESSAGE_TABLE(DestinationDialog, QuillonDialog)
    ON_COMMAND(IDC_REFRESH, BN_CLICKED, &DestinationDialog::OnRefresh)
    ON_COMMAND(IDC_INSTALL, BN_CLICKED, &DestinationDialog::OnInstall)
    ON_COMMAND(IDC_DRIVE_LIST, CBN_SELENDOK, &DestinationDialog::OnDriveChosen)
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

    RefreshDriveList();
}

void DestinationDialog::CreateFonts()
{
    m_labelFont = DeriveFont(kTextFont);
    SetControlFont(kTextId, m_labelFont.get());
    m_installFont = DeriveFont(kActionCaptionFont);
    m_installButton.m_captionFont = m_installFont.get();
    m_listFont = DeriveFont({L"Microsoft Sans Serif", 15, std::nullopt});
    m_driveList.SetFont(m_listFont.get());
}

BOOL DestinationDialog::FinishInit()
{
    // The keyboard starts on the drive list, or on refresh when there is no
    // drive to choose.
    HWND first = m_driveList.IsWindowEnabled() ? m_driveList.m_hWnd : m_refreshButton.m_hWnd;
    ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(first), TRUE);
    return FALSE;
}

int DestinationDialog::ArmedMainAction() const
{
    return m_driveList.IsWindowEnabled() ? IDC_INSTALL : 0;
}

void DestinationDialog::RefreshDriveList()
{
    // Drive discovery keeps this thread busy for a while: the list shows
    // greyed out until it is done.
    m_driveList.EnableWindow(FALSE);
    m_driveList.RedrawWindow();
    m_driveList.ResetContent();

    const UsbDriveMap drives = GetUsbDrives();
    if (!drives.empty()) {
        // Inserted at positions, so the list keeps the letters' order even
        // though the control has the sort style.
        int position = 0;
        for (const auto& drive : drives) {
            const wchar_t letter = drive.first;
            m_driveList.InsertString(position, DriveEntryText(GetDriveLabel(letter), letter));
            m_driveList.SetItemData(position, letter);
            ++position;
        }
        m_driveList.SetCurSel(0);
        m_driveList.EnableWindow(TRUE);
    } else {
        m_driveList.AddString(kNoDrive);
        m_driveList.SetCurSel(0);
    }
    UpdateInstallButton();
}

void DestinationDialog::UpdateInstallButton()
{
    if (m_driveList.IsWindowEnabled()) {
        const int selected = m_driveList.GetCurSel();
        const wchar_t letter = LetterOfEntry(selected, m_driveList.GetItemData(selected));
        m_installButton.m_caption = L"&" + InstallToCaption(NCommon::CaptionLiteral(GetDriveLabel(letter)), letter);
        m_installButton.m_captionOffsetX = 18;
        m_installButton.m_captionOffsetY = 2;
        m_installButton.m_multiLineCaption = true;
        m_installButton.LoadBitmaps(IDB_ACTION_GREEN);
    } else {
        m_installButton.m_caption = L"&Install";
        m_installButton.m_captionOffsetX = 18;
        m_installButton.m_captionOffsetY = 0;
        m_installButton.m_multiLineCaption = false;
        m_installButton.LoadBitmaps(IDB_ACTION_GREY);
    }
    // The owner-drawn caption is not the window's text; keeping the two the
    // same lets screen readers (and anyone reading the window) say it.
    m_installButton.SetWindowText(m_installButton.m_caption);
    m_installButton.RedrawWindow();
}

void DestinationDialog::OnInstall()
{
    const int selected = m_driveList.GetCurSel();
    const wchar_t letter = LetterOfEntry(selected, selected < 0 ? 0 : m_driveList.GetItemData(selected));
    *m_driveLetter = letter;
    if (letter != 0) {
        QuillonDialog::OnOK();
    }
}

// The OK command runs the Install command, so that it too ends the dialog
// only with a drive stored, and does nothing in the no-drive state.
void DestinationDialog::OnOK()
{
    OnInstall();
}

void DestinationDialog::OnRefresh()
{
    RefreshDriveList();
}

void DestinationDialog::OnDriveChosen()
{
    UpdateInstallButton();
}
