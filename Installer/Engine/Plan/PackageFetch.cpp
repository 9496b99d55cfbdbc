#include "PackageFetch.h"

#include "CancelFlag.h"
#include "DeltaPlan.h"
#include "MessageError.h"
#include "ProductConstants.h"
#include "RangeIgnored.h"
#include "Sha256Hasher.h"
#include "easylogging++.h"

namespace {

const wchar_t kKeptRecordName[] = L"Quillon.kept";

// A tail the manifest describes whole, at the end of the package, within
// what one request may carry many times over.
bool TailUsable(const PackageManifest::Manifest& manifest)
{
    return manifest.tailSize > 0 && manifest.tailOffset + manifest.tailSize == manifest.packageSize &&
           manifest.tailSize <= PackageManifest::kMaxBytes;
}

}  // namespace

PackageFetch::PackageFetch(std::wstring folder, std::wstring destination, const DownloadFunction& download,
                           IInstallListener* listener, const std::atomic<bool>* cancel)
    : m_folder(std::move(folder)),
      m_download(download),
      m_listener(listener),
      m_cancel(cancel),
      m_kept(m_folder + kPackageFileName, m_folder + kKeptRecordName),
      m_patches(m_folder, std::move(destination), download, listener, cancel)
{
}

void PackageFetch::Download(const PackageManifest::Manifest& manifest, std::vector<ByteRange> ranges, bool progress,
                            bool proxyOnly)
{
    CountingSink sink(m_kept, m_fetched);
    DownloadTarget target;
    target.urlPath = std::wstring(manifest.packagePath.begin(), manifest.packagePath.end());
    target.fileName = kPackageFileName;
    target.size = static_cast<uint32_t>(manifest.packageSize);
    target.reportsProgress = progress;
    target.ranges = std::move(ranges);
    target.sink = &sink;
    target.wholeParts = m_rangeIgnored;
    // The attempt's start was reported with the manifest's.
    target.reportsStart = false;
    m_download(m_folder, m_listener, m_cancel, proxyOnly, target);
}

PackageFetch::Result PackageFetch::Fetch(const PackageManifest::Manifest& manifest,
                                         const DriveInventory::Inventory* inventory, bool proxyOnly)
{
    m_kept.Open(manifest);
    // What came is kept, whichever way the fetch ends; the zip layer reads
    // the file once it is let go.
    struct CloseKept {
        KeptDownload& kept;
        ~CloseKept()
        {
            try {
                kept.Close();
            } catch (...) {
            }
        }
    } closeKept{m_kept};

    if (inventory != nullptr && inventory->anyPresent && !m_wholeOnly && TailUsable(manifest)) {
        try {
            if (std::optional<Result> result = FetchMembers(manifest, *inventory, proxyOnly)) {
                return *result;
            }
        } catch (const RangeIgnored&) {
            // The run goes on and may well succeed: no error of its own.
            LOG(INFO) << "The server answers a part of the package with the whole of it; "
                         "fetching the whole package instead";
            m_wholeOnly = true;
            m_rangeIgnored = true;
        }
        if (IsCancelled(m_cancel)) {
            return Result{m_kept.PackagePath(), std::nullopt, {}};
        }
    }
    return FetchWhole(manifest, proxyOnly);
}

