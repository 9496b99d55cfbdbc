#include "AnimatedBitmapButton.h"

#include <commctrl.h>

#include <algorithm>

#include "DpiScale.h"

namespace NCommon {

ButtonImage ChooseButtonImage(UINT itemState, bool hover, bool hasSelected, bool hasFocus, bool hasDisabled)
{
    if (itemState & ODS_DISABLED) {
        return hasDisabled ? ButtonImage::Disabled : ButtonImage::Normal;
    }
    if (itemState & ODS_SELECTED) {
        return hasSelected ? ButtonImage::Selected : ButtonImage::Normal;
    }
    if (hover) {
        return hasFocus ? ButtonImage::Focus : ButtonImage::Normal;
    }
    return ButtonImage::Normal;
}

RECT CaptionBox(const RECT& item, int offsetX, int offsetY)
{
    return RECT{item.left + offsetX, item.top + offsetY, item.right, item.bottom};
}

UINT CaptionFormat(bool multiLine)
{
    return DT_CENTER | DT_VCENTER | (multiLine ? 0u : static_cast<UINT>(DT_SINGLELINE));
}

SIZE BlendExtent(const RECT& item, SIZE image)
{
    return SIZE{std::min<LONG>(item.right - item.left, image.cx), std::min<LONG>(item.bottom - item.top, image.cy)};
}

bool ShowsFocusCue(UINT itemState, LRESULT uiState)
{
    return (itemState & ODS_FOCUS) != 0 && (itemState & ODS_NOFOCUSRECT) == 0 &&
           (static_cast<UINT>(uiState) & UISF_HIDEFOCUS) == 0;
}

std::wstring WithoutAccessMarks(const std::wstring& caption)
{
    std::wstring plain;
    for (size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == L'&') {
            if (i + 1 >= caption.size() || caption[i + 1] != L'&') {
                continue;
            }
            ++i;
        }
        plain += caption[i];
    }
    return plain;
}

bool ShowsAccessKeys(LRESULT uiState)
{
    return (static_cast<UINT>(uiState) & UISF_HIDEACCEL) == 0;
}

BEGIN_MESSAGE_TABLE(AnimatedBitmapButton, CBitmapButton)
    ON_MESSAGE(WM_ERASEBKGND, &AnimatedBitmapButton::OnEraseBkgnd)
    ON_MESSAGE(WM_MOUSEMOVE, &AnimatedBitmapButton::OnMouseMove)
    ON_MESSAGE(WM_MOUSEHOVER, &AnimatedBitmapButton::OnMouseHover)
    ON_MESSAGE(WM_MOUSELEAVE, &AnimatedBitmapButton::OnMouseLeave)
    ON_MESSAGE(WM_UPDATEUISTATE, &AnimatedBitmapButton::OnUpdateUiState)
END_MESSAGE_TABLE()

AnimatedBitmapButton::~AnimatedBitmapButton() = default;

void AnimatedBitmapButton::DrawItem(DRAWITEMSTRUCT* item)
{
    HDC dc = item->hDC;
    const HBITMAP image = GetBitmap(ChooseButtonImage(item->itemState, m_hover, m_bitmapSel.valid(),
                                                      m_bitmapFocus.valid(), m_bitmapDisabled.valid()));
    ScopedMemoryDC memory(::CreateCompatibleDC(dc));
    if (!memory || image == nullptr) {
        return;
    }
    const ScopedSelection selectedImage(memory.get(), image);
    if (!selectedImage.ok()) {
        return;
    }
    DrawParentSkin(dc);
    BlendImage(dc, item->rcItem, memory.get(), image);
    DrawCaption(dc, item->rcItem, (item->itemState & ODS_DISABLED) != 0);
    DrawFocusCue(dc, *item);
}

