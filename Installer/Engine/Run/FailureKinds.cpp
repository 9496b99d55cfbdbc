#include "FailureKinds.h"

#include <winhttp.h>

#include "Download.h"
#include "TextConversion.h"

namespace FailureKinds {
namespace {

bool IsRefusal(const std::string& text)
{
    static const char kRefused[] = "Package refused";
    return text.compare(0, sizeof(kRefused) - 1, kRefused) == 0;
}

// The errors of a request that never got an answer: the user's network,
// the name service, a proxy or a firewall is in the way, or the server's
// certificate is not one the PC trusts. Each is helped by the same advice.
bool IsUnreached(DWORD error)
{
    switch (error) {
    case ERROR_WINHTTP_TIMEOUT:
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR:
    case ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT:
    case ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT:
    case ERROR_WINHTTP_AUTODETECTION_FAILED:
    case ERROR_WINHTTP_LOGIN_FAILURE:
        return true;
    default:
        return false;
    }
}

}  // namespace

FailureKind Classify(Step step, const std::string& text, DWORD lastError)
{
    if (IsRefusal(text)) {
        return FailureKind::PackageRefused;
    }
    if (lastError == ERROR_DISK_FULL || lastError == ERROR_HANDLE_DISK_FULL) {
        return step == Step::Extract ? FailureKind::LowFreeSpace : FailureKind::Internal;
    }
    if (step == Step::Fetch) {
        if (IsUnreached(lastError)) {
            return FailureKind::NoConnection;
        }
        // Anything else the server or the network did: an error status, a
        // response that is not the package, a transfer cut short.
        if (lastError >= WINHTTP_ERROR_BASE && lastError <= WINHTTP_ERROR_LAST) {
            return FailureKind::ServerError;
        }
        return FailureKind::Internal;
    }
    if (lastError == ERROR_WRITE_PROTECT) {
        return FailureKind::WriteProtected;
    }
    return FailureKind::WriteFailed;
}

std::string ServerName()
{
    return ToUtf8(DownloadConstants::kServer) + ":" + std::to_string(DownloadConstants::kPort);
}

}  // namespace FailureKinds
