#include "PackageExtraction.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include "CancelFlag.h"
#include "DeltaPlan.h"
#include "IInstallListener.h"
#include "InstallError.h"
#include "JoinPath.h"
#include "MessageError.h"
#include "ObsoleteRemoval.h"
#include "PackageTrust.h"
#include "RebuiltMembers.h"
#include "ScannerWaitLog.h"
#include "SmallFile.h"
#include "TextConversion.h"
#include "easylogging++.h"

namespace Extraction {
namespace {

void MarkHidden(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    // Without the current attributes there is nothing sound to add the bit to.
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN);
    }
}

// The package's members set against the signed list: every member listed
// once, nothing unlisted, nothing missing, a folder where a folder was
// signed. Returns each member's entry in the manifest.
std::vector<size_t> MatchSignedMembers(const ZipLayer& zip, HZIP handle, int count,
                                       const PackageManifest::Manifest& manifest)
{
    std::vector<std::string> names;
    std::vector<bool> folders;
    for (int i = 0; i < count; ++i) {
        ZipItem item{};
        const ZipStatus status = zip.getItem(handle, i, &item);
        if (status != ZipOk) {
            throw MessageError("Reading the package's directory failed",
                               ExplainZipFailure(zip, handle, status, "entry " + std::to_string(i)));
        }
        names.push_back(ToUtf8(item.name));
        folders.push_back((item.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    }
    PackageManifest::MemberMatch match = PackageManifest::MatchMembers(manifest, names);
    if (!match.problem.empty()) {
        throw PackageRefusal(match.problem);
    }
    for (int i = 0; i < count; ++i) {
        const PackageManifest::Member& signed_ = manifest.members[match.manifestIndex[i]];
        // A member the layer makes a folder of is never hashed: it must be
        // one the vendor signed as a folder.
        if (folders[i] && (signed_.size != 0 || signed_.name.back() != '/')) {
            throw PackageRefusal("\"" + names[i] + "\" is a folder in the package, a file in the manifest");
        }
    }
    return std::move(match.manifestIndex);
}

// What the zip layer's failure to unpack a member says. The vendor's
// package unpacks, and every member's bytes are signed, so data that does
// not inflate or does not match its CRC is a download that differs from
// the vendor's, never a fault of the stick; anything else is the stick's,
// or the stick is gone.
[[noreturn]] void RaiseUnzipFailure(const ZipLayer& zip, HZIP handle, ZipStatus status, const std::string& name,
                                    const PackageTrust::MemberHashCheck* check,
                                    const std::function<bool()>& driveGone)
{
    if (check != nullptr && !check->Problem().empty()) {
        throw PackageRefusal("the download does not match what the vendor signed: " + check->Problem());
    }
    const ZipFailureCause cause =
        zip.describeFailure != nullptr ? zip.describeFailure(handle).cause : ZipFailureCause::None;
    const bool badBytes = cause == ZipFailureCause::DamagedData || cause == ZipFailureCause::CrcMismatch ||
                          cause == ZipFailureCause::DamagedHeader || cause == ZipFailureCause::ContentRefused ||
                          (cause == ZipFailureCause::None && (status == ZipCorrupt || status == ZipInflateFailed));
    if (badBytes) {
        throw PackageRefusal("the download does not match what the vendor signed: \"" + name + "\" is damaged");
    }
    const DWORD error = ExplainZipFailure(zip, handle, status, name);
    RaiseStickFailure("Extracting \"" + name + "\" failed", "\"" + name + "\"", error, driveGone);
}

// The members of a run rebuilt from binary patches: per entry, where the
// bytes wait (empty for a member from the package), and where each one
// landed, for the look it gets once committed.
struct Rebuilt {
    const std::vector<std::wstring>& paths;
    const std::vector<PackageManifest::Member>& members;
    const std::vector<size_t>& manifestIndex;
    std::vector<std::pair<std::wstring, ZipItem>> placed;
};

// Writes the entries that `write` names one by one; false when the cancel
// flag stopped it before an entry. The entries that are to be hidden are
// added to `hidden`. With a check, no member reaches the drive unless it
// passed it; a rebuilt member is staged from its bytes in the work folder,
// checked there.
bool ExtractEntries(const ZipLayer& zip, HZIP handle, const std::vector<bool>& write,
                    const std::wstring& destination, IInstallListener* listener,
                    const std::atomic<bool>* cancel, std::vector<std::wstring>& hidden,
                    const PackageTrust::MemberHashCheck* check, Rebuilt& rebuilt,
                    const std::function<bool()>& driveGone)
{
    const size_t total = static_cast<size_t>(std::count(write.begin(), write.end(), true));
    size_t done = 0;
    for (int i = 0; i < static_cast<int>(write.size()); ++i) {
        if (!write[i]) {
            continue;
        }
        if (IsCancelled(cancel)) {
            return false;
        }
        ZipItem item{};
        ZipStatus status = zip.getItem(handle, i, &item);
        if (status != ZipOk) {
            throw MessageError("Reading the package's directory failed",
                               ExplainZipFailure(zip, handle, status, "entry " + std::to_string(i)));
        }
        const size_t entry = static_cast<size_t>(i);
        if (entry < rebuilt.paths.size() && !rebuilt.paths[entry].empty()) {
            StageRebuiltMember(zip, handle, item, rebuilt.paths[entry],
                               rebuilt.members[rebuilt.manifestIndex[entry]]);
            rebuilt.placed.emplace_back(NCommon::JoinPath(destination, item.name), item);
            if (listener != nullptr) {
                listener->OnProgress(static_cast<float>(++done) / static_cast<float>(total));
            }
            continue;
        }
        status = zip.unzipItem(handle, i, item.name);
        if (status != ZipOk) {
            RaiseUnzipFailure(zip, handle, status, ToUtf8(item.name), check, driveGone);
        }
        if (check != nullptr && (item.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && !check->Passed(i)) {
            throw PackageRefusal("\"" + ToUtf8(item.name) + "\" was not checked against its signed SHA-256");
        }
        if ((item.attributes & FILE_ATTRIBUTE_HIDDEN) != 0) {
            hidden.push_back(NCommon::JoinPath(destination, item.name));
        }
        if (listener != nullptr) {
            listener->OnProgress(static_cast<float>(++done) / static_cast<float>(total));
        }
    }
    return true;
}

}  // namespace

void ExtractPackage(const std::wstring& packagePath, const std::wstring& destination, IInstallListener* listener,
                    const std::atomic<bool>* cancel, const ZipLayer& zip, const DiskFreeSpaceQuery& getDiskFreeSpace,
                    ExtractionContext& context)
{
    // Outlives the archive, which may still wait for a file as it closes.
    ScannerWaitLog waits;
    // The zip layer takes its root from the current directory. If the
    // destination cannot be made current, the root would be whatever folder
    // happened to be current before, and the package would land there.
    if (!SetCurrentDirectoryW(destination.c_str())) {
        LOG(ERROR) << "SetCurrentDirectoryW error: " << static_cast<unsigned long>(GetLastError());
        throw MessageError("SetCurrentDirectoryW failed");
    }

    OpenArchive archive(zip, zip.open(packagePath.c_str()));
    if (archive.get() == nullptr) {
        const DWORD error = GetLastError();
        LOG(ERROR) << "OpenZipFile " << ToUtf8(packagePath) << ": not a readable zip archive ("
                   << NCommon::FileSizeOf(packagePath) << " bytes), error " << static_cast<unsigned long>(error);
        throw MessageError("Failed to open zip file", error);
    }
    const int count = CountEntries(zip, archive.get());
    const PackageManifest::Manifest& manifest = *context.manifest;
    // Of a package fetched in part, the directory was matched against the
    // signed list when its tail was; the members not fetched are never read.
    const std::vector<size_t> manifestIndex =
        context.partialIndex ? *context.partialIndex : MatchSignedMembers(zip, archive.get(), count, manifest);
    if (manifestIndex.size() != static_cast<size_t>(count)) {
        throw PackageRefusal("its directory is not the one its tail was");
    }
    const std::vector<bool> write = DeltaPlan::WriteSet(manifestIndex, context.onDrive);
    const size_t writing = static_cast<size_t>(std::count(write.begin(), write.end(), true));
    const bool recordChanged = context.installedVersion != manifest.version;
    if (writing == 0 && !recordChanged) {
        LOG(INFO) << "Every file of the package is on the drive already; nothing to write";
        return;
    }
    std::optional<PackageTrust::MemberHashCheck> check;
    if (zip.setMemberCheck != nullptr) {
        check.emplace(manifest, manifestIndex);
        zip.setMemberCheck(archive.get(), &*check);
    }
    if (zip.setWaitListener != nullptr) {
        zip.setWaitListener(archive.get(), &waits);
    }
    BeginStaging(zip, getDiskFreeSpace, archive.get(), context, manifestIndex, write);

    if (listener != nullptr) {
        listener->OnStatus(IInstallListener::StatusInstalling);
    }

    // Hidden goes on once the members are in place: the old tree stays as
    // it was until then.
    std::vector<std::wstring> hidden;
    Rebuilt rebuilt{context.rebuilt, manifest.members, manifestIndex, {}};
    if (!ExtractEntries(zip, archive.get(), write, destination, listener, cancel, hidden,
                        check ? &*check : nullptr, rebuilt, context.driveGone)) {
        return;
    }
    if (check) {
        LOG(INFO) << "Checked the " << writing << " members' SHA-256 in " << check->Milliseconds() << " ms";
    }
    if (recordChanged) {
        StageVersionRecord(zip, archive.get(), manifest, context.driveGone);
        RemoveObsoleteOnCommit(zip, archive.get(), context, destination);
    }
    // The last moment at which the caller can make way (a running copy of
    // the program asked to quit) or keep the drive as it is.
    if (listener != nullptr && !listener->OnReadyToCommit()) {
        throw InstallError(FailureKind::CommitHeld, "The commit was held: the drive's files are in use",
                           ERROR_SHARING_VIOLATION);
    }
    if (IsCancelled(cancel)) {
        return;
    }
    CommitStaging(zip, archive.get(), writing, context.driveGone);
    for (const auto& placed : rebuilt.placed) {
        GiveItemsLook(placed.first, placed.second);
    }
    for (const std::wstring& path : hidden) {
        MarkHidden(path);
    }
}

}  // namespace Extraction
