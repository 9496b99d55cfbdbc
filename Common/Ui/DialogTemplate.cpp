#include "DialogTemplate.h"

#include <cmath>
#include <cstring>

#include "DpiScale.h"

namespace NCommon {
namespace {

// Reads little-endian fields from a resource with bounds checks; any read
// past the end leaves the reader failed.
class Reader {
public:
    Reader(const unsigned char* data, size_t size) : m_data(data), m_size(size) {}

    bool ok() const { return m_ok; }

    WORD Word()
    {
        if (!Need(2)) {
            return 0;
        }
        const WORD value = static_cast<WORD>(m_data[m_offset] | (m_data[m_offset + 1] << 8));
        m_offset += 2;
        return value;
    }
    DWORD Dword()
    {
        const DWORD low = Word();
        const DWORD high = Word();
        return low | (high << 16);
    }
    short Short() { return static_cast<short>(Word()); }
    BYTE Byte()
    {
        if (!Need(1)) {
            return 0;
        }
        return m_data[m_offset++];
    }
    std::wstring String()
    {
        std::wstring text;
        for (WORD unit = Word(); m_ok && unit != 0; unit = Word()) {
            text.push_back(static_cast<wchar_t>(unit));
        }
        return text;
    }
    // A name or ordinal field: 0 (none), 0xFFFF and an ordinal, or a string.
    // Returns whether something was named.
    bool NameOrOrdinal(WORD* ordinal, std::wstring* name)
    {
        const size_t start = m_offset;
        const WORD first = Word();
        if (!m_ok || first == 0) {
            return false;
        }
        if (first == 0xFFFF) {
            const WORD value = Word();
            if (ordinal != nullptr) {
                *ordinal = value;
            }
            return true;
        }
        m_offset = start;
        const std::wstring text = String();
        if (name != nullptr) {
            *name = text;
        }
        return true;
    }
    void Skip(size_t count)
    {
        if (Need(count)) {
            m_offset += count;
        }
    }
    void AlignToDword()
    {
        const size_t aligned = (m_offset + 3) & ~static_cast<size_t>(3);
        if (aligned > m_size) {
            // A template may end right after its last item without padding.
            m_offset = m_size;
            return;
        }
        m_offset = aligned;
    }

private:
    bool Need(size_t count)
    {
        if (!m_ok || m_size - m_offset < count) {
            m_ok = false;
            return false;
        }
        return true;
    }

