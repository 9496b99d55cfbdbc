#include <gtest/gtest.h>

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "PackageManifest.h"
#include "PackageSignature.h"
#include "Sha256Hasher.h"
#include "TextLines.h"

using namespace PackageManifest;

namespace {

const std::string kHash(64, 'a');

// A well-formed manifest, line by line, so that a test can break one line.
std::vector<std::string> GoodLines()
{
    return {"quillon-manifest 1",
            "key 0123456789abcdef",
            "version 7",
            "issued 2026-12-10T04:00:00Z",
            "expires 2027-06-10T04:00:00Z",
            "package /SW_UPDATE/KT-QUILLON/Quillon-7.zip 1000 " + kHash,
            "tail 900 100 " + kHash,
            "member 10 " + kHash + " Quillon.exe",
            "member 0 " + kHash + " defs/",
            "member 5 " + kHash + " defs/été 2.dat",
            "signature " + std::string(128, 'b')};
}

std::string WithLine(size_t index, const std::string& line)
{
    std::vector<std::string> lines = GoodLines();
    lines[index] = line;
    return Join(lines);
}

}  // namespace

TEST(ManifestParser, ReadsEveryFieldOfAGoodManifest)
{
    const ParseResult parsed = Parse(Join(GoodLines()));
    ASSERT_TRUE(parsed.manifest) << parsed.problem;
    const Manifest& m = *parsed.manifest;
    EXPECT_EQ("0123456789abcdef", Hex(m.keyId));
    EXPECT_EQ(7u, m.version);
    EXPECT_EQ("2026-12-10T04:00:00Z", FormatTime(m.issued));
    EXPECT_EQ("2027-06-10T04:00:00Z", FormatTime(m.expires));
    EXPECT_EQ("/SW_UPDATE/KT-QUILLON/Quillon-7.zip", m.packagePath);
    EXPECT_EQ(1000u, m.packageSize);
    EXPECT_EQ(900u, m.tailOffset);
    ASSERT_EQ(3u, m.members.size());
    EXPECT_EQ("defs/été 2.dat", m.members[2].name);
    EXPECT_EQ(5u, m.members[2].size);
    // What is signed is everything before the signature line, byte for byte.
    const std::string text = Join(GoodLines());
    EXPECT_EQ(text.substr(0, text.rfind("signature ")), m.signedText);
    EXPECT_EQ(0xbb, m.signature[63]);
}

TEST(ManifestParser, RefusesAnythingItDoesNotFullyUnderstand)
{
    const std::string good = Join(GoodLines());
    const std::vector<std::pair<const char*, std::string>> bad = {
        {"empty", ""},
        {"cut in the last line", good.substr(0, good.size() - 1)},
        {"cut before the signature", good.substr(0, good.rfind("signature "))},
        {"cut in a member line", good.substr(0, good.find("defs/")) },
        {"another format", WithLine(0, "quillon-manifest 2")},
        {"no format line", WithLine(0, "version 7")},
        {"short key id", WithLine(1, "key 0123")},
        {"upper-case hex", WithLine(1, "key 0123456789ABCDEF")},
        {"negative version", WithLine(2, "version -7")},
        {"leading zero", WithLine(2, "version 07")},
        {"version overflow", WithLine(2, "version 18446744073709551616")},
        {"two spaces", WithLine(2, "version  7")},
        {"bad date", WithLine(3, "issued 2026-02-30T04:00:00Z")},
        {"local time", WithLine(3, "issued 2026-12-10T04:00:00+01:00")},
        {"expires before issued", WithLine(4, "expires 2026-12-09T04:00:00Z")},
        {"package elsewhere", WithLine(5, "package https://evil.example/Q.zip 1000 " + kHash)},
        {"package climbs out", WithLine(5, "package /SW_UPDATE/KT-QUILLON/../x.zip 1000 " + kHash)},
        {"package too large", WithLine(5, "package /SW_UPDATE/KT-QUILLON/Q.zip 2147483648 " + kHash)},
        {"tail not at the end", WithLine(6, "tail 900 99 " + kHash)},
        {"member climbs out", WithLine(7, "member 10 " + kHash + " ../Quillon.exe")},
        {"member with a drive", WithLine(7, "member 10 " + kHash + " C:/Quillon.exe")},
        {"member with a backslash", WithLine(7, "member 10 " + kHash + " bin\\Quillon.exe")},
        {"absolute member", WithLine(7, "member 10 " + kHash + " /Quillon.exe")},
        {"control character", WithLine(7, "member 10 " + kHash + " Quil\tlon.exe")},
        {"broken UTF-8", WithLine(7, "member 10 " + kHash + " Quil\xC3lon.exe")},
        {"no such UTF-8 lead byte", WithLine(7, "member 10 " + kHash + " Quil\xF8\x80\x80lon.exe")},
        {"a way up to Windows", WithLine(7, "member 10 " + kHash + " .. /Quillon.exe")},
        {"a device", WithLine(7, "member 10 " + kHash + " defs/nul.txt")},
        {"member of 4 GiB", WithLine(7, "member 4294967295 " + kHash + " Quillon.exe")},
        {"short member line", WithLine(7, "member 10")},
        {"folder with data", WithLine(8, "member 3 " + kHash + " defs/")},
        {"short hash", WithLine(7, "member 10 abc Quillon.exe")},
        {"unknown line", WithLine(8, "comment hello")},
        {"short signature", WithLine(10, "signature abcd")},
        {"carriage returns", [&] {
             std::string text = good;
             text.insert(text.find('\n'), "\r");
             return text;
         }()},
        {"data after the signature", good + "member 1 " + kHash + " extra.txt\n"},
        // Found by the manifest's fuzz target: one file on the drive listed
        // twice passed the parser and reached the later steps.
        {"one file listed twice", WithLine(8, "member 10 " + kHash + " QUILLON.EXE")},
        {"a file and a folder of one name", WithLine(8, "member 0 " + kHash + " Quillon.exe/")},
    };
    for (const auto& [what, text] : bad) {
        const ParseResult parsed = Parse(text);
        EXPECT_FALSE(parsed.manifest) << what;
        EXPECT_FALSE(parsed.problem.empty()) << what;
    }
    // No member at all.
    std::vector<std::string> lines = GoodLines();
    lines.erase(lines.begin() + 7, lines.begin() + 10);
    EXPECT_FALSE(Parse(Join(lines)).manifest);
}

