#include "PackageManifest.h"

#include "ManifestText.h"

namespace PackageManifest {

using Text::CleanMemberName;
using Text::Number;

std::string VersionRecordText(const Manifest& manifest)
{
    std::string text = "quillon-package-version " + std::to_string(manifest.version) + "\n";
    for (const Member& member : manifest.members) {
        if (!member.name.empty() && member.name.back() != '/') {
            text += "file " + std::to_string(member.size) + " " + member.name + "\n";
        }
    }
    return text;
}

std::optional<uint64_t> ParseVersionRecord(const std::string& text)
{
    const std::string prefix = "quillon-package-version ";
    const size_t end = text.find('\n');
    if (text.rfind(prefix, 0) != 0 || end == std::string::npos) {
        return std::nullopt;
    }
    return Number(text.substr(prefix.size(), end - prefix.size()));
}

std::vector<RecordedFile> RecordedFiles(const std::string& text)
{
    // Only a hint of where to start reading: a line that does not parse is
    // passed over, and the signed manifest decides what each file must be.
    std::vector<RecordedFile> files;
    size_t start = text.find('\n');
    while (start != std::string::npos && start + 1 < text.size()) {
        const size_t end = text.find('\n', start + 1);
        if (end == std::string::npos) {
            break;
        }
        const std::string line = text.substr(start + 1, end - start - 1);
        start = end;
        const size_t space = line.find(' ', 5);
        if (line.rfind("file ", 0) != 0 || space == std::string::npos || space + 1 == line.size()) {
            continue;
        }
        const std::optional<uint64_t> size = Number(line.substr(5, space - 5));
        std::string name = line.substr(space + 1);
        // Under the rules of a signed name: a record on the drive is no
        // reason to read anything outside the product's folder.
        if (size && CleanMemberName(name) && name.back() != '/') {
            files.push_back({std::move(name), *size});
        }
    }
    return files;
}

}  // namespace PackageManifest
