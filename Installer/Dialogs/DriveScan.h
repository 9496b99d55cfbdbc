#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

// A USB drive as the drive picker shows it.
struct FoundDrive {
    wchar_t letter;
    std::wstring label;
};
using FoundDrives = std::vector<FoundDrive>;

// The attached USB drives in letter order, each with its volume label.
// Blocks for as long as WMI and the drives take to answer.
FoundDrives FindUsbDrives();

// Looks for USB drives on a thread of its own, so that the window that
// asked goes on answering however long WMI and the drives take (seconds on
// a real machine's first query). The window learns of the end by a posted
// message and then takes the result.
class DriveScan {
public:
    DriveScan() = default;
    // Abandons a scan still running: it finishes on its own and tells no one.
    ~DriveScan();
    DriveScan(const DriveScan&) = delete;
    DriveScan& operator=(const DriveScan&) = delete;

    // Starts looking and posts `message` to `window` when done. A scan still
    // running is abandoned, so only the latest one is ever reported.
    void Start(HWND window, UINT message);
    // The latest scan's drives, once, after it has ended; nothing while it
    // runs or once taken (a message left over from an abandoned scan).
    std::optional<FoundDrives> TakeResult();

private:
    struct Shared;
    void Abandon();

    std::shared_ptr<Shared> m_current;
};
