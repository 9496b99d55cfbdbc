#include "EULADialog.h"

#include <string>

#include "DialogLook.h"
#include "PartnerPage.h"
#include "LicenceText.h"
#include "resource.h"

namespace {
const COLORREF kCaptionColour = RGB(70, 70, 70);
const COLORREF kTextColour = RGB(0, 61, 61);
const int kCornerDiameter = 19;
// The resolution the dialog is laid out at, whatever the display's.
const int kLayoutDpi = 96;

int DisplayDpi()
{
    HDC screen = ::GetDC(nullptr);
    const int dpi = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) {
        ::ReleaseDC(nullptr, screen);
    }
    return dpi;
}
}  // namespace

BEGIN_MESSAGE_TABLE(EULADialog, NCommon::ImageDialog)
    ON_CTLCOLOR(&EULADialog::OnCtlColor)
    ON_COMMAND(IDC_CLOSE_BUTTON, BN_CLICKED, &EULADialog::OnCancel)
    ON_COMMAND(IDC_ACCEPT, BN_CLICKED, &EULADialog::OnOK)
    ON_COMMAND(IDC_DECLINE, BN_CLICKED, &EULADialog::OnCancel)
    ON_COMMAND(IDC_PARTNER_LOGO, BN_CLICKED, &EULADialog::OnPartnerLogo)
END_MESSAGE_TABLE()

EULADialog::EULADialog(NCommon::CWnd* parent) : ImageDialog(IDB_LICENCE_SKIN, IDD_EULA_DIALOG, parent) {}

EULADialog::~EULADialog() = default;

void EULADialog::DoDataExchange()
{
    DDX_Control(IDC_HELP_BUTTON, m_helpButton);
    DDX_Control(IDC_CLOSE_BUTTON, m_closeButton);
    DDX_Control(IDC_PARTNER_LOGO, m_partnerButton);
    DDX_Control(IDC_PRODUCT_LOGO, m_logoButton);
    DDX_Control(IDC_ACCEPT, m_acceptButton);
    DDX_Control(IDC_LICENCE_TEXT, m_licenceText);
    DDX_Control(IDC_DECLINE, m_declineButton);
}

BOOL EULADialog::OnInitDialog()
{
    ImageDialog::OnInitDialog();
    m_layout.Apply(NCommon::ResourceModule(), m_hWnd, IDD_EULA_DIALOG, kLayoutDpi);

    DialogLook::LoadCornerButtons(m_helpButton, m_closeButton, m_partnerButton, m_logoButton);
    // The two answers: one image alone, sized to it, and a one-line caption
    // to the right of the image's square.
    const auto setAnswer = [](NCommon::AnimatedBitmapButton& button, UINT image, const wchar_t* caption) {
        button.LoadBitmaps(image);
        button.SizeToContent();
        button.m_caption = caption;
        button.m_captionOffsetX = 18;
        button.m_captionOffsetY = 0;
        button.m_multiLineCaption = false;
    };
    setAnswer(m_acceptButton, IDB_ACTION_GREEN, L"Accept");
    setAnswer(m_declineButton, IDB_ACTION_RED, L"Decline");

    SetWindowText(L"Quillon Setup");
    DialogLook::SetRoundedShape(*this, kCornerDiameter);

    m_descriptionFont = DialogLook::DeriveFont(GetFont(), L"Arial", 17);
    ::SendMessageW(GetDlgItem(-1), WM_SETFONT, reinterpret_cast<WPARAM>(m_descriptionFont.get()), TRUE);
    // No caption font of their own: the buttons draw in their window font.
    m_answerFont = DialogLook::DeriveFont(GetFont(), L"Arial", 15, 700);
    m_acceptButton.SetFont(m_answerFont.get());
    m_declineButton.SetFont(m_answerFont.get());

    LoadLicence();
    KeepLicenceTextWidth();
    // The keyboard starts in the licence, so that it scrolls at once.
    ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_licenceText.m_hWnd), TRUE);
    return FALSE;
}

int EULADialog::ArmedMainAction() const
{
    return IDC_ACCEPT;
}

void EULADialog::LoadLicence()
{
    // The control sizes the document's fonts and spacing for the display's
    // resolution, while the rest of the dialog keeps 96 dots per inch: the
    // sizes scaled back, the box shows the same lines at any setting.
    const int dpi = DisplayDpi();
    std::string rest = LoadLicenceText(NCommon::ResourceModule());
    if (dpi > 0) {
        rest = ScaleRtfSizes(rest, kLayoutDpi, dpi);
    }
    // The control takes the document in the pieces it asks for; the copy
    // shrinks from the front as it goes and is gone once the call returns.
    EDITSTREAM stream = {};
    stream.dwCookie = reinterpret_cast<DWORD_PTR>(&rest);
    stream.dwError = 0;
    stream.pfnCallback = &StreamLicencePiece;
    m_licenceText.StreamIn(SF_RTF, stream);
}

void EULADialog::KeepLicenceTextWidth()
{
    // The scroll bar is as wide as the display's resolution makes it. The box
    // grows by what it gained over its width at 96 dots per inch, so that the
    // text keeps the width it is laid out for and breaks its lines alike.
    const int dpi = DisplayDpi();
    const int scrollBar = ::GetSystemMetrics(SM_CXVSCROLL);
    const int gained = dpi > 0 ? scrollBar - ::MulDiv(scrollBar, kLayoutDpi, dpi) : 0;
    if (gained <= 0) {
        return;
    }
    RECT box = {};
    m_licenceText.GetWindowRect(&box);
    m_licenceText.SetWindowPos(nullptr, 0, 0, box.right - box.left + gained, box.bottom - box.top,
                               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HBRUSH EULADialog::OnCtlColor(HDC dc, HWND, UINT kind)
{
    if (HBRUSH brush = DialogLook::PaintOverSkin(dc, kind, kCaptionColour, kTextColour)) {
        return brush;
    }
    return reinterpret_cast<HBRUSH>(Default());
}

void EULADialog::OnPartnerLogo()
{
    OpenPartnerPage();
}
