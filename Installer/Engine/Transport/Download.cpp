#include "Download.h"

#include <optional>
#include <string>

#include "CancelFlag.h"
#include "FileSink.h"
#include "IInstallListener.h"
#include "ProductConstants.h"
#include "ProxyRoutes.h"
#include "RangeLoop.h"
#include "TextConversion.h"
#include "TransportFailure.h"

using namespace DownloadConstants;
using namespace DownloadDetail;

std::wstring Download(const std::wstring& folder, IInstallListener* listener,
                      const std::atomic<bool>* cancel, bool proxyOnly)
{
    return Download(folder, listener, cancel, proxyOnly, DownloadOptions());
}

std::wstring Download(const std::wstring& folder, IInstallListener* listener,
                      const std::atomic<bool>* cancel, bool proxyOnly,
                      const DownloadOptions& options)
{
    DownloadTarget target;
    target.fileName = kPackageFileName;
    return Download(folder, listener, cancel, proxyOnly, target, options);
}

std::wstring Download(const std::wstring& folder, IInstallListener* listener,
                      const std::atomic<bool>* cancel, bool proxyOnly, const DownloadTarget& target,
                      const DownloadOptions& options)
{
    if (listener != nullptr && target.reportsStart) {
        listener->OnStatus(IInstallListener::StatusDownloading);
    }

    const std::wstring packagePath = folder + target.fileName;
    std::optional<FileSink> ownFile;
    if (target.sink == nullptr) {
        ownFile.emplace(packagePath);
    }

    UserProxySettings settings;
    ProxyRules::Plan plan = ProxyRules::PlanFor(ReadUserSettings(settings), proxyOnly);
    plan.directAfterAll = !target.onlyThroughFoundProxy;
    // Only a download that someone watches can be cancelled while it waits
    // for the server; the silent install's flag is never set.
    BlockingCalls calls(listener != nullptr ? cancel : nullptr);
    DownloadRun run(target.reportsProgress ? listener : nullptr, cancel, calls,
                    target.sink != nullptr ? *target.sink : *ownFile, options, plan);
    run.target = &target;
    if (target.size) {
        Transfer& transfer = run.transfer;
        transfer.totalLength = static_cast<int32_t>(*target.size);
        transfer.ranges = target.ranges;
        if (target.ranges.empty() && *target.size > 0) {
            transfer.ranges = {{0, *target.size - 1u}};
        }
        for (const ByteRange& range : transfer.ranges) {
            transfer.progressTotal += range.Size();
        }
        if (!transfer.ranges.empty()) {
            transfer.offset = static_cast<uint32_t>(transfer.ranges.front().first);
        }
    }
    run.lookup.address = LookupAddress(options, target);
    run.lookup.options = AutomaticOptions(plan);
    try {
        FetchRanges(run);
    } catch (TransportFailure& failure) {
        failure.AtServer(ToUtf8(options.server) + ":" + std::to_string(options.port));
        throw;
    }

    if (ownFile) {
        ownFile->Close(IsCancelled(cancel));
    }
    return packagePath;
}
