#include "WinHttpHandles.h"

namespace DownloadDetail {

using namespace DownloadConstants;

// WinHttpSetTimeouts bounds the connect, the send and each receive of the
// body, but not the wait for the response's status line and headers: that
// wait has a time-out of its own, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT,
// which WinHttpSetTimeouts leaves at its default. Wine's WinHTTP (8.0) gives
// it no limit at all and puts it on the socket while it reads the head, so a
// server that accepts the request and then says nothing held the install for
// ever. Setting the option to the receive time-out bounds the header wait on
// Windows and Wine alike. A server that stops after the status line costs
// about two receive time-outs under Wine: one for the headers that never
// come (Wine then takes the head as ended) and one for the body.
bool SetTimeouts(HINTERNET request, const DownloadOptions& options)
{
    if (!WinHttpSetTimeouts(request, options.resolveTimeoutMs, options.connectTimeoutMs,
                            options.sendTimeoutMs, options.receiveTimeoutMs)) {
        return false;
    }
    DWORD headerTimeoutMs = static_cast<DWORD>(options.receiveTimeoutMs);
    return WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headerTimeoutMs,
                            sizeof(headerTimeoutMs)) != FALSE;
}

HINTERNET OpenRequest(HINTERNET connection, const DownloadTarget& target)
{
    return WinHttpOpenRequest(connection, kVerb, target.urlPath.c_str(), nullptr, WINHTTP_NO_REFERER,
                              WINHTTP_DEFAULT_ACCEPT_TYPES, kRequestFlags);
}

}  // namespace DownloadDetail
