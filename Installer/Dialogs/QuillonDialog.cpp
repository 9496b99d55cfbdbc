#include "QuillonDialog.h"

#include <cwchar>

#include "Accessibility.h"
#include "DpiScale.h"
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
    ON_MESSAGE(WM_DPICHANGED, &QuillonDialog::OnDpiChanged)
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
    // The layout is ours alone: Windows would otherwise scale a dialog made
    // from a template itself when its resolution changes.
    NCommon::KeepDialogFromSystemScaling(m_hWnd);
    ApplyLayout(NCommon::LayoutDpiFor(NCommon::WindowDpi(m_hWnd)));
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

void QuillonDialog::ApplyLayout(int dpi)
{
    m_layout.Apply(NCommon::ResourceModule(), m_hWnd, GetTemplateId(), dpi);
}

int QuillonDialog::LayoutDpi() const
{
    return NCommon::LayoutDpiOf(m_hWnd);
}

void QuillonDialog::SetRoundedShape()
{
    // The window keeps the region. Not repainted: the dialog is not shown
    // yet, or is repainted whole after a change of resolution.
    RECT bounds = {};
    GetWindowRect(&bounds);
    const int diameter = NCommon::ScaleToDpi(m_cornerDiameter, LayoutDpi());
    SetWindowRgn(NCommon::ScopedRegion(CreateRoundRectRgn(0, 0, bounds.right - bounds.left,
                                                          bounds.bottom - bounds.top + 1, diameter, diameter)),
                 FALSE);
}

LRESULT QuillonDialog::OnDpiChanged(WPARAM wParam, LPARAM lParam)
{
    RECT now = {};
    GetWindowRect(&now);
    const RECT suggested = lParam != 0 ? *reinterpret_cast<const RECT*>(lParam) : now;
    const int dpi = NCommon::LayoutDpiFor(HIWORD(wParam));
    if (dpi == LayoutDpi()) {
        // The images drawn for the old resolution suit the new one as well.
        SetWindowPos(nullptr, suggested.left, suggested.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    // The layout puts every control back at its template place and size,
    // with the template's font, for the new resolution.
    ApplyLayout(dpi);
    for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        if (auto* button = dynamic_cast<NCommon::CBitmapButton*>(NCommon::CWnd::FromHandlePermanent(child))) {
            button->ReloadBitmaps();
        }
    }
    CreateFonts();
    OnLayoutDpiChanged();
    // Where Windows suggests, so that the window stays on the screen that
    // made the change; at the size of the layout, which is the suggested
    // one to a pixel wherever the images are drawn for the resolution.
    GetWindowRect(&now);
    SetWindowPos(nullptr, suggested.left, suggested.top, now.right - now.left, now.bottom - now.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    SetRoundedShape();
    RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME | RDW_UPDATENOW);
    return 0;
}

void QuillonDialog::OnLayoutDpiChanged() {}

NCommon::ScopedFont QuillonDialog::DeriveFont(const DialogFontLook& look) const
{
    LOGFONTW description = {};
    GetObjectW(GetFont(), sizeof(description), &description);
    wcsncpy(description.lfFaceName, look.face, LF_FACESIZE - 1);
    description.lfFaceName[LF_FACESIZE - 1] = L'\0';
    description.lfHeight = NCommon::ScaleToDpi(look.height, LayoutDpi());
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
