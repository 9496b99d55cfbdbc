#include "DialogFontLayout.h"

#include <commctrl.h>

#include <vector>

#include "DpiScale.h"

namespace NCommon {
namespace {
constexpr UINT_PTR kWatchId = 0x464F4E54;
const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

HFONT CreateTemplateFont(const DialogTemplateInfo& info, double dpi)
{
    const DialogFontDescription font = TemplateFont(info);
    return ::CreateFontW(FontHeightForPoints(font.pointSize, dpi), 0, 0, 0, font.weight, font.italic, FALSE, FALSE,
                         DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                         DEFAULT_PITCH | FF_DONTCARE, font.face.c_str());
}

// The font's dialog base units, measured in a device context of the window.
DialogBaseUnits MeasureBaseUnits(HWND window, HFONT font)
{
    TEXTMETRICA metrics = {};
    SIZE extent = {};
    {
        const PaintDC dc(window);
        const ScopedSelection selected(dc.get(), font);
        ::GetTextMetricsA(dc.get(), &metrics);
        ::GetTextExtentPointA(dc.get(), kLetters, 52, &extent);
    }
    return BaseUnitsFromFont(extent.cx, metrics.tmHeight);
}

// Gives the window the template's client size at the resolution; the client
// area's top-left corner stays where it is on the screen.
void FitWindowToTemplate(HWND window, const DialogTemplateInfo& info, DialogBaseUnits unitsAt96, int dpi)
{
    RECT client = {};
    ::GetClientRect(window, &client);
    const SIZE size = ClientSizeAtDpi(info, unitsAt96, dpi);
    POINT topLeft = {client.left, client.top};
    POINT bottomRight = {client.left + size.cx, client.top + size.cy};
    ::ClientToScreen(window, &topLeft);
    ::ClientToScreen(window, &bottomRight);
    RECT frame = {topLeft.x, topLeft.y, bottomRight.x, bottomRight.y};
    ::AdjustWindowRectEx(&frame, info.style, info.hasMenu, info.exStyle);
    ::MoveWindow(window, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top, TRUE);
}
}  // namespace

DialogFontLayout::~DialogFontLayout()
{
    Restore();
}

std::optional<DialogTemplateInfo> DialogFontLayout::ReadTemplate() const
{
    HRSRC resource = ::FindResourceW(m_module, MAKEINTRESOURCEW(LOWORD(m_templateId)), RT_DIALOG);
    if (resource == nullptr) {
        return std::nullopt;
    }
    HGLOBAL loaded = ::LoadResource(m_module, resource);
    const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    return ParseDialogTemplate(bytes, ::SizeofResource(m_module, resource));
}

template <typename Visit>
void DialogFontLayout::ForEachMatchedControl(const DialogTemplateInfo& info, Visit visit) const
{
    std::vector<HWND> children;
    std::vector<int> childIds;
    for (HWND child = ::GetWindow(m_window, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
        childIds.push_back(::GetDlgCtrlID(child));
    }
    std::vector<int> itemIds;
    for (const DialogItemTemplate& item : info.items) {
        itemIds.push_back(item.id);
    }
    for (const auto& [item, child] : MatchTemplateItems(childIds, itemIds)) {
        visit(info.items[item], children[child]);
    }
}

bool DialogFontLayout::Apply(HINSTANCE module, HWND window, UINT templateId, double dpi)
{
    if (m_window != nullptr) {
        Restore();
    }
    m_templateId = templateId;
    m_module = module;
    m_window = window;

    const int layoutDpi = static_cast<int>(dpi + 0.5);
    const std::optional<DialogTemplateInfo> info = ReadTemplate();
    // The geometry is measured with the font at 96 dpi: the one created,
    // where that is the resolution.
    ScopedFont fontAt96;
    if (info) {
        m_createdFont.reset(CreateTemplateFont(*info, dpi));
        if (layoutDpi != kBaseDpi) {
            fontAt96.reset(CreateTemplateFont(*info, kBaseDpi));
        }
    }
    HFONT measured = layoutDpi != kBaseDpi ? fontAt96.get() : m_createdFont.get();
    if (!info || !m_createdFont || measured == nullptr ||
        !::SetWindowSubclass(window, &WatchProc, kWatchId, reinterpret_cast<DWORD_PTR>(this))) {
        m_createdFont.reset();
        m_window = nullptr;
        m_module = nullptr;
        m_templateId = 0;
        return false;
    }

    m_previousFont = reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0));
    ::SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(m_createdFont.get()), TRUE);
    SetLayoutDpi(window, layoutDpi);
    m_baseUnits = MeasureBaseUnits(window, measured);
    FitWindowToTemplate(window, *info, m_baseUnits, layoutDpi);
    ForEachMatchedControl(*info, [&](const DialogItemTemplate& item, HWND child) {
        const PixelRect r = ControlRectAtDpi(item, m_baseUnits, layoutDpi);
        ::MoveWindow(child, r.x, r.y, r.width, r.height, TRUE);
        ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(m_createdFont.get()), TRUE);
    });
    return true;
}

void DialogFontLayout::Restore()
{
    if (m_window == nullptr) {
        return;
    }
    ::RemoveWindowSubclass(m_window, &WatchProc, kWatchId);
    if (::IsWindow(m_window)) {
        ForgetLayoutDpi(m_window);
        ::SendMessageW(m_window, WM_SETFONT, reinterpret_cast<WPARAM>(m_previousFont), TRUE);
        if (const std::optional<DialogTemplateInfo> info = ReadTemplate()) {
            ForEachMatchedControl(*info, [&](const DialogItemTemplate&, HWND child) {
                ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(m_previousFont), TRUE);
            });
        }
    }
    m_createdFont.reset();
    m_window = nullptr;
    m_previousFont = nullptr;
}

LRESULT CALLBACK DialogFontLayout::WatchProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                             UINT_PTR, DWORD_PTR selfValue)
{
    const LRESULT result = ::DefSubclassProc(window, message, wParam, lParam);
    if (message == WM_DESTROY) {
        // The dialog manager deletes the font a dialog has when it goes, and
        // the created font is ours: hand the previous one back while the
        // controls still exist.
        reinterpret_cast<DialogFontLayout*>(selfValue)->Restore();
    }
    return result;
}

}  // namespace NCommon
