#include "AnimatedBitmapButton.h"

#include <commctrl.h>

#include <algorithm>

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
    DrawCaption(dc, item->rcItem);
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

void AnimatedBitmapButton::DrawCaption(HDC dc, const RECT& r)
{
    if (m_caption.empty()) {
        return;
    }
    ::SetBkMode(dc, TRANSPARENT);
    HGDIOBJ replaced = m_captionFont != nullptr ? ::SelectObject(dc, m_captionFont) : nullptr;
    RECT box = CaptionBox(r, m_captionOffsetX, m_captionOffsetY);
    ::DrawTextW(dc, m_caption.c_str(), -1, &box, CaptionFormat(m_multiLineCaption));
    if (replaced != nullptr && replaced != HGDI_ERROR) {
        ::SelectObject(dc, replaced);
    }
}

void AnimatedBitmapButton::DrawFocusCue(HDC dc, const DRAWITEMSTRUCT& item)
{
    // The dialog keeps the keyboard-cue state for its controls.
    HWND parent = GetParent();
    if (ShowsFocusCue(item.itemState, ::SendMessageW(parent != nullptr ? parent : m_hWnd, WM_QUERYUISTATE, 0, 0))) {
        // The platform's dotted frame, inverted over the image, so it shows
        // on the light bars and on the skin alike.
        ::DrawFocusRect(dc, &item.rcItem);
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
