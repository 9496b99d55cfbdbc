#include "RebuiltMembers.h"

#include <windows.h>

#include "InstallError.h"
#include "MessageError.h"
#include "PatchDecoder.h"
#include "ScopedHandles.h"
#include "Sha256Hasher.h"
#include "SmallFile.h"

namespace Extraction {

void StageRebuiltMember(const ZipLayer& zip, HZIP handle, const ZipItem& item, const std::wstring& path,
                        const PackageManifest::Member& member)
{
    std::string bytes;
    if (NCommon::ReadSmallFile(path, static_cast<uint32_t>(PatchDecoder::kMaxFileBytes), bytes) !=
        NCommon::SmallFileRead::Read) {
        throw MessageError("Reading the rebuilt \"" + member.name + "\" failed");
    }
    if (bytes.size() != member.size || Sha256Hasher::Of(bytes) != member.sha256) {
        throw PackageRefusal("the rebuilt \"" + member.name + "\" is not the signed member");
    }
    if (zip.stageFile == nullptr) {
        throw MessageError("Staging the rebuilt \"" + member.name + "\" failed: no staging");
    }
    const ZipStatus status = zip.stageFile(handle, item.name, bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (status != ZipOk) {
        throw StickWriteFailure("Staging the rebuilt \"" + member.name + "\" failed", "\"" + member.name + "\"",
                                GetLastError());
    }
}

void GiveItemsLook(const std::wstring& path, const ZipItem& item)
{
    {
        NCommon::ScopedHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid()) {
            const auto given = [](const FILETIME& time) {
                return time.dwLowDateTime == 0 && time.dwHighDateTime == 0 ? nullptr : &time;
            };
            SetFileTime(file.get(), given(item.creationTime), given(item.accessTime), given(item.modificationTime));
        }
    }
    const DWORD attributes = item.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    if (attributes != 0) {
        SetFileAttributesW(path.c_str(), attributes);
    }
}

}  // namespace Extraction
