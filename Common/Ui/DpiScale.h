#pragma once

#include <windows.h>

namespace NCommon {

// Every size in pixels that the dialogs give (their templates' layout, their
// images, their fonts, their offsets) is a size at 96 dots per inch, the
// resolution of 100 % scaling; a window shows them scaled to the resolution
// it is laid out at.
constexpr int kBaseDpi = 96;

// A size at 96 dpi at `dpi`, to the nearest pixel (a half up). The build
// draws the images to the same rule (scripts/make-skins.py), so an image is
// exactly as large as the size it stands for.
int ScaleToDpi(int pixelsAt96, int dpi);

// A rectangle at 96 dpi at `dpi`: its edges are scaled, not its size, so
// that controls that touch at 96 dpi still touch.
RECT ScaleRectToDpi(const RECT& at96, int dpi);

// The resolution a window is laid out at, for the resolution it is shown
// at: one of those the build draws the images for (96, 120, 144, 192), so
// that every image is drawn for the scale it is shown at and none is
// stretched. Between two of them the nearer by ratio (a tie goes to the
// larger); below 96 dpi 96, above 192 dpi 192.
int LayoutDpiFor(int windowDpi);

// The resource id of the image drawn for a layout resolution: the 96-dpi
// image's id, plus 1000 for 120 dpi, 2000 for 144 and 3000 for 192.
UINT ImageIdForDpi(UINT idAt96, int layoutDpi);

// The resolution a window is shown at: GetDpiForWindow where user32 has it
// (Windows 10 1607 and later; looked up at run time, as Windows 7 lacks it),
// else the screen's LOGPIXELSY. 96 when neither answers.
int WindowDpi(HWND window);

// Tells Windows (10 1703 and later; nothing where user32 lacks the call)
// not to resize a template dialog, its controls or their fonts itself when
// the dialog's resolution changes: its own layout does.
void KeepDialogFromSystemScaling(HWND dialog);

// The layout resolution of a window's contents, kept on its top-level
// window by the layout that made them, so that its controls (images,
// captions) follow it. 96 for a window without one.
void SetLayoutDpi(HWND window, int dpi);
int LayoutDpiOf(HWND window);
void ForgetLayoutDpi(HWND window);

}  // namespace NCommon
