#pragma once

// Members rebuilt from binary patches on their way to the drive: staged as
// the zip layer stages a file of its caller's, journalled and committed with
// the members it extracts, and given their entries' look once in place.

#include <string>

#include "PackageManifest.h"
#include "ZipLayer.h"

namespace Extraction {

// Stages the rebuilt member of zip entry `item` from `path`, after checking
// its bytes against the member's signed size and SHA-256 once more: the
// work folder is the PC's, not the vendor's. Raises MessageError.
void StageRebuiltMember(const ZipLayer& zip, HZIP handle, const ZipItem& item, const std::wstring& path,
                        const PackageManifest::Member& member);

// Once committed, a rebuilt member gets what the zip layer gives a member
// it extracts: the entry's attributes and times.
void GiveItemsLook(const std::wstring& path, const ZipItem& item);

}  // namespace Extraction
