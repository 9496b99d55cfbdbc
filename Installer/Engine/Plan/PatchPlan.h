#pragma once

// Which members a run rebuilds from a binary patch instead of fetching
// them, decided on plain data: the signed members, what the stick holds of
// each (its file's size and SHA-256), the signed patch list and where each
// member lies in the package. A patch is taken only when it starts from
// exactly the stick's file, ends in exactly the signed member, fits the
// decoder's bound and costs fewer bytes than the member: one patch, from
// the stick's own release, never a chain.

#include <cstdint>
#include <string>
#include <vector>

#include "ByteRange.h"
#include "PackageManifest.h"
#include "PatchList.h"

namespace PatchPlan {

// What the stick holds where a member goes.
struct DriveFile {
    bool hashed = false;
    uint64_t size = 0;
    PackageManifest::Sha256 sha256{};
};

struct Choice {
    // Null: the member is fetched.
    const PatchList::Patch* patch = nullptr;
    // Why a listed patch is not taken, for the log; empty when there is
    // none to take or it is taken.
    std::string whyNot;
};

// Per directory entry i (its manifest member `manifestIndex[i]`, its span
// `spans[i]` in the package): which patch, if any, rebuilds it. Only an
// entry that is written (`write[i]`) over a file the stick holds gets one.
std::vector<Choice> Choose(const std::vector<PackageManifest::Member>& members,
                           const std::vector<size_t>& manifestIndex, const std::vector<bool>& write,
                           const std::vector<ByteRange>& spans, const std::vector<DriveFile>& driveFiles,
                           const PatchList::List& list);

// The bytes of a rebuilt member that still come from the package: its
// local header, which the zip layer reads for the entry's name, times and
// attributes. 30 fixed bytes, the name, and room for the extra fields that
// zip writers put there (a few dozen bytes; a kilobyte allowed).
constexpr uint64_t kLocalExtraAllowance = 1024;
ByteRange LocalHeaderOf(const ByteRange& span, uint64_t nameBytes);

// Whether any written entry has a file on the stick that a patch could
// start from: only then is the list worth asking for.
bool WorthAsking(const std::vector<size_t>& manifestIndex, const std::vector<bool>& write,
                 const std::vector<DriveFile>& driveFiles);

}  // namespace PatchPlan
