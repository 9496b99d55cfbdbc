#include "ObsoleteRemoval.h"

#include <map>
#include <vector>

#include "JoinPath.h"
#include "MessageError.h"
#include "ObsoleteFiles.h"
#include "PackageTrust.h"
#include "StagingRoom.h"
#include "TextConversion.h"
#include "easylogging++.h"

namespace Extraction {
namespace {

bool OnDriveWithSize(const std::wstring& path, uint64_t size)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
           (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           ((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) == size;
}

}  // namespace

void RemoveObsoleteOnCommit(const ZipLayer& zip, HZIP handle, const ExtractionContext& context,
                            const std::wstring& destination)
{
    if (zip.removeOnCommit == nullptr || context.installedFiles.empty() || !context.manifest) {
        return;
    }
    std::map<std::string, uint64_t> sizes;
    for (const PackageManifest::RecordedFile& file : context.installedFiles) {
        sizes.emplace(file.name, file.size);
    }
    const std::wstring journal = context.journalPath.substr(context.journalPath.find_last_of(L"\\/") + 1);
    const std::vector<std::string> own = {ToUtf8(PackageTrust::kVersionRecordName), ToUtf8(journal)};
    for (const std::string& name : ObsoleteFiles::Find(context.installedFiles, *context.manifest, own)) {
        const std::wstring wide = FromUtf8(name);
        if (name.back() != '/') {
            if (!OnDriveWithSize(NCommon::JoinPath(destination, wide), sizes[name])) {
                continue;
            }
            LOG(INFO) << "Removing \"" << name << "\": the new version no longer ships it";
        }
        const ZipStatus status = zip.removeOnCommit(handle, wide.c_str());
        if (status != ZipOk) {
            RaiseStickFailure("Removing what the new version no longer ships failed", "\"" + name + "\"",
                              ExplainZipFailure(zip, handle, status, name), context.driveGone);
        }
    }
}

}  // namespace Extraction
