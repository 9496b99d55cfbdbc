#pragma once

// A step on the drive that another program holds up: real-time virus
// scanners open a file the moment it is written, without sharing, and a
// rename or a delete of it is refused for as long as the scan lasts. Such a
// step is tried again for about two seconds before it counts as failed; a
// step that fails otherwise (a stick's passing I/O error) gets one more try.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "ZipArchive.h"

namespace ZipLayer {

class BusyRetry {
public:
    explicit BusyRetry(IZipWaitListener* listener = nullptr) : m_listener(listener) {}
    BusyRetry(const BusyRetry&) = delete;
    BusyRetry& operator=(const BusyRetry&) = delete;

    // Runs `step` until it returns true or its failure is final; a failing
    // step leaves its error as the thread's last one, and so does Run. The
    // listener hears once per file that a step on it had to wait.
    bool Run(const std::u16string& path, const std::function<bool()>& step);

    void SetListener(IZipWaitListener* listener) { m_listener = listener; }

private:
    void Report(const std::u16string& path, DWORD heldWith, DWORD waited, bool done);

    IZipWaitListener* m_listener;
    std::vector<std::u16string> m_reported;
};

}  // namespace ZipLayer
