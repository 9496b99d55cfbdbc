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

class IInstallListener;

class MemberPatches {
public:
    using DownloadFunction =
        std::function<std::wstring(const std::wstring& folder, IInstallListener* listener,
                                   const std::atomic<bool>* cancel, bool proxyOnly, const DownloadTarget& target)>;

    MemberPatches(std::wstring folder, const DownloadFunction& download, IInstallListener* listener,
                  const std::atomic<bool>* cancel);
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

    std::wstring ResultPath(size_t entry) const;
    // Bytes fetched over the network so far.
    uint64_t FetchedBytes() const { return m_fetched; }

private:
    std::string Fetch(const std::wstring& urlPath, const std::wstring& fileName, std::optional<uint32_t> size,
                      uint32_t maxSize, bool proxyOnly);

    const std::wstring m_folder;
    const DownloadFunction& m_download;
    IInstallListener* const m_listener;
    const std::atomic<bool>* const m_cancel;
    bool m_listAsked = false;
    std::optional<PatchList::List> m_list;
    std::vector<std::wstring> m_written;
    uint64_t m_fetched = 0;
};
