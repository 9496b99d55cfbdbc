#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
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
void StageVersionRecord(const ZipLayer& zip, HZIP handle, const PackageManifest::Manifest& manifest);
// Moves the staged members into place.
void CommitStaging(const ZipLayer& zip, HZIP handle, size_t count);

}  // namespace Extraction
