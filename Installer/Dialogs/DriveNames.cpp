#include "DriveNames.h"

#include <algorithm>

#include "Accessibility.h"
#include "GdiHolders.h"
#include "QuillonDialog.h"
#include "WindowDC.h"

namespace {

const wchar_t kEllipsis = L'\u2026';

// Margins of an action bar's text area, in pixels: past the divider right of
// the square, and short of the rounded end.
const int kBarTextLeftMargin = 3;
const int kBarTextRightMargin = 4;

// Where the label may be cut: not between the two halves of a character
// outside the basic plane, and not just after a blank.
size_t CutBefore(const std::wstring& label, size_t keep)
{
    if (keep > 0 && keep < label.size() && IS_LOW_SURROGATE(label[keep]) && IS_HIGH_SURROGATE(label[keep - 1])) {
        --keep;
    }
    while (keep > 0 && label[keep - 1] == L' ') {
        --keep;
    }
    return keep;
}

}  // namespace

std::wstring FitDriveName(const std::wstring& label, wchar_t letter, int width, const TextMeasure& measure)
{
    const std::wstring whole = DriveEntryText(label, letter);
    if (label.empty() || measure(whole) <= width) {
        return whole;
    }
    const std::wstring suffix = std::wstring(1, kEllipsis) + L" (" + letter + L":)";
    for (size_t keep = CutBefore(label, label.size() - 1); keep > 0; keep = CutBefore(label, keep - 1)) {
        const std::wstring shortened = label.substr(0, keep) + suffix;
        if (measure(shortened) <= width) {
            return shortened;
        }
    }
    return DriveEntryText(std::wstring(), letter);
}

int ActionBarLineWidth(int barWidth, int barHeight, int captionLeft)
{
    // Twice the centre of the caption box, so that an odd box stays exact.
    const int centreTwice = captionLeft + barWidth;
    const int textLeft = barHeight + kBarTextLeftMargin;
    const int textRight = barWidth - kBarTextRightMargin;
    return std::max(0, std::min(centreTwice - 2 * textLeft, 2 * textRight - centreTwice));
}

std::wstring FittedInstallCaption(const std::wstring& label, wchar_t letter, int lineWidth,
                                  const TextMeasure& measure)
{
    return L"Install to:\n" + NCommon::CaptionLiteral(FitDriveName(label, letter, lineWidth, measure));
}

std::wstring FittedInstallCaption(const NCommon::AnimatedBitmapButton& button, const std::wstring& label,
                                  wchar_t letter)
{
    RECT bar = {};
    button.GetClientRect(&bar);
    const int lineWidth = ActionBarLineWidth(bar.right, bar.bottom, button.CaptionLeft());
    // One device context for every width the fitting tries; without one
    // nothing can be measured, and the name is shown whole.
    const WindowDC dc(button.m_hWnd);
    if (dc.get() == nullptr) {
        return FittedInstallCaption(label, letter, lineWidth, [](const std::wstring&) { return 0; });
    }
    const NCommon::ScopedSelection selected(dc.get(), button.m_captionFont);
    return FittedInstallCaption(label, letter, lineWidth,
                                [&dc](const std::wstring& text) { return LineWidth(dc.get(), text); });
}

int LineWidth(HDC dc, const std::wstring& text)
{
    RECT box = {0, 0, 0, 0};
    ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box, DT_SINGLELINE | DT_NOPREFIX | DT_CALCRECT);
    return box.right - box.left;
}