// The tail first, checked against its signed hash: it says where each
// member lies. Nothing when the run must take the whole package instead.
std::optional<PackageFetch::Result> PackageFetch::FetchMembers(const PackageManifest::Manifest& manifest,
                                                               const DriveInventory::Inventory& inventory,
                                                               bool proxyOnly)
{
    const ByteRange tail{manifest.tailOffset, manifest.packageSize - 1};
    if (!m_kept.Holds(tail)) {
        Download(manifest, DeltaPlan::Subtract({tail}, m_kept.Kept()), false, proxyOnly);
        if (IsCancelled(m_cancel)) {
            return Result{m_kept.PackagePath(), std::nullopt, {}};
        }
    }
    const std::string bytes = m_kept.Read(tail);
    if (Sha256Hasher::Of(bytes) != manifest.tailSha256) {
        LOG(ERROR) << "The package's directory does not match the manifest; fetching the whole package instead";
        m_wholeOnly = true;
        // Whatever was kept of a package whose tail is not the signed one
        // is not worth keeping either.
        m_kept.Discard();
        m_kept.Open(manifest);
        return std::nullopt;
    }
    const DeltaPlan::Directory directory = DeltaPlan::ReadDirectory(bytes, manifest.tailOffset);
    std::vector<std::string> names;
    for (const DeltaPlan::DirectoryEntry& entry : directory.entries) {
        names.push_back(entry.name);
    }
    PackageManifest::MemberMatch match = PackageManifest::MatchMembers(manifest, names);
    std::string problem = directory.problem.empty() ? match.problem : directory.problem;
    if (problem.empty() && DeltaPlan::MemberSpans(directory, manifest.tailOffset).size() != names.size()) {
        problem = "two members share a place";
    }
    if (!problem.empty()) {
        LOG(INFO) << "The package's directory cannot be read member by member (" << problem
                  << "); fetching the whole package";
        m_wholeOnly = true;
        return std::nullopt;
    }
    // Members rebuilt from a patch need nothing of the package; a patch
    // that fails leaves its member to the ranges below, in this same run.
    std::vector<PatchPlan::DriveFile> files(inventory.files.size());
    for (size_t m = 0; m < files.size(); ++m) {
        files[m] = {inventory.files[m].hashed, inventory.files[m].size, inventory.files[m].sha256};
    }
    const std::vector<ByteRange> spans = DeltaPlan::MemberSpans(directory, manifest.tailOffset);
    std::vector<bool> rebuilt = m_patches.RebuildChanged(
        manifest, match.manifestIndex, DeltaPlan::WriteSet(match.manifestIndex, inventory.onDrive), spans, files,
        proxyOnly);
    if (IsCancelled(m_cancel)) {
        return Result{m_kept.PackagePath(), std::nullopt, {}};
    }
    std::vector<bool> fromPackage = inventory.onDrive;
    std::vector<ByteRange> headers;
    for (size_t i = 0; i < rebuilt.size(); ++i) {
        if (rebuilt[i]) {
            fromPackage[match.manifestIndex[i]] = true;
            headers.push_back(PatchPlan::LocalHeaderOf(spans[i], directory.entries[i].name.size()));
        }
    }
    const size_t patched = headers.size();
    const DeltaPlan::Plan plan = DeltaPlan::PlanMembers(directory, manifest.tailOffset, match.manifestIndex,
                                                        fromPackage, m_kept.Kept(), headers);
    size_t members = patched;
    for (bool write : plan.write) {
        members += write ? 1 : 0;
    }
    LOG(INFO) << "The drive lacks " << members << " of the package's " << plan.write.size() << " members: "
              << plan.fetchBytes << " bytes to fetch in " << plan.requests.size() << " requests, "
              << m_kept.KeptBytes() << " kept"
              << (patched > 0 ? ", " + std::to_string(patched) + " rebuilt from patches" : std::string());
    if (!plan.requests.empty()) {
        Download(manifest, plan.requests, true, proxyOnly);
    }
    return Result{m_kept.PackagePath(), std::move(match.manifestIndex), std::move(rebuilt)};
}

PackageFetch::Result PackageFetch::FetchWhole(const PackageManifest::Manifest& manifest, bool proxyOnly)
{
    // A server that ignores Range can only send the whole package, kept
    // parts or not.
    const DeltaPlan::Plan plan = DeltaPlan::PlanWhole(manifest.packageSize, m_rangeIgnored ? std::vector<ByteRange>()
                                                                                          : m_kept.Kept());
    if (m_rangeIgnored && manifest.packageSize > 0) {
        Download(manifest, {{0, manifest.packageSize - 1}}, true, proxyOnly);
        return Result{m_kept.PackagePath(), std::nullopt, {}};
    }
    if (m_kept.KeptBytes() > 0) {
        LOG(INFO) << "Fetching the rest of the package: " << plan.fetchBytes << " bytes in "
                  << plan.requests.size() << " requests, " << m_kept.KeptBytes() << " kept";
    }
    if (!plan.requests.empty() || manifest.packageSize == 0) {
        Download(manifest, plan.requests, true, proxyOnly);
    }
    return Result{m_kept.PackagePath(), std::nullopt, {}};
}
