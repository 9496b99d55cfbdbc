#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "PackageManifest.h"

namespace Extraction {

// What the extraction needs besides the package and the destination.
struct ExtractionContext {
    std::wstring driveRoot;
    std::wstring journalPath;
    // What the vendor signed; set once the manifest is verified.
    std::optional<PackageManifest::Manifest> manifest;
    // Per manifest member: the drive already holds it, so it is not written.
    std::vector<bool> onDrive;
    // Set when only some members were fetched: each zip entry's manifest
    // entry, read from the signed tail.
    std::optional<std::vector<size_t>> partialIndex;
    // Per zip entry: where the bytes of a member rebuilt from a binary
    // patch wait; empty for a member that comes from the package.
    std::vector<std::wstring> rebuilt;
    // The version the drive's record named when the run began.
    std::optional<uint64_t> installedVersion;
    // Set when the drive has too little room for the staged new files.
    bool tooLittleSpace = false;
    // What the drive had and what the run needed, when it had too little.
    uint64_t bytesFree = 0;
    uint64_t bytesNeeded = 0;
    // Set when the caller held the commit: nothing changed on the drive.
    bool commitHeld = false;
};

}  // namespace Extraction
