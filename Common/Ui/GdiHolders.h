#pragma once

#include <windows.h>

#include <atomic>

#include "ScopedHandles.h"

namespace NCommon {

// How many GDI objects and device contexts our holders have open right now.
// Wine does not report a process's GDI object count, so the leak tests read
// this one instead; it only moves when a holder takes or gives up a value.
std::atomic<long>& LiveGdiObjectsForTesting();

// Fonts, bitmaps, regions, pens: each is deleted by its one holder.
template <typename Handle>
struct GdiObjectTraits {
    using Value = Handle;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value value) { return value != nullptr; }
    static void Close(Value value)
    {
        ::DeleteObject(value);
        --LiveGdiObjectsForTesting();
    }
};

// A holder that counts what it holds, so that a leak shows in the count.
template <typename Traits>
class CountedGdiResource : public ScopedResource<Traits> {
public:
    using Value = typename Traits::Value;
    CountedGdiResource() = default;
    explicit CountedGdiResource(Value value) { reset(value); }
    CountedGdiResource(CountedGdiResource&&) noexcept = default;
    CountedGdiResource& operator=(CountedGdiResource&&) noexcept = default;

    void reset(Value value = Traits::Invalid())
    {
        if (Traits::IsValid(value)) {
            ++LiveGdiObjectsForTesting();
        }
        ScopedResource<Traits>::reset(value);
    }
    // Hands the object to someone who deletes it (SetWindowRgn takes its region).
    Value release()
    {
        Value value = ScopedResource<Traits>::release();
        if (Traits::IsValid(value)) {
            --LiveGdiObjectsForTesting();
        }
        return value;
    }
};

using ScopedFont = CountedGdiResource<GdiObjectTraits<HFONT>>;
using ScopedBitmap = CountedGdiResource<GdiObjectTraits<HBITMAP>>;
using ScopedRegion = CountedGdiResource<GdiObjectTraits<HRGN>>;
using ScopedPen = CountedGdiResource<GdiObjectTraits<HPEN>>;

// A memory device context from CreateCompatibleDC.
struct MemoryDcTraits {
    using Value = HDC;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value value) { return value != nullptr; }
    static void Close(Value value)
    {
        ::DeleteDC(value);
        --LiveGdiObjectsForTesting();
    }
};
using ScopedMemoryDC = CountedGdiResource<MemoryDcTraits>;

// BeginPaint ... EndPaint.
class PaintDC {
public:
    explicit PaintDC(HWND window) : m_window(window) { m_dc = ::BeginPaint(window, &m_paint); }
    ~PaintDC()
    {
        if (m_dc != nullptr) {
            ::EndPaint(m_window, &m_paint);
        }
    }
    PaintDC(const PaintDC&) = delete;
    PaintDC& operator=(const PaintDC&) = delete;
    HDC get() const { return m_dc; }

private:
    HWND m_window;
    PAINTSTRUCT m_paint = {};
    HDC m_dc;
};

// An object selected into a device context, with the previous one put back
// when the scope ends. A failed selection puts nothing back.
class ScopedSelection {
public:
    ScopedSelection(HDC dc, HGDIOBJ object) : m_dc(dc), m_previous(::SelectObject(dc, object)) {}
    ~ScopedSelection()
    {
        if (ok()) {
            ::SelectObject(m_dc, m_previous);
        }
    }
    ScopedSelection(const ScopedSelection&) = delete;
    ScopedSelection& operator=(const ScopedSelection&) = delete;
    bool ok() const { return m_previous != nullptr && m_previous != HGDI_ERROR; }

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

// A device context's window origin shifted for a scope, then put back.
class ScopedWindowOrigin {
public:
    ScopedWindowOrigin(HDC dc, int dx, int dy) : m_dc(dc) { ::OffsetWindowOrgEx(dc, dx, dy, &m_previous); }
    ~ScopedWindowOrigin() { ::SetWindowOrgEx(m_dc, m_previous.x, m_previous.y, nullptr); }
    ScopedWindowOrigin(const ScopedWindowOrigin&) = delete;
    ScopedWindowOrigin& operator=(const ScopedWindowOrigin&) = delete;

private:
    HDC m_dc;
    POINT m_previous = {};
};

// A bitmap resource of the module, loaded with LoadBitmapW, or else a
// deflated one (CompressedBitmap.h), as a 32-bit DIB section.
//
// The images are 32-bit with per-pixel alpha, and LoadBitmapW makes a bitmap
// of the screen's format: the alpha bytes survive only where the screen's
// format is 32-bit. It is so on every desktop Windows still runs, and under
// Wine on a 24-bit X screen (measured: ui_host --check-alpha reads alpha 0 in
// a transparent corner and 255 in the centre, the bitmap 32 bits deep), so
// the usual call is kept. A 16-bit screen would lose the alpha; LoadImageW
// with LR_CREATEDIBSECTION would be the way then.
HBITMAP LoadBitmapResource(HINSTANCE module, UINT id);

// The module whose resources the dialogs use: the program's own.
HINSTANCE ResourceModule();

}  // namespace NCommon
