#pragma once

#include <windows.h>

#include <string>

// What passes between the installer and the installed program on the drive:
// starting it, and asking running copies to close their window and quit.
// Everything here runs on the user-interface thread.

// Sent to the program's window; handled before SendMessage returns.
const UINT WM_PRODUCT_CLOSE = WM_APP + 2;
// Posted to the first thread of every running program process.
const UINT WM_PRODUCT_QUIT = WM_APP + 7;

// The exact title of the program's window.
extern const wchar_t kProductWindowTitle[];

// How long CloseProductWindow waits for the program's window to answer.
// A healthy window answers in milliseconds; five seconds is also the time
// after which Windows itself calls a window "not responding". The dialog
// does not repaint meanwhile (the download goes on in the worker), so the
// wait must stay short, yet long enough for a busy but healthy program.
const DWORD kProductCloseTimeoutMs = 5000;

// What LaunchProduct hands to the shell. Parameters empty means none.
struct ProductLaunch {
    std::wstring file;
    std::wstring parameters;
    std::wstring workingFolder;
};

// After an update (notifyUpdate) the program the update request named,
// told so with "/NotifyUpdate"; otherwise the program in the drive root,
// with no parameters. Either way from the drive root.
ProductLaunch ChooseProductLaunch(bool notifyUpdate, const std::wstring& exePathToUpdate,
                                  wchar_t driveLetter);

// Starts ChooseProductLaunch's program through the shell and does not watch
// it. A failed start is not reported.
void LaunchProduct(bool notifyUpdate, const std::wstring& exePathToUpdate, wchar_t driveLetter);

// Asks the program's window, if there is one, to close, and waits at most
// kProductCloseTimeoutMs (less when the window is already known to be hung)
// for it to answer; logs one line when it does not. Always true.
bool CloseProductWindow();

// The first thread of `processId` in a thread snapshot, 0 when it has none.
// Raises MessageError "GetMainThreadId failed" when no snapshot can be taken.
DWORD GetMainThreadId(DWORD processId);

// Posts WM_PRODUCT_QUIT to the first thread of every running process named
// exactly "Quillon.exe" (letter case counts) that can be opened with full
// access. False when a snapshot could not be taken; the processes after
// that point are then not signalled.
bool SignalProductProcesses();
