// Loaded into the program under test by ui_probe's hook: reads what only the
// program's own process can read (its controls' fonts) and hands it back
// through a shared memory block that the probe created; and sends the window
// a WM_DPICHANGED, whose rectangle must be in the window's process.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring Escape(const std::wstring& text)
{
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\t' || c == L'\n' || c == L'\r') {
            out.push_back(L' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// One line per window: id, requested face, requested height, weight, the
// face the font really got, its text height, the font's handle (a number
// that only means something inside that process: which controls share one).
std::wstring DescribeFont(HWND window)
{
    wchar_t line[256] = {};
    HFONT font = reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0));
    LOGFONTW logical = {};
    if (font == nullptr || ::GetObjectW(font, sizeof(logical), &logical) == 0) {
        swprintf(line, 256, L"%d\t\t0\t0\t\t0\t0\n", ::GetDlgCtrlID(window));
        return line;
    }
    wchar_t face[LF_FACESIZE] = {};
    TEXTMETRICW metrics = {};
    HDC dc = ::GetDC(window);
    HGDIOBJ previous = ::SelectObject(dc, font);
    ::GetTextFaceW(dc, LF_FACESIZE, face);
    ::GetTextMetricsW(dc, &metrics);
    ::SelectObject(dc, previous);
    ::ReleaseDC(window, dc);
    swprintf(line, 256, L"%d\t%ls\t%ld\t%ld\t%ls\t%ld\t%lu\n", ::GetDlgCtrlID(window),
             Escape(logical.lfFaceName).c_str(), logical.lfHeight, logical.lfWeight, Escape(face).c_str(),
             metrics.tmHeight, static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(font)));
    return line;
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK ProbeCallWndProc(int code, WPARAM wParam, LPARAM lParam)
{
    static const UINT probeMessage = ::RegisterWindowMessageW(L"QuillonUiProbe");
    static const UINT dpiChangeMessage = ::RegisterWindowMessageW(L"QuillonUiProbe.DpiChange");
    const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call != nullptr && call->message == dpiChangeMessage) {
        // wParam: the resolution before and after; lParam: the suggested top-left corner.
        const int from = LOWORD(call->wParam);
        const int to = HIWORD(call->wParam);
        RECT window = {};
        ::GetWindowRect(call->hwnd, &window);
        const int left = static_cast<short>(LOWORD(call->lParam));
        const int top = static_cast<short>(HIWORD(call->lParam));
        RECT suggested = {left, top, left + ::MulDiv(window.right - window.left, to, from),
                          top + ::MulDiv(window.bottom - window.top, to, from)};
        ::SendMessageW(call->hwnd, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(to, to), reinterpret_cast<LPARAM>(&suggested));
    } else if (code == HC_ACTION && call != nullptr && call->message == probeMessage) {
        wchar_t name[64] = {};
        swprintf(name, 64, L"QuillonUiProbe.%lu", static_cast<unsigned long>(call->wParam));
        HANDLE mapping = ::OpenFileMappingW(FILE_MAP_WRITE, FALSE, name);
        if (mapping != nullptr) {
            std::wstring report = L"window" + DescribeFont(call->hwnd);
            for (HWND child = ::GetWindow(call->hwnd, GW_CHILD); child != nullptr;
                 child = ::GetWindow(child, GW_HWNDNEXT)) {
                report += DescribeFont(child);
            }
            const size_t bytes = (report.size() + 1) * sizeof(wchar_t);
            if (void* view = ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)) {
                if (bytes <= 65536) {
                    memcpy(view, report.c_str(), bytes);
                }
                ::UnmapViewOfFile(view);
            }
            ::CloseHandle(mapping);
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}
