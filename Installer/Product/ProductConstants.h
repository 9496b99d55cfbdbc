#pragma once

// What every layer of the installer knows about the product it installs.
// One copy of each, so that the engine, the dialogs and start-up cannot
// disagree about a name or a threshold.

#include <cstdint>

// The downloaded package, in the per-drive work folder.
constexpr wchar_t kPackageFileName[] = L"Quillon.zip";

// The installed program, at the root of its drive.
constexpr wchar_t kProductFileName[] = L"Quillon.exe";

// A drive needs this much free space (150 MiB) before anything is fetched.
constexpr uint64_t kMinimumFreeBytes = 157286400ULL;

// Set on the progress dialog's window from the moment a way out waits for
// the install worker: the window goes soon, and the process after it. A
// second start waits for such a window's run instead of bringing it back.
constexpr wchar_t kClosingWindowProperty[] = L"Quillon.Installer.Closing";
