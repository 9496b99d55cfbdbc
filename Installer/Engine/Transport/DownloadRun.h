#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "ByteRange.h"
#include "IInstallListener.h"
#include "ProxyRules.h"
#include "WinHttpHandles.h"

namespace DownloadDetail {

struct Transfer {
    int32_t totalLength = -1;
    uint32_t received = 0;
    uint32_t offset = 0;
    // The parts of the file still to fetch, and the one being fetched.
    std::vector<ByteRange> ranges;
    size_t current = 0;
    // The bytes the progress bar stands for.
    uint64_t progressTotal = 0;
    int progressCounter = 0;
    // Resumed requests in a row that brought no byte at all.
    int fruitlessResumes = 0;
    // Resumed requests of this download in all.
    int resumes = 0;
};

// The automatic proxy of one download: looked up at most once, by the first
// attempt that needs it, and reused by every later one.
struct ProxyLookup {
    std::wstring address;
    WINHTTP_AUTOPROXY_OPTIONS options{};
    FoundProxy found;
    bool done = false;
    bool proxyFound = false;
    DWORD error = ERROR_SUCCESS;
};

// What every request of one download shares.
struct DownloadRun {
    DownloadRun(IInstallListener* listener, const std::atomic<bool>* cancel, BlockingCalls& calls,
                IRangeSink& sink, const DownloadOptions& options,
                const ProxyRules::Plan& plan)
        : listener(listener), cancel(cancel), calls(calls), sink(sink), options(options),
          plan(plan)
    {
    }
    DownloadRun(const DownloadRun&) = delete;
    DownloadRun& operator=(const DownloadRun&) = delete;

    // Null when this file does not move the progress bar.
    IInstallListener* listener;
    const std::atomic<bool>* const cancel;
    // The calls that wait for the server go through here, so that a cancel
    // need not wait for them.
    BlockingCalls& calls;
    IRangeSink& sink;
    const DownloadOptions& options;
    const ProxyRules::Plan& plan;
    const DownloadTarget* target = nullptr;
    Transfer transfer;
    ProxyLookup lookup;
};

}  // namespace DownloadDetail
