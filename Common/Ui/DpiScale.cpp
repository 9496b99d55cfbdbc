#include "DpiScale.h"

namespace NCommon {
namespace {
const wchar_t kLayoutDpiProperty[] = L"NCommon.LayoutDpi";
// The resolutions the images are drawn at, smallest first.
const int kImageDpis[] = {96, 120, 144, 192};

HWND TopLevel(HWND window)
{
    HWND root = window != nullptr ? ::GetAncestor(window, GA_ROOT) : nullptr;
    return root != nullptr ? root : window;
}
}  // namespace

int ScaleToDpi(int pixelsAt96, int dpi)
{
    // MulDiv rounds a half away from zero; the sizes scaled are not negative
    // but for offsets, which scale symmetrically.
    return ::MulDiv(pixelsAt96, dpi, kBaseDpi);
}

RECT ScaleRectToDpi(const RECT& at96, int dpi)
{
    return RECT{ScaleToDpi(at96.left, dpi), ScaleToDpi(at96.top, dpi), ScaleToDpi(at96.right, dpi),
                ScaleToDpi(at96.bottom, dpi)};
}

int LayoutDpiFor(int windowDpi)
{
    int chosen = kImageDpis[0];
    for (int i = 1; i < static_cast<int>(sizeof(kImageDpis) / sizeof(kImageDpis[0])); ++i) {
        // Nearer to the larger by ratio: dpi / smaller >= larger / dpi.
        const long long smaller = kImageDpis[i - 1];
        const long long larger = kImageDpis[i];
        if (static_cast<long long>(windowDpi) * windowDpi >= smaller * larger) {
            chosen = kImageDpis[i];
        }
    }
    return chosen;
}

UINT ImageIdForDpi(UINT idAt96, int layoutDpi)
{
    for (int i = 0; i < static_cast<int>(sizeof(kImageDpis) / sizeof(kImageDpis[0])); ++i) {
        if (kImageDpis[i] == layoutDpi) {
            return idAt96 + 1000u * static_cast<UINT>(i);
        }
    }
    return idAt96;
}

int WindowDpi(HWND window)
{
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = [] {
        HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
        return user32 != nullptr ? reinterpret_cast<GetDpiForWindowFunction>(
                                       reinterpret_cast<void*>(::GetProcAddress(user32, "GetDpiForWindow")))
                                 : nullptr;
    }();
    if (getDpiForWindow != nullptr && window != nullptr) {
        if (const UINT dpi = getDpiForWindow(window); dpi != 0) {
            return static_cast<int>(dpi);
        }
    }
    int dpi = 0;
    if (HDC screen = ::GetDC(nullptr)) {
        dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
        ::ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? dpi : kBaseDpi;
}

void KeepDialogFromSystemScaling(HWND dialog)
{
    // DDC_DISABLE_ALL: no resizing, no re-layout, no font update.
    constexpr int kDisableAll = 0x0001;
    using SetBehaviourFunction = BOOL(WINAPI*)(HWND, int, int);
    HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    const auto setBehaviour = user32 != nullptr ? reinterpret_cast<SetBehaviourFunction>(reinterpret_cast<void*>(
                                                      ::GetProcAddress(user32, "SetDialogDpiChangeBehavior")))
                                                : nullptr;
    if (setBehaviour != nullptr) {
        setBehaviour(dialog, kDisableAll, kDisableAll);
    }
}

void SetLayoutDpi(HWND window, int dpi)
{
    ::SetPropW(TopLevel(window), kLayoutDpiProperty, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(dpi)));
}

int LayoutDpiOf(HWND window)
{
    const int dpi = static_cast<int>(reinterpret_cast<INT_PTR>(::GetPropW(TopLevel(window), kLayoutDpiProperty)));
    return dpi > 0 ? dpi : kBaseDpi;
}

void ForgetLayoutDpi(HWND window)
{
    ::RemovePropW(TopLevel(window), kLayoutDpiProperty);
}

}  // namespace NCommon
