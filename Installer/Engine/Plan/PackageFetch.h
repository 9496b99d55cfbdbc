#pragma once

// The package step of a run: what to fetch of the signed package, and the
// fetching, by the one download, into the package kept in the per-drive work
// folder. A drive that already holds the product gets only the members it
// lacks, read off the package's signed tail; a fresh drive, a server that
// ignores Range or a tail that does not match gets the whole package. Either
// way nothing kept from an earlier run is fetched again.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Download.h"
#include "DriveInventory.h"
#include "KeptDownload.h"
#include "MemberPatches.h"
#include "PackageManifest.h"

class IInstallListener;

class PackageFetch {
public:
    // One download function serves the package and the patches.
    using DownloadFunction = MemberPatches::DownloadFunction;

    // `destination` holds the files a binary patch may start from.
    PackageFetch(std::wstring folder, std::wstring destination, const DownloadFunction& download,
                 IInstallListener* listener, const std::atomic<bool>* cancel);

    struct Result {
        std::wstring packagePath;
        // Set when only members were fetched: then the package as a whole
        // cannot be checked (its tail was), and these are the manifest's
        // entries for the zip's entries, read from the tail.
        std::optional<std::vector<size_t>> partialIndex;
        // Per zip entry: rebuilt from a binary patch, its bytes waiting at
        // Patches().ResultPath(entry) rather than in the package.
        std::vector<bool> rebuilt;
    };

    // Fetches what the run needs of `manifest`'s package; with an
    // inventory of a drive that holds the product, only what it lacks.
    // Returns also when the cancel flag stopped it (the caller checks).
    // Raises MessageError.
    Result Fetch(const PackageManifest::Manifest& manifest, const DriveInventory::Inventory* inventory,
                 bool proxyOnly);

    // Bytes fetched over the network by this run.
    uint64_t FetchedBytes() const { return m_fetched + m_patches.FetchedBytes(); }
    const MemberPatches& Patches() const { return m_patches; }
    MemberPatches& Patches() { return m_patches; }
    // What is kept is of no use any more (the run succeeded, or the package
    // was refused).
    void Discard() { m_kept.Discard(); }

private:
    std::optional<Result> FetchMembers(const PackageManifest::Manifest& manifest,
                                       const DriveInventory::Inventory& inventory, bool proxyOnly);
    Result FetchWhole(const PackageManifest::Manifest& manifest, bool proxyOnly);
    void Download(const PackageManifest::Manifest& manifest, std::vector<ByteRange> ranges, bool progress,
                  bool proxyOnly);

    // Counts what reaches the kept package.
    class CountingSink : public IRangeSink {
    public:
        CountingSink(IRangeSink& next, uint64_t& count) : m_next(next), m_count(count) {}
        void Write(uint64_t offset, const void* bytes, uint32_t count) override
        {
            m_next.Write(offset, bytes, count);
            m_count += count;
        }

    private:
        IRangeSink& m_next;
        uint64_t& m_count;
    };

    const std::wstring m_folder;
    const DownloadFunction& m_download;
    IInstallListener* const m_listener;
    const std::atomic<bool>* const m_cancel;
    KeptDownload m_kept;
    MemberPatches m_patches;
    uint64_t m_fetched = 0;
    // Once the server has shown it cannot serve parts of the package, or a
    // tail that is not the signed one, the run takes the whole package.
    bool m_wholeOnly = false;
    // The server answers any range with the whole package: the whole is
    // asked for in one request, since that is all such a server can give.
    bool m_rangeIgnored = false;
};
