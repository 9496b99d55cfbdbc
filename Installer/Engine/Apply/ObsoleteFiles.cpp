#include "ObsoleteFiles.h"

#include <algorithm>
#include <set>

namespace ObsoleteFiles {

std::vector<std::string> Find(const std::vector<PackageManifest::RecordedFile>& installed,
                              const PackageManifest::Manifest& next, const std::vector<std::string>& ownFiles)
{
    // What the new version ships, and every folder on the way to it.
    std::set<std::string> shipped;
    std::set<std::string> keptFolders;
    for (const PackageManifest::Member& member : next.members) {
        const std::string key = PackageManifest::DriveKey(member.name);
        shipped.insert(key);
        for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
            keptFolders.insert(key.substr(0, slash));
        }
        if (!member.name.empty() && member.name.back() == '/') {
            keptFolders.insert(key);
        }
    }
    for (const std::string& own : ownFiles) {
        shipped.insert(PackageManifest::DriveKey(own));
    }
    std::vector<std::string> files;
    std::set<std::string> seen;
    std::set<std::string> folders;
    for (const PackageManifest::RecordedFile& file : installed) {
        const std::string key = PackageManifest::DriveKey(file.name);
        if (key.empty() || shipped.count(key) != 0 || keptFolders.count(key) != 0 || !seen.insert(key).second) {
            continue;
        }
        files.push_back(file.name);
        for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
            const std::string folder = key.substr(0, slash);
            if (keptFolders.count(folder) == 0) {
                // Folded case names the same folder on the drive.
                folders.insert(folder);
            }
        }
    }
    std::vector<std::string> deepestFirst(folders.begin(), folders.end());
    std::stable_sort(deepestFirst.begin(), deepestFirst.end(), [](const std::string& a, const std::string& b) {
        return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
    });
    for (const std::string& folder : deepestFirst) {
        files.push_back(folder + "/");
    }
    return files;
}

}  // namespace ObsoleteFiles