void AnimatedBitmapButton::DrawParentSkin(HDC dc)
{
    if (HWND parent = GetParent()) {
        POINT origin = {0, 0};
        ::MapWindowPoints(m_hWnd, parent, &origin, 1);
        const ScopedWindowOrigin shifted(dc, origin.x, origin.y);
        ::SendMessageW(parent, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    }
}

void AnimatedBitmapButton::BlendImage(HDC dc, const RECT& r, HDC imageDc, HBITMAP image)
{
    BITMAP info = {};
    ::GetObjectW(image, sizeof(info), &info);
    // AlphaBlend refuses a source rectangle that leaves the bitmap, which
    // would leave a button larger than its image blank.
    const SIZE extent = BlendExtent(r, SIZE{info.bmWidth, info.bmHeight});
    BLENDFUNCTION blend = {};
    blend.BlendOp = AC_SRC_OVER;
    blend.BlendFlags = 0;
    blend.SourceConstantAlpha = 255;
    blend.AlphaFormat = AC_SRC_ALPHA;
    ::AlphaBlend(dc, r.left, r.top, extent.cx, extent.cy, imageDc, 0, 0, extent.cx, extent.cy, blend);
}

void AnimatedBitmapButton::DrawCaption(HDC dc, const RECT& r, bool disabled)
{
    if (m_caption.empty()) {
        return;
    }
    ::SetBkMode(dc, TRANSPARENT);
    if (disabled) {
        // A button that cannot act says so in its caption too.
        ::SetTextColor(dc, ::GetSysColor(COLOR_GRAYTEXT));
    }
    HGDIOBJ replaced = m_captionFont != nullptr ? ::SelectObject(dc, m_captionFont) : nullptr;
    RECT box = CaptionBox(r, CaptionLeft(), CaptionTop());
    // Without the keyboard cues the marks go before drawing: DT_HIDEPREFIX
    // is not honoured everywhere.
    const bool accessKeys = ShowsAccessKeys(UiState());
    const std::wstring shown = accessKeys ? m_caption : WithoutAccessMarks(m_caption);
    ::DrawTextW(dc, shown.c_str(), -1, &box, CaptionFormat(m_multiLineCaption) | (accessKeys ? 0u : DT_NOPREFIX));
    if (replaced != nullptr && replaced != HGDI_ERROR) {
        ::SelectObject(dc, replaced);
    }
}

int AnimatedBitmapButton::CaptionLeft() const
{
    return ScaleToDpi(m_captionOffsetX, LayoutDpiOf(m_hWnd));
}

int AnimatedBitmapButton::CaptionTop() const
{
    return ScaleToDpi(m_captionOffsetY, LayoutDpiOf(m_hWnd));
}

LRESULT AnimatedBitmapButton::UiState() const
{
    HWND parent = GetParent();
    return ::SendMessageW(parent != nullptr ? parent : m_hWnd, WM_QUERYUISTATE, 0, 0);
}

void AnimatedBitmapButton::DrawFocusCue(HDC dc, const DRAWITEMSTRUCT& item)
{
    if (!ShowsFocusCue(item.itemState, UiState())) {
        return;
    }
    if (m_lightFocusCue) {
        DrawLightFocusCue(dc, item.rcItem);
    } else {
        // The platform's dotted frame, inverted over the image, so it shows
        // on the light bars and on the light skin alike.
        ::DrawFocusRect(dc, &item.rcItem);
    }
}

void AnimatedBitmapButton::DrawLightFocusCue(HDC dc, const RECT& r)
{
    // Dots like the platform's, in white, around the button's edge: an
    // inverted dot on the mid-blue header comes out about as bright as the
    // header itself, and can hardly be seen.
    const COLORREF light = RGB(255, 255, 255);
    for (LONG x = r.left; x < r.right; x += 2) {
        ::SetPixelV(dc, x, r.top, light);
        ::SetPixelV(dc, x, r.bottom - 1, light);
    }
    for (LONG y = r.top; y < r.bottom; y += 2) {
        ::SetPixelV(dc, r.left, y, light);
        ::SetPixelV(dc, r.right - 1, y, light);
    }
}

LRESULT AnimatedBitmapButton::OnEraseBkgnd(WPARAM, LPARAM)
{
    return TRUE;
}

LRESULT AnimatedBitmapButton::OnMouseMove(WPARAM, LPARAM)
{
    TRACKMOUSEEVENT track = {};
    track.cbSize = sizeof(track);
    track.dwFlags = TME_HOVER | TME_LEAVE;
    track.hwndTrack = m_hWnd;
    track.dwHoverTime = 100;
    ::TrackMouseEvent(&track);
    if (!m_hover) {
        m_hover = true;
        ::InvalidateRect(m_hWnd, nullptr, TRUE);
    }
    return Default();
}

LRESULT AnimatedBitmapButton::OnMouseHover(WPARAM, LPARAM)
{
    if (!m_hover) {
        m_hover = true;
        ::InvalidateRect(m_hWnd, nullptr, TRUE);
    }
    return 0;
}

LRESULT AnimatedBitmapButton::OnUpdateUiState(WPARAM, LPARAM)
{
    // The cue appears or goes with the window's keyboard-cue state, which
    // the button's own handling does not repaint an owner-drawn face for.
    const LRESULT result = Default();
    ::InvalidateRect(m_hWnd, nullptr, TRUE);
    return result;
}

LRESULT AnimatedBitmapButton::OnMouseLeave(WPARAM, LPARAM)
{
    if (m_hover) {
        m_hover = false;
        ::InvalidateRect(m_hWnd, nullptr, TRUE);
    }
    return 0;
}

}  // namespace NCommon
