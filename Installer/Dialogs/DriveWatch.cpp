#include "DriveWatch.h"

#include <dbt.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace {

// Often enough that a pulled stick is seen well within a second.
const auto kLookEvery = std::chrono::milliseconds(250);

DWORD VolumesOf(LPARAM data)
{
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_VOLUME ||
        header->dbch_size < sizeof(DEV_BROADCAST_VOLUME)) {
        return 0;
    }
    return reinterpret_cast<const DEV_BROADCAST_VOLUME*>(data)->dbcv_unitmask;
}

bool DriveIsThere(wchar_t letter)
{
    const wchar_t root[] = {letter, L':', L'\\', L'\0'};
    return ::GetFileAttributesW(root) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

DWORD ArrivedVolumes(WPARAM event, LPARAM data)
{
    return event == DBT_DEVICEARRIVAL ? VolumesOf(data) : 0;
}

DWORD RemovedVolumes(WPARAM event, LPARAM data)
{
    return event == DBT_DEVICEREMOVECOMPLETE ? VolumesOf(data) : 0;
}

bool NamesDrive(DWORD units, wchar_t letter)
{
    if (letter >= L'a' && letter <= L'z') {
        letter = static_cast<wchar_t>(letter - L'a' + L'A');
    }
    return letter >= L'A' && letter <= L'Z' && (units & (1u << (letter - L'A'))) != 0;
}

// What the watching thread and the window share; the thread may outlive
// the DriveWatch, and whichever lets go last frees this.
struct DriveWatch::Shared {
    std::mutex lock;
    std::condition_variable stopped;
    HWND window;  // null once stopped
    UINT message;
    wchar_t letter;

    Shared(HWND w, UINT m, wchar_t l) : window(w), message(m), letter(l) {}

    void Run()
    {
        // No "insert a disk" box for a drive that went: the look just fails.
        ::SetThreadErrorMode(SEM_FAILCRITICALERRORS, nullptr);
        int known = -1;
        std::unique_lock<std::mutex> guard(lock);
        while (window != nullptr) {
            guard.unlock();
            const int there = DriveIsThere(letter) ? 1 : 0;
            guard.lock();
            if (window != nullptr && there != known) {
                known = there;
                ::PostMessageW(window, message, static_cast<WPARAM>(there), 0);
            }
            stopped.wait_for(guard, kLookEvery, [this] { return window == nullptr; });
        }
    }
};

DriveWatch::~DriveWatch()
{
    Stop();
}

void DriveWatch::Start(HWND window, UINT message, wchar_t letter)
{
    Stop();
    auto shared = std::make_shared<Shared>(window, message, letter);
    try {
        // Detached: a look that a dying stick holds must not hold the window's end.
        std::thread([shared] { shared->Run(); }).detach();
        m_current = shared;
    } catch (const std::system_error&) {
        // No thread to be had: the device-change messages alone tell of the stick.
    }
}

void DriveWatch::Stop()
{
    if (m_current) {
        {
            const std::lock_guard<std::mutex> guard(m_current->lock);
            m_current->window = nullptr;
        }
        m_current->stopped.notify_all();
    }
    m_current.reset();
}
