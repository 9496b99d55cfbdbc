#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "PackageManifest.h"

namespace Extraction {

// What the extraction needs besides the package and the destination.
struct ExtractionContext {
    std::wstring driveRoot;
    // On the drive, beside the version record.
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
    // The version the drive's record named when the run began, and the
    // files the record says that version put there.
    std::optional<uint64_t> installedVersion;
    std::vector<PackageManifest::RecordedFile> installedFiles;
    // Asked when a write on the stick failed: true when the stick is not
    // the one the run began with any more. May be empty.
    std::function<bool()> driveGone;
};

}  // namespace Extraction
