#pragma once

// What an update removes: the files the installed version put on the drive
// (as its version record lists them) that the new version no longer ships,
// and then the folders they were in, where the new version has no use for
// them. The record is only a claim, on a drive anyone can write: a name is
// taken under the version record's own name rules, and the caller removes a
// file only when it is there with the recorded size, inside the same commit
// as the new files. Pure, so that it is checked on plain data.

#include <string>
#include <vector>

#include "PackageManifest.h"

namespace ObsoleteFiles {

// The files first, in the record's order, then the folders ("/" at the
// end), deepest first. A name the new manifest lists, as a file or as a
// folder, is never among them; a re-install of the same version gives
// nothing. `ownFiles` are the product's own bookkeeping beside the program
// (the version record, the journal), which are never removed this way.
std::vector<std::string> Find(const std::vector<PackageManifest::RecordedFile>& installed,
                              const PackageManifest::Manifest& next, const std::vector<std::string>& ownFiles);

}  // namespace ObsoleteFiles
