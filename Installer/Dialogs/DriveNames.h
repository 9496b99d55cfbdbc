#pragma once

#include <windows.h>

#include <functional>
#include <string>

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
// to:" and, below, the drive's name and letter where they fit whole on a
// line of `lineWidth` pixels; else "Install to E:" and, below, the name
// alone, cut with an ellipsis where even that does not fit. Drawn with
// access-key prefixes, so that an & in the label shows as it is. `label`
// is the volume's own label, not yet escaped.
std::wstring FittedInstallCaption(const std::wstring& label, wchar_t letter, int lineWidth,
                                  const TextMeasure& measure);

// The same, fitted to this action button as it is now: its size, the left
// edge of its caption box and its caption font.
std::wstring FittedInstallCaption(const NCommon::AnimatedBitmapButton& button, const std::wstring& label,
                                  wchar_t letter);

// The width of one line of text in this device context's current font, as
// DrawText draws it without prefixes: what it measures, or what it inks
// where that is wider (Wine draws some fonts wider than it measures them).
int LineWidth(HDC dc, const std::wstring& text);
// How far a line drawn at 0 inks, in this font; 0 when it cannot be drawn.
int InkWidth(HDC dc, const std::wstring& text, int measured, int height);
