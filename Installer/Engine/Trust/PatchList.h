#pragma once

// The vendor's signed list of binary patches, published beside the manifest
// as "Quillon.patches". The manifest stays exactly what installers in the
// field know (they refuse any line they do not know); the list is a second
// signed file that only newer installers ask for, bound to one manifest by
// the SHA-256 of its signed text and by its version:
//
//   quillon-patches 1
//   key 0123456789abcdef
//   version 7
//   manifest <sha256 of the manifest's signed text>
//   patch <old sha256> <new sha256> <size> <sha256> /SW_UPDATE/KT-QUILLON/patches/<name>
//   ...
//   signature <r||s, 128 hex digits>
//
// Each patch turns the file whose SHA-256 is the old one into the member
// whose SHA-256 is the new one. Everything before the signature line is
// signed, with the same keys as the manifest. The rules here are pure: bytes
// in, a list or the reason there is none.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "PackageManifest.h"

namespace PatchList {

constexpr uint32_t kFormat = 1;
constexpr uint32_t kMaxBytes = PackageManifest::kMaxBytes;
// Three releases' worth of patches for the largest package.
constexpr uint32_t kMaxPatches = 3 * PackageManifest::kMaxMembers;
// Where patches may come from: a folder of their own under the package's,
// by a plain name.
constexpr char kPatchFolder[] = "/SW_UPDATE/KT-QUILLON/patches/";

struct Patch {
    PackageManifest::Sha256 oldSha256{};
    PackageManifest::Sha256 newSha256{};
    uint64_t size = 0;
    PackageManifest::Sha256 sha256{};
    std::string path;
};

struct List {
    PackageManifest::KeyId keyId{};
    uint64_t version = 0;
    PackageManifest::Sha256 manifestSha256{};
    std::vector<Patch> patches;
    std::string signedText;
    PackageManifest::Signature signature{};
};

struct ParseResult {
    std::optional<List> list;
    std::string problem;
};

ParseResult Parse(const std::string& bytes);

// Whether `list` belongs to `manifest` (`manifestSha256` being the SHA-256
// of its signed text): the same version, the same manifest. Empty when it
// does; else why not.
std::string CheckBinding(const List& list, const PackageManifest::Manifest& manifest,
                         const PackageManifest::Sha256& manifestSha256);

// The patch that turns a file of `oldSha256` into `newSha256`, if listed.
const Patch* Find(const List& list, const PackageManifest::Sha256& oldSha256,
                  const PackageManifest::Sha256& newSha256);

}  // namespace PatchList
