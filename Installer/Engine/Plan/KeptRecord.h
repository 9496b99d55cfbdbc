#pragma once

// The record beside a kept download, as text: which package (its signed
// SHA-256 and size) and which of its bytes the file holds. It lies on the
// PC's disk, where anything may have written it, so reading it is a rule of
// its own, without a platform header, that the native build fuzzes.
//
//   quillon-kept 1
//   package <sha256> <size>
//   range <first> <last>
//   ...

#include <cstdint>
#include <string>
#include <vector>

#include "ByteRange.h"
#include "PackageManifest.h"

namespace KeptRecord {

std::string Format(const PackageManifest::Sha256& packageSha256, uint64_t packageSize,
                   const std::vector<ByteRange>& kept);

// The ranges a record names of this very package, in order and disjoint,
// each inside it; nothing when the record is of another package or none of
// ours. Reading stops at the first line that is not a whole range.
std::vector<ByteRange> Parse(const std::string& text, const PackageManifest::Sha256& packageSha256,
                             uint64_t packageSize);

}  // namespace KeptRecord
