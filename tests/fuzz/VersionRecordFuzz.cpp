// The version record on the stick, which anyone with the stick can write:
// the files it names are read (and, in an update, removed when the new
// version no longer ships them), so each must be a name inside the
// product's folder.
#include "FuzzRequire.h"
#include "PackageManifest.h"
#include "ZipRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text = AsText(data, size);
    const std::optional<uint64_t> version = PackageManifest::ParseVersionRecord(text);
    const std::vector<PackageManifest::RecordedFile> files = PackageManifest::RecordedFiles(text);
    if (!version) {
        Require(text.rfind("quillon-package-version ", 0) != 0 || text.find('\n') == std::string::npos ||
                files.size() <= size);
    }
    for (const PackageManifest::RecordedFile& file : files) {
        Require(!file.name.empty() && file.name.back() != '/' && file.name.back() != '\\');
        const std::u16string wide(file.name.begin(), file.name.end());
        Require(ZipRules::CheckRelativeName(wide) == ZipRules::NameProblem::None);
        Require(!ZipRules::IsFullPath(wide));
    }
    return 0;
}
