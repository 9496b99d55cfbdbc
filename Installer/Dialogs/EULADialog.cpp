#include "EULADialog.h"

#include <string>

#include "DpiScale.h"
#include "LicenceText.h"
#include "resource.h"

namespace {
const int kCornerDiameter = 19;
// The skin's white panel behind the licence text (scripts/make-skins.py
// draws it): its rounded border, in client pixels at 96 dpi, and the colour
// it takes while the text has the keyboard focus.
const RECT kLicencePanel = {9, 198, 270, 384};
const int kLicencePanelCorner = 16;
const COLORREF kFocusedPanelColour = RGB(0x2F, 0x5C, 0x85);

// The resolution the rich edit control turns the document's sizes into
// pixels at: the screen's.
int ControlDpi()
{
    HDC screen = ::GetDC(nullptr);
    const int dpi = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) {
        ::ReleaseDC(nullptr, screen);
    }
    return dpi;
}
}  // namespace

BEGIN_MESSAGE_TABLE(EULADialog, QuillonDialog)
    ON_MESSAGE(WM_ERASEBKGND, &EULADialog::OnEraseBkgnd)
    ON_COMMAND(IDC_LICENCE_TEXT, EN_SETFOCUS, &EULADialog::OnLicenceFocusChanged)
    ON_COMMAND(IDC_LICENCE_TEXT, EN_KILLFOCUS, &EULADialog::OnLicenceFocusChanged)
    ON_COMMAND(IDC_ACCEPT, BN_CLICKED, &EULADialog::OnOK)
    ON_COMMAND(IDC_DECLINE, BN_CLICKED, &EULADialog::OnCancel)
END_MESSAGE_TABLE()

// The parent is accepted and not used: the dialog is a top-level window.
EULADialog::EULADialog(NCommon::CWnd*) : QuillonDialog(IDB_LICENCE_SKIN, IDD_EULA_DIALOG, kCornerDiameter) {}

EULADialog::~EULADialog() = default;

void EULADialog::DoDataExchange()
{
    QuillonDialog::DoDataExchange();
    DDX_Control(IDC_ACCEPT, m_acceptButton);
    DDX_Control(IDC_LICENCE_TEXT, m_licenceText);
    DDX_Control(IDC_DECLINE, m_declineButton);
}

void EULADialog::SetUpControls()
{
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
    // The template's texts, access keys included: the dialog manager finds
    // the keys there, and screen readers the buttons' names.
    setAnswer(m_acceptButton, IDB_ACTION_GREEN, L"&Accept");
    setAnswer(m_declineButton, IDB_ACTION_RED, L"&Decline");
}

void EULADialog::CreateFonts()
{
    m_descriptionFont = DeriveFont({L"Arial", 17, std::nullopt});
    SetControlFont(kTextId, m_descriptionFont.get());
    // No caption font of their own: the buttons draw in their window font.
    m_answerFont = DeriveFont({L"Arial", 15, FW_BOLD});
    m_acceptButton.SetFont(m_answerFont.get());
    m_declineButton.SetFont(m_answerFont.get());
}

BOOL EULADialog::FinishInit()
{
    LoadLicence();
    // The keyboard starts in the licence, so that it scrolls at once.
    ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_licenceText.m_hWnd), TRUE);
    return FALSE;
}

std::vector<std::pair<int, std::wstring>> EULADialog::AccessibleNames() const
{
    auto names = QuillonDialog::AccessibleNames();
    names.emplace_back(IDC_LICENCE_TEXT, L"Licence agreement");
    return names;
}

int EULADialog::ArmedMainAction() const
{
    return IDC_ACCEPT;
}

void EULADialog::OnLayoutDpiChanged()
{
    LoadLicence();
}

void EULADialog::LoadLicence()
{
    // The control sizes the document's fonts and spacing for the screen's
    // resolution. Where the window is laid out at another (between two of
    // the resolutions the images are drawn for, or after a move to a screen
    // of another resolution), the sizes are scaled by the ratio, so that
    // the text grows with the window and breaks its lines where it does at
    // 96 dpi, give or take a wider scroll bar.
    const int dpi = ControlDpi();
    std::string rest = LoadLicenceText(NCommon::ResourceModule());
    if (dpi > 0) {
        rest = ScaleRtfSizes(rest, LayoutDpi(), dpi);
    }
    // The control takes the document in the pieces it asks for; the copy
    // shrinks from the front as it goes and is gone once the call returns.
    EDITSTREAM stream = {};
    stream.dwCookie = reinterpret_cast<DWORD_PTR>(&rest);
    stream.dwError = 0;
    stream.pfnCallback = &StreamLicencePiece;
    m_licenceText.StreamIn(SF_RTF, stream);
}

LRESULT EULADialog::OnEraseBkgnd(WPARAM wParam, LPARAM lParam)
{
    const LRESULT result = ImageDialog::OnEraseBkgnd(wParam, lParam);
    // A read-only text shows its focus only by a caret, which hardly shows:
    // the panel's border darkens and thickens while the text has it.
    if (m_licenceText.m_hWnd != nullptr && ::GetFocus() == m_licenceText.m_hWnd) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        NCommon::ScopedPen pen(::CreatePen(PS_SOLID, 1, kFocusedPanelColour));
        const NCommon::ScopedSelection selectedPen(dc, pen.get());
        const NCommon::ScopedSelection noFill(dc, ::GetStockObject(NULL_BRUSH));
        const RECT panel = LicencePanel();
        const int corner = NCommon::ScaleToDpi(kLicencePanelCorner, LayoutDpi());
        // Two pixels thick at 96 dpi, as thick as the skin's border is scaled.
        const int thickness = NCommon::ScaleToDpi(2, LayoutDpi());
        for (int inset = 0; inset < thickness; ++inset) {
            ::RoundRect(dc, panel.left + inset, panel.top + inset, panel.right - inset, panel.bottom - inset, corner,
                        corner);
        }
    }
    return result;
}

RECT EULADialog::LicencePanel() const
{
    return NCommon::ScaleRectToDpi(kLicencePanel, LayoutDpi());
}

void EULADialog::OnLicenceFocusChanged()
{
    RECT border = LicencePanel();
    ::RedrawWindow(m_hWnd, &border, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}
