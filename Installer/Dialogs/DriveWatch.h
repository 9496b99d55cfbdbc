#pragma once

#include <windows.h>

#include <memory>

// The drive letters a WM_DEVICECHANGE names as volumes that arrived or
// went (DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE): bit 0 for A, 1 for B,
// and so on. 0 for every other event, and for a message without a volume.
DWORD ArrivedVolumes(WPARAM event, LPARAM data);
DWORD RemovedVolumes(WPARAM event, LPARAM data);
// Whether a unit mask names this letter.
bool NamesDrive(DWORD units, wchar_t letter);

// Whether a drive's root is there, looked at again and again on a thread of
// its own: a stick that is being pulled can keep a look at its root waiting,
// and the window that watches must go on answering meanwhile. The window
// learns of each change (and of the first look) by a posted message, wParam
// 1 when the drive is there and 0 when it is not.
class DriveWatch {
public:
    DriveWatch() = default;
    // Stops watching; a look still under way finishes on its own and tells no one.
    ~DriveWatch();
    DriveWatch(const DriveWatch&) = delete;
    DriveWatch& operator=(const DriveWatch&) = delete;

    void Start(HWND window, UINT message, wchar_t letter);
    void Stop();

private:
    struct Shared;
    std::shared_ptr<Shared> m_current;
};
