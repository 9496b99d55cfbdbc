#include "ImageDialog.h"

#include <windowsx.h>

#include <algorithm>

#include "DpiScale.h"

namespace NCommon {
namespace {
const COLORREF kFrameColour = RGB(123, 158, 189);
}

BEGIN_MESSAGE_TABLE(ImageDialog, CDialog)
    ON_MESSAGE(WM_ERASEBKGND, &ImageDialog::OnEraseBkgnd)
    ON_MESSAGE(WM_LBUTTONDOWN, &ImageDialog::OnLButtonDown)
    ON_MESSAGE(WM_LBUTTONUP, &ImageDialog::OnLButtonUp)
    ON_MESSAGE(WM_MOUSEMOVE, &ImageDialog::OnMouseMove)
END_MESSAGE_TABLE()

// The parent is accepted and not used: these dialogs are top-level windows.
ImageDialog::ImageDialog(int skinId, UINT templateId, CWnd*) : CDialog(templateId, nullptr), m_skinId(skinId) {}

bool ImageDialog::SkinForLayoutDpi()
{
    if (m_skinId == -1) {
        return false;
    }
    const int dpi = LayoutDpiOf(m_hWnd);
    if (dpi != m_skinDpi) {
        m_skinDpi = dpi;
        m_skin.reset(LoadBitmapResource(ResourceModule(), ImageIdForDpi(static_cast<UINT>(m_skinId), dpi)));
        m_framePending = true;
    }
    return m_skin.valid();
}

ImageDialog::~ImageDialog() = default;

BOOL ImageDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    ModifyStyleEx(WS_EX_APPWINDOW, 0);
    m_toolTip.Create(*this);
    return TRUE;
}

BOOL ImageDialog::PreTranslateMessage(MSG* message)
{
    m_toolTip.RelayEvent(message);
    return CDialog::PreTranslateMessage(message);
}

bool ImageDialog::GetFrameRect(RECT&)
{
    return false;
}

LRESULT ImageDialog::OnEraseBkgnd(WPARAM wParam, LPARAM)
{
    if (!SkinForLayoutDpi()) {
        return Default();
    }
    HDC target = reinterpret_cast<HDC>(wParam);
    RECT client = {};
    GetClientRect(&client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;

    ScopedMemoryDC memory(::CreateCompatibleDC(nullptr));
    if (!memory) {
        return Default();
    }
    const ScopedSelection skin(memory.get(), m_skin.get());
    if (m_framePending) {
        m_framePending = false;
        DrawFrameIntoSkin(memory.get());
    }
    ::BitBlt(target, 0, 0, width, height, memory.get(), 0, 0, SRCCOPY);
    FillBeyondSkin(target, memory.get(), width, height);
    return TRUE;
}

void ImageDialog::DrawFrameIntoSkin(HDC skin)
{
    // Drawn into the bitmap itself, so it stays there for every later paint.
    RECT frame = {0, 0, 0, 0};
    if (GetFrameRect(frame)) {
        ::InflateRect(&frame, 1, 1);
        ScopedPen pen(::CreatePen(PS_SOLID, 1, kFrameColour));
        const ScopedSelection selectedPen(skin, pen.get());
        ::Rectangle(skin, frame.left, frame.top, frame.right, frame.bottom);
    }
}

void ImageDialog::FillBeyondSkin(HDC target, HDC skin, int width, int height) const
{
    // The skins are a pixel narrower (and shorter) than the client area their
    // templates give at the usual base units. The strip beyond the bitmap
    // repeats the skin's last column and row rather than show whatever the
    // screen held there before.
    BITMAP info = {};
    ::GetObjectW(m_skin.get(), sizeof(info), &info);
    const int skinWidth = info.bmWidth;
    const int skinHeight = info.bmHeight;
    if (skinWidth <= 0 || skinHeight <= 0) {
        return;
    }
    const int coveredWidth = std::min(width, skinWidth);
    const int coveredHeight = std::min(height, skinHeight);
    if (width > skinWidth) {
        ::StretchBlt(target, skinWidth, 0, width - skinWidth, coveredHeight, skin, skinWidth - 1, 0, 1,
                     coveredHeight, SRCCOPY);
    }
    if (height > skinHeight) {
        ::StretchBlt(target, 0, skinHeight, coveredWidth, height - skinHeight, skin, 0, skinHeight - 1,
                     coveredWidth, 1, SRCCOPY);
    }
    if (width > skinWidth && height > skinHeight) {
        ::StretchBlt(target, skinWidth, skinHeight, width - skinWidth, height - skinHeight, skin, skinWidth - 1,
                     skinHeight - 1, 1, 1, SRCCOPY);
    }
}

LRESULT ImageDialog::OnLButtonDown(WPARAM, LPARAM lParam)
{
    m_dragStart = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ::SetCapture(m_hWnd);
    return Default();
}

LRESULT ImageDialog::OnMouseMove(WPARAM, LPARAM lParam)
{
    if (::GetCapture() == m_hWnd) {
        RECT window = {};
        GetWindowRect(&window);
        MoveWindow(window.left + GET_X_LPARAM(lParam) - m_dragStart.x,
                   window.top + GET_Y_LPARAM(lParam) - m_dragStart.y, window.right - window.left,
                   window.bottom - window.top, TRUE);
    }
    return Default();
}

LRESULT ImageDialog::OnLButtonUp(WPARAM, LPARAM)
{
    ::ReleaseCapture();
    return Default();
}

}  // namespace NCommon
