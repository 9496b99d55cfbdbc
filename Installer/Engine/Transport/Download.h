#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "BuildSettings.h"
#include "ByteRange.h"

class IInstallListener;

// Everything fixed about the package request, in one place.
namespace DownloadConstants {
constexpr wchar_t kUserAgent[] = L"Quillon";
constexpr wchar_t kServer[] = QUILLON_UPDATE_HOST;
constexpr uint16_t kPort = QUILLON_UPDATE_PORT;
constexpr wchar_t kVerb[] = L"GET";
constexpr wchar_t kPath[] = L"/SW_UPDATE/KT-QUILLON/Quillon.zip";
// The vendor's signed manifest, at a fixed place beside the package: it
// names the package to fetch and everything it must be.
constexpr wchar_t kManifestPath[] = L"/SW_UPDATE/KT-QUILLON/Quillon.manifest";

// WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH
constexpr uint32_t kRequestFlags = 0x800100;
constexpr int kResolveTimeoutMs = 0;  // no limit
constexpr int kConnectTimeoutMs = 60000;
constexpr int kSendTimeoutMs = 60000;
constexpr int kReceiveTimeoutMs = 60000;
constexpr uint32_t kRangeSize = 4194304;
// A range that breaks off (a time-out, a dropped connection, a body that
// ends early) is asked for again from its first missing byte. Tries that
// bring no new byte are allowed this many times in a row; after that the
// server is taken to be stuck and the download fails.
constexpr int kMaxFruitlessResumes = 3;
// A server that breaks off again and again after a few new bytes never trips
// the bound above, and would hold the install for ever. One download allows
// this many resumes in all: a 100 MB package is 25 ranges, and a network that
// drops more often than this is better served by the pipeline's next
// attempt than by another resume.
constexpr int kMaxResumes = 64;
}  // namespace DownloadConstants

// The parts of the request that tests must be able to change. A
// default-constructed value is exactly what the shipped program uses; the
// program itself never builds another.
struct DownloadOptions {
    std::wstring server = DownloadConstants::kServer;
    uint16_t port = DownloadConstants::kPort;
    int resolveTimeoutMs = DownloadConstants::kResolveTimeoutMs;
    int connectTimeoutMs = DownloadConstants::kConnectTimeoutMs;
    int sendTimeoutMs = DownloadConstants::kSendTimeoutMs;
    int receiveTimeoutMs = DownloadConstants::kReceiveTimeoutMs;
    // Tests only: WinHTTP sets up a request the same way every time, so the
    // only way to watch the fall-back from a direct attempt that cannot be
    // set up is to make WinHttpConnect refuse the direct one (it is handed
    // no server name). The attempt through the automatic proxy is unchanged.
    bool refuseDirectConnectForTesting = false;
};

// Where a download's bytes go, each block at its offset in the file. Raises
// MessageError when it cannot take them.
class IRangeSink {
public:
    virtual ~IRangeSink() = default;
    virtual void Write(uint64_t offset, const void* bytes, uint32_t count) = 0;
};

// One file to fetch from the update server.
struct DownloadTarget {
    std::wstring urlPath = DownloadConstants::kPath;
    std::wstring fileName;
    // Known beforehand (the signed size): no length request is made, and the
    // server's file must be exactly this long. Otherwise the server is asked.
    std::optional<uint32_t> size;
    // A file the server says is longer is refused before its body is read.
    uint32_t maxSize = UINT32_MAX;
    // Whether the listener's progress bar follows this file, and whether
    // its start is reported as the download's: once an attempt, however
    // many files it fetches.
    bool reportsProgress = true;
    bool reportsStart = true;
    // Only these bytes of the file (in order, disjoint, `size` known); the
    // bar follows them alone. Empty: the whole file.
    std::vector<ByteRange> ranges;
    // Where the bytes go. Null: folder + fileName, written afresh.
    IRangeSink* sink = nullptr;
    // Each part in one request, however long: a server that ignores Range
    // answers any request with the whole file, which is then taken as the
    // answer to a request for all of it.
    bool wholeParts = false;
    // With proxyOnly: through the automatically found proxy or not at all
    // (NoProxyFound), never direct after all. A package refused for its
    // bytes is fetched again only where a proxy or a cache in the way may
    // have damaged it.
    bool onlyThroughFoundProxy = false;
};

// Fetches `target` into folder + its file name and returns that path, also
// when `cancel` ended the download early (the caller checks the flag).
// Raises TransportFailure when the server could not be reached or answered
// wrongly, PackageRefusal when its file is not the signed size, MessageError
// when the file cannot be written. With proxyOnly every request goes through
// the automatically found proxy only.
std::wstring Download(const std::wstring& folder, IInstallListener* listener,
                      const std::atomic<bool>* cancel, bool proxyOnly, const DownloadTarget& target,
                      const DownloadOptions& options);

// Fetches the package from its fixed address into folder + "Quillon.zip" and
// returns that path, also when `cancel` ended the download early (the caller
// checks the flag). Raises MessageError on failure. With proxyOnly every
// request goes through the automatically found proxy only.
std::wstring Download(const std::wstring& folder, IInstallListener* listener,
                      const std::atomic<bool>* cancel, bool proxyOnly);
std::wstring Download(const std::wstring& folder, IInstallListener* listener,
                      const std::atomic<bool>* cancel, bool proxyOnly,
                      const DownloadOptions& options);
