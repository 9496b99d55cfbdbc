#pragma once

#include <atomic>
#include <string>

#include "ExtractionContext.h"
#include "StagingRoom.h"
#include "ZipLayer.h"

class IInstallListener;

namespace Extraction {

// Unpacks the package into `destination`: its members matched against the
// signed list, each checked on its way, all of them staged and moved into
// place in one commit with the version record. Returns early, with nothing
// moved, when the cancel flag is set; raises on failure, with the drive as
// it was: PackageRefusal for bytes that are not the vendor's, TooLittleRoom,
// StickWriteFailure or DriveGone for the stick, InstallError for a held
// commit, MessageError for what names no cause.
void ExtractPackage(const std::wstring& packagePath, const std::wstring& destination, IInstallListener* listener,
                    const std::atomic<bool>* cancel, const ZipLayer& zip, const DiskFreeSpaceQuery& getDiskFreeSpace,
                    ExtractionContext& context);

}  // namespace Extraction
