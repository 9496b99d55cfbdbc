#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "BlockingCalls.h"
#include "Download.h"
#include "MessageError.h"
#include "TransportFailure.h"
#include "ScopedHandles.h"
#include "TextConversion.h"
#include "easylogging++.h"

// The WinHTTP handles and strings of one download, each with its owner, and
// the few calls that set a request up.
namespace DownloadDetail {

// Closing a handle on the way out of a failed call must not overwrite that
// call's error, which the log line after it reports.
struct InternetHandleTraits {
    using Value = HINTERNET;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value value) { return value != nullptr; }
    static void Close(Value value)
    {
        const DWORD saved = GetLastError();
        ::WinHttpCloseHandle(value);
        SetLastError(saved);
    }
};
using ScopedInternet = NCommon::ScopedResource<InternetHandleTraits>;

// WinHTTP hands out the strings of both structures with GlobalAlloc and
// leaves freeing them to us.
struct UserProxySettings {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    UserProxySettings() = default;
    UserProxySettings(const UserProxySettings&) = delete;
    UserProxySettings& operator=(const UserProxySettings&) = delete;
    ~UserProxySettings()
    {
        GlobalFree(config.lpszAutoConfigUrl);
        GlobalFree(config.lpszProxy);
        GlobalFree(config.lpszProxyBypass);
    }
};

struct FoundProxy {
    WINHTTP_PROXY_INFO info{};
    FoundProxy() = default;
    FoundProxy(const FoundProxy&) = delete;
    FoundProxy& operator=(const FoundProxy&) = delete;
    ~FoundProxy()
    {
        GlobalFree(info.lpszProxy);
        GlobalFree(info.lpszProxyBypass);
    }
};

inline unsigned long ErrorNumber(DWORD error)
{
    return static_cast<unsigned long>(error);
}

// A missing string is written as nothing after the label, so that the line
// reads the same as an empty setting; the value is written in UTF-8.
inline std::string FieldText(const wchar_t* text)
{
    return text == nullptr ? std::string() : ToUtf8(text);
}

// The error line of a failed call, then the raised text.
[[noreturn]] inline void RaiseFailure(const char* call)
{
    const DWORD error = GetLastError();
    LOG(ERROR) << call << " error: " << ErrorNumber(error);
    throw TransportFailure(std::string(call) + " failed", error);
}

// The handles of one attempt. A call left behind by a cancel still uses
// them: they stay open until the process ends rather than be closed under it.
struct AttemptHandles {
    AttemptHandles(const BlockingCalls& calls, HINTERNET session) : calls(calls), session(session)
    {
    }
    ~AttemptHandles()
    {
        if (calls.LeftBehind()) {
            request.release();
            connection.release();
            session.release();
        }
    }
    AttemptHandles(const AttemptHandles&) = delete;
    AttemptHandles& operator=(const AttemptHandles&) = delete;

    const BlockingCalls& calls;
    ScopedInternet session;
    ScopedInternet connection;
    ScopedInternet request;
};

bool SetTimeouts(HINTERNET request, const DownloadOptions& options);
HINTERNET OpenRequest(HINTERNET connection, const DownloadTarget& target);

}  // namespace DownloadDetail
