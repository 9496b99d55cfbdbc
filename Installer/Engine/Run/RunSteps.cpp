#include "InstallRun.h"

#include <algorithm>

#include "CancelFlag.h"
#include "InstallError.h"
#include "MessageError.h"
#include "PackageExtraction.h"
#include "PackageTrust.h"
#include "SmallFile.h"
#include "TextConversion.h"
#include "TransportFailure.h"
#include "easylogging++.h"

// The steps of a run: the manifest and the package fetched, the drive's
// record and inventory read, the package unpacked.
namespace InstallBackend {
namespace {

// The manifest the download wrote, read whole.
std::string ReadManifestFile(const std::wstring& path)
{
    std::string bytes;
    switch (NCommon::ReadSmallFile(path, PackageManifest::kMaxBytes, bytes)) {
    case NCommon::SmallFileRead::Read:
        return bytes;
    case NCommon::SmallFileRead::CannotOpen:
        throw MessageError("Cannot open the downloaded manifest");
    case NCommon::SmallFileRead::CannotRead:
        throw MessageError("Cannot read the downloaded manifest");
    case NCommon::SmallFileRead::TooLarge:
        break;
    }
    throw PackageRefusal("the manifest is larger than " + std::to_string(PackageManifest::kMaxBytes) + " bytes");
}

}  // namespace

// The signed manifest first: it says which package to fetch, how long it
// is and what it must hash to, and a package older than the drive's is not
// fetched at all. Every byte fetched counts, also when a download raised.
void InstallRun::Fetch(bool proxyOnly)
{
    m_context.manifest.reset();
    m_context.partialIndex.reset();
    m_context.rebuilt.clear();
    DownloadTarget manifestTarget;
    manifestTarget.urlPath = DownloadConstants::kManifestPath;
    manifestTarget.fileName = kRunManifestFileName;
    manifestTarget.maxSize = PackageManifest::kMaxBytes;
    manifestTarget.reportsProgress = false;
    std::string manifestBytes;
    try {
        const std::wstring path = m_download(m_driveFolder, m_listener, m_cancel, proxyOnly, manifestTarget);
        manifestBytes = ReadManifestFile(path);
    } catch (const NoProxyFound&) {
        // Nothing was asked of the server.
        throw;
    } catch (...) {
        // Without a manifest nothing is fetched: the package is never taken
        // on the server's word alone.
        LOG(ERROR) << "The package manifest " << ToUtf8(manifestTarget.urlPath) << " could not be fetched";
        m_report.Downloaded(NCommon::FileSizeOf(m_manifestFile));
        throw;
    }
    m_report.Downloaded(manifestBytes.size());
    if (IsCancelled(m_cancel)) {
        return;
    }
    PackageManifest::Manifest manifest = m_environment.trust.verifyManifest(manifestBytes);
    m_environment.trust.checkVersion(manifest, m_context.installedVersion);
    m_report.PackageSize(manifest.packageSize);
    m_context.manifest = std::move(manifest);
    const DriveInventory::Inventory& inventory = TakeInventory();
    m_context.onDrive = inventory.onDrive;
    if (IsCancelled(m_cancel)) {
        return;
    }
    const uint64_t before = m_fetch->FetchedBytes();
    try {
        PackageFetch::Result fetched = m_fetch->Fetch(*m_context.manifest, &inventory, proxyOnly);
        m_packagePath = std::move(fetched.packagePath);
        m_context.partialIndex = std::move(fetched.partialIndex);
        for (size_t i = 0; i < fetched.rebuilt.size(); ++i) {
            m_context.rebuilt.push_back(fetched.rebuilt[i] ? m_fetch->Patches().ResultPath(i) : std::wstring());
        }
    } catch (...) {
        m_report.Downloaded(m_fetch->FetchedBytes() - before);
        throw;
    }
    m_report.Downloaded(m_fetch->FetchedBytes() - before);
}

// Read once, before anything of the run can change it: a drive that holds
// the product says in its record which version and which files; the files
// are read while the manifest is fetched. A record that cannot be read
// fails the run (its step is guarded): without it an older package could
// pass as new.
void InstallRun::ReadTheDrivesRecord()
{
    const std::optional<std::string> record = PackageTrust::ReadVersionRecord(m_destination);
    if (!record) {
        return;
    }
    m_context.installedVersion = PackageManifest::ParseVersionRecord(*record);
    try {
        std::vector<PackageManifest::RecordedFile> files = PackageManifest::RecordedFiles(*record);
        m_context.installedFiles = files;
        if (!files.empty()) {
            m_headStart.emplace(m_destination, std::move(files), m_cancel);
        }
    } catch (...) {
        // Without it the inventory reads every file once the manifest is in.
        m_headStart.reset();
    }
}

// What the drive already holds of the signed package, read once a run: a
// file there that is not the signed one is named once, and replaced.
const DriveInventory::Inventory& InstallRun::TakeInventory()
{
    if (!m_inventory) {
        m_inventory = DriveInventory::Take(*m_context.manifest, m_destination, m_cancel,
                                           m_headStart ? &*m_headStart : nullptr);
        m_headStart.reset();
        const std::vector<PackageManifest::Member>& members = m_context.manifest->members;
        for (size_t i = 0; i < members.size(); ++i) {
            if (m_inventory->differs[i]) {
                LOG(INFO) << "Repairing \"" << members[i].name << "\" on the drive: it differs from the signed file";
            }
        }
    }
    return *m_inventory;
}

void InstallRun::Extract()
{
    m_drive.CheckStillThere();
    try {
        // Nothing of a package reaches the drive before the whole of it is
        // known to be the signed one; of a package fetched in part, the
        // tail was, and each member is as it is extracted.
        if (!m_context.partialIndex) {
            m_environment.trust.checkPackage(m_packagePath, *m_context.manifest);
        }
        Extraction::ExtractPackage(m_packagePath, m_destination, m_listener, m_cancel, m_environment.zip,
                                   m_environment.getDiskFreeSpace, m_context);
    } catch (...) {
        // Members rebuilt from patches are the first suspects: the next
        // attempt takes every member from the package.
        if (std::any_of(m_context.rebuilt.begin(), m_context.rebuilt.end(),
                        [](const std::wstring& path) { return !path.empty(); })) {
            m_fetch->Patches().Forgo();
        }
        throw;
    }
}

}  // namespace InstallBackend
