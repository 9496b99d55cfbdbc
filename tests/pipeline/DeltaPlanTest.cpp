// What a run fetches of a package whose members the drive partly holds:
// the directory read off the signed tail, which members, which ranges.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DeltaPlan.h"

using DeltaPlan::Directory;
using DeltaPlan::kJoinGap;
using DeltaPlan::kMaxRequest;

namespace {

void Put16(std::string& bytes, uint32_t value)
{
    bytes += static_cast<char>(value & 0xFF);
    bytes += static_cast<char>((value >> 8) & 0xFF);
}

void Put32(std::string& bytes, uint32_t value)
{
    Put16(bytes, value & 0xFFFF);
    Put16(bytes, value >> 16);
}

struct Entry {
    std::string name;
    uint32_t offset;
    uint16_t flags = 0;
};

// A central directory and end record as a zip writer lays them out.
std::string Tail(const std::vector<Entry>& entries, uint32_t tailOffset, const std::string& comment = "")
{
    std::string tail;
    for (const Entry& entry : entries) {
        Put32(tail, 0x02014b50);
        Put16(tail, 20);
        Put16(tail, 20);
        Put16(tail, entry.flags);
        for (int i = 0; i < 3; ++i) {
            Put16(tail, 0);  // method, time, date
        }
        for (int i = 0; i < 3; ++i) {
            Put32(tail, 0);  // CRC, sizes
        }
        Put16(tail, static_cast<uint32_t>(entry.name.size()));
        Put16(tail, 4);  // an extra field, skipped
        Put16(tail, 0);
        Put16(tail, 0);
        Put16(tail, 0);
        Put32(tail, 0);
        Put32(tail, entry.offset);
        tail += entry.name + std::string(4, '\0');
    }
    const uint32_t directoryBytes = static_cast<uint32_t>(tail.size());
    Put32(tail, 0x06054b50);
    Put32(tail, 0);
    Put16(tail, static_cast<uint32_t>(entries.size()));
    Put16(tail, static_cast<uint32_t>(entries.size()));
    Put32(tail, directoryBytes);
    Put32(tail, tailOffset);
    Put16(tail, static_cast<uint32_t>(comment.size()));
    return tail + comment;
}

std::vector<ByteRange> R(std::initializer_list<ByteRange> ranges) { return ranges; }

}  // namespace

TEST(DeltaPlan, TheTailIsReadAsTheZipLayerWouldOrNotAtAll)
{
    const Directory read =
        DeltaPlan::ReadDirectory(Tail({{"b.txt", 500}, {"a/", 0}, {"a/\xC3\xA9.txt", 100, 0x800}}, 9000, "note"), 9000);
    ASSERT_EQ("", read.problem);
    ASSERT_EQ(3u, read.entries.size());
    EXPECT_EQ("b.txt", read.entries[0].name);
    EXPECT_EQ("a/\xC3\xA9.txt", read.entries[2].name);
    EXPECT_EQ(500u, read.entries[0].localHeaderOffset);
    EXPECT_EQ(100u, read.entries[2].localHeaderOffset);

    // Spans follow the offsets, not the directory's order; the last ends at the tail.
    EXPECT_EQ(R({{500, 8999}, {0, 99}, {100, 499}}), DeltaPlan::MemberSpans(read, 9000));
    Directory shared = read;
    shared.entries[1].localHeaderOffset = 500;
    EXPECT_TRUE(DeltaPlan::MemberSpans(shared, 9000).empty());

    const std::string good = Tail({{"a.txt", 0}}, 700);
    std::string zip64 = good;
    zip64.insert(zip64.size() - 22, "\x50\x4b\x06\x07" + std::string(16, '\0'));
    const struct {
        const char* why;
        std::string tail;
        uint64_t offset;
    } refused[] = {
        {"no end record", good.substr(0, good.size() - 1), 700},
        {"elsewhere than signed", good, 800},
        {"zip64", zip64, 700},
        {"DOS code page name", Tail({{"\x82.txt", 0}}, 700), 700},
        {"entry inside the directory", Tail({{"a.txt", 700}}, 700), 700},
        {"truncated entry", good.substr(10), 700},
    };
    for (const auto& test : refused) {
        EXPECT_NE("", DeltaPlan::ReadDirectory(test.tail, test.offset).problem) << test.why;
    }
}

