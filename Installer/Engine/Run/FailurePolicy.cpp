#include "FailurePolicy.h"

#include "IInstallListener.h"

namespace FailurePolicy {

Retry RetryFor(FailureKind kind)
{
    switch (kind) {
    case FailureKind::NoConnection:
    case FailureKind::ServerError:
    // A fault that names no cause (a package file that cannot be opened, a
    // folder that cannot be entered) may be a passing one.
    case FailureKind::Internal:
        return Retry::ThroughProxy;
    case FailureKind::PackageRefused:
        return Retry::ThroughFoundProxyOnly;
    case FailureKind::None:
    case FailureKind::Cancelled:
    case FailureKind::DriveMissing:
    case FailureKind::LowFreeSpace:
    case FailureKind::WriteProtected:
    case FailureKind::WriteFailed:
    case FailureKind::CommitHeld:
        break;
    }
    return Retry::None;
}

bool KeepsDownload(FailureKind kind)
{
    // A fault that names no cause may lie in the kept bytes: the next fetch
    // starts afresh rather than trust them.
    return kind != FailureKind::PackageRefused && kind != FailureKind::Internal;
}

int ReasonFor(FailureKind kind)
{
    switch (kind) {
    case FailureKind::DriveMissing:
        return IInstallListener::ReasonDriveMissing;
    case FailureKind::LowFreeSpace:
        return IInstallListener::ReasonLowFreeSpace;
    default:
        return IInstallListener::ReasonNone;
    }
}

}  // namespace FailurePolicy
