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

std::wstring FitDriveName(const std::wstring& volumeLabel, wchar_t letter, int width, const TextMeasure& measure)
{
    const std::wstring label = DriveDisplayLabel(volumeLabel);
    const std::wstring whole = DriveEntryText(label, letter);
    if (measure(whole) <= width) {
        return whole;
    }
    const std::wstring suffix = std::wstring(1, kEllipsis) + L" (" + letter + L":)";
    for (size_t keep = CutBefore(label, label.size() - 1); keep > 0; keep = CutBefore(label, keep - 1)) {
        const std::wstring shortened = label.substr(0, keep) + suffix;
        if (measure(shortened) <= width) {
            return shortened;
        }
    }
    return std::wstring(L"(") + letter + L":)";
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
    const std::wstring whole = DriveEntryText(label, letter);
    if (measure(whole) <= lineWidth) {
        return L"Install to:\n" + NCommon::CaptionLiteral(whole);
    }
    // The letter goes up beside "Install to", so that the name has the
    // whole second line to itself: an 11-character label fits there whole.
    const std::wstring name = DriveDisplayLabel(label);
    std::wstring shown = name;
    for (size_t keep = CutBefore(name, name.size() - 1); measure(shown) > lineWidth && keep > 0;
         keep = CutBefore(name, keep - 1)) {
        shown = name.substr(0, keep) + kEllipsis;
    }
    return std::wstring(L"Install to ") + letter + L":\n" + NCommon::CaptionLiteral(shown);
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
    const int measured = box.right - box.left;
    return std::max(measured, InkWidth(dc, text, measured, box.bottom - box.top));
}

int InkWidth(HDC dc, const std::wstring& text, int measured, int height)
{
    // Drawn where it is measured, black on white, on room enough for a text
    // twice as wide as it says it is.
    const int width = 2 * measured + height + 8;
    if (measured <= 0 || height <= 0) {
        return 0;
    }
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof(format.bmiHeader);
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const NCommon::ScopedBitmap canvas(::CreateDIBSection(dc, &format, DIB_RGB_COLORS, &bits, nullptr, 0));
    NCommon::ScopedMemoryDC memory(::CreateCompatibleDC(dc));
    if (!canvas || !memory || bits == nullptr) {
        return 0;
    }
    const NCommon::ScopedSelection drawnOn(memory.get(), canvas.get());
    const NCommon::ScopedSelection font(memory.get(), ::GetCurrentObject(dc, OBJ_FONT));
    RECT all = {0, 0, width, height};
    ::FillRect(memory.get(), &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    ::SetTextColor(memory.get(), RGB(0, 0, 0));
    ::SetBkMode(memory.get(), TRANSPARENT);
    ::DrawTextW(memory.get(), text.c_str(), static_cast<int>(text.size()), &all, DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
    ::GdiFlush();
    const auto* pixels = static_cast<const DWORD*>(bits);
    for (int x = width - 1; x >= 0; --x) {
        for (int y = 0; y < height; ++y) {
            if ((pixels[y * width + x] & 0xFFFFFF) != 0xFFFFFF) {
                return x + 1;
            }
        }
    }
    return 0;
}
