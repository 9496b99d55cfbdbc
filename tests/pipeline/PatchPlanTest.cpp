// Which members a patch rebuilds: exactly the stick's file to exactly the
// signed member, within the decoder's bound, cheaper than the member.
#include <gtest/gtest.h>

#include <vector>

#include "PatchDecoder.h"
#include "PatchPlan.h"

namespace {

PackageManifest::Sha256 Sha(uint8_t value)
{
    PackageManifest::Sha256 sha;
    sha.fill(value);
    return sha;
}

PatchList::Patch PatchOf(uint8_t from, uint8_t to, uint64_t size)
{
    PatchList::Patch patch;
    patch.oldSha256 = Sha(from);
    patch.newSha256 = Sha(to);
    patch.size = size;
    patch.path = "/SW_UPDATE/KT-QUILLON/patches/p.zst";
    return patch;
}

PatchPlan::DriveFile FileOf(uint8_t sha, uint64_t size = 1000)
{
    PatchPlan::DriveFile file;
    file.hashed = true;
    file.size = size;
    file.sha256 = Sha(sha);
    return file;
}

}  // namespace

TEST(PatchPlan, TakesOnlyAPatchFromTheSticksOwnFileToTheSignedMemberThatPays)
{
    // Members 0..5 with new hashes 10..15; entries in another order.
    std::vector<PackageManifest::Member> members;
    for (uint8_t i = 0; i < 6; ++i) {
        members.push_back({"m" + std::to_string(i), 1000, Sha(static_cast<uint8_t>(10 + i))});
    }
    members[4].size = PatchDecoder::kMaxFileBytes + 1;
    PatchList::List list;
    list.patches = {PatchOf(1, 10, 100),   // member 0: from the stick's file
                    PatchOf(2, 99, 100),   // to another release's member 1
                    PatchOf(9, 11, 100),   // member 1 from a file not on the stick
                    PatchOf(3, 12, 900),   // member 2: no smaller than its span
                    PatchOf(4, 13, 100),   // member 3: not written
                    PatchOf(5, 14, 100),   // member 4: past the bound
                    PatchOf(6, 15, 100)};  // member 5: file on the stick not hashed
    const std::vector<size_t> index = {5, 4, 3, 2, 1, 0};
    const std::vector<bool> write = {true, true, false, true, true, true};
    const std::vector<ByteRange> spans(6, ByteRange{0, 899});
    std::vector<PatchPlan::DriveFile> files = {FileOf(1), FileOf(2), FileOf(3), FileOf(4), FileOf(5), FileOf(6)};
    files[5].hashed = false;
    files[4].size = PatchDecoder::kMaxFileBytes;

    const std::vector<PatchPlan::Choice> choices = PatchPlan::Choose(members, index, write, spans, files, list);
    ASSERT_EQ(6u, choices.size());
    EXPECT_EQ(&list.patches[0], choices[5].patch);
    for (size_t entry : {0, 1, 2, 3, 4}) {
        EXPECT_EQ(nullptr, choices[entry].patch) << entry;
    }
    EXPECT_NE(std::string::npos, choices[3].whyNot.find("no smaller"));
    EXPECT_NE(std::string::npos, choices[1].whyNot.find("decoder"));
    EXPECT_TRUE(choices[0].whyNot.empty() && choices[2].whyNot.empty() && choices[4].whyNot.empty());

    EXPECT_TRUE(PatchPlan::WorthAsking(index, write, files));
    // Only the entry whose file on the stick was not hashed is written.
    EXPECT_FALSE(PatchPlan::WorthAsking(index, {true, false, false, false, false, false}, files));
}