TEST(ManifestParser, TimesRoundTripAcrossLeapYearsAndCenturies)
{
    for (const char* text : {"1970-01-01T00:00:00Z", "2000-02-29T23:59:59Z", "2024-12-31T12:00:00Z",
                             "2100-03-01T00:00:01Z"}) {
        const auto seconds = ParseTime(text);
        ASSERT_TRUE(seconds) << text;
        EXPECT_EQ(text, FormatTime(*seconds));
    }
    EXPECT_EQ(951782400, *ParseTime("2000-02-29T00:00:00Z"));
    EXPECT_FALSE(ParseTime("2100-02-29T00:00:00Z"));
    EXPECT_FALSE(ParseTime("2026-12-10T24:00:00Z"));
}

TEST(ManifestMembers, EveryMemberListedOnceAndNothingElse)
{
    const Manifest manifest = *Parse(Join(GoodLines())).manifest;
    const MemberMatch good = MatchMembers(manifest, {"defs/", "Quillon.exe", "defs/été 2.dat"});
    EXPECT_TRUE(good.problem.empty()) << good.problem;
    EXPECT_EQ((std::vector<size_t>{1, 0, 2}), good.manifestIndex);

    const std::vector<std::pair<const char*, std::vector<std::string>>> bad = {
        {"unlisted member", {"defs/", "Quillon.exe", "defs/été 2.dat", "evil.dll"}},
        {"listed member missing", {"defs/", "Quillon.exe"}},
        {"the same member twice", {"defs/", "Quillon.exe", "defs/été 2.dat", "Quillon.exe"}},
    };
    for (const auto& [what, names] : bad) {
        const MemberMatch match = MatchMembers(manifest, names);
        EXPECT_FALSE(match.problem.empty()) << what;
        EXPECT_TRUE(match.manifestIndex.empty()) << what;
    }

    // Two names that are one file on the drive, even when both are signed.
    Manifest twins = manifest;
    twins.members.push_back({"QUILLON.EXE", 10, {}});
    EXPECT_NE(std::string::npos,
              MatchMembers(twins, {"defs/", "Quillon.exe", "defs/été 2.dat", "QUILLON.EXE"}).problem.find("one file"));
    twins.members.back().name = "./Quillon.exe";
    EXPECT_NE(std::string::npos,
              MatchMembers(twins, {"defs/", "Quillon.exe", "defs/été 2.dat", "./Quillon.exe"}).problem.find("one file"));
    EXPECT_EQ(DriveKey("defs/a.txt"), DriveKey("./DEFS\\A.TXT"));
    EXPECT_NE(DriveKey("defs/a.txt"), DriveKey("defs/a.txt2"));
}

TEST(ManifestVersions, OnlyEverUpAndTheRecordIsStrict)
{
    EXPECT_EQ(VersionVerdict::Fresh, CompareVersions(std::nullopt, 1));
    EXPECT_EQ(VersionVerdict::Newer, CompareVersions(7, 8));
    EXPECT_EQ(VersionVerdict::Same, CompareVersions(7, 7));
    EXPECT_EQ(VersionVerdict::Older, CompareVersions(7, 6));
    EXPECT_EQ(VersionVerdict::Older, CompareVersions(UINT64_MAX, 0));
    EXPECT_FALSE(ParseVersionRecord("quillon-package-version 12"));
    EXPECT_FALSE(ParseVersionRecord("quillon-package-version x\n"));
    EXPECT_FALSE(ParseVersionRecord(""));
    // A record of a version alone, as the first installs wrote it, still reads.
    EXPECT_EQ(12u, ParseVersionRecord("quillon-package-version 12\n").value());
    EXPECT_TRUE(RecordedFiles("quillon-package-version 12\n").empty());
}

