#include "PackageTrust.h"

#include <windows.h>

#include <vector>

#include "InstallError.h"
#include "JoinPath.h"
#include "MessageError.h"
#include "PackageSignature.h"
#include "TextConversion.h"
#include "ScopedHandles.h"
#include "SmallFile.h"
#include "easylogging++.h"

namespace PackageTrust {
namespace {

int64_t Ticks()
{
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

uint64_t TicksToMilliseconds(int64_t ticks)
{
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart > 0 ? static_cast<uint64_t>(ticks * 1000 / frequency.QuadPart) : 0;
}

[[noreturn]] void Refuse(const std::string& problem)
{
    throw PackageRefusal(problem);
}

}  // namespace

int64_t Now()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    // 100-ns ticks from 1601 to seconds from 1970.
    return static_cast<int64_t>(ticks / 10000000ull) - 11644473600ll;
}

PackageManifest::Manifest VerifyManifest(const std::string& bytes, int64_t now)
{
    PackageManifest::ParseResult parsed = PackageManifest::Parse(bytes);
    if (!parsed.manifest) {
        Refuse("the manifest cannot be used: " + parsed.problem);
    }
    const PackageSignature::Verdict verdict = PackageSignature::Verify(*parsed.manifest);
    if (!verdict.valid) {
        Refuse("the manifest's signature is not the vendor's: " + verdict.problem);
    }
    const PackageManifest::Manifest& manifest = *parsed.manifest;
    LOG(INFO) << "Package manifest: version " << manifest.version << ", signed with key "
              << PackageManifest::Hex(manifest.keyId) << ", issued " << PackageManifest::FormatTime(manifest.issued)
              << ", " << manifest.members.size() << " members, package " << manifest.packagePath << " of "
              << manifest.packageSize << " bytes";
    if (now > manifest.expires) {
        LOG(WARNING) << "The package manifest expired on " << PackageManifest::FormatTime(manifest.expires)
                     << " (this PC's clock says " << PackageManifest::FormatTime(now)
                     << "); installing it all the same, since a wrong clock must not strand the user";
    }
    return std::move(*parsed.manifest);
}

void CheckPackageFile(const std::wstring& path, const PackageManifest::Manifest& manifest)
{
    NCommon::ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) {
        throw MessageError("Cannot open the downloaded package");
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        throw MessageError("Cannot read the downloaded package");
    }
    if (static_cast<uint64_t>(size.QuadPart) != manifest.packageSize) {
        Refuse("the package is " + std::to_string(size.QuadPart) + " bytes long, the signed size is " +
               std::to_string(manifest.packageSize));
    }
    const int64_t start = Ticks();
    Sha256Hasher hasher;
    std::vector<uint8_t> buffer(1u << 20);
    uint64_t left = manifest.packageSize;
    while (left > 0) {
        DWORD got = 0;
        const DWORD want = left < buffer.size() ? static_cast<DWORD>(left) : static_cast<DWORD>(buffer.size());
        if (!ReadFile(file.get(), buffer.data(), want, &got, nullptr)) {
            throw MessageError("Cannot read the downloaded package");
        }
        if (got == 0) {
            Refuse("the package ended before its signed size");
        }
        hasher.Update(buffer.data(), got);
        left -= got;
    }
    if (hasher.Finish() != manifest.packageSha256) {
        Refuse("the package's SHA-256 differs from the signed one");
    }
    // Its cost against the whole run's is what the benchmark reports.
    LOG(INFO) << "Checked the package's SHA-256 in " << TicksToMilliseconds(Ticks() - start) << " ms";
}

std::optional<std::string> ReadVersionRecord(const std::wstring& destination)
{
    std::string text;
    if (NCommon::ReadSmallFile(NCommon::JoinPath(destination, kVersionRecordName), PackageManifest::kMaxBytes, text) !=
        NCommon::SmallFileRead::Read) {
        return std::nullopt;
    }
    return text;
}

void CheckVersion(const PackageManifest::Manifest& manifest, std::optional<uint64_t> installed)
{
    switch (PackageManifest::CompareVersions(installed, manifest.version)) {
    case PackageManifest::VersionVerdict::Older:
        Refuse("version " + std::to_string(manifest.version) + " is older than version " +
               std::to_string(*installed) + " on the drive");
    case PackageManifest::VersionVerdict::Same:
        LOG(INFO) << "Version " << manifest.version << " is on the drive already; installing it again";
        break;
    case PackageManifest::VersionVerdict::Newer:
        LOG(INFO) << "Updating version " << *installed << " on the drive to version " << manifest.version;
        break;
    case PackageManifest::VersionVerdict::Fresh:
        break;
    }
}

MemberHashCheck::MemberHashCheck(const PackageManifest::Manifest& manifest, std::vector<size_t> manifestIndex)
    : m_manifest(manifest), m_manifestIndex(std::move(manifestIndex)), m_passed(m_manifestIndex.size(), false)
{
}

void MemberHashCheck::Begin(int index)
{
    const int64_t start = Ticks();
    // A member that broke off part way must not leave its bytes in the
    // next member's hash.
    m_hasher.Finish();
    m_ticks += Ticks() - start;
    m_current = index;
    m_bytes = 0;
}

void MemberHashCheck::Data(const void* bytes, uint32_t count)
{
    const int64_t start = Ticks();
    m_hasher.Update(bytes, count);
    m_bytes += count;
    m_ticks += Ticks() - start;
}

uint64_t MemberHashCheck::Milliseconds() const
{
    return TicksToMilliseconds(m_ticks);
}

bool MemberHashCheck::Accept(int index)
{
    const int64_t start = Ticks();
    const Sha256Hasher::Digest digest = m_hasher.Finish();
    m_ticks += Ticks() - start;
    if (index != m_current || index < 0 || static_cast<size_t>(index) >= m_manifestIndex.size()) {
        m_problem = "a member was checked out of turn";
        return false;
    }
    const PackageManifest::Member& signed_ = m_manifest.members[m_manifestIndex[index]];
    if (m_bytes != signed_.size) {
        m_problem = "\"" + signed_.name + "\" is " + std::to_string(m_bytes) + " bytes long, the signed size is " +
                    std::to_string(signed_.size);
        return false;
    }
    if (digest != signed_.sha256) {
        m_problem = "\"" + signed_.name + "\" differs from its signed SHA-256";
        return false;
    }
    m_passed[index] = true;
    return true;
}

bool MemberHashCheck::Passed(int index) const
{
    return index >= 0 && static_cast<size_t>(index) < m_passed.size() && m_passed[index];
}

}  // namespace PackageTrust
