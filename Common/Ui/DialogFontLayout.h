#pragma once

#include <windows.h>

#include "DialogTemplate.h"
#include "GdiHolders.h"

namespace NCommon {

// Gives a dialog and its controls a font made from the dialog template's
// font description at a resolution, and lays the dialog and its controls out
// again from the template's dialog units: the pixels that the font's base
// units at 96 dpi give, scaled to the resolution. So the geometry follows
// the template and the font alone, and is the 96-dpi one scaled, as the
// skins and images drawn for each resolution are; measured at the
// resolution itself, a font's base units do not grow in step with it. The
// resolution is kept on the window (SetLayoutDpi) for its controls.
class DialogFontLayout {
public:
    DialogFontLayout() = default;
    ~DialogFontLayout();
    DialogFontLayout(const DialogFontLayout&) = delete;
    DialogFontLayout& operator=(const DialogFontLayout&) = delete;

    // Restores first if applied already. False when the template cannot be
    // found or read, or a font cannot be made; the object is then empty.
    bool Apply(HINSTANCE module, HWND window, UINT templateId, double dpi);
    // Gives the dialog and its controls their previous font back and
    // deletes the created font; nothing when not applied. Also runs by
    // itself when the window is destroyed, so that the fonts are handed back
    // while the controls still exist.
    void Restore();

    // What the last Apply measured (the base units at 96 dpi) and made, for
    // the tests to compare.
    DialogBaseUnits GetBaseUnitsForTesting() const { return m_baseUnits; }
    HFONT GetCreatedFontForTesting() const { return m_createdFont.get(); }

private:
    static LRESULT CALLBACK WatchProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                      UINT_PTR id, DWORD_PTR self);
    std::optional<DialogTemplateInfo> ReadTemplate() const;
    // Children in z-order, each matched to its template item.
    template <typename Visit>
    void ForEachMatchedControl(const DialogTemplateInfo& info, Visit visit) const;

    UINT m_templateId = 0;
    HINSTANCE m_module = nullptr;
    HWND m_window = nullptr;
    ScopedFont m_createdFont;
    HFONT m_previousFont = nullptr;
    DialogBaseUnits m_baseUnits;
};

}  // namespace NCommon
