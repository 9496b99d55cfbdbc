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

PackageFetch::PackageFetch(std::wstring folder, const DownloadFunction& download, IInstallListener* listener,
                           const std::atomic<bool>* cancel)
    : m_folder(std::move(folder)),
      m_download(download),
      m_listener(listener),
      m_cancel(cancel),
      m_kept(m_folder + kPackageFileName, m_folder + kKeptRecordName)
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
            LOG(ERROR) << "The server answers a part of the package with the whole of it; "
                          "fetching the whole package instead";
            m_wholeOnly = true;
            m_rangeIgnored = true;
        }
        if (IsCancelled(m_cancel)) {
            return Result{m_kept.PackagePath(), std::nullopt};
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
            return Result{m_kept.PackagePath(), std::nullopt};
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
    const DeltaPlan::Plan plan = DeltaPlan::PlanMembers(directory, manifest.tailOffset, match.manifestIndex,
                                                        inventory.onDrive, m_kept.Kept());
    size_t members = 0;
    for (bool write : plan.write) {
        members += write ? 1 : 0;
    }
    LOG(INFO) << "The drive lacks " << members << " of the package's " << plan.write.size() << " members: "
              << plan.fetchBytes << " bytes to fetch in " << plan.requests.size() << " requests, "
              << m_kept.KeptBytes() << " kept";
    if (!plan.requests.empty()) {
        Download(manifest, plan.requests, true, proxyOnly);
    }
    return Result{m_kept.PackagePath(), std::move(match.manifestIndex)};
}

PackageFetch::Result PackageFetch::FetchWhole(const PackageManifest::Manifest& manifest, bool proxyOnly)
{
    // A server that ignores Range can only send the whole package, kept
    // parts or not.
    const DeltaPlan::Plan plan = DeltaPlan::PlanWhole(manifest.packageSize, m_rangeIgnored ? std::vector<ByteRange>()
                                                                                          : m_kept.Kept());
    if (m_rangeIgnored && manifest.packageSize > 0) {
        Download(manifest, {{0, manifest.packageSize - 1}}, true, proxyOnly);
        return Result{m_kept.PackagePath(), std::nullopt};
    }
    if (m_kept.KeptBytes() > 0) {
        LOG(INFO) << "Fetching the rest of the package: " << plan.fetchBytes << " bytes in "
                  << plan.requests.size() << " requests, " << m_kept.KeptBytes() << " kept";
    }
    if (!plan.requests.empty() || manifest.packageSize == 0) {
        Download(manifest, plan.requests, true, proxyOnly);
    }
    return Result{m_kept.PackagePath(), std::nullopt};
}
