#include "StagingRoom.h"

#include <algorithm>

#include "DeltaPlan.h"
#include "InstallError.h"
#include "MessageError.h"
#include "PackageTrust.h"
#include "TextConversion.h"
#include "easylogging++.h"

namespace Extraction {
namespace {

// Room for the new files beside the old ones: until the commit both are on
// the drive. Checked before anything is written.
void CheckRoomForStaging(const ZipLayer& zip, const DiskFreeSpaceQuery& getDiskFreeSpace, HZIP handle,
                         ExtractionContext& context, const std::vector<size_t>& manifestIndex,
                         const std::vector<bool>& write)
{
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD totalClusters = 0;
    if (!getDiskFreeSpace(context.driveRoot.c_str(), &sectorsPerCluster, &bytesPerSector,
                                      &freeClusters, &totalClusters)) {
        return;
    }
    const uint64_t clusterBytes = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
    const uint64_t freeBytes = clusterBytes * freeClusters;
    // Only what replaces a file is staged: a drive that holds the product
    // but not a second copy of it still takes an update of a few members.
    // A whole package is counted by the zip layer, from its own directory.
    uint64_t needed = 0;
    if (std::find(write.begin(), write.end(), false) != write.end()) {
        needed = DeltaPlan::StagingBytes(*context.manifest, manifestIndex, write, clusterBytes);
    } else {
        const ZipStatus status = zip.stagingBytes(
            handle, clusterBytes > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(clusterBytes), &needed);
        if (status != ZipOk) {
            throw MessageError("Reading the package's directory failed",
                               ExplainZipFailure(zip, handle, status, "the directory"));
        }
    }
    if (freeBytes < needed) {
        LOG(ERROR) << "CheckDriveFreeSpace " << ToUtf8(context.driveRoot) << " has " << freeBytes
                   << " bytes free, " << needed << " needed for the new files";
        throw TooLittleRoom(freeBytes, needed, "too little free space on the drive for the new files: " +
                                                   std::to_string(freeBytes) + " bytes free, " +
                                                   std::to_string(needed) + " needed");
    }
}

}  // namespace

void RaiseStickFailure(std::string text, const std::string& file, DWORD error, const std::function<bool()>& driveGone)
{
    if (driveGone && driveGone()) {
        throw DriveGone();
    }
    throw StickWriteFailure(std::move(text), file, error);
}

void BeginStaging(const ZipLayer& zip, const DiskFreeSpaceQuery& getDiskFreeSpace, HZIP handle,
                  ExtractionContext& context, const std::vector<size_t>& manifestIndex, const std::vector<bool>& write)
{
    if (zip.stagingBytes != nullptr) {
        CheckRoomForStaging(zip, getDiskFreeSpace, handle, context, manifestIndex, write);
    }
    if (zip.beginStaging != nullptr) {
        const ZipStatus status = zip.beginStaging(handle, context.journalPath.c_str());
        if (status != ZipOk) {
            RaiseStickFailure("Starting the extraction's journal failed", "the journal",
                              ExplainZipFailure(zip, handle, status, ToUtf8(context.journalPath)), context.driveGone);
        }
    }
}

void CommitStaging(const ZipLayer& zip, HZIP handle, size_t count, const std::function<bool()>& driveGone)
{
    if (zip.commit == nullptr) {
        return;
    }
    // Between the first move and the last the drive holds a mixture of two
    // versions; how long that lasts is worth a line.
    const ULONGLONG start = GetTickCount64();
    const ZipStatus status = zip.commit(handle);
    if (status != ZipOk) {
        RaiseStickFailure("Moving the new files into place failed", "the new files",
                          ExplainZipFailure(zip, handle, status, "the commit"), driveGone);
    }
    LOG(INFO) << "Moved the " << count << " entries into place in " << (GetTickCount64() - start)
              << " ms";
}

// The version on the drive changes with the files, in the same commit: a
// run that fails leaves both as they were.
void StageVersionRecord(const ZipLayer& zip, HZIP handle, const PackageManifest::Manifest& manifest,
                        const std::function<bool()>& driveGone)
{
    if (zip.stageFile == nullptr) {
        return;
    }
    const std::string record = PackageManifest::VersionRecordText(manifest);
    const ZipStatus status = zip.stageFile(handle, PackageTrust::kVersionRecordName, record.data(),
                                           static_cast<uint32_t>(record.size()));
    if (status != ZipOk) {
        RaiseStickFailure("Writing the version record failed", "the version record",
                          ExplainZipFailure(zip, handle, status, ToUtf8(PackageTrust::kVersionRecordName)),
                          driveGone);
    }
}

}  // namespace Extraction
