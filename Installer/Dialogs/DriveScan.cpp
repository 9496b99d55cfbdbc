#include "DriveScan.h"

#include <objbase.h>

#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "UsbDrives.h"

FoundDrives FindUsbDrives()
{
    FoundDrives found;
    for (const auto& drive : GetUsbDrives()) {
        found.push_back(FoundDrive{drive.first, GetDriveLabel(drive.first)});
    }
    return found;
}

namespace {

// The scanning thread's own hold on the multithreaded apartment: the
// process's ends when its dialogs are gone, which may be while WMI is
// still answering this thread.
class ThreadApartment {
public:
    ThreadApartment() : m_result(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ThreadApartment()
    {
        if (SUCCEEDED(m_result)) {
            ::CoUninitialize();
        }
    }
    ThreadApartment(const ThreadApartment&) = delete;
    ThreadApartment& operator=(const ThreadApartment&) = delete;

private:
    HRESULT m_result;
};

}  // namespace

// What the scanning thread and the window share. The thread may outlive the
// window and its DriveScan; whichever lets go last frees this.
struct DriveScan::Shared {
    std::mutex lock;
    HWND window;  // null once abandoned
    UINT message;
    bool done = false;
    bool taken = false;
    FoundDrives drives;

    Shared(HWND w, UINT m) : window(w), message(m) {}

    void Run()
    {
        FoundDrives found;
        try {
            const ThreadApartment apartment;
            found = FindUsbDrives();
        } catch (const std::bad_alloc&) {
            found.clear();  // reported as no drive, as a WMI failure is
        }
        const std::lock_guard<std::mutex> guard(lock);
        drives = std::move(found);
        done = true;
        // Posted under the lock, so that no message leaves after Abandon.
        if (window != nullptr) {
            ::PostMessageW(window, message, 0, 0);
        }
    }
};

DriveScan::~DriveScan()
{
    Abandon();
}

void DriveScan::Abandon()
{
    if (m_current) {
        const std::lock_guard<std::mutex> guard(m_current->lock);
        m_current->window = nullptr;
    }
    m_current.reset();
}

void DriveScan::Start(HWND window, UINT message)
{
    Abandon();
    auto shared = std::make_shared<Shared>(window, message);
    m_current = shared;
    try {
        // Detached: a scan that WMI holds must not hold the window's end,
        // nor the process's, which ends the thread with it.
        std::thread([shared] { shared->Run(); }).detach();
    } catch (const std::system_error&) {
        shared->Run();  // no thread to be had: the window waits, as it once always did
    }
}

std::optional<FoundDrives> DriveScan::TakeResult()
{
    if (!m_current) {
        return std::nullopt;
    }
    const std::lock_guard<std::mutex> guard(m_current->lock);
    if (!m_current->done || m_current->taken) {
        return std::nullopt;
    }
    m_current->taken = true;
    return std::move(m_current->drives);
}
