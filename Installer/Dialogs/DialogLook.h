#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "AnimatedBitmapButton.h"
#include "GdiHolders.h"
#include "Window.h"

// What the three dialogs have in common beyond the toolkit: the buttons in
// the skin's corner, fonts made from the dialog's own font, the rounded
// window shape and the colours of texts drawn straight onto the skin.
namespace DialogLook {

// The help, close, partner and product logo buttons every dialog carries,
// each given its images and sized to them.
void LoadCornerButtons(NCommon::AnimatedBitmapButton& help, NCommon::AnimatedBitmapButton& close,
                       NCommon::AnimatedBitmapButton& partner, NCommon::AnimatedBitmapButton& logo);

// A copy of `base` (read afresh with GetObjectW) with another face and cell
// height, and another weight when one is given.
NCommon::ScopedFont DeriveFont(HFONT base, const wchar_t* face, LONG height,
                               std::optional<LONG> weight = std::nullopt);

// Rounds the window's corners with an ellipse of `corner` pixels; the window
// keeps the region. Not repainted: the dialog is not shown yet.
void SetRoundedShape(NCommon::CWnd& window, int corner);

// Button captions and static texts are drawn without a background of their
// own, so the skin under them shows. Null for any other kind of control: the
// caller then leaves the query to the default handling.
HBRUSH PaintOverSkin(HDC dc, UINT kind, COLORREF buttonText, COLORREF staticText);

}  // namespace DialogLook

// How a drive reads in the list: its volume label, a blank, the letter in
// brackets ("STICK (E:)", " (E:)" without a label).
std::wstring DriveEntryText(const std::wstring& label, wchar_t letter);

// The action button's two lines for the chosen drive, in the drive picker
// and the progress dialog alike: "Install to:", then the label and the
// letter. Cut at a letter 0, as a C text would be.
std::wstring InstallToCaption(const std::wstring& label, wchar_t driveLetter);
