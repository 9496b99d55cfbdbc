#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PatchList.h"
#include "TextLines.h"

using namespace PatchList;

namespace {

const std::string kOld(64, '1');
const std::string kNew(64, '2');
const std::string kOther(64, '3');
const std::string kPatchSha(64, '4');
const std::string kManifestSha(64, '5');

std::string PatchLine(const std::string& oldSha, const std::string& newSha, const std::string& size = "120",
                      const std::string& path = "/SW_UPDATE/KT-QUILLON/patches/a-b.zst")
{
    return "patch " + oldSha + " " + newSha + " " + size + " " + kPatchSha + " " + path;
}

std::vector<std::string> GoodLines()
{
    return {"quillon-patches 1",
            "key 0123456789abcdef",
            "version 7",
            "manifest " + kManifestSha,
            PatchLine(kOld, kNew),
            PatchLine(kOther, kNew, "99", "/SW_UPDATE/KT-QUILLON/patches/c-b.zst"),
            "signature " + std::string(128, 'b')};
}

// The hash written as 64 times `digit`.
PackageManifest::Sha256 Sha(char digit)
{
    PackageManifest::Sha256 sha;
    sha.fill(static_cast<uint8_t>((digit - '0') * 0x11));
    return sha;
}

}  // namespace

TEST(PatchListParser, ReadsAGoodListAndFindsAPatchByBothHashes)
{
    const std::string text = Join(GoodLines());
    const ParseResult parsed = Parse(text);
    ASSERT_TRUE(parsed.list) << parsed.problem;
    const List& list = *parsed.list;
    EXPECT_EQ(7u, list.version);
    EXPECT_EQ(kManifestSha, PackageManifest::Hex(list.manifestSha256));
    ASSERT_EQ(2u, list.patches.size());
    EXPECT_EQ(120u, list.patches[0].size);
    EXPECT_EQ("/SW_UPDATE/KT-QUILLON/patches/c-b.zst", list.patches[1].path);
    EXPECT_EQ(text.substr(0, text.rfind("signature ")), list.signedText);

    EXPECT_EQ(&list.patches[1], Find(list, Sha('3'), Sha('2')));
    EXPECT_EQ(nullptr, Find(list, Sha('2'), Sha('1')));
    EXPECT_EQ(nullptr, Find(list, Sha('1'), Sha('3')));

    // A list with no patch at all is a list.
    std::vector<std::string> empty = GoodLines();
    empty.erase(empty.begin() + 4, empty.begin() + 6);
    ASSERT_TRUE(Parse(Join(empty)).list);
}

TEST(PatchListParser, RefusesEveryLineItDoesNotFullyUnderstand)
{
    struct Case {
        size_t line;
        std::string text;
    };
    const std::string folder = "/SW_UPDATE/KT-QUILLON/patches/";
    const std::vector<Case> broken = {
        {0, "quillon-patches 2"},
        {0, "quillon-manifest 1"},
        {1, "key 0123456789ABCDEF"},
        {2, "version 07"},
        {2, "version -7"},
        {3, "manifest " + std::string(63, '5')},
        {4, PatchLine(kOld, kOld)},
        {4, PatchLine(kOld, kNew, "0")},
        {4, PatchLine(kOld, kNew, "+5")},
        {4, PatchLine(kOld, kNew, "99999999999")},
        {4, PatchLine(kOld, kNew, "120", "/SW_UPDATE/KT-QUILLON/Quillon-7.zip")},
        {4, PatchLine(kOld, kNew, "120", folder + "../Quillon.manifest")},
        {4, PatchLine(kOld, kNew, "120", folder + "a/b.zst")},
        {4, PatchLine(kOld, kNew, "120", folder + ".hidden")},
        {4, PatchLine(kOld, kNew, "120", "https://elsewhere.example/a.zst")},
        {4, PatchLine(kOld, kNew) + " extra"},
        {4, PatchLine(kOld, kNew).replace(5, 1, "A")},
        {4, "patch  " + kOld},
        {4, "member 10 " + kNew + " Quillon.exe"},
        {5, PatchLine(kOld, kNew, "7", folder + "again.zst")},
        {6, "signature " + std::string(127, 'b')},
        {6, "signature " + std::string(128, 'B')},
    };
    for (const Case& c : broken) {
        std::vector<std::string> lines = GoodLines();
        lines[c.line] = c.text;
        const ParseResult parsed = Parse(Join(lines));
        EXPECT_FALSE(parsed.list) << c.text;
        EXPECT_FALSE(parsed.problem.empty()) << c.text;
    }
    // Cut short, empty, nothing signed after the patches, or a line between
    // the patches and the signature.
    const std::string good = Join(GoodLines());
    EXPECT_FALSE(Parse(good.substr(0, good.size() - 1)).list);
    EXPECT_FALSE(Parse("").list);
    std::vector<std::string> unsigned_ = GoodLines();
    unsigned_.pop_back();
    EXPECT_FALSE(Parse(Join(unsigned_)).list);
    std::vector<std::string> after = GoodLines();
    after.push_back("patch");
    EXPECT_FALSE(Parse(Join(after)).list);
    EXPECT_FALSE(Parse(std::string(kMaxBytes + 1, '\n')).list);
}

TEST(PatchListBinding, BelongsOnlyToTheManifestOfItsVersionAndHash)
{
    const List list = *Parse(Join(GoodLines())).list;
    PackageManifest::Manifest manifest;
    manifest.version = 7;
    EXPECT_EQ("", CheckBinding(list, manifest, Sha('5')));
    EXPECT_NE("", CheckBinding(list, manifest, Sha('6')));
    manifest.version = 8;
    EXPECT_NE("", CheckBinding(list, manifest, Sha('5')));
}
