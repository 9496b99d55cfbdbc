#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ExtractionContext.h"
#include "ZipLayer.h"

namespace Extraction {

// Same contract as GetDiskFreeSpaceW.
using DiskFreeSpaceQuery = std::function<BOOL(const wchar_t* root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                                              DWORD* freeClusters, DWORD* totalClusters)>;

// Nothing on the drive changes until every member is whole: a run that
// fails leaves the installed version as it was. With the layer's staging
// calls null, there is nothing to begin.
void BeginStaging(const ZipLayer& zip, const DiskFreeSpaceQuery& getDiskFreeSpace, HZIP handle,
                  ExtractionContext& context, const std::vector<size_t>& manifestIndex, const std::vector<bool>& write);
// The version on the drive changes with the files, in the same commit.
void StageVersionRecord(const ZipLayer& zip, HZIP handle, const PackageManifest::Manifest& manifest,
                        const std::function<bool()>& driveGone);
// Moves the staged members into place.
void CommitStaging(const ZipLayer& zip, HZIP handle, size_t count, const std::function<bool()>& driveGone);
// A write on the stick that failed: DriveGone when the stick is not the
// one the run began with any more (`driveGone` may be empty), else
// StickWriteFailure naming `file`.
[[noreturn]] void RaiseStickFailure(std::string text, const std::string& file, DWORD error,
                                    const std::function<bool()>& driveGone);

}  // namespace Extraction
