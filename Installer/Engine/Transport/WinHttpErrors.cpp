#include "WinHttpErrors.h"

#include <winhttp.h>

namespace WinHttpErrors {
namespace {

struct Entry {
    DWORD error;
    const char* meaning;
    bool unreached;
};

// ERROR_WINHTTP_CANNOT_CONNECT is what WinHTTP reports for a port nobody
// listens on, the commonest case of a server that is down.
constexpr Entry kTable[] = {
    {ERROR_WINHTTP_TIMEOUT, "timed out", true},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, "name not resolved", true},
    {ERROR_WINHTTP_CANNOT_CONNECT, "connection refused", true},
    {ERROR_WINHTTP_CONNECTION_ERROR, "connection reset", true},
    {ERROR_WINHTTP_SECURE_FAILURE, "certificate rejected", true},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, "secure channel failed", true},
    {ERROR_WINHTTP_SECURE_INVALID_CA, "certificate of an untrusted authority", true},
    {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, "certificate expired or not yet valid", true},
    {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, "certificate for another name", true},
    {ERROR_WINHTTP_SECURE_CERT_REVOKED, "certificate revoked", true},
    {ERROR_WINHTTP_SECURE_INVALID_CERT, "certificate invalid", true},
    {ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR, "automatic proxy service failed", true},
    {ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT, "proxy script failed", true},
    {ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT, "proxy script not downloadable", true},
    {ERROR_WINHTTP_AUTODETECTION_FAILED, "no automatic proxy found", true},
    {ERROR_WINHTTP_LOGIN_FAILURE, "login refused", true},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "invalid server response", false},
    {ERROR_WINHTTP_HEADER_NOT_FOUND, "header missing", false},
    {ERROR_WINHTTP_REDIRECT_FAILED, "redirect failed", false},
    {ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED, "client certificate required", false},
    {ERROR_WINHTTP_OPERATION_CANCELLED, "cancelled", false},
    {ERROR_WINHTTP_INTERNAL_ERROR, "WinHTTP internal error", false},
    {ERROR_WINHTTP_INVALID_URL, "invalid address", false},
    {ERROR_WINHTTP_INCORRECT_HANDLE_STATE, "request in the wrong state", false},
    {ERROR_NOT_ENOUGH_MEMORY, "out of memory", false},
};

const Entry* Find(DWORD error)
{
    for (const Entry& entry : kTable) {
        if (entry.error == error) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

std::string Meaning(DWORD error)
{
    const Entry* entry = Find(error);
    return entry != nullptr ? entry->meaning : "error " + std::to_string(static_cast<unsigned long>(error));
}

bool Unreached(DWORD error)
{
    const Entry* entry = Find(error);
    return entry != nullptr && entry->unreached;
}

std::string Described(DWORD error)
{
    const std::string number = std::to_string(static_cast<unsigned long>(error));
    if (Find(error) == nullptr) {
        return (error >= WINHTTP_ERROR_BASE && error <= WINHTTP_ERROR_LAST ? "WinHTTP error " : "error ") + number;
    }
    return Meaning(error) + " (" + (error >= WINHTTP_ERROR_BASE && error <= WINHTTP_ERROR_LAST ? "WinHTTP " : "") +
           "error " + number + ")";
}

}  // namespace WinHttpErrors
