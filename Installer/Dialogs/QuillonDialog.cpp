#include "QuillonDialog.h"

#include <cwchar>

#include "Accessibility.h"
#include "PartnerPage.h"
#include "resource.h"

namespace {
const COLORREF kButtonTextColour = RGB(70, 70, 70);
const COLORREF kStaticTextColour = RGB(0, 61, 61);
}  // namespace

BEGIN_MESSAGE_TABLE(QuillonDialog, NCommon::ImageDialog)
    ON_CTLCOLOR(&QuillonDialog::OnCtlColor)
    ON_COMMAND(IDC_CLOSE_BUTTON, BN_CLICKED, &QuillonDialog::OnCancel)
    ON_COMMAND(IDC_PARTNER_LOGO, BN_CLICKED, &QuillonDialog::OnPartnerLogo)
END_MESSAGE_TABLE()

QuillonDialog::QuillonDialog(int skinId, UINT templateId, int cornerDiameter)
    : ImageDialog(skinId, templateId), m_cornerDiameter(cornerDiameter)
{
}

QuillonDialog::~QuillonDialog() = default;

void QuillonDialog::DoDataExchange()
{
    DDX_Control(IDC_HELP_BUTTON, m_helpButton);
    DDX_Control(IDC_CLOSE_BUTTON, m_closeButton);
    DDX_Control(IDC_PARTNER_LOGO, m_partnerButton);
    DDX_Control(IDC_PRODUCT_LOGO, m_logoButton);
}

BOOL QuillonDialog::OnInitDialog()
{
    ImageDialog::OnInitDialog();
    m_layout.Apply(NCommon::ResourceModule(), m_hWnd, GetTemplateId(), kLayoutDpi);
    LoadCornerButtons();
    SetUpControls();
    SetWindowText(L"Quillon Setup");
    SetRoundedShape();
    CreateFonts();
    const BOOL result = FinishInit();
    NCommon::ExposeToScreenReaders(m_hWnd, AccessibleNames());
    return result;
}

std::vector<std::pair<int, std::wstring>> QuillonDialog::AccessibleNames() const
{
    // The logo's template text says nothing of where it leads.
    return {{IDC_PARTNER_LOGO, PartnerPageName()}};
}

void QuillonDialog::LoadCornerButtons()
{
    m_helpButton.LoadBitmaps(IDB_HELP, IDB_HELP_PRESSED, IDB_HELP_HOVER);
    m_helpButton.SizeToContent();
    m_closeButton.LoadBitmaps(IDB_CLOSE, IDB_CLOSE_PRESSED, IDB_CLOSE_HOVER);
    m_closeButton.SizeToContent();
    m_partnerButton.LoadBitmaps(IDB_PARTNER, IDB_PARTNER_PRESSED, IDB_PARTNER_HOVER);
    m_partnerButton.SizeToContent();
    m_logoButton.LoadBitmaps(IDB_PRODUCT_LOGO);
    m_logoButton.SizeToContent();
    // The product's graphic does nothing: neither a click nor the keyboard
    // may put the focus on it.
    m_logoButton.EnableWindow(FALSE);
    // They sit on the skin's dark header.
    for (NCommon::AnimatedBitmapButton* onHeader : {&m_helpButton, &m_closeButton, &m_partnerButton, &m_logoButton}) {
        onHeader->m_lightFocusCue = true;
    }
}

void QuillonDialog::SetRoundedShape()
{
    // The window keeps the region. Not repainted: the dialog is not shown yet.
    RECT bounds = {};
    GetWindowRect(&bounds);
    SetWindowRgn(NCommon::ScopedRegion(CreateRoundRectRgn(0, 0, bounds.right - bounds.left,
                                                          bounds.bottom - bounds.top + 1, m_cornerDiameter,
                                                          m_cornerDiameter)),
                 FALSE);
}

NCommon::ScopedFont QuillonDialog::DeriveFont(const DialogFontLook& look) const
{
    LOGFONTW description = {};
    GetObjectW(GetFont(), sizeof(description), &description);
    wcsncpy(description.lfFaceName, look.face, LF_FACESIZE - 1);
    description.lfFaceName[LF_FACESIZE - 1] = L'\0';
    description.lfHeight = look.height;
    if (look.weight) {
        description.lfWeight = *look.weight;
    }
    return NCommon::ScopedFont(CreateFontIndirectW(&description));
}

void QuillonDialog::SetControlFont(int id, HFONT font)
{
    ::SendMessageW(GetDlgItem(id), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

COLORREF QuillonDialog::StaticTextColour(HWND) const
{
    return kStaticTextColour;
}

HBRUSH QuillonDialog::OnCtlColor(HDC dc, HWND control, UINT kind)
{
    // Button captions and static texts are drawn without a background of
    // their own, so the skin under them shows; the rest is left as it is.
    if (kind != CTLCOLOR_BTN && kind != CTLCOLOR_STATIC) {
        return reinterpret_cast<HBRUSH>(Default());
    }
    SetTextColor(dc, kind == CTLCOLOR_BTN ? kButtonTextColour : StaticTextColour(control));
    SetBkMode(dc, TRANSPARENT);
    return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
}

void QuillonDialog::OnPartnerLogo()
{
    OpenPartnerPage();
}

std::wstring DriveDisplayLabel(const std::wstring& label)
{
    // What Explorer calls a USB stick without a label.
    return label.empty() ? L"USB Drive" : label;
}

std::wstring DriveEntryText(const std::wstring& label, wchar_t letter)
{
    return DriveDisplayLabel(label) + L" (" + letter + L":)";
}

std::wstring InstallToCaption(const std::wstring& label, wchar_t driveLetter)
{
    const std::wstring caption = L"Install to:\n" + DriveEntryText(label, driveLetter);
    return caption.substr(0, caption.find(L'\0'));
}
