#pragma once

// The signed manifest that the vendor publishes beside the package: what the
// package is (where, how long, its SHA-256), what every member of it must
// hash to, which version it is and until when the vendor stands by it.
// Plain text, one field a line, in a fixed order:
//
//   quillon-manifest 1
//   key 0123456789abcdef
//   version 7
//   issued 2026-12-10T04:00:00Z
//   expires 2027-06-10T04:00:00Z
//   package /SW_UPDATE/KT-QUILLON/Quillon-7.zip 104857600 <sha256>
//   tail 104790016 67584 <sha256>
//   member 123456 <sha256> Quillon.exe
//   ...
//   signature <r||s, 128 hex digits>
//
// Everything before the signature line is what is signed. The rules here
// are pure: the parser takes bytes and rejects anything it does not fully
// understand; checking the signature is PackageSignature's.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace PackageManifest {

using Sha256 = std::array<uint8_t, 32>;
using KeyId = std::array<uint8_t, 8>;
using Signature = std::array<uint8_t, 64>;

constexpr uint32_t kFormat = 1;
// A manifest larger than this is no manifest of ours; the download stops
// there rather than fill the drive with whatever a server sends.
constexpr uint32_t kMaxBytes = 4u * 1024u * 1024u;
constexpr uint32_t kMaxMembers = 65535;
// The download keeps offsets in 32 bits.
constexpr uint64_t kMaxPackageBytes = 0x7FFFFFFFull;
// Where the package may come from: the update server's own folder, by a
// name of a few plain characters, so that a manifest can never send the
// installer elsewhere.
constexpr char kPackageFolder[] = "/SW_UPDATE/KT-QUILLON/";

struct Member {
    // The member's name in the zip (UTF-8, "/" between folders); a folder
    // ends in "/".
    std::string name;
    uint64_t size = 0;
    Sha256 sha256{};
};

struct Manifest {
    KeyId keyId{};
    uint64_t version = 0;
    // Seconds since 1970-01-01 UTC.
    int64_t issued = 0;
    int64_t expires = 0;
    std::string packagePath;
    uint64_t packageSize = 0;
    Sha256 packageSha256{};
    // The central directory and the end records: from `tailOffset` to the
    // end of the package.
    uint64_t tailOffset = 0;
    uint64_t tailSize = 0;
    Sha256 tailSha256{};
    std::vector<Member> members;
    // The bytes the signature covers, and the signature itself.
    std::string signedText;
    Signature signature{};
};

struct ParseResult {
    std::optional<Manifest> manifest;
    // Why there is none, in words for the log.
    std::string problem;
};

ParseResult Parse(const std::string& bytes);

// "2026-12-10T04:00:00Z" and back; nothing else is taken.
std::optional<int64_t> ParseTime(const std::string& text);
std::string FormatTime(int64_t seconds);

std::string Hex(const uint8_t* bytes, size_t count);
template <size_t N>
std::string Hex(const std::array<uint8_t, N>& bytes)
{
    return Hex(bytes.data(), N);
}

// How two member names compare on the drive: the file system folds case
// and takes either separator, so "A/b.txt" and "a\B.TXT" are one file.
std::string DriveKey(const std::string& name);

// What the zip holds, set against what the manifest lists. Each zip member
// gets the index of its manifest entry; a problem names the first member
// that breaks a rule.
struct MemberMatch {
    std::vector<size_t> manifestIndex;
    std::string problem;
};
MemberMatch MatchMembers(const Manifest& manifest, const std::vector<std::string>& zipNames);

// Whether a package of `offered` may replace what the stick holds.
enum class VersionVerdict { Fresh, Newer, Same, Older };
VersionVerdict CompareVersions(std::optional<uint64_t> installed, uint64_t offered);

// The record of the installed version, kept beside the program: the
// version on its first line, then each file the package put there with its
// size, so that the next run can start reading them before the new
// manifest is in.
struct RecordedFile {
    std::string name;
    uint64_t size = 0;
};
std::string VersionRecordText(const Manifest& manifest);
std::optional<uint64_t> ParseVersionRecord(const std::string& text);
std::vector<RecordedFile> RecordedFiles(const std::string& text);

}  // namespace PackageManifest
