#include "DeltaPlan.h"

#include <algorithm>

#include "Download.h"
#include "ZipRecords.h"

namespace DeltaPlan {
namespace {

// The delta plan cuts its requests to the size the range loop asks for.
static_assert(kMaxRequest == DownloadConstants::kRangeSize, "one request size for the plan and the download");

namespace Entry = ZipRecords::DirectoryEntry;
namespace End = ZipRecords::EndRecord;
namespace Locator = ZipRecords::Zip64Locator;

// The tail's bytes as the zip records read them.
uint32_t Read16(const std::string& bytes, size_t at)
{
    return ZipRecords::Read16(reinterpret_cast<const uint8_t*>(bytes.data()) + at);
}

uint32_t Read32(const std::string& bytes, size_t at)
{
    return ZipRecords::Read32(reinterpret_cast<const uint8_t*>(bytes.data()) + at);
}

Directory Refuse(std::string problem)
{
    Directory directory;
    directory.problem = std::move(problem);
    return directory;
}

bool IsAscii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
}

// The end record: the last one whose comment reaches exactly to the end.
size_t FindEnd(const std::string& tail)
{
    if (tail.size() < End::kBytes) {
        return std::string::npos;
    }
    for (size_t at = tail.size() - End::kBytes + 1; at-- > 0;) {
        if (Read32(tail, at) == End::kSignature &&
            at + End::kBytes + Read16(tail, at + End::kCommentLength) == tail.size()) {
            return at;
        }
    }
    return std::string::npos;
}

}  // namespace

Directory ReadDirectory(const std::string& tail, uint64_t tailOffset)
{
    const size_t end = FindEnd(tail);
    if (end == std::string::npos) {
        return Refuse("no end record");
    }
    if (end >= Locator::kBytes && Read32(tail, end - Locator::kBytes) == Locator::kSignature) {
        return Refuse("a zip64 archive");
    }
    const uint32_t count = Read16(tail, end + End::kEntries);
    if (Read16(tail, end + End::kThisDisk) != 0 || Read16(tail, end + End::kDirectoryDisk) != 0 ||
        Read16(tail, end + End::kEntriesOnDisk) != count) {
        return Refuse("a split archive");
    }
    if (Read32(tail, end + End::kDirectoryOffset) != tailOffset || Read32(tail, end + End::kDirectorySize) != end) {
        return Refuse("the directory is not where the manifest says");
    }
    Directory directory;
    size_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (at + Entry::kBytes > end || Read32(tail, at) != Entry::kSignature) {
            return Refuse("directory entry " + std::to_string(i) + " cannot be read");
        }
        const size_t nameBytes = Read16(tail, at + Entry::kNameLength);
        const size_t next = at + Entry::kBytes + nameBytes + Read16(tail, at + Entry::kExtraLength) +
                            Read16(tail, at + Entry::kCommentLength);
        const uint32_t offset = Read32(tail, at + Entry::kLocalHeaderOffset);
        if (next > end || offset == ZipRecords::kZip64Marker ||
            Read32(tail, at + Entry::kCompressedSize) == ZipRecords::kZip64Marker ||
            Read32(tail, at + Entry::kUncompressedSize) == ZipRecords::kZip64Marker) {
            return Refuse("directory entry " + std::to_string(i) + " cannot be read");
        }
        if (offset >= tailOffset) {
            return Refuse("directory entry " + std::to_string(i) + " lies past the directory");
        }
        DirectoryEntry entry;
        entry.name = tail.substr(at + Entry::kBytes, nameBytes);
        // Without the UTF-8 flag a name is in the DOS code page; only its
        // ASCII part reads the same either way.
        if ((Read16(tail, at + Entry::kFlags) & ZipRecords::kUtf8NameFlag) == 0 && !IsAscii(entry.name)) {
            return Refuse("entry " + std::to_string(i) + " has a name in a DOS code page");
        }
        entry.localHeaderOffset = offset;
        directory.entries.push_back(std::move(entry));
        at = next;
    }
    if (at != end) {
        return Refuse("the directory holds more than its entries");
    }
    return directory;
}

std::vector<ByteRange> MemberSpans(const Directory& directory, uint64_t tailOffset)
{
    std::vector<size_t> order(directory.entries.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    const auto offsetOf = [&](size_t i) { return directory.entries[i].localHeaderOffset; };
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return offsetOf(a) < offsetOf(b); });
    std::vector<ByteRange> spans(order.size());
    for (size_t k = 0; k < order.size(); ++k) {
        const uint64_t next = k + 1 < order.size() ? offsetOf(order[k + 1]) : tailOffset;
        if (next <= offsetOf(order[k])) {
            return {};
        }
        spans[order[k]] = {offsetOf(order[k]), next - 1};
    }
    return spans;
}

