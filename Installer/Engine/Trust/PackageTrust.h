#pragma once

// What makes a downloaded package one the vendor signed, step by step: the
// manifest's signature, the package's size and SHA-256, every member's
// SHA-256 as it is extracted, and a version that never goes down. Each
// refusal is a MessageError whose text begins "Package refused: " and says
// why in words a support desk understands.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "PackageManifest.h"
#include "Sha256Hasher.h"
#include "ZipArchive.h"

namespace PackageTrust {

// The record of the installed package's version, beside the program.
constexpr wchar_t kVersionRecordName[] = L"Quillon.version";

// Parses the manifest and checks its signature against the keys this build
// trusts. An expired manifest is taken (a PC's clock can be wrong, and
// refusing would strand users), but the log says so.
PackageManifest::Manifest VerifyManifest(const std::string& bytes, int64_t now);

// The package file is exactly the signed size and hashes to the signed
// SHA-256.
void CheckPackageFile(const std::wstring& path, const PackageManifest::Manifest& manifest);

// Refuses a package older than the one on the drive; the same version again
// is a repair, not a rollback.
// `installed` is the version the drive's record names, if it has one.
void CheckVersion(const PackageManifest::Manifest& manifest, std::optional<uint64_t> installed);

// The record of what the drive holds, if it holds a readable one.
std::optional<std::string> ReadVersionRecord(const std::wstring& destination);

// Hashes each member as the zip layer writes it and refuses one whose size
// or SHA-256 is not what the manifest signed.
class MemberHashCheck : public IZipMemberCheck {
public:
    // `manifestIndex[i]` is the manifest's entry for zip member i.
    MemberHashCheck(const PackageManifest::Manifest& manifest, std::vector<size_t> manifestIndex);

    void Begin(int index) override;
    void Data(const void* bytes, uint32_t count) override;
    bool Accept(int index) override;

    // Why the last member was refused, for the log.
    const std::string& Problem() const { return m_problem; }
    // Whether member `index` went through the check and passed.
    bool Passed(int index) const;
    // The time spent hashing so far, for the log.
    uint64_t Milliseconds() const;

private:
    const PackageManifest::Manifest& m_manifest;
    std::vector<size_t> m_manifestIndex;
    std::vector<bool> m_passed;
    Sha256Hasher m_hasher;
    uint64_t m_bytes = 0;
    int64_t m_ticks = 0;
    int m_current = -1;
    std::string m_problem;
};

// The seconds since 1970 now, by the PC's clock.
int64_t Now();

}  // namespace PackageTrust
