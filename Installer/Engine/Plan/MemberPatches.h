#pragma once

// The binary patches of a run: the signed patch list, fetched and checked
// once, and each patch the plan chose, fetched at its signed size, checked
// against its signed SHA-256, decoded against the stick's own file and
// checked against the member's signed SHA-256. What passes waits in the
// per-drive work folder until the member is staged; what does not is one
// log line, and the run fetches the member instead. Nothing here fails the
// run: a patch only ever saves bytes.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Download.h"
#include "PackageManifest.h"
#include "PatchList.h"
#include "PatchPlan.h"

class IInstallListener;

class MemberPatches {
public:
    using DownloadFunction =
        std::function<std::wstring(const std::wstring& folder, IInstallListener* listener,
                                   const std::atomic<bool>* cancel, bool proxyOnly, const DownloadTarget& target)>;

    // `folder` is the per-drive work folder, `destination` where the
    // stick's files are.
    MemberPatches(std::wstring folder, std::wstring destination, const DownloadFunction& download,
                  IInstallListener* listener, const std::atomic<bool>* cancel);
    // The list, the patches and the rebuilt members go with the run.
    ~MemberPatches();
    MemberPatches(const MemberPatches&) = delete;
    MemberPatches& operator=(const MemberPatches&) = delete;

    // The list that belongs to `manifest`, fetched once a run; null when
    // the server has none or it is not the vendor's for this manifest.
    const PatchList::List* List(const PackageManifest::Manifest& manifest, bool proxyOnly);

    // Rebuilds `member` (zip entry `entry`) from `patch` and the stick's
    // file at `oldPath`. True when the member's signed bytes wait at
    // ResultPath(entry); else the reason is logged once.
    bool Rebuild(size_t entry, const PatchList::Patch& patch, const PackageManifest::Member& member,
                 const std::wstring& oldPath, bool proxyOnly);

    // Per directory entry i (manifest member `manifestIndex[i]`, span
    // `spans[i]`): whether the run rebuilt it from a patch, so that its
    // bytes need not come from the package. Asks for the list only when a
    // written member has a file on the stick to start from; an entry
    // rebuilt by an earlier attempt of the run is not rebuilt again.
    std::vector<bool> RebuildChanged(const PackageManifest::Manifest& manifest,
                                     const std::vector<size_t>& manifestIndex, const std::vector<bool>& write,
                                     const std::vector<ByteRange>& spans,
                                     const std::vector<PatchPlan::DriveFile>& driveFiles, bool proxyOnly);

    // The run's extraction failed with members rebuilt: the attempt that
    // follows takes every member from the package.
    void Forgo() { m_forgone = true; }

    std::wstring ResultPath(size_t entry) const;
    // Bytes fetched over the network so far.
    uint64_t FetchedBytes() const { return m_fetched; }

private:
    // Empty when the member's bytes wait at ResultPath(entry); else why not.
    std::string RebuildFrom(size_t entry, const PatchList::Patch& patch, const PackageManifest::Member& member,
                            const std::wstring& oldPath, bool proxyOnly);
    std::string Fetch(const std::wstring& urlPath, const std::wstring& fileName, std::optional<uint32_t> size,
                      uint32_t maxSize, bool proxyOnly);

    const std::wstring m_folder;
    const std::wstring m_destination;
    const DownloadFunction& m_download;
    IInstallListener* const m_listener;
    const std::atomic<bool>* const m_cancel;
    bool m_listAsked = false;
    bool m_forgone = false;
    std::optional<PatchList::List> m_list;
    std::vector<std::wstring> m_written;
    std::vector<bool> m_rebuilt;
    uint64_t m_fetched = 0;
};