void AddRange(std::vector<ByteRange>& ranges, ByteRange range)
{
    // The download's common case, block after block: the last range grows.
    if (!ranges.empty() && range.first >= ranges.back().first && range.first <= ranges.back().last + 1) {
        ranges.back().last = std::max(ranges.back().last, range.last);
        return;
    }
    std::vector<ByteRange> joined;
    joined.reserve(ranges.size() + 1);
    bool placed = false;
    for (const ByteRange& have : ranges) {
        if (have.last + 1 < range.first) {
            joined.push_back(have);
        } else if (range.last + 1 < have.first) {
            if (!placed) {
                joined.push_back(range);
                placed = true;
            }
            joined.push_back(have);
        } else {
            range = {std::min(range.first, have.first), std::max(range.last, have.last)};
        }
    }
    if (!placed) {
        joined.push_back(range);
    }
    ranges = std::move(joined);
}

std::vector<ByteRange> Subtract(const std::vector<ByteRange>& wanted, const std::vector<ByteRange>& kept)
{
    std::vector<ByteRange> result;
    for (const ByteRange& range : wanted) {
        uint64_t from = range.first;
        bool done = false;
        for (const ByteRange& have : kept) {
            if (have.last < from || have.first > range.last) {
                continue;
            }
            if (have.first > from) {
                result.push_back({from, have.first - 1});
            }
            if (have.last >= range.last) {
                done = true;
                break;
            }
            from = have.last + 1;
        }
        if (!done) {
            result.push_back({from, range.last});
        }
    }
    return result;
}

std::vector<ByteRange> Requests(const std::vector<ByteRange>& missing, const std::vector<ByteRange>& kept)
{
    const auto keptBetween = [&](uint64_t after, uint64_t before) {
        return std::any_of(kept.begin(), kept.end(),
                           [&](const ByteRange& have) { return have.last > after && have.first < before; });
    };
    std::vector<ByteRange> joined;
    for (const ByteRange& range : missing) {
        if (!joined.empty() && range.first - joined.back().last - 1 <= kJoinGap &&
            !keptBetween(joined.back().last, range.first)) {
            joined.back().last = range.last;
        } else {
            joined.push_back(range);
        }
    }
    std::vector<ByteRange> requests;
    for (const ByteRange& range : joined) {
        for (uint64_t first = range.first; first <= range.last; first += kMaxRequest) {
            requests.push_back({first, std::min(range.last, first + kMaxRequest - 1)});
        }
    }
    return requests;
}

std::vector<bool> WriteSet(const std::vector<size_t>& manifestIndex, const std::vector<bool>& onDrive)
{
    std::vector<bool> write(manifestIndex.size());
    for (size_t i = 0; i < manifestIndex.size(); ++i) {
        write[i] = manifestIndex[i] >= onDrive.size() || !onDrive[manifestIndex[i]];
    }
    return write;
}

namespace {

Plan Finish(Plan plan, const std::vector<ByteRange>& wanted, const std::vector<ByteRange>& kept)
{
    plan.requests = Requests(Subtract(wanted, kept), kept);
    for (const ByteRange& range : plan.requests) {
        plan.fetchBytes += range.Size();
    }
    return plan;
}

}  // namespace

Plan PlanMembers(const Directory& directory, uint64_t tailOffset, const std::vector<size_t>& manifestIndex,
                 const std::vector<bool>& onDrive, const std::vector<ByteRange>& kept,
                 const std::vector<ByteRange>& alsoWanted)
{
    Plan plan;
    plan.write = WriteSet(manifestIndex, onDrive);
    const std::vector<ByteRange> spans = MemberSpans(directory, tailOffset);
    std::vector<ByteRange> wanted = alsoWanted;
    for (size_t i = 0; i < spans.size() && i < plan.write.size(); ++i) {
        if (plan.write[i]) {
            wanted.push_back(spans[i]);
        }
    }
    std::sort(wanted.begin(), wanted.end(), [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
    return Finish(std::move(plan), wanted, kept);
}

Plan PlanWhole(uint64_t packageSize, const std::vector<ByteRange>& kept)
{
    if (packageSize == 0) {
        return Plan();
    }
    return Finish(Plan(), {{0, packageSize - 1}}, kept);
}

uint64_t StagingBytes(const PackageManifest::Manifest& manifest, const std::vector<size_t>& manifestIndex,
                      const std::vector<bool>& write, uint64_t clusterBytes)
{
    uint64_t bytes = 0;
    for (size_t i = 0; i < manifestIndex.size() && i < write.size(); ++i) {
        if (!write[i]) {
            continue;
        }
        const PackageManifest::Member& member = manifest.members[manifestIndex[i]];
        if (!member.name.empty() && member.name.back() == '/') {
            bytes += clusterBytes;
        } else if (clusterBytes == 0) {
            bytes += member.size;
        } else {
            bytes += (member.size + clusterBytes - 1) / clusterBytes * clusterBytes;
        }
    }
    return bytes;
}

}  // namespace DeltaPlan
