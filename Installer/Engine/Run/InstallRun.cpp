#include "InstallRun.h"

#include "CancelFlag.h"
#include "IInstallListener.h"
#include "MessageError.h"
#include "ProductConstants.h"
#include "TextConversion.h"
#include "easylogging++.h"

namespace InstallBackend {
namespace {

void ReportStatus(IInstallListener* listener, int status)
{
    if (listener != nullptr) {
        listener->OnStatus(status);
    }
}

// Runs one step of the pipeline. Whatever it raises is logged here, once,
// and turned into false: nothing escapes Install.
// The kind of what was caught is kept for the run's report to its caller.
template <typename Step>
bool Attempt(Step step, const char* otherErrorText, RunReport& report, const FailureKinds::Step& where,
             FailureKind& kind)
{
    try {
        step();
        return true;
    } catch (const InstallError& error) {
        LogCaught(error.what(), error.LastError());
        report.Caught(error.Text());
        kind = error.Kind();
    } catch (const MessageError& error) {
        LogCaught(error.what(), error.LastError());
        report.Caught(error.Text());
        kind = FailureKinds::Classify(where, error.Text(), error.LastError());
    } catch (...) {
        LogCaught(otherErrorText, GetLastError());
        report.Caught(otherErrorText);
        kind = FailureKind::Internal;
    }
    return false;
}

}  // namespace

// The reason goes to the listener, the outcome to the run's last line.
bool InstallRun::Fail(int reason)
{
    InstallFailure failure;
    const bool removed = IsCancelled(m_cancel) && m_listener != nullptr && m_listener->DriveRemoved();
    if (removed) {
        // The caller stopped the run because the drive went: that is how
        // it ended, not a change of the user's mind.
        LOG(ERROR) << "CheckDriveConnected " << ToUtf8(m_driveRoot) << " was removed during the run";
        reason = IInstallListener::ReasonDriveMissing;
    }
    if (m_listener != nullptr && reason != IInstallListener::ReasonNone) {
        m_listener->SetErrorReason(reason);
    }
    if (reason == IInstallListener::ReasonDriveMissing) {
        failure.kind = FailureKind::DriveMissing;
        failure.detail = removed ? "the drive was removed" : "the drive is not among the attached USB drives";
        m_report.Failed(failure.detail.c_str());
    } else if (reason == IInstallListener::ReasonLowFreeSpace) {
        failure.kind = FailureKind::LowFreeSpace;
        failure.bytesFree = m_context.bytesFree;
        failure.bytesNeeded = m_context.bytesNeeded;
        failure.detail = "too little free space on the drive";
        m_report.Failed(failure.detail.c_str());
    } else if (IsCancelled(m_cancel)) {
        failure.kind = FailureKind::Cancelled;
        failure.detail = "cancelled by the user";
        m_report.Cancelled();
    } else {
        failure.kind = m_failureKind;
        m_report.Failed();
        failure.detail = m_report.Reason();
    }
    if (failure.kind == FailureKind::NoConnection || failure.kind == FailureKind::ServerError) {
        failure.server = FailureKinds::ServerName();
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

bool InstallRun::CheckDriveConnected()
{
    return m_drive.Connected() || Fail(IInstallListener::ReasonDriveMissing);
}

bool InstallRun::CheckDriveFreeSpace()
{
    const std::optional<uint64_t> freeBytes = m_drive.TooLittleRoom();
    if (!freeBytes) {
        return true;
    }
    m_context.bytesFree = *freeBytes;
    m_context.bytesNeeded = kMinimumFreeBytes;
    return Fail(IInstallListener::ReasonLowFreeSpace);
}

bool InstallRun::DriveMissing()
{
    LOG(ERROR) << "CheckDriveConnected " << ToUtf8(m_driveRoot)
               << " is no longer attached, or is another drive now";
    return Fail(IInstallListener::ReasonDriveMissing);
}

// The first download, and the second through the automatic proxy when the
// first failed. False when the run ended here, after reporting it.
bool InstallRun::DownloadPackage()
{
    const bool downloaded = Attempt([this] { Fetch(false); }, " Download Generic exception ", m_report,
                                    FailureKinds::Step::Fetch, m_failureKind);
    if (IsCancelled(m_cancel)) {
        return Fail(IInstallListener::ReasonNone);
    }
    if (!downloaded) {
        if (m_drive.Gone(false)) {
            return DriveMissing();
        }
        if (!Attempt([this] { Fetch(true); }, " Proxy download Generic exception ", m_report,
                     FailureKinds::Step::Fetch, m_failureKind) ||
            IsCancelled(m_cancel)) {
            return Fail(IInstallListener::ReasonNone);
        }
    }
    return true;
}

// Neither a drive that is gone nor one that is too small for the new files
// is helped by a fresh copy of the package.
bool InstallRun::RetryIsPointless()
{
    return m_context.tooLittleSpace || m_context.commitHeld || m_goneBeforeExtraction || m_drive.Gone(true);
}

// The extraction, and once more with a fresh copy through the automatic
// proxy when it failed: a damaged or incomplete package shows up only when
// it is unpacked.
bool InstallRun::ExtractWithRetry()
{
    const auto noRetry = [this] {
        if (m_context.commitHeld) {
            return Fail(IInstallListener::ReasonNone);
        }
        return m_context.tooLittleSpace ? Fail(IInstallListener::ReasonLowFreeSpace)
                                        : DriveMissing();
    };
    const bool extracted = Attempt([this] { Extract(); }, " Extraction Generic exception ", m_report,
                                   FailureKinds::Step::Extract, m_failureKind);
    if (IsCancelled(m_cancel)) {
        return Fail(IInstallListener::ReasonNone);
    }
    if (extracted) {
        return Succeed();
    }
    if (RetryIsPointless()) {
        return noRetry();
    }
    // Which step of the retry failed decides its kind.
    FailureKinds::Step retryStep = FailureKinds::Step::Fetch;
    const bool retried = Attempt(
        [this, &retryStep] {
            retryStep = FailureKinds::Step::Fetch;
            Fetch(true);
            retryStep = FailureKinds::Step::Extract;
            Extract();
        },
        " Retry Generic exception ", m_report, retryStep, m_failureKind);
    if (!retried && !IsCancelled(m_cancel) && RetryIsPointless()) {
        return noRetry();
    }
    if (!retried || IsCancelled(m_cancel)) {
        return Fail(IInstallListener::ReasonNone);
    }
    return Succeed();
}

}  // namespace InstallBackend
