#pragma once

#include <string>

#include "Controls.h"

namespace NCommon {

// Which image a button state shows: disabled, then pressed, then hovered,
// each falling back to the normal image when its own is not loaded.
ButtonImage ChooseButtonImage(UINT itemState, bool hover, bool hasSelected, bool hasFocus, bool hasDisabled);
// The box a caption is drawn in: the item rectangle with its left and top
// edges moved by the offsets.
RECT CaptionBox(const RECT& item, int offsetX, int offsetY);
// DrawText flags: centred; vertically too only on a single line, which is
// the only case the platform honours DT_VCENTER.
UINT CaptionFormat(bool multiLine);
// The part of the image that is blended: never scaled, so no more than the
// image where it is smaller than the button.
SIZE BlendExtent(const RECT& item, SIZE image);

// The keyboard focus cue: on the focused button, unless the platform's
// keyboard-cue rules hide it (the draw request's ODS_NOFOCUSRECT, or
// UISF_HIDEFOCUS in the window's state as WM_QUERYUISTATE answers it).
bool ShowsFocusCue(UINT itemState, LRESULT uiState);
// The access keys' underlines show only while the keyboard cues do.
bool ShowsAccessKeys(LRESULT uiState);
// A caption as drawn without its access keys' underlines: each single "&"
// gone, "&&" one "&".
std::wstring WithoutAccessMarks(const std::wstring& caption);

// The image button of the skinned dialogs: up to four images by state,
// blended with their per-pixel alpha over the part of the parent's skin
// under the button, and an optional caption on top.
class AnimatedBitmapButton : public CBitmapButton {
public:
    AnimatedBitmapButton() = default;
    ~AnimatedBitmapButton() override;

    void DrawItem(DRAWITEMSTRUCT* item) override;

    // Where the caption's box starts, in the button's pixels: the offset
    // scaled to the window's layout resolution.
    int CaptionLeft() const;
    int CaptionTop() const;

    std::wstring m_caption;
    // At 96 dpi, as every size the dialogs give.
    int m_captionOffsetX = 0;
    int m_captionOffsetY = 0;
    HFONT m_captionFont = nullptr;  // not owned
    bool m_multiLineCaption = false;
    // A button on a dark part of the skin: its focus cue is drawn light,
    // where the platform's inverted dots would hardly show.
    bool m_lightFocusCue = false;

protected:
    LRESULT OnEraseBkgnd(WPARAM wParam, LPARAM lParam);
    LRESULT OnMouseMove(WPARAM wParam, LPARAM lParam);
    LRESULT OnMouseHover(WPARAM wParam, LPARAM lParam);
    LRESULT OnMouseLeave(WPARAM wParam, LPARAM lParam);
    LRESULT OnUpdateUiState(WPARAM wParam, LPARAM lParam);

    bool m_hover = false;

private:
    // The steps of DrawItem, in their order: the skin under the button, the
    // state's image blended over it, the caption, the keyboard focus cue.
    void DrawParentSkin(HDC dc);
    static void BlendImage(HDC dc, const RECT& r, HDC imageDc, HBITMAP image);
    void DrawCaption(HDC dc, const RECT& r, bool disabled);
    void DrawFocusCue(HDC dc, const DRAWITEMSTRUCT& item);
    static void DrawLightFocusCue(HDC dc, const RECT& r);
    // The dialog's keyboard-cue state, which it keeps for its controls.
    LRESULT UiState() const;

    DECLARE_MESSAGE_TABLE()
};

}  // namespace NCommon
