// Reads the state of the installer's window from another process, the way a
// support engineer's spy tool would, and prints it as JSON:
//
//   ui_probe.exe [--title TEXT]     (default "Quillon Setup")
//   ui_probe.exe --text ID [--title TEXT]   the whole text of one control
//   ui_probe.exe --rtf FILE         the text a rich edit control makes of an
//                                   RTF file, to compare a control's with
//   ui_probe.exe --events SECONDS [--title TEXT]   the accessibility events
//                                   the window's process raises meanwhile,
//                                   one JSON line each, as a screen reader
//                                   hears them
//   ui_probe.exe --access [--title TEXT]   what a screen reader reads of
//                                   each control through MSAA: name, role,
//                                   value and keyboard shortcut
//   ui_probe.exe --dpi-change FROM TO X Y [--title TEXT]   sends the window
//                                   WM_DPICHANGED as Windows does when it
//                                   moves to a screen of resolution TO: the
//                                   new resolution, and as the suggested
//                                   rectangle the window's scaled by TO/FROM
//                                   with its top-left corner at X, Y (sent
//                                   from inside the window's process, where
//                                   the rectangle's address means something)
//
// The window: its title, screen rectangle, client size and where the client
// area's top-left corner is on the screen. Each control (direct children, in
// z-order): id, class, rectangle in client coordinates, visibility, enabled
// state, text, font (requested face and height, and the face and text
// height it really got), a progress bar's position and range, a combo box's
// entries with their item data and the selection. Fonts can only be read in
// the window's own process: a hook DLL does that part there.
#include <windows.h>
#include <commctrl.h>
#include <oleacc.h>
#include <richedit.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "ScopedHandles.h"

namespace {

const DWORD kTimeout = 5000;

std::string Json(const std::wstring& text)
{
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == L'\n') {
            out += "\\n";
        } else if (c < 0x20 || c > 0x7E) {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kTimeout, &result)) {
        return -1;
    }
    return static_cast<LRESULT>(result);
}

std::wstring TextOf(HWND window)
{
    wchar_t buffer[1024] = {};
    Ask(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

struct FontInfo {
    std::wstring face;
    long height = 0;
    long weight = 0;
    std::wstring actualFace;
    long textHeight = 0;
    unsigned long handle = 0;
};

// Runs `ask` with the hook DLL hooked into the window's thread; false when
// the hook could not be set.
template <typename Ask>
bool WithHook(HWND dialog, Ask ask)
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dll = path;
    dll = dll.substr(0, dll.find_last_of(L'\\') + 1) + L"ui_probe_hook.dll";
    NCommon::ScopedLibrary library(::LoadLibraryW(dll.c_str()));
    auto hook = library ? reinterpret_cast<HOOKPROC>(
                              reinterpret_cast<void*>(::GetProcAddress(library.get(), "ProbeCallWndProc")))
                        : nullptr;
    if (hook == nullptr) {
        return false;
    }
    HHOOK installed = ::SetWindowsHookExW(WH_CALLWNDPROC, hook, library.get(),
                                          ::GetWindowThreadProcessId(dialog, nullptr));
    if (installed == nullptr) {
        return false;
    }
    ask();
    ::UnhookWindowsHookEx(installed);
    return true;
}

// Control id -> font, read in the window's process; the dialog itself is
// keyed "window".
std::map<std::wstring, FontInfo> ReadFonts(HWND dialog)
{
    std::map<std::wstring, FontInfo> fonts;
    wchar_t name[64] = {};
    swprintf(name, 64, L"QuillonUiProbe.%lu", static_cast<unsigned long>(::GetCurrentProcessId()));
    NCommon::ScopedHandle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, name));
    if (!mapping || !WithHook(dialog, [&] {
            Ask(dialog, ::RegisterWindowMessageW(L"QuillonUiProbe"), ::GetCurrentProcessId(), 0);
        })) {
        return fonts;
    }

    const wchar_t* view = static_cast<const wchar_t*>(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (view == nullptr) {
        return fonts;
    }
    std::wstring report(view, wcsnlen(view, 65536 / sizeof(wchar_t)));
    ::UnmapViewOfFile(view);
    size_t start = 0;
    while (start < report.size()) {
        size_t end = report.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = report.size();
        }
        std::vector<std::wstring> fields;
        std::wstring line = report.substr(start, end - start);
        size_t at = 0;
        while (true) {
            const size_t tab = line.find(L'\t', at);
            fields.push_back(line.substr(at, tab - at));
            if (tab == std::wstring::npos) {
                break;
            }
            at = tab + 1;
        }
        if (fields.size() == 7) {
            std::wstring key = fields[0];
            if (key.rfind(L"window", 0) == 0) {
                key = L"window";
            }
            fonts[key] = FontInfo{fields[1], _wtol(fields[2].c_str()), _wtol(fields[3].c_str()), fields[4],
                                  _wtol(fields[5].c_str()), wcstoul(fields[6].c_str(), nullptr, 10)};
        }
        start = end + 1;
    }
    return fonts;
}