TEST(DeltaPlan, RangesJoinSubtractAndNeverRefetchWhatIsKept)
{
    std::vector<ByteRange> kept;
    DeltaPlan::AddRange(kept, {100, 199});
    DeltaPlan::AddRange(kept, {300, 399});
    DeltaPlan::AddRange(kept, {0, 9});
    DeltaPlan::AddRange(kept, {200, 250});  // touches the first
    EXPECT_EQ(R({{0, 9}, {100, 250}, {300, 399}}), kept);
    DeltaPlan::AddRange(kept, {5, 320});
    EXPECT_EQ(R({{0, 399}}), kept);

    EXPECT_EQ(R({{0, 99}, {200, 299}, {400, 999}}),
              DeltaPlan::Subtract({{0, 999}}, {{100, 199}, {300, 399}}));
    EXPECT_EQ(R({}), DeltaPlan::Subtract({{120, 180}}, {{100, 199}}));

    // Close neighbours go in one request; far ones, or ones with kept bytes
    // between them, do not.
    const uint64_t near = kJoinGap;
    EXPECT_EQ(R({{0, 99 + near + 100}}), DeltaPlan::Requests({{0, 99}, {100 + near, 199 + near}}, {}));
    EXPECT_EQ(R({{0, 99}, {101 + near, 199 + near}}), DeltaPlan::Requests({{0, 99}, {101 + near, 199 + near}}, {}));
    EXPECT_EQ(R({{0, 99}, {200, 299}}), DeltaPlan::Requests({{0, 99}, {200, 299}}, {{150, 150}}));

    // No request is longer than the download's range.
    const std::vector<ByteRange> big = DeltaPlan::Requests({{10, 10 + 2 * kMaxRequest}}, {});
    EXPECT_EQ(R({{10, 9 + kMaxRequest}, {10 + kMaxRequest, 9 + 2 * kMaxRequest}, {10 + 2 * kMaxRequest, 10 + 2 * kMaxRequest}}),
              big);
}

TEST(DeltaPlan, OnlyTheMembersTheDriveLacksAreFetchedAndStaged)
{
    // Three members laid out a, c, b in the package, a folder last; the
    // manifest lists them in its own order.
    const uint64_t tailOffset = 3 * kMaxRequest;
    const Directory directory = DeltaPlan::ReadDirectory(
        Tail({{"a", 0}, {"b", 2 * kMaxRequest}, {"c", 1000}, {"d/", 2 * kMaxRequest + 10}}, tailOffset),
        tailOffset);
    ASSERT_EQ("", directory.problem);
    const std::vector<size_t> manifestIndex = {2, 0, 1, 3};
    PackageManifest::Manifest manifest;
    manifest.members = {{"b", 5000, {}}, {"c", 1, {}}, {"a", 4097, {}}, {"d/", 0, {}}};

    // Nothing on the drive: everything but the tail.
    DeltaPlan::Plan plan = DeltaPlan::PlanMembers(directory, tailOffset, manifestIndex, {false, false, false, false}, {});
    EXPECT_EQ(std::vector<bool>({true, true, true, true}), plan.write);
    EXPECT_EQ(tailOffset, plan.fetchBytes);
    EXPECT_EQ(8192u + 4096 + 8192 + 4096, DeltaPlan::StagingBytes(manifest, manifestIndex, plan.write, 4096));

    // Only "b" (changed or damaged) missing: its span alone, from its header
    // to the next member's.
    plan = DeltaPlan::PlanMembers(directory, tailOffset, manifestIndex, {false, true, true, true}, {});
    EXPECT_EQ(std::vector<bool>({false, true, false, false}), plan.write);
    EXPECT_EQ(R({{2 * kMaxRequest, 2 * kMaxRequest + 9}}), plan.requests);
    EXPECT_EQ(8192u, DeltaPlan::StagingBytes(manifest, manifestIndex, plan.write, 4096));
    EXPECT_EQ(5000u, DeltaPlan::StagingBytes(manifest, manifestIndex, plan.write, 0));

    // "a" and "c" are neighbours; half of "c" came in a cut run.
    plan = DeltaPlan::PlanMembers(directory, tailOffset, manifestIndex, {true, false, false, true},
                                  {{0, 499}});
    EXPECT_EQ(R({{500, 499 + kMaxRequest}}).front(), plan.requests.front());
    uint64_t fetched = 0;
    for (const ByteRange& range : plan.requests) {
        EXPECT_LE(range.Size(), kMaxRequest);
        fetched += range.Size();
    }
    EXPECT_EQ(2 * kMaxRequest - 500, fetched);
    EXPECT_EQ(fetched, plan.fetchBytes);

    // Everything there: nothing to fetch, nothing to write.
    plan = DeltaPlan::PlanMembers(directory, tailOffset, manifestIndex, {true, true, true, true}, {});
    EXPECT_TRUE(plan.requests.empty());
    EXPECT_EQ(0u, DeltaPlan::StagingBytes(manifest, manifestIndex, plan.write, 4096));

    // The whole package, less the half a cut run kept.
    plan = DeltaPlan::PlanWhole(10 * 1000 * 1000, {{0, 4999999}});
    EXPECT_EQ(R({{5000000, 4999999 + kMaxRequest}, {5000000 + kMaxRequest, 9999999}}), plan.requests);
    EXPECT_EQ(5000000u, plan.fetchBytes);
}
