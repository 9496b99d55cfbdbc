#include "DialogLook.h"

#include <cwchar>

#include "resource.h"

namespace DialogLook {

void LoadCornerButtons(NCommon::AnimatedBitmapButton& help, NCommon::AnimatedBitmapButton& close,
                       NCommon::AnimatedBitmapButton& partner, NCommon::AnimatedBitmapButton& logo)
{
    help.LoadBitmaps(IDB_HELP, IDB_HELP_PRESSED, IDB_HELP_HOVER);
    help.SizeToContent();
    close.LoadBitmaps(IDB_CLOSE, IDB_CLOSE_PRESSED, IDB_CLOSE_HOVER);
    close.SizeToContent();
    partner.LoadBitmaps(IDB_PARTNER, IDB_PARTNER_PRESSED, IDB_PARTNER_HOVER);
    partner.SizeToContent();
    logo.LoadBitmaps(IDB_PRODUCT_LOGO);
    logo.SizeToContent();
}

NCommon::ScopedFont DeriveFont(HFONT base, const wchar_t* face, LONG height, std::optional<LONG> weight)
{
    LOGFONTW description = {};
    GetObjectW(base, sizeof(description), &description);
    wcsncpy(description.lfFaceName, face, LF_FACESIZE - 1);
    description.lfFaceName[LF_FACESIZE - 1] = L'\0';
    description.lfHeight = height;
    if (weight) {
        description.lfWeight = *weight;
    }
    return NCommon::ScopedFont(CreateFontIndirectW(&description));
}

void SetRoundedShape(NCommon::CWnd& window, int corner)
{
    RECT bounds = {};
    window.GetWindowRect(&bounds);
    window.SetWindowRgn(NCommon::ScopedRegion(CreateRoundRectRgn(0, 0, bounds.right - bounds.left,
                                                                 bounds.bottom - bounds.top + 1, corner, corner)),
                        FALSE);
}

HBRUSH PaintOverSkin(HDC dc, UINT kind, COLORREF buttonText, COLORREF staticText)
{
    if (kind != CTLCOLOR_BTN && kind != CTLCOLOR_STATIC) {
        return nullptr;
    }
    SetTextColor(dc, kind == CTLCOLOR_BTN ? buttonText : staticText);
    SetBkMode(dc, TRANSPARENT);
    return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
}

}  // namespace DialogLook

std::wstring DriveEntryText(const std::wstring& label, wchar_t letter)
{
    return label + L" (" + letter + L":)";
}

std::wstring InstallToCaption(const std::wstring& label, wchar_t driveLetter)
{
    const std::wstring caption = L"Install to:\n" + DriveEntryText(label, driveLetter);
    return caption.substr(0, caption.find(L'\0'));
}
