#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "AnimatedBitmapButton.h"

// The width a text takes on one line, in pixels.
using TextMeasure = std::function<int(const std::wstring&)>;

// How a drive reads where `width` pixels are all there is: the label and
// the letter whole when they fit; else the label cut short with an
// ellipsis, so that the letter in its brackets always shows whole; the
// letter alone when not even one character of the label fits.
std::wstring FitDriveName(const std::wstring& label, wchar_t letter, int width, const TextMeasure& measure);

// How wide one caption line may be on an action button, centred in the box
// that starts `captionLeft` pixels in: clear of the coloured square at the
// bar's left (as wide as the bar is high) and of its rounded right end.
int ActionBarLineWidth(int barWidth, int barHeight, int captionLeft);

// The action button's caption for a drive, fitted to the button: "Install
// to:" and, below, the drive cut to `lineWidth` pixels, drawn with
// access-key prefixes so that an & in the label shows as it is. `label` is
// the volume's own label, not yet escaped.
std::wstring FittedInstallCaption(const std::wstring& label, wchar_t letter, int lineWidth,
                                  const TextMeasure& measure);

// Of fonts from the largest down (each as its measure), the first in which
// the drive's whole name fits on a line of `lineWidth`; the smallest when
// it fits in none, where the most of it shows.
size_t ChooseCaptionFont(const std::wstring& label, wchar_t letter, int lineWidth,
                         const std::vector<TextMeasure>& measures);

// The caption for a drive fitted to this action button as it is now (its
// size and the left edge of its caption box), and the font to draw it in:
// `regular`, or `smaller` where only that shows the drive's name whole.
struct InstallCaption {
    std::wstring caption;
    HFONT font;
};
InstallCaption FittedInstallCaption(const NCommon::AnimatedBitmapButton& button, const std::wstring& label,
                                    wchar_t letter, HFONT regular, HFONT smaller);

// The width of one line of text in this device context's current font, as
// DrawText draws it without prefixes.
int LineWidth(HDC dc, const std::wstring& text);
