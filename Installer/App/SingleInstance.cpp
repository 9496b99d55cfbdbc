#include "SingleInstance.h"

#include <windows.h>

#include <cwchar>
#include <string>

#include "Log.h"
#include "ProductConstants.h"
#include "Startup.h"
#include "easylogging++.h"

namespace {

// In the session's own namespace: another user's installer is no rival.
const wchar_t kInstallerName[] = L"Local\\Quillon.Installer.{502ABB8A-27F4-4A9D-A0B4-C99B926B99EE}";
const wchar_t kSilentInstallMark[] = L"Local\\Quillon.Installer.SilentInstall.{502ABB8A-27F4-4A9D-A0B4-C99B926B99EE}";
const wchar_t kUpdateMark[] = L"Local\\Quillon.Installer.Update.{502ABB8A-27F4-4A9D-A0B4-C99B926B99EE}";
const wchar_t kWindowTitle[] = L"Quillon Setup";
// How often a waiting start looks again for the running installer's window.
const DWORD kLookAgainMs = 100;

BOOL CALLBACK FindInstallerWindow(HWND window, LPARAM found)
{
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    wchar_t className[16] = {};
    wchar_t title[32] = {};
    if (process == ::GetCurrentProcessId() || !::IsWindowVisible(window) ||
        ::GetClassNameW(window, className, 16) == 0 || wcscmp(className, L"#32770") != 0 ||
        ::GetWindowTextW(window, title, 32) == 0 || wcscmp(title, kWindowTitle) != 0 ||
        ::GetPropW(window, kClosingWindowProperty) != nullptr) {
        return TRUE;
    }
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

HWND ShownInstallerWindow()
{
    HWND window = nullptr;
    ::EnumWindows(&FindInstallerWindow, reinterpret_cast<LPARAM>(&window));
    return window;
}

void BringToFront(HWND window)
{
    if (::IsIconic(window)) {
        ::ShowWindow(window, SW_RESTORE);
    }
    // Raised as well as activated: without a window manager to do it (Wine
    // on a bare X screen) the active window can stay under another.
    ::SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ::SetForegroundWindow(window);
}

bool Marked(const wchar_t* mark)
{
    const NCommon::ScopedHandle found(::OpenEventW(SYNCHRONIZE, FALSE, mark));
    return found.valid();
}

OtherRun KindOfRunningInstaller()
{
    if (Marked(kSilentInstallMark)) {
        return OtherRun::SilentInstall;
    }
    return Marked(kUpdateMark) ? OtherRun::Update : OtherRun::Interactive;
}

// Leaves the mark for as long as `claim` holds it, for a start by hand to read.
void MarkTheKind(InstallerTurn& claim, OtherRun kind)
{
    if (kind == OtherRun::SilentInstall || kind == OtherRun::Update) {
        claim.kind.reset(::CreateEventW(nullptr, TRUE, FALSE,
                                        kind == OtherRun::SilentInstall ? kSilentInstallMark : kUpdateMark));
    }
}

// True once this thread owns the turn: the other installer has ended (or
// let the turn go) within `milliseconds`.
bool TakeTheTurnWithin(HANDLE turn, DWORD milliseconds)
{
    const DWORD waited = ::WaitForSingleObject(turn, milliseconds);
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

void Tell(const std::wstring& message)
{
    ::MessageBoxW(nullptr, message.c_str(), kWindowTitle,
                  MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND | MB_TOPMOST);
}

}  // namespace

bool ClaimTheInstallerTurn(InstallerTurn& claim)
{
    const StartupOptions options = ParseStartupOptions(SplitCommandLine(::GetCommandLineW()), ::GetCommandLineW());
    // Owned by this thread from the start, so that a waiting start learns
    // of this run's end (or of its process's) by taking it over.
    claim.turn.reset(::CreateMutexW(nullptr, TRUE, kInstallerName));
    // Without the name nothing can be known about the others: go on.
    bool anotherRuns = claim.turn.valid() && ::GetLastError() == ERROR_ALREADY_EXISTS;
    const DWORD started = ::GetTickCount();
    for (;;) {
        FirstRun first;
        HWND window = nullptr;
        if (anotherRuns) {
            first.kind = KindOfRunningInstaller();
            window = ShownInstallerWindow();
            first.windowShown = window != nullptr;
            first.waitedEnough = ::GetTickCount() - started >= kWaitForClosingInstallerMs;
        }
        const SecondStart decision = DecideSecondStart(options, first);
        switch (decision) {
        case SecondStart::Run:
            MarkTheKind(claim, KindOfRun(options));
            return true;
        case SecondStart::WaitForFirst:
            anotherRuns = !TakeTheTurnWithin(claim.turn.get(), kLookAgainMs);
            continue;
        case SecondStart::BringFirstToFront:
            BringToFront(window);
            break;
        case SecondStart::Refuse:
            ConfigureLog();
            LOG(ERROR) << "Another installer is running in this session; this "
                       << (options.silentDestination.empty() ? "update" : "silent install")
                       << " ends without touching its files";
            break;
        default:
            Tell(SecondStartMessage(decision));
            break;
        }
        claim.kind.reset();
        claim.turn.reset();
        return false;
    }
}