TEST(ManifestVersions, TheRecordNamesTheFilesAndOnlyCleanOnes)
{
    Manifest manifest;
    manifest.version = 3;
    manifest.members = {{"defs/", 0, {}}, {"Quillon.exe", 5000000, {}}, {"defs/\xc3\xa9t\xc3\xa9 2.dat", 17, {}}};
    const std::string record = VersionRecordText(manifest);
    EXPECT_EQ(3u, ParseVersionRecord(record).value());
    const std::vector<RecordedFile> files = RecordedFiles(record);
    ASSERT_EQ(2u, files.size()) << record;  // the folder is no file to read
    EXPECT_EQ("Quillon.exe", files[0].name);
    EXPECT_EQ(5000000u, files[0].size);
    EXPECT_EQ("defs/\xc3\xa9t\xc3\xa9 2.dat", files[1].name);
    EXPECT_EQ(17u, files[1].size);

    // A record someone else wrote on the stick reads nothing outside the
    // product's folder, and a line it cannot read is passed over.
    const std::vector<RecordedFile> hostile = RecordedFiles(
        "quillon-package-version 3\nfile 1 ../../Windows/win.ini\nfile 1 C:/pagefile.sys\nfile 1 /etc\n"
        "file x a.txt\nfile 01 a.txt\nfile 2 a\\b.txt\nfile 2 defs/\nfile 1 CON\nfile 4 ok.txt\nfile 5 cut.txt");
    ASSERT_EQ(1u, hostile.size());
    EXPECT_EQ("ok.txt", hostile[0].name);
}

namespace {

// A key pair made by CNG for the test: the program's verifier must accept
// what the platform signs and nothing else.
class TestKey {
public:
    TestKey()
    {
        EXPECT_EQ(0, BCryptOpenAlgorithmProvider(&m_algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0));
        EXPECT_EQ(0, BCryptGenerateKeyPair(m_algorithm, &m_key, 256, 0));
        EXPECT_EQ(0, BCryptFinalizeKeyPair(m_key, 0));
        std::vector<uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
        ULONG size = 0;
        EXPECT_EQ(0, BCryptExportKey(m_key, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob.data(),
                                     static_cast<ULONG>(blob.size()), &size, 0));
        std::memcpy(m_public.point.data(), blob.data() + sizeof(BCRYPT_ECCKEY_BLOB), 64);
        m_public.id = PackageSignature::IdOf(m_public.point);
    }
    ~TestKey()
    {
        BCryptDestroyKey(m_key);
        BCryptCloseAlgorithmProvider(m_algorithm, 0);
    }
    const PackageSignature::PublicKey& Public() const { return m_public; }
    Signature Sign(const std::string& text) const
    {
        Sha256Hasher::Digest digest = Sha256Hasher::Of(text);
        Signature signature{};
        ULONG size = 0;
        EXPECT_EQ(0, BCryptSignHash(m_key, nullptr, digest.data(), 32, signature.data(), 64, &size, 0));
        return signature;
    }

private:
    BCRYPT_ALG_HANDLE m_algorithm = nullptr;
    BCRYPT_KEY_HANDLE m_key = nullptr;
    PackageSignature::PublicKey m_public;
};

Manifest SignedBy(const TestKey& key)
{
    Manifest manifest = *Parse(Join(GoodLines())).manifest;
    manifest.keyId = key.Public().id;
    manifest.signedText.replace(manifest.signedText.find("0123456789abcdef"), 16, Hex(manifest.keyId));
    manifest.signature = key.Sign(manifest.signedText);
    return manifest;
}

}  // namespace

TEST(ManifestSignature, OnlyTheTrustedKeysSignatureOverTheExactTextVerifies)
{
    const TestKey current;
    const TestKey next;
    const TestKey stranger;
    const std::vector<PackageSignature::PublicKey> trusted = {current.Public(), next.Public()};

    EXPECT_TRUE(PackageSignature::Verify(SignedBy(current), trusted).valid);
    EXPECT_TRUE(PackageSignature::Verify(SignedBy(next), trusted).valid) << "the next key during a rotation";

    const PackageSignature::Verdict unknown = PackageSignature::Verify(SignedBy(stranger), trusted);
    EXPECT_FALSE(unknown.valid);
    EXPECT_NE(std::string::npos, unknown.problem.find("does not trust"));

    Manifest changed = SignedBy(current);
    changed.signedText.replace(changed.signedText.find("version 7"), 9, "version 8");
    EXPECT_FALSE(PackageSignature::Verify(changed, trusted).valid) << "changed after signing";

    // Signed by a stranger, but naming the trusted key.
    Manifest forged = SignedBy(current);
    forged.signature = stranger.Sign(forged.signedText);
    EXPECT_FALSE(PackageSignature::Verify(forged, trusted).valid);

    // The build's own keys are there, the current one first.
    ASSERT_FALSE(PackageSignature::BuiltInKeys().empty());
    EXPECT_LE(PackageSignature::BuiltInKeys().size(), 2u);
}
