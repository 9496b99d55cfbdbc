#include "FailureMessage.h"

#include <cwchar>

#include "IInstallListener.h"
#include "ProductConstants.h"

namespace {

const uint64_t kMegabyte = 1024 * 1024;

// The engine's free-space threshold in MiB, as the user reads it.
const double kRequiredMegabytes = static_cast<double>(kMinimumFreeBytes) / static_cast<double>(kMegabyte);

std::wstring CutAtZero(const std::wstring& text)
{
    return text.substr(0, text.find(L'\0'));
}

// Megabytes as a user counts what to free: rounded up, so that freeing
// what the text says is always enough.
std::wstring MegabytesToFree(const InstallFailure& failure)
{
    const uint64_t missing = failure.bytesNeeded - failure.bytesFree;
    return std::to_wstring((missing + kMegabyte - 1) / kMegabyte);
}

std::wstring Advice(bool appUpdateMode, const InstallFailure& failure, int errorReason)
{
    switch (failure.kind) {
    case FailureKind::NoConnection:
        return L"The update server cannot be reached. Check the internet connection or the proxy.";
    case FailureKind::ServerError:
        return L"The update server answered with an error, not the package. Try again later.";
    case FailureKind::PackageRefused:
        return L"The download is not exactly what the vendor signed, so nothing was installed. "
               L"Try again later.";
    case FailureKind::DriveMissing:
        return L"The USB stick is not there: it was pulled out or is not plugged in. Plug it in, then Try again.";
    case FailureKind::LowFreeSpace:
        if (failure.bytesNeeded > failure.bytesFree) {
            return L"Free " + MegabytesToFree(failure) + L" MB more on the stick, then Try again.";
        }
        return L"Make room on the stick, then Try again.";
    case FailureKind::WriteProtected:
        return L"The stick is write-protected. Unlock it (some have a switch), then Try again.";
    case FailureKind::WriteFailed:
        return L"Writing to the stick failed; it was left as it was. Check it, or use another stick.";
    case FailureKind::Cancelled:
        return appUpdateMode ? L"The update was stopped before it finished."
                             : L"The installation was stopped before it finished.";
    case FailureKind::CommitHeld:
        return L"Quillon is still running from the stick. Close it from its tray icon or Task Manager, "
               L"then Try again.";
    case FailureKind::Internal:
    case FailureKind::None:
        break;
    }
    // Nothing more is known than the reason the engine set.
    InstallFailure fromReason;
    if (errorReason == IInstallListener::ReasonDriveMissing) {
        fromReason.kind = FailureKind::DriveMissing;
        return Advice(appUpdateMode, fromReason, errorReason);
    }
    if (errorReason == IInstallListener::ReasonLowFreeSpace) {
        fromReason.kind = FailureKind::LowFreeSpace;
        return Advice(appUpdateMode, fromReason, errorReason);
    }
    return L"Something went wrong. Try again; if it fails again, contact Quillon support.";
}

}  // namespace

std::wstring FailureText(bool appUpdateMode, int errorReason, wchar_t driveLetter)
{
    const std::wstring letter(1, driveLetter);
    std::wstring text = appUpdateMode ? L"Update failed." : L"Installation failed.";
    if (errorReason == IInstallListener::ReasonDriveMissing) {
        text = L"Check drive " + letter + L" is connected";
    } else if (errorReason == IInstallListener::ReasonLowFreeSpace) {
        wchar_t megabytes[32] = {};
        swprintf(megabytes, 32, L"%.0f", kRequiredMegabytes);
        text = L"Not enough drive " + letter + L" free space.\nAt least " + megabytes + L"MB required.";
    }
    return CutAtZero(text);
}

FailureMessage DescribeFailure(bool appUpdateMode, int errorReason, const InstallFailure& failure,
                               wchar_t driveLetter)
{
    // The kind names the drive's two failures also where no reason was set.
    int reason = errorReason;
    if (failure.kind == FailureKind::DriveMissing) {
        reason = IInstallListener::ReasonDriveMissing;
    } else if (failure.kind == FailureKind::LowFreeSpace) {
        reason = IInstallListener::ReasonLowFreeSpace;
    }
    return FailureMessage{FailureText(appUpdateMode, reason, driveLetter), Advice(appUpdateMode, failure, reason)};
}

std::wstring StillMissingAdvice(wchar_t driveLetter)
{
    return CutAtZero(L"Drive " + std::wstring(1, driveLetter) +
                     L" is still missing. Plug the stick in: setup goes on by itself once it is back.");
}
