#include "SingleInstance.h"

#include <windows.h>

#include <cwchar>

#include "Log.h"
#include "Startup.h"
#include "easylogging++.h"

namespace {

// In the session's own namespace: another user's installer is no rival.
const wchar_t kInstallerName[] = L"Local\\Quillon.Installer.{502ABB8A-27F4-4A9D-A0B4-C99B926B99EE}";
const wchar_t kWindowTitle[] = L"Quillon Setup";

BOOL CALLBACK FindInstallerWindow(HWND window, LPARAM found)
{
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    wchar_t className[16] = {};
    wchar_t title[32] = {};
    if (process == ::GetCurrentProcessId() || !::IsWindowVisible(window) ||
        ::GetClassNameW(window, className, 16) == 0 || wcscmp(className, L"#32770") != 0 ||
        ::GetWindowTextW(window, title, 32) == 0 || wcscmp(title, kWindowTitle) != 0) {
        return TRUE;
    }
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

void BringFirstToFront()
{
    HWND window = nullptr;
    ::EnumWindows(&FindInstallerWindow, reinterpret_cast<LPARAM>(&window));
    if (window == nullptr) {
        return;  // still starting, or between two windows
    }
    if (::IsIconic(window)) {
        ::ShowWindow(window, SW_RESTORE);
    }
    // Raised as well as activated: without a window manager to do it (Wine
    // on a bare X screen) the active window can stay under another.
    ::SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ::SetForegroundWindow(window);
}

}  // namespace

bool ClaimTheInstallerTurn(NCommon::ScopedHandle& claim)
{
    claim.reset(::CreateMutexW(nullptr, FALSE, kInstallerName));
    // Without the name nothing can be known about the others: go on.
    const bool anotherRuns = claim.valid() && ::GetLastError() == ERROR_ALREADY_EXISTS;
    const StartupOptions options = ParseStartupOptions(SplitCommandLine(::GetCommandLineW()), ::GetCommandLineW());
    switch (DecideSecondStart(anotherRuns, options)) {
    case SecondStart::Run:
        return true;
    case SecondStart::BringFirstToFront:
        BringFirstToFront();
        break;
    case SecondStart::Refuse:
        ConfigureLog();
        LOG(ERROR) << "Another installer is running in this session; this "
                   << (options.silentDestination.empty() ? "update" : "silent install")
                   << " ends without touching its files";
        break;
    }
    claim.reset();
    return false;
}
