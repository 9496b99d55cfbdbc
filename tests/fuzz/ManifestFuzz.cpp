// The manifest as the server sends it, read before its signature is
// checked. Whatever it takes must hold the parser's own promises: names
// that stay inside the product's folder, sizes a zip32 holds, and a version
// record that reads back as it was written.
#include <set>

#include "FuzzRequire.h"
#include "PackageManifest.h"
#include "ZipRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const PackageManifest::ParseResult result = PackageManifest::Parse(AsText(data, size));
    Require(result.manifest.has_value() == result.problem.empty());
    if (!result.manifest) {
        return 0;
    }
    const PackageManifest::Manifest& manifest = *result.manifest;
    Require(size <= PackageManifest::kMaxBytes);
    Require(manifest.members.size() <= PackageManifest::kMaxMembers);
    Require(manifest.packageSize <= PackageManifest::kMaxPackageBytes);
    Require(manifest.tailOffset + manifest.tailSize <= manifest.packageSize);
    Require(manifest.packagePath.rfind(PackageManifest::kPackageFolder, 0) == 0);
    std::set<std::string> keys;
    std::vector<std::string> names;
    for (const PackageManifest::Member& member : manifest.members) {
        Require(!member.name.empty());
        Require(member.size <= 0xFFFFFFFFull);
        std::u16string wide(member.name.begin(), member.name.end());
        Require(ZipRules::CheckRelativeName(wide) == ZipRules::NameProblem::None);
        Require(keys.insert(PackageManifest::DriveKey(member.name)).second);
        names.push_back(member.name);
    }
    // The package that is exactly the manifest's list matches it.
    Require(PackageManifest::MatchMembers(manifest, names).problem.empty());

    const std::string record = PackageManifest::VersionRecordText(manifest);
    Require(PackageManifest::ParseVersionRecord(record) == manifest.version);
    size_t files = 0;
    for (const PackageManifest::Member& member : manifest.members) {
        files += member.name.back() != '/';
    }
    Require(PackageManifest::RecordedFiles(record).size() == files);
    return 0;
}