std::string FontJson(const std::map<std::wstring, FontInfo>& fonts, const std::wstring& key)
{
    const auto found = fonts.find(key);
    if (found == fonts.end()) {
        return "null";
    }
    const FontInfo& f = found->second;
    char numbers[128];
    snprintf(numbers, sizeof(numbers), ", \"height\": %ld, \"weight\": %ld, \"textHeight\": %ld, \"handle\": %lu",
             f.height, f.weight, f.textHeight, f.handle);
    return "{\"face\": " + Json(f.face) + ", \"actualFace\": " + Json(f.actualFace) + numbers + "}";
}

struct Search {
    std::wstring title;
    HWND found;
};

BOOL CALLBACK MatchTitle(HWND window, LPARAM context)
{
    Search* search = reinterpret_cast<Search*>(context);
    wchar_t text[256] = {};
    ::GetWindowTextW(window, text, 256);
    if (search->title == text && ::IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindDialog(const std::wstring& title)
{
    Search search = {title, nullptr};
    ::EnumWindows(&MatchTitle, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring WholeTextOf(HWND window)
{
    const LRESULT length = Ask(window, WM_GETTEXTLENGTH);
    if (length <= 0) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    Ask(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
    return buffer.data();
}

DWORD CALLBACK ReadFilePiece(DWORD_PTR file, LPBYTE buffer, LONG wanted, LONG* given)
{
    DWORD read = 0;
    const BOOL ok = ::ReadFile(reinterpret_cast<HANDLE>(file), buffer, static_cast<DWORD>(wanted), &read, nullptr);
    *given = static_cast<LONG>(read);
    return ok ? 0 : 1;
}

int PrintRtfText(const wchar_t* path)
{
    NCommon::ScopedLibrary richEdit(::LoadLibraryW(L"RICHED20.DLL"));
    NCommon::ScopedHandle file(
        ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    HWND control = ::CreateWindowExW(0, RICHEDIT_CLASSW, L"", WS_CHILD | ES_MULTILINE | ES_READONLY, 0, 0, 300, 200,
                                     HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (!file || control == nullptr) {
        return 1;
    }
    EDITSTREAM stream = {};
    stream.dwCookie = reinterpret_cast<DWORD_PTR>(file.get());
    stream.pfnCallback = &ReadFilePiece;
    ::SendMessageW(control, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&stream));
    printf("{\"text\": %s}\n", Json(WholeTextOf(control)).c_str());
    ::DestroyWindow(control);
    return 0;
}

// AccessibleObjectFromWindow for the control's client object, as a screen
// reader asks; null fields where the object does not answer.
std::string AccessJson(HWND control)
{
    IAccessible* object = nullptr;
    if (FAILED(::AccessibleObjectFromWindow(control, static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                            reinterpret_cast<void**>(&object))) ||
        object == nullptr) {
        return "null";
    }
    VARIANT self;
    ::VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    // Each answer read after its call has returned.
    const auto text = [&](HRESULT (STDMETHODCALLTYPE IAccessible::*question)(VARIANT, BSTR*)) {
        BSTR value = nullptr;
        const HRESULT result = (object->*question)(self, &value);
        std::string json = SUCCEEDED(result) && value != nullptr ? Json(value) : "null";
        ::SysFreeString(value);
        return json;
    };
    const std::string nameJson = text(&IAccessible::get_accName);
    const std::string valueJson = text(&IAccessible::get_accValue);
    const std::string shortcutJson = text(&IAccessible::get_accKeyboardShortcut);
    VARIANT role;
    ::VariantInit(&role);
    long roleNumber = -1;
    if (SUCCEEDED(object->get_accRole(self, &role)) && role.vt == VT_I4) {
        roleNumber = role.lVal;
    }
    ::VariantClear(&role);
    object->Release();
    return "{\"name\": " + nameJson + ", \"role\": " + std::to_string(roleNumber) + ", \"value\": " + valueJson +
           ", \"shortcut\": " + shortcutJson + "}";
}

void CALLBACK PrintEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child, DWORD, DWORD)
{
    if (window == nullptr || object != OBJID_CLIENT || child != CHILDID_SELF) {
        return;
    }
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    std::string value;
    if (_wcsicmp(className, PROGRESS_CLASSW) == 0) {
        value = ", \"position\": " + std::to_string(Ask(window, PBM_GETPOS));
    }
    printf("{\"event\": %lu, \"id\": %d, \"text\": %s%s}\n", static_cast<unsigned long>(event),
           ::GetDlgCtrlID(window), Json(TextOf(window)).c_str(), value.c_str());
    fflush(stdout);
}

int PrintEvents(HWND dialog, int seconds)
{
    DWORD process = 0;
    ::GetWindowThreadProcessId(dialog, &process);
    HWINEVENTHOOK hook = ::SetWinEventHook(EVENT_MIN, EVENT_MAX, nullptr, &PrintEvent, process, 0,
                                           WINEVENT_OUTOFCONTEXT);
    if (hook == nullptr) {
        return 1;
    }
    printf("listening\n");
    fflush(stdout);
    const DWORD end = ::GetTickCount() + static_cast<DWORD>(seconds) * 1000;
    for (DWORD now = ::GetTickCount(); static_cast<LONG>(end - now) > 0; now = ::GetTickCount()) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::DispatchMessageW(&message);
        }
    }
    ::UnhookWinEvent(hook);
    return 0;
}

int PrintAccess(HWND dialog)
{
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    printf("{\"found\": true, \"controls\": [");
    bool first = true;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        printf("%s\n  {\"id\": %d, \"visible\": %s, \"access\": %s}", first ? "" : ",", ::GetDlgCtrlID(child),
               ::IsWindowVisible(child) ? "true" : "false", AccessJson(child).c_str());
        first = false;
    }
    printf("]}\n");
    ::CoUninitialize();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring title = L"Quillon Setup";
    int textOf = 0;
    bool wholeText = false;
    bool access = false;
    int eventSeconds = 0;
    int dpiChange[4] = {0, 0, 0, 0};
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--access") {
            access = true;
        } else if (option == L"--dpi-change" && i + 4 < argc) {
            for (int& value : dpiChange) {
                value = _wtoi(argv[++i]);
            }
        } else if (i + 1 >= argc) {
            break;
        } else if (option == L"--events") {
            eventSeconds = _wtoi(argv[++i]);
        } else if (option == L"--title") {
            title = argv[++i];
        } else if (option == L"--text") {
            wholeText = true;
            textOf = _wtoi(argv[++i]);
        } else if (option == L"--rtf") {
            return PrintRtfText(argv[++i]);
        }
    }
    HWND dialog = FindDialog(title);
    if (dialog == nullptr) {
        printf("{\"found\": false}\n");
        return 1;
    }
    if (access) {
        return PrintAccess(dialog);
    }
    if (dpiChange[0] > 0 && dpiChange[1] > 0) {
        const bool sent = WithHook(dialog, [&] {
            Ask(dialog, ::RegisterWindowMessageW(L"QuillonUiProbe.DpiChange"),
                MAKEWPARAM(dpiChange[0], dpiChange[1]), MAKELPARAM(dpiChange[2], dpiChange[3]));
        });
        printf("{\"found\": true, \"sent\": %s}\n", sent ? "true" : "false");
        return sent ? 0 : 1;
    }
    if (eventSeconds > 0) {
        return PrintEvents(dialog, eventSeconds);
    }
    if (wholeText) {
        printf("{\"found\": true, \"text\": %s}\n", Json(WholeTextOf(::GetDlgItem(dialog, textOf))).c_str());
        return 0;
    }
    const std::map<std::wstring, FontInfo> fonts = ReadFonts(dialog);

    RECT window = {};
    RECT client = {};
    POINT origin = {0, 0};
    ::GetWindowRect(dialog, &window);
    ::GetClientRect(dialog, &client);
    ::ClientToScreen(dialog, &origin);
    // The keyboard focus of the window's thread, as the id of the control
    // that has it (0: none of the dialog's), and whether the window is the
    // one the user works in.
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof(thread);
    int focus = 0;
    if (::GetGUIThreadInfo(::GetWindowThreadProcessId(dialog, nullptr), &thread) && thread.hwndFocus != nullptr &&
        ::IsChild(dialog, thread.hwndFocus)) {
        focus = ::GetDlgCtrlID(thread.hwndFocus);
    }
    RECT work = {};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    printf("{\"found\": true, \"focus\": %d, \"foreground\": %s, \"workArea\": [%ld, %ld, %ld, %ld],\n",
           focus, ::GetForegroundWindow() == dialog ? "true" : "false", work.left, work.top, work.right, work.bottom);
    printf(" \"title\": %s, \"window\": [%ld, %ld, %ld, %ld], \"client\": [%ld, %ld], "
           "\"clientOrigin\": [%ld, %ld], \"style\": %lu, \"exStyle\": %lu, \"enabled\": %s, \"font\": %s,\n"
           " \"buttonFace\": [%d, %d, %d],\n"
           " \"controls\": [",
           Json(TextOf(dialog)).c_str(), window.left, window.top, window.right - window.left,
           window.bottom - window.top, client.right, client.bottom, origin.x, origin.y,
           static_cast<unsigned long>(::GetWindowLongW(dialog, GWL_STYLE)),
           static_cast<unsigned long>(::GetWindowLongW(dialog, GWL_EXSTYLE)),
           ::IsWindowEnabled(dialog) ? "true" : "false", FontJson(fonts, L"window").c_str(),
           GetRValue(::GetSysColor(COLOR_BTNFACE)), GetGValue(::GetSysColor(COLOR_BTNFACE)),
           GetBValue(::GetSysColor(COLOR_BTNFACE)));

    bool first = true;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        RECT r = {};
        ::GetWindowRect(child, &r);
        ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
        wchar_t className[64] = {};
        ::GetClassNameW(child, className, 64);
        const int id = ::GetDlgCtrlID(child);
        std::string extra;
        if (_wcsicmp(className, PROGRESS_CLASSW) == 0) {
            char text[96];
            snprintf(text, sizeof(text), ", \"progress\": {\"pos\": %ld, \"low\": %ld, \"high\": %ld}",
                     static_cast<long>(Ask(child, PBM_GETPOS)), static_cast<long>(Ask(child, PBM_GETRANGE, TRUE)),
                     static_cast<long>(Ask(child, PBM_GETRANGE, FALSE)));
            extra = text;
        } else if (_wcsicmp(className, L"RichEdit20W") == 0) {
            // Where the first lines of its text start, top to bottom, in the
            // control's client coordinates: their spacing is the text's size.
            extra = ", \"lineTops\": [";
            const long count = static_cast<long>(Ask(child, EM_GETLINECOUNT));
            for (long line = 0; line < count && line < 40; ++line) {
                const LRESULT index = Ask(child, EM_LINEINDEX, static_cast<WPARAM>(line));
                const LRESULT at = Ask(child, EM_POSFROMCHAR, static_cast<WPARAM>(index));
                extra += std::string(line ? ", " : "") + std::to_string(static_cast<short>(HIWORD(at)));
            }
            extra += "]";
        } else if (_wcsicmp(className, L"ComboBox") == 0) {
            const long count = static_cast<long>(Ask(child, CB_GETCOUNT));
            extra = ", \"selected\": " + std::to_string(Ask(child, CB_GETCURSEL)) + ", \"items\": [";
            for (long i = 0; i < count; ++i) {
                wchar_t item[256] = {};
                Ask(child, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
                extra += std::string(i ? ", " : "") + "{\"text\": " + Json(item) +
                         ", \"data\": " + std::to_string(Ask(child, CB_GETITEMDATA, static_cast<WPARAM>(i))) + "}";
            }
            extra += "]";
        }
        printf("%s\n  {\"id\": %d, \"class\": %s, \"rect\": [%ld, %ld, %ld, %ld], \"visible\": %s, "
               "\"enabled\": %s, \"text\": %s, \"font\": %s%s}",
               first ? "" : ",", id, Json(className).c_str(), r.left, r.top, r.right - r.left, r.bottom - r.top,
               ::IsWindowVisible(child) ? "true" : "false", ::IsWindowEnabled(child) ? "true" : "false",
               Json(TextOf(child)).c_str(), FontJson(fonts, std::to_wstring(id)).c_str(), extra.c_str());
        first = false;
    }
    printf("]}\n");
    return 0;
}
