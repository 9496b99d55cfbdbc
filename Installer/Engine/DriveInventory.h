#pragma once

// What the destination already holds of a signed package: each member's
// file (or folder) on the drive, set against its signed size and SHA-256.
// A file that is there but differs (changed by the new version, or damaged
// by a failing stick or by malware on a PC it was plugged into) counts as
// missing: the run fetches it again.

#include <atomic>
#include <string>
#include <vector>

#include "PackageManifest.h"

namespace DriveInventory {

struct Inventory {
    // Per manifest member: the drive holds exactly the signed bytes.
    std::vector<bool> onDrive;
    // Per manifest member: a file is there, but not the signed one.
    std::vector<bool> differs;
    // Whether anything of the product is there at all.
    bool anyPresent = false;
};

// Reads every listed file under `destination`. Stops early (leaving the
// rest as missing) when `cancel` is set.
Inventory Take(const PackageManifest::Manifest& manifest, const std::wstring& destination,
               const std::atomic<bool>* cancel);

}  // namespace DriveInventory
