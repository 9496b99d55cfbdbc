#include "DriveChecks.h"

#include <windows.h>

#include <optional>

#include "InstallError.h"
#include "ProductConstants.h"
#include "RunReport.h"
#include "TextConversion.h"
#include "easylogging++.h"

namespace InstallBackend {

DriveChecks::DriveChecks(std::wstring driveRoot, const std::function<UsbDriveMap()>& getUsbDrives,
                         const Extraction::DiskFreeSpaceQuery& getDiskFreeSpace)
    : m_driveRoot(std::move(driveRoot)), m_getUsbDrives(getUsbDrives), m_getDiskFreeSpace(getDiskFreeSpace)
{
}

void DriveChecks::CheckConnected()
{
    bool found = true;
    try {
        const UsbDriveMap drives = m_getUsbDrives();
        const auto drive = drives.find(m_driveRoot[0]);
        found = drive != drives.end();
        if (found) {
            m_driveInstance = drive->second;
            m_driveKnown = true;
        }
    } catch (...) {
        LogCaught(" CheckDriveConnected Generic exception ", GetLastError());
    }
    if (!found) {
        // Without this line a silent install would end with exit code 1
        // and nothing to tell the vendor why.
        LOG(ERROR) << "CheckDriveConnected " << ToUtf8(m_driveRoot) << " is not among the attached USB drives";
        throw DriveGone();
    }
}

void DriveChecks::CheckRoom() const
{
    std::optional<uint64_t> tooLittle;
    try {
        DWORD sectorsPerCluster = 0;
        DWORD bytesPerSector = 0;
        DWORD freeClusters = 0;
        DWORD totalClusters = 0;
        if (m_getDiskFreeSpace(m_driveRoot.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                               &totalClusters)) {
            const uint64_t freeBytes =
                static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector * freeClusters;
            if (freeBytes < kMinimumFreeBytes) {
                LOG(ERROR) << "CheckDriveFreeSpace " << ToUtf8(m_driveRoot) << " has " << freeBytes
                           << " bytes free, " << kMinimumFreeBytes << " needed";
                tooLittle = freeBytes;
            }
        } else {
            // The drive was listed a moment ago; an unanswered free-space
            // query is no proof that it is full. Go on: a drive that is really
            // gone fails the download or the extraction with its own message.
            LOG(ERROR) << "GetDiskFreeSpaceW error: " << static_cast<unsigned long>(GetLastError());
        }
    } catch (...) {
        LogCaught(" CheckDriveFreeSpace Generic exception ", GetLastError());
    }
    if (tooLittle) {
        throw TooLittleRoom(*tooLittle, kMinimumFreeBytes,
                            "too little free space on the drive: " + std::to_string(*tooLittle) + " bytes free, " +
                                std::to_string(kMinimumFreeBytes) + " needed");
    }
}

void DriveChecks::CheckStillThere() const
{
    if (GoneAfter(false)) {
        throw DriveGone();
    }
}

bool DriveChecks::GoneAfter(bool failedWrite) const
{
    if (!Gone(failedWrite)) {
        return false;
    }
    LOG(ERROR) << "CheckDriveConnected " << ToUtf8(m_driveRoot) << " is no longer attached, or is another drive now";
    return true;
}

bool DriveChecks::Gone(bool rootToo) const
{
    try {
        const UsbDriveMap drives = m_getUsbDrives();
        const auto found = drives.find(m_driveRoot[0]);
        if (found == drives.end() || (m_driveKnown && found->second != m_driveInstance)) {
            return true;
        }
    } catch (...) {
        // No answer is no proof that the drive is gone.
    }
    return rootToo && GetFileAttributesW(m_driveRoot.c_str()) == INVALID_FILE_ATTRIBUTES;
}

}  // namespace InstallBackend