    const unsigned char* m_data;
    size_t m_size;
    size_t m_offset = 0;
    bool m_ok = true;
};

int Round(double value)
{
    return static_cast<int>(std::trunc(value + 0.5));
}

// The fixed part, the menu, the class and the title; returns the number of
// items that follow.
WORD ReadHeader(Reader& in, DialogTemplateInfo& info)
{
    const WORD version = in.Word();
    const WORD signature = in.Word();
    info.extended = version == 1 && signature == 0xFFFF;
    if (info.extended) {
        in.Dword();  // help id
        info.exStyle = in.Dword();
        info.style = in.Dword();
    } else {
        info.style = static_cast<DWORD>(version) | (static_cast<DWORD>(signature) << 16);
        info.exStyle = in.Dword();
    }
    const WORD itemCount = in.Word();
    info.x = in.Short();
    info.y = in.Short();
    info.cx = in.Short();
    info.cy = in.Short();
    info.hasMenu = in.NameOrOrdinal(nullptr, nullptr);
    in.NameOrOrdinal(nullptr, nullptr);  // window class
    info.title = in.String();
    return itemCount;
}

// The font description after the title, present only with DS_SETFONT; the
// plain form has no weight, italic flag or character set.
void ReadFont(Reader& in, DialogTemplateInfo& info)
{
    info.hasFont = (info.style & DS_SETFONT) != 0;
    if (!info.hasFont) {
        return;
    }
    info.pointSize = in.Word();
    if (info.extended) {
        info.weight = in.Word();
        info.italic = in.Byte() != 0;
        in.Byte();  // character set
    }
    info.face = in.String();
}

DialogItemTemplate ReadItem(Reader& in, bool extended)
{
    in.AlignToDword();
    DialogItemTemplate item;
    if (extended) {
        in.Dword();  // help id
        item.exStyle = in.Dword();
        item.style = in.Dword();
    } else {
        item.style = in.Dword();
        item.exStyle = in.Dword();
    }
    item.x = in.Short();
    item.y = in.Short();
    item.cx = in.Short();
    item.cy = in.Short();
    item.id = extended ? static_cast<int>(in.Dword()) : static_cast<short>(in.Word());
    in.NameOrOrdinal(&item.classOrdinal, &item.className);
    WORD textOrdinal = 0;
    in.NameOrOrdinal(&textOrdinal, &item.text);
    in.Skip(in.Word());  // creation data
    return item;
}

}  // namespace

std::optional<DialogTemplateInfo> ParseDialogTemplate(const void* data, size_t size)
{
    if (data == nullptr) {
        return std::nullopt;
    }
    Reader in(static_cast<const unsigned char*>(data), size);
    DialogTemplateInfo info;
    const WORD itemCount = ReadHeader(in, info);
    ReadFont(in, info);
    if (!in.ok()) {
        return std::nullopt;
    }
    for (WORD i = 0; i < itemCount; ++i) {
        DialogItemTemplate item = ReadItem(in, info.extended);
        if (!in.ok()) {
            return std::nullopt;
        }
        info.items.push_back(item);
    }
    return info;
}

int NormalizePointSize(int pointSize)
{
    if (pointSize < 0 || pointSize > 0x7FFF) {
        return (-pointSize) & 0xFFFF;
    }
    return pointSize;
}

int FontHeightForPoints(int pointSize, double dpi)
{
    return -static_cast<int>(std::trunc(pointSize * dpi / 72.0 + 0.5));
}

DialogFontDescription TemplateFont(const DialogTemplateInfo& info)
{
    DialogFontDescription font;
    if (info.hasFont) {
        font.face = info.face;
        font.pointSize = info.pointSize;
        font.weight = info.weight;
        font.italic = info.italic;
    } else {
        font.face = L"Tahoma";
        font.pointSize = 8;
        font.weight = FW_NORMAL;
        font.italic = false;
    }
    font.pointSize = NormalizePointSize(font.pointSize);
    return font;
}

DialogBaseUnits BaseUnitsFromFont(int extentOf52Letters, int textHeight)
{
    return DialogBaseUnits{(extentOf52Letters / 26 + 1) / 2, textHeight};
}

int DialogUnitsToPixelsX(int units, DialogBaseUnits base)
{
    return Round(units * base.x * 0.25);
}

int DialogUnitsToPixelsY(int units, DialogBaseUnits base)
{
    return Round(units * base.y * 0.125);
}

PixelRect ControlRectInPixels(const DialogItemTemplate& item, DialogBaseUnits base)
{
    return PixelRect{DialogUnitsToPixelsX(item.x, base), DialogUnitsToPixelsY(item.y, base),
                     DialogUnitsToPixelsX(item.cx, base), DialogUnitsToPixelsY(item.cy, base)};
}

SIZE ClientSizeInPixels(const DialogTemplateInfo& info, DialogBaseUnits base)
{
    return SIZE{DialogUnitsToPixelsX(info.cx, base), DialogUnitsToPixelsY(info.cy, base)};
}

PixelRect ControlRectAtDpi(const DialogItemTemplate& item, DialogBaseUnits baseAt96, int dpi)
{
    const PixelRect at96 = ControlRectInPixels(item, baseAt96);
    const RECT r = ScaleRectToDpi(RECT{at96.x, at96.y, at96.x + at96.width, at96.y + at96.height}, dpi);
    return PixelRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
}

SIZE ClientSizeAtDpi(const DialogTemplateInfo& info, DialogBaseUnits baseAt96, int dpi)
{
    const SIZE at96 = ClientSizeInPixels(info, baseAt96);
    return SIZE{ScaleToDpi(at96.cx, dpi), ScaleToDpi(at96.cy, dpi)};
}

std::vector<std::pair<size_t, size_t>> MatchTemplateItems(const std::vector<int>& childIds,
                                                          const std::vector<int>& itemIds)
{
    std::vector<std::pair<size_t, size_t>> matches;
    size_t next = 0;
    for (size_t item = 0; item < itemIds.size(); ++item) {
        size_t child = next;
        while (child < childIds.size() && childIds[child] != itemIds[item]) {
            ++child;
        }
        if (child == childIds.size()) {
            break;
        }
        matches.emplace_back(item, child);
        next = child + 1;
    }
    return matches;
}

}  // namespace NCommon
