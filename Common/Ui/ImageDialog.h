#pragma once

#include "Controls.h"
#include "Dialog.h"

namespace NCommon {

// A caption-less dialog that paints a bitmap, the skin, as its whole
// background, moves when dragged by its body, and owns a tooltip control.
class ImageDialog : public CDialog {
public:
    // skinId -1: no skin, the default background. The skin is the one drawn
    // for the window's layout resolution (LayoutDpiOf), loaded when it is
    // first painted and again when that resolution changes.
    ImageDialog(int skinId, UINT templateId, CWnd* parent = nullptr);
    ~ImageDialog() override;

    BOOL PreTranslateMessage(MSG* message) override;
    BOOL OnInitDialog() override;
    // A derived dialog that answers true gets a frame drawn around this
    // rectangle into the skin, once. The base answers false.
    virtual bool GetFrameRect(RECT& rect);

protected:
    LRESULT OnEraseBkgnd(WPARAM wParam, LPARAM lParam);
    LRESULT OnLButtonDown(WPARAM wParam, LPARAM lParam);
    LRESULT OnLButtonUp(WPARAM wParam, LPARAM lParam);
    LRESULT OnMouseMove(WPARAM wParam, LPARAM lParam);

    // Once, at the first paint: the frame that GetFrameRect asks for.
    void DrawFrameIntoSkin(HDC skin);
    // The skin for the layout resolution the window has now; false without one.
    bool SkinForLayoutDpi();
    // The client area beyond the skin bitmap's width and height.
    void FillBeyondSkin(HDC target, HDC skin, int width, int height) const;

    int m_skinId;
    int m_skinDpi = 0;
    ScopedBitmap m_skin;
    CToolTipCtrl m_toolTip;
    POINT m_dragStart = {0, 0};
    bool m_framePending = true;

    DECLARE_MESSAGE_TABLE()
};

}  // namespace NCommon
