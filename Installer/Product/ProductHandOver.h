#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "ScopedHandles.h"

// What passes between the installer and the installed program on the drive:
// starting it, and asking the copies that run from the drive to close their
// window and quit.

// Sent to the program's window; handled before SendMessage returns.
const UINT WM_PRODUCT_CLOSE = WM_APP + 2;
// Posted to the first thread of a running program process.
const UINT WM_PRODUCT_QUIT = WM_APP + 7;

// The exact title of the program's window.
extern const wchar_t kProductWindowTitle[];

// How long a copy's window is given to answer WM_PRODUCT_CLOSE. A healthy
// window answers in milliseconds; a window that has not read its messages
// for five seconds is passed at once (Windows calls it "not responding").
const DWORD kProductCloseTimeoutMs = 3000;

// How long the copies on the drive are given, all together, to close their
// window and end. The user watches a window that says what it waits for;
// a program that needs longer than this to let go of its files is treated
// as one that does not quit, and nothing is replaced under it.
const DWORD kProductQuitTimeoutMs = 6000;

// What StartProduct hands to the shell. Parameters empty means none.
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

// A copy that was asked to quit, started again as it ran: the same program
// file, no parameters, from the drive root.
ProductLaunch ChooseRestartLaunch(const std::wstring& imagePath, wchar_t driveLetter);

// Starts the program through the shell and does not watch it. False when the
// shell could not start it; `error` then holds the reason's number.
bool StartProduct(const ProductLaunch& launch, unsigned long* error);

// StartProduct of ChooseProductLaunch's program; a failed start is not
// reported.
void LaunchProduct(bool notifyUpdate, const std::wstring& exePathToUpdate, wchar_t driveLetter);

// True when a process started from `imagePath` runs from the drive
// `driveLetter` (a letter compared as Windows compares drives, without
// regard to case; a "\\?\" prefix is looked through).
bool IsOnDrive(const std::wstring& imagePath, wchar_t driveLetter);

// One running copy of the program: held open so that its end can be seen.
struct ProductCopy {
    NCommon::ScopedHandle process;
    DWORD processId = 0;
    std::wstring imagePath;
};

// Every running process named exactly "Quillon.exe" (letter case counts)
// whose program file is on the drive; copies from other drives, and those
// that cannot be opened to be waited for, are left out.
std::vector<ProductCopy> FindProductCopies(wchar_t driveLetter);

// Whether any of `copies` still runs.
bool AnyProductCopyRunning(const std::vector<ProductCopy>& copies);

// Asks each copy to quit as the program expects it: WM_PRODUCT_CLOSE sent to
// every window with the program's title that belongs to one of them (each
// send bounded by kProductCloseTimeoutMs and what is left of `boundMs`),
// then WM_PRODUCT_QUIT posted to each copy's first thread. Waits until every
// copy has ended, `boundMs` have passed or `giveUp` says so (asked every
// 100 ms). True when every copy has ended. Writes nothing to the log.
bool AskProductCopiesToQuit(const std::vector<ProductCopy>& copies, DWORD boundMs,
                            const std::function<bool()>& giveUp);

// The first thread of `processId` in a thread snapshot, 0 when it has none.
// Raises MessageError "GetMainThreadId failed" when no snapshot can be taken.
DWORD GetMainThreadId(DWORD processId);
