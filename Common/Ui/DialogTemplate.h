#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace NCommon {

// What a dialog template resource says, read from its bytes. Both the
// extended form (DLGTEMPLATEEX) and the plain one are read in full.
struct DialogItemTemplate {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    WORD classOrdinal = 0;  // 0x80 button, 0x82 static, ...; 0 when named
    std::wstring className;
    std::wstring text;
};

struct DialogTemplateInfo {
    bool extended = false;
    DWORD style = 0;
    DWORD exStyle = 0;
    bool hasMenu = false;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring title;
    bool hasFont = false;  // the style bit DS_SETFONT (0x40)
    int pointSize = 0;     // as stored: an unsigned 16-bit value
    int weight = 0;
    bool italic = false;
    std::wstring face;
    std::vector<DialogItemTemplate> items;
};

// Nothing when the bytes are not a whole template.
std::optional<DialogTemplateInfo> ParseDialogTemplate(const void* data, size_t size);

// The font a layout gives a dialog: the template's description, or Tahoma 8
// points, weight 400, when the template has none.
struct DialogFontDescription {
    std::wstring face;
    int pointSize = 0;
    int weight = 0;
    bool italic = false;
};
DialogFontDescription TemplateFont(const DialogTemplateInfo& info);

// A point size outside 0..0x7FFF is a negated one stored in 16 bits.
int NormalizePointSize(int pointSize);
// The negative character height in pixels that CreateFont is asked for.
int FontHeightForPoints(int pointSize, double dpi);

// Dialog base units of a font: from the extent of the 52 Latin letters and
// the text metrics' height.
struct DialogBaseUnits {
    int x = 0;
    int y = 0;
};
DialogBaseUnits BaseUnitsFromFont(int extentOf52Letters, int textHeight);

int DialogUnitsToPixelsX(int units, DialogBaseUnits base);
int DialogUnitsToPixelsY(int units, DialogBaseUnits base);

struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
};
PixelRect ControlRectInPixels(const DialogItemTemplate& item, DialogBaseUnits base);
SIZE ClientSizeInPixels(const DialogTemplateInfo& info, DialogBaseUnits base);
// The same at a resolution: the pixels that the base units measured at 96
// dpi give, scaled to `dpi` (a rectangle by its edges). At 96 dpi they are
// the pixels above.
PixelRect ControlRectAtDpi(const DialogItemTemplate& item, DialogBaseUnits baseAt96, int dpi);
SIZE ClientSizeAtDpi(const DialogTemplateInfo& info, DialogBaseUnits baseAt96, int dpi);

// Pairs template items with a window's children (both given as control
// ids, in template and in child order): each item is searched for from the
// child after the previous match on; the pairing stops at the first item
// that is not found. Returns (item index, child index) pairs.
std::vector<std::pair<size_t, size_t>> MatchTemplateItems(const std::vector<int>& childIds,
                                                          const std::vector<int>& itemIds);

}  // namespace NCommon
