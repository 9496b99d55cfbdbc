#include "InstallRun.h"

#include <exception>

#include "CancelFlag.h"
#include "FailurePolicy.h"
#include "IInstallListener.h"
#include "InstallError.h"
#include "MessageError.h"
#include "ProductConstants.h"
#include "TextConversion.h"
#include "TransportFailure.h"
#include "easylogging++.h"

namespace InstallBackend {
namespace {

void ReportStatus(IInstallListener* listener, int status)
{
    if (listener != nullptr) {
        listener->OnStatus(status);
    }
}

// "host:port" of the update server, for a failure that reached the run
// without the download naming it.
std::string ServerName()
{
    return ToUtf8(DownloadConstants::kServer) + ":" + std::to_string(DownloadConstants::kPort);
}

InstallFailure Unexpected(const char* step)
{
    InstallFailure failure;
    failure.kind = FailureKind::Internal;
    failure.detail = std::string("an unexpected error in the step ") + step;
    return failure;
}

}  // namespace

// Whatever a step raises is logged here, once, with the last error it was
// raised with: nothing escapes Install. A failure met once the cancel flag
// is set is the stop's, whatever raised it.
template <typename Step>
std::optional<InstallFailure> InstallRun::Guarded(const char* step, Step body)
{
    std::optional<InstallFailure> failure;
    try {
        body();
    } catch (const NoProxyFound& error) {
        // Nothing was sent; the line after the step says what follows.
        m_noProxyFound = true;
        failure = error.Failure();
    } catch (const InstallError& error) {
        // The drive checks log what they found, with the drive and the
        // bytes, before they raise.
        if (error.Kind() != FailureKind::DriveMissing && error.Kind() != FailureKind::LowFreeSpace) {
            LogCaught(error.what(), error.LastError());
        }
        failure = error.Failure();
    } catch (const MessageError& error) {
        LogCaught(error.what(), error.LastError());
        failure = InstallFailure{FailureKind::Internal, 0, 0, {}, error.Text()};
    } catch (...) {
        LogCaught((std::string(" ") + step + " Generic exception ").c_str(), GetLastError());
        failure = Unexpected(step);
    }
    if (IsCancelled(m_cancel)) {
        return Stopped();
    }
    return failure;
}

template <typename Step>
std::optional<InstallFailure> InstallRun::Retried(const InstallFailure& failure, const char* step, Step body)
{
    SettleKeptDownload(failure.kind);
    const FailurePolicy::Retry retry = FailurePolicy::RetryFor(failure.kind);
    if (retry == FailurePolicy::Retry::None) {
        return failure;
    }
    m_onlyThroughFoundProxy = retry == FailurePolicy::Retry::ThroughFoundProxyOnly;
    m_noProxyFound = false;
    std::optional<InstallFailure> again = Guarded(step, [this, &body] {
        m_drive.CheckStillThere();
        body();
    });
    m_onlyThroughFoundProxy = false;
    if (again && m_noProxyFound && again->kind != FailureKind::Cancelled && again->kind != FailureKind::DriveMissing) {
        // The server's own bytes would be refused again: the refusal stands.
        LOG(INFO) << "No proxy found that could have changed the package: it is not fetched again";
        return failure;
    }
    if (again) {
        SettleKeptDownload(again->kind);
    }
    return again;
}

InstallFailure InstallRun::Stopped()
{
    InstallFailure failure;
    if (m_listener != nullptr && m_listener->DriveRemoved()) {
        // The caller stopped the run because the drive went: that is how
        // it ended, not a change of the user's mind.
        LOG(ERROR) << "CheckDriveConnected " << ToUtf8(m_driveRoot) << " was removed during the run";
        failure.kind = FailureKind::DriveMissing;
        failure.detail = "the drive was removed";
    } else {
        failure.kind = FailureKind::Cancelled;
        failure.detail = "cancelled by the user";
    }
    return failure;
}

void InstallRun::SettleKeptDownload(FailureKind kind)
{
    if (!FailurePolicy::KeepsDownload(kind) && m_fetch) {
        m_fetch->Discard();
    }
}

bool InstallRun::Run()
{
    try {
        return Steps();
    } catch (...) {
        // Only the listener's own calls are left unguarded by the steps.
        LogCaught(" Run Generic exception ", GetLastError());
    }
    return false;
}

// The drive checks, the record, the package fetched (once more through the
// automatic proxy when the kind allows), the package unpacked (once more
// with a fresh copy when the kind allows: a damaged package shows up only
// when it is unpacked).
bool InstallRun::Steps()
{
    std::optional<InstallFailure> failure = Guarded("Drive check", [this] {
        Prepare();
        CheckDrive();
        SettleTheStick(m_environment.zip, m_context.journalPath);
        m_createdDestination.emplace(m_destination);
    });
    if (!failure) {
        failure = Guarded("Reading the drive's record", [this] { ReadTheDrivesRecord(); });
    }
    if (failure) {
        return Fail(*failure);
    }
    failure = Guarded("Download", [this] { Fetch(false); });
    if (failure) {
        failure = Retried(*failure, "Proxy download", [this] { Fetch(true); });
        if (failure) {
            return Fail(*failure);
        }
    }
    failure = Guarded("Extraction", [this] { Extract(); });
    if (failure) {
        failure = Retried(*failure, "Retry", [this] {
            Fetch(true);
            if (!IsCancelled(m_cancel)) {
                Extract();
            }
        });
        if (failure) {
            return Fail(*failure);
        }
    }
    return Succeed();
}

void InstallRun::Prepare()
{
    if (!PathFileExistsW(m_driveFolder.c_str())) {
        CreateDirectoryW(m_driveFolder.c_str(), nullptr);
    }
    m_fetch.emplace(m_driveFolder, m_destination, m_download, m_listener, m_cancel);
    SettleUnfinishedRuns(m_workFolder, m_environment.zip);
}

void InstallRun::CheckDrive()
{
    m_drive.CheckConnected();
    m_drive.CheckRoom();
}

std::wstring InstallRun::Download(const std::wstring& folder, IInstallListener* listener,
                                  const std::atomic<bool>* cancel, bool proxyOnly, DownloadTarget target)
{
    target.onlyThroughFoundProxy = proxyOnly && m_onlyThroughFoundProxy;
    return m_environment.download(folder, listener, cancel, proxyOnly, target);
}

// The reason goes to the listener, the cause in words to the run's last line.
bool InstallRun::Fail(InstallFailure failure)
{
    if ((failure.kind == FailureKind::NoConnection || failure.kind == FailureKind::ServerError) &&
        failure.server.empty()) {
        failure.server = ServerName();
    }
    const int reason = FailurePolicy::ReasonFor(failure.kind);
    if (m_listener != nullptr && reason != IInstallListener::ReasonNone) {
        m_listener->SetErrorReason(reason);
    }
    if (failure.kind == FailureKind::Cancelled) {
        m_report.Cancelled();
    } else {
        m_report.Failed(failure.detail);
    }
    if (m_listener != nullptr) {
        m_listener->OnFailure(failure);
    }
    ReportStatus(m_listener, IInstallListener::StatusFailed);
    return false;
}

bool InstallRun::Succeed()
{
    m_fetch->Discard();
    if (m_createdDestination) {
        m_createdDestination->Keep();
    }
    m_report.Succeeded();
    ReportStatus(m_listener, IInstallListener::StatusSucceeded);
    return true;
}

}  // namespace InstallBackend
