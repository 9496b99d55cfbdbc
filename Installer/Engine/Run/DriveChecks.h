#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "StagingRoom.h"
#include "UsbDrives.h"

namespace InstallBackend {

// The target drive as the run sees it: attached, with room enough, and
// still the drive the first check found.
class DriveChecks {
public:
    DriveChecks(std::wstring driveRoot, const std::function<UsbDriveMap()>& getUsbDrives,
                const Extraction::DiskFreeSpaceQuery& getDiskFreeSpace);

    // Raises DriveGone when the drive is not attached, after logging it. A
    // failure to list the drives is no proof that it is missing.
    void CheckConnected();
    // Raises TooLittleRoom with the drive's free bytes when it has less than
    // the product needs, after logging it; a drive that does not say goes on.
    void CheckRoom() const;
    // Raises DriveGone when the drive is not the one the first check found
    // any more, after logging it.
    void CheckStillThere() const;
    // After a write on the stick failed: true when the drive is gone, with
    // its root tried too, after logging it.
    bool GoneAfterFailedWrite() const { return GoneAfter(true); }
    // The drive can be pulled at any moment, and its letter can then go to
    // another drive or to none. After a failure the root itself is tried
    // too: a drive that the system has not yet taken off its list is gone
    // all the same when its root is.
    bool Gone(bool rootToo) const;

private:
    bool GoneAfter(bool failedWrite) const;

    const std::wstring m_driveRoot;
    const std::function<UsbDriveMap()>& m_getUsbDrives;
    const Extraction::DiskFreeSpaceQuery& m_getDiskFreeSpace;
    // The drive as the first check found it, to tell it from another drive
    // that gets its letter later.
    std::wstring m_driveInstance;
    bool m_driveKnown = false;
};

}  // namespace InstallBackend
