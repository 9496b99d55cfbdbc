#pragma once

// Which bytes of the package a run must fetch, decided on plain data: the
// package's central directory (its signed tail), what the drive already
// holds, and what an earlier, cut run kept. A zip says where each member's
// bytes are, so a drive that holds most of the product needs only the
// members it lacks, fetched with the plain ranges any server answers.

#include <cstdint>
#include <string>
#include <vector>

#include "ByteRange.h"
#include "PackageManifest.h"

namespace DeltaPlan {

// Two pieces closer than this are fetched in one request: a request costs a
// round trip and its headers, which on a slow link is worth more than the
// few bytes between them.
constexpr uint64_t kJoinGap = 32 * 1024;
// No request is longer than the download's range.
constexpr uint64_t kMaxRequest = 4194304;

// One entry of the central directory, as far as the plan needs it.
struct DirectoryEntry {
    std::string name;
    uint64_t localHeaderOffset = 0;
};

struct Directory {
    std::vector<DirectoryEntry> entries;
    // Why the tail cannot be read as a directory, in words for the log.
    std::string problem;
};

// Reads the package's tail (the central directory from `tailOffset`, then
// the end record) as the zip layer would. Anything it does not fully
// understand (zip64, a split archive, names that are not plain UTF-8) is a
// problem: the run then takes the whole package instead.
Directory ReadDirectory(const std::string& tail, uint64_t tailOffset);

// Where each entry's bytes lie in the package: from its local header to the
// next entry's local header, the last one up to the tail. Empty when two
// entries share a place.
std::vector<ByteRange> MemberSpans(const Directory& directory, uint64_t tailOffset);

// Adds `range` to `ranges` (in order, disjoint), joining what touches it.
void AddRange(std::vector<ByteRange>& ranges, ByteRange range);

// `wanted` without the bytes in `kept` (both in order, disjoint).
std::vector<ByteRange> Subtract(const std::vector<ByteRange>& wanted, const std::vector<ByteRange>& kept);

// The requests that fetch `missing` (ordered, disjoint): neighbours closer
// than kJoinGap joined unless kept bytes lie between them (those are never
// fetched twice), then cut into pieces of at most kMaxRequest.
std::vector<ByteRange> Requests(const std::vector<ByteRange>& missing, const std::vector<ByteRange>& kept);

struct Plan {
    // Per directory entry: whether the run writes it to the drive.
    std::vector<bool> write;
    // What to fetch, in order.
    std::vector<ByteRange> requests;
    uint64_t fetchBytes = 0;
};

// Per directory entry: whether its signed member (`manifestIndex[i]` for
// entry i) is missing from the drive (`onDrive`, per manifest member).
std::vector<bool> WriteSet(const std::vector<size_t>& manifestIndex, const std::vector<bool>& onDrive);

// The entries whose signed member (`manifestIndex[i]` for entry i) the
// drive does not hold (`onDrive`, per manifest member), and the requests
// that fetch their bytes and `alsoWanted` (the headers of members rebuilt
// from patches), less what is kept.
Plan PlanMembers(const Directory& directory, uint64_t tailOffset, const std::vector<size_t>& manifestIndex,
                 const std::vector<bool>& onDrive, const std::vector<ByteRange>& kept,
                 const std::vector<ByteRange>& alsoWanted = {});

// The whole package, less what is kept.
Plan PlanWhole(uint64_t packageSize, const std::vector<ByteRange>& kept);

// The bytes that staging the written members takes on a volume with
// clusters of `clusterBytes` (0: exact sizes); a folder takes a cluster.
uint64_t StagingBytes(const PackageManifest::Manifest& manifest, const std::vector<size_t>& manifestIndex,
                      const std::vector<bool>& write, uint64_t clusterBytes);

}  // namespace DeltaPlan
