// Stands in for the installed Quillon program. Each start appends one line to
// "QuillonRuns.txt" beside the executable: the command line, a tab, the
// working folder.
//
// The installer starts the program with fixed arguments, so a file
// "QuillonMode.txt" beside the executable chooses how it behaves:
//   (no file)  record the start and end.
//   "window"   open a hidden window with the real program's title, record
//              the start once the window exists (so a test may signal from
//              then on), and append to "QuillonMessages.txt" a line
//              "WM_PRODUCT_CLOSE" for each such message the window receives
//              and "WM_PRODUCT_QUIT" when the first thread receives that
//              one; end on WM_PRODUCT_QUIT, as the real program does.
//   "hung"     as "window", but the window stops answering for good at its
//              first WM_PRODUCT_CLOSE (recorded before it stops).
//   "stay"     as "window", but it records every WM_PRODUCT_QUIT and keeps
//              running, so that the requests of several download attempts
//              can be counted.
// A stand-in in a window mode ends within a moment when a file
// "QuillonStop.txt" appears beside it (also a hung one), so that a test can
// end the copies the installer started; one left running ends by itself
// after two minutes, so none outlives a test run.
#include <windows.h>

#include <string>

namespace {

const UINT kProductClose = WM_APP + 2;
const UINT kProductQuit = WM_APP + 7;
const wchar_t kWindowTitle[] = L"{637693CC-9D1F-49D5-B4D4-7A5F659E0BC5}";
const DWORD kLifetimeMs = 120000;
const DWORD kStopCheckMs = 200;
const UINT_PTR kStopTimer = 1;

std::wstring g_folder;  // with a trailing backslash
bool g_hung = false;
bool g_stay = false;

bool Append(const wchar_t* name, const std::wstring& line)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(size - 1));

    HANDLE file = CreateFileW((g_folder + name).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
    return ok != FALSE;
}

std::string ReadMode()
{
    HANDLE file = CreateFileW((g_folder + L"QuillonMode.txt").c_str(), GENERIC_READ,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    char buffer[32] = {};
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
    CloseHandle(file);
    std::string mode(buffer, read);
    mode.erase(mode.find_last_not_of(" \r\n") + 1);
    return mode;
}

bool StopAsked()
{
    return GetFileAttributesW((g_folder + L"QuillonStop.txt").c_str()) != INVALID_FILE_ATTRIBUTES;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kProductClose) {
        Append(L"QuillonMessages.txt", L"WM_PRODUCT_CLOSE\r\n");
        if (g_hung) {
            // Reads no message from here on, as a hung program does.
            for (DWORD slept = 0; slept < kLifetimeMs && !StopAsked(); slept += kStopCheckMs) {
                Sleep(kStopCheckMs);
            }
            ExitProcess(3);
        }
        return 0;
    }
    if (message == WM_TIMER && wParam == kStopTimer) {
        if (StopAsked()) {
            ExitProcess(4);
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool OpenWindow(HINSTANCE instance)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"QuillonStandIn";
    HWND window = nullptr;
    if (RegisterClassW(&windowClass) == 0 ||
        (window = CreateWindowExW(0, windowClass.lpszClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, 0, 0,
                                  200, 100, nullptr, nullptr, instance, nullptr)) == nullptr) {
        return false;
    }
    SetTimer(nullptr, 0, kLifetimeMs, nullptr);
    SetTimer(window, kStopTimer, kStopCheckMs, nullptr);
    return true;
}

int MessageLoop()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == nullptr && message.message == kProductQuit) {
            Append(L"QuillonMessages.txt", L"WM_PRODUCT_QUIT\r\n");
            if (g_stay) {
                continue;
            }
            return 0;
        }
        if (message.hwnd == nullptr && message.message == WM_TIMER) {
            return 2;
        }
        DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    g_folder = self;
    g_folder = g_folder.substr(0, g_folder.find_last_of(L"\\/") + 1);

    const std::string mode = ReadMode();
    const bool windowed = mode == "window" || mode == "hung" || mode == "stay";
    g_hung = mode == "hung";
    g_stay = mode == "stay";
    if (windowed && !OpenWindow(instance)) {
        return 1;
    }

    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    if (!Append(L"QuillonRuns.txt", std::wstring(GetCommandLineW()) + L"\t" + folder + L"\r\n")) {
        return 1;
    }
    return windowed ? MessageLoop() : 0;
}
