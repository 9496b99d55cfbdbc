#include "Download.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "BlockingCalls.h"
#include "CancelFlag.h"
#include "IInstallListener.h"
#include "ProductConstants.h"
#include "MessageError.h"
#include "ProductText.h"
#include "ResponseRules.h"
#include "ScopedHandles.h"
#include "easylogging++.h"

namespace {

using namespace DownloadConstants;

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

unsigned long ErrorNumber(DWORD error)
{
    return static_cast<unsigned long>(error);
}

// A missing string is written as nothing after the label, so that the line
// reads the same as an empty setting; the value is written in UTF-8.
std::string FieldText(const wchar_t* text)
{
    return text == nullptr ? std::string() : ToUtf8(text);
}

// The error line of a failed call, then the raised text.
[[noreturn]] void RaiseFailure(const char* call)
{
    const DWORD error = GetLastError();
    LOG(ERROR) << call << " error: " << ErrorNumber(error);
    throw MessageError(std::string(call) + " failed", error);
}

struct Transfer {
    int32_t totalLength = -1;
    uint32_t received = 0;
    uint32_t offset = 0;
    int progressCounter = 0;
    // Resumed requests in a row that brought no byte at all.
    int fruitlessResumes = 0;
    // Resumed requests of this download in all.
    int resumes = 0;
};

float ProgressFraction(const Transfer& transfer)
{
    if (transfer.progressCounter <= 1) {
        return 0.1f;
    }
    // The ratio is formed in single precision, the rest in double; the
    // volatile stores keep x87 builds from carrying extra precision along.
    volatile float ratio =
        static_cast<float>(transfer.received) / static_cast<float>(transfer.totalLength);
    volatile double fraction = 0.1 + 0.9 * static_cast<double>(ratio);
    // A server that sends more than it was asked for would push the bar past
    // its end; the download is still running, so it stays at full.
    if (fraction > 1.0) {
        fraction = 1.0;
    }
    return static_cast<float>(fraction);
}

// A header of the response as text; empty when the response has none.
// `error` receives why it could not be read.
std::optional<std::string> HeaderText(HINTERNET request, DWORD query, DWORD* error = nullptr)
{
    DWORD size = 0;
    WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &size, WINHTTP_NO_HEADER_INDEX);
    DWORD failure = GetLastError();
    if (failure == ERROR_INSUFFICIENT_BUFFER) {
        std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
        if (WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, &value[0], &size,
                                WINHTTP_NO_HEADER_INDEX)) {
            value.resize(size / sizeof(wchar_t));
            return ToUtf8(value);
        }
        failure = GetLastError();
    }
    if (error != nullptr) {
        *error = failure;
    }
    return std::nullopt;
}

ResponseRules::ResponseHead ReadHead(HINTERNET request)
{
    ResponseRules::ResponseHead head;
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                            WINHTTP_NO_HEADER_INDEX)) {
        head.status = status;
    }
    head.contentRange = HeaderText(request, WINHTTP_QUERY_CONTENT_RANGE);
    head.contentLength = HeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH);
    return head;
}

// One info line per request: what was asked, what came back, how much of it.
void LogResponse(const std::string& asked, const ResponseRules::ResponseHead& head, uint64_t bytes)
{
    LOG(INFO) << "HTTP response to " << asked << ": status " << head.status << ", Content-Range "
              << head.contentRange.value_or("none") << ", Content-Length "
              << head.contentLength.value_or("none") << ", " << bytes << " bytes received";
}

// A response that is not what was asked for: its bytes never join the
// package, and the attempt fails.
[[noreturn]] void RefuseResponse(const std::string& asked, const ResponseRules::ResponseHead& head,
                                 uint64_t bytes, const std::string& problem)
{
    LogResponse(asked, head, bytes);
    LOG(ERROR) << "Unexpected HTTP response to " << asked << ": " << problem;
    throw MessageError("Unexpected HTTP response", ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
}

// The length request: the package length from the Content-Length header,
// read as text, since the numeric form clamps what does not fit (Wine reads
// 4294967295 as 2147483647).
void TakeLength(HINTERNET request, Transfer& transfer)
{
    const std::string asked = "the length request";
    const ResponseRules::ResponseHead head = ReadHead(request);
    const ResponseRules::Verdict verdict = ResponseRules::CheckLengthResponse(head);
    if (!verdict.accepted) {
        RefuseResponse(asked, head, 0, verdict.problem);
    }
    DWORD error = ERROR_SUCCESS;
    const std::optional<std::string> text =
        HeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH, &error);
    if (text) {
        // The length is kept as a signed 32-bit number with -1 meaning
        // "unknown": a larger one would either end the download at once
        // with an empty package or, at 0xFFFFFFFF, ask for the length again
        // and again. Neither is a length we can use.
        const std::optional<uint64_t> length = ResponseRules::ParseContentLength(*text);
        if (length && *length <= static_cast<uint64_t>(INT32_MAX)) {
            LogResponse(asked, head, 0);
            transfer.totalLength = static_cast<int32_t>(*length);
            return;
        }
        error = ERROR_ARITHMETIC_OVERFLOW;
    }
    LOG(ERROR) << "WinHttpQueryHeaders error: " << ErrorNumber(error);
    throw MessageError("WinHttpQueryHeaders failed: " + std::to_string(ErrorNumber(error)), error);
}

// One request: the length request when the length is still unknown,
// otherwise the range that starts at the offset. Returns 0 when the cancel
// flag stopped it, 1 otherwise. The calls that wait for the server go
// through `calls`, so that a cancel need not wait for them.
int PerformRequest(IInstallListener* listener, const std::atomic<bool>* cancel, BlockingCalls& calls,
                   std::ofstream& package, HINTERNET request, Transfer& transfer)
{
    uint32_t rangeEnd = 0;
    if (transfer.totalLength > 0) {
        const uint64_t last = static_cast<uint64_t>(transfer.totalLength) - 1;
        rangeEnd = static_cast<uint32_t>(
            std::min<uint64_t>(static_cast<uint64_t>(transfer.offset) + kRangeSize - 1, last));
        const std::wstring header = L"Range: bytes=" + std::to_wstring(transfer.offset) + L"-" +
                                    std::to_wstring(rangeEnd);
        if (!WinHttpAddRequestHeaders(request, header.c_str(), static_cast<DWORD>(header.size()),
                                      WINHTTP_ADDREQ_FLAG_ADD)) {
            RaiseFailure("WinHttpAddRequestHeaders");
        }
    } else if (listener != nullptr) {
        listener->OnProgress(0.1f);
    }

    BOOL called = FALSE;
    DWORD unused = 0;
    if (!calls.Run(
            [request](DWORD*) {
                return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
            },
            &called, &unused)) {
        return 0;
    }
    if (!called) {
        RaiseFailure("WinHttpSendRequest");
    }
    if (!calls.Run([request](DWORD*) { return WinHttpReceiveResponse(request, nullptr); }, &called,
                   &unused)) {
        return 0;
    }
    if (!called) {
        RaiseFailure("WinHttpReceiveResponse");
    }

    if (transfer.totalLength == -1) {
        TakeLength(request, transfer);
        return 1;
    }

    // Nothing of the body joins the package before the head says that it is
    // the range asked for.
    const std::string asked =
        "bytes=" + std::to_string(transfer.offset) + "-" + std::to_string(rangeEnd);
    const ResponseRules::ResponseHead head = ReadHead(request);
    const ResponseRules::Verdict verdict = ResponseRules::CheckRangeResponse(
        head, transfer.offset, rangeEnd, static_cast<uint32_t>(transfer.totalLength));
    if (!verdict.accepted) {
        RefuseResponse(asked, head, 0, verdict.problem);
    }

    uint64_t requestBytes = 0;
    // The call that broke the body off, and its error, when one did.
    const char* brokenBy = nullptr;
    DWORD breakError = ERROR_SUCCESS;
    std::vector<char> buffer;
    for (;;) {
        if (IsCancelled(cancel)) {
            LogResponse(asked, head, requestBytes);
            return 0;
        }

        DWORD blockSize = 0;
        BOOL available = FALSE;
        if (!calls.Run([request](DWORD* size) { return WinHttpQueryDataAvailable(request, size); },
                       &available, &blockSize)) {
            LogResponse(asked, head, requestBytes);
            return 0;
        }
        if (!available) {
            breakError = GetLastError();
            brokenBy = "WinHttpQueryDataAvailable";
            break;
        }
        // A body that runs past the range would carry the next range's bytes,
        // or bytes past the end of the package.
        if (requestBytes + blockSize > verdict.bodyBytes) {
            RefuseResponse(asked, head, requestBytes + blockSize,
                           "the body is longer than the " + std::to_string(verdict.bodyBytes) +
                               " bytes asked for");
        }

        buffer.assign(static_cast<size_t>(blockSize) + 1, 0);
        DWORD bytesRead = 0;
        if (!WinHttpReadData(request, buffer.data(), blockSize, &bytesRead)) {
            breakError = GetLastError();
            brokenBy = "WinHttpReadData";
            break;
        }
        package.write(buffer.data(), static_cast<std::streamsize>(bytesRead));
        if (!package) {
            LOG(ERROR) << "Writing the package file failed at byte "
                       << (transfer.offset + requestBytes);
            throw MessageError("Failed to write the package file", ERROR_WRITE_FAULT);
        }

        requestBytes += bytesRead;
        transfer.received += bytesRead;

        if (listener != nullptr) {
            listener->OnProgress(ProgressFraction(transfer));
            ++transfer.progressCounter;
        }

        if (blockSize == 0) {
            break;
        }
    }

    LogResponse(asked, head, requestBytes);
    transfer.offset += static_cast<uint32_t>(requestBytes);
    if (requestBytes == verdict.bodyBytes) {
        transfer.fruitlessResumes = 0;
        return 1;
    }

    // The body broke off: a time-out, a dropped connection, or an end before
    // the range was whole. The next request asks again from the first
    // missing byte; a server that brings nothing new again and again is
    // given up on.
    if (requestBytes > 0) {
        transfer.fruitlessResumes = 0;
    } else if (++transfer.fruitlessResumes > kMaxFruitlessResumes) {
        if (brokenBy != nullptr) {
            LOG(ERROR) << brokenBy << " error: " << ErrorNumber(breakError);
            throw MessageError(std::string(brokenBy) + " failed", breakError);
        }
        LOG(ERROR) << "Incomplete HTTP response to " << asked << ": " << requestBytes << " of "
                   << verdict.bodyBytes << " bytes";
        throw MessageError("Incomplete HTTP response", ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
    }
    if (++transfer.resumes > kMaxResumes) {
        LOG(ERROR) << "Incomplete HTTP response to " << asked << ": " << requestBytes << " of "
                   << verdict.bodyBytes << " bytes, and " << kMaxResumes
                   << " resumes in this download already";
        throw MessageError("Incomplete HTTP response", ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
    }
    if (brokenBy != nullptr) {
        LOG(INFO) << "Range " << asked << " broke off after " << requestBytes << " of "
                  << verdict.bodyBytes << " bytes (" << brokenBy << " error "
                  << ErrorNumber(breakError) << "); resuming at byte " << transfer.offset;
    } else {
        LOG(INFO) << "Range " << asked << " ended after " << requestBytes << " of "
                  << verdict.bodyBytes << " bytes; resuming at byte " << transfer.offset;
    }
    return 1;
}

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

HINTERNET OpenRequest(HINTERNET connection)
{
    return WinHttpOpenRequest(connection, kVerb, kPath, nullptr, WINHTTP_NO_REFERER,
                              WINHTTP_DEFAULT_ACCEPT_TYPES, kRequestFlags);
}

// The address the automatic proxy is looked up for. The port appears only
// when it is not the HTTPS default, so that the shipped build asks for
// exactly "https://" + host + path.
std::wstring LookupAddress(const DownloadOptions& options)
{
    std::wstring address = L"https://" + options.server;
    if (options.port != INTERNET_DEFAULT_HTTPS_PORT) {
        address += L":" + std::to_wstring(options.port);
    }
    return address + kPath;
}

}  // namespace

std::wstring Download(const std::wstring& folder, IInstallListener* listener,
                      const std::atomic<bool>* cancel, bool proxyOnly)
{
    return Download(folder, listener, cancel, proxyOnly, DownloadOptions());
}

std::wstring Download(const std::wstring& folder, IInstallListener* listener,
                      const std::atomic<bool>* cancel, bool proxyOnly,
                      const DownloadOptions& options)
{
    if (listener != nullptr) {
        listener->OnStatus(IInstallListener::StatusDownloading);
    }

    const std::wstring packagePath = folder + kPackageFileName;
    // _wfopen underneath: no sharing restrictions.
    std::ofstream package(packagePath.c_str(), std::ios::out | std::ios::binary | std::ios::trunc);
    if (!package.is_open()) {
        throw MessageError("Failed to create a temp file");
    }

    Transfer transfer;

    UserProxySettings settings;
    const bool settingsRead = WinHttpGetIEProxyConfigForCurrentUser(&settings.config) != FALSE;
    if (settingsRead) {
        const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& config = settings.config;
        LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.fAutoDetect "
                  << static_cast<int>(config.fAutoDetect);
        LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszAutoConfigUrl "
                  << FieldText(config.lpszAutoConfigUrl);
        LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszProxy "
                  << FieldText(config.lpszProxy);
        LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszProxyBypass "
                  << FieldText(config.lpszProxyBypass);
    } else {
        const DWORD error = GetLastError();
        LOG(ERROR) << "WinHttpGetIEProxyConfigForCurrentUser error: " << ErrorNumber(error);
        // What a failed call left in the structure is not ours to free.
        settings.config = WINHTTP_CURRENT_USER_IE_PROXY_CONFIG{};
    }
    const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& config = settings.config;

    const bool useAutomaticProxy =
        !settingsRead || config.fAutoDetect || config.lpszAutoConfigUrl != nullptr;
    WINHTTP_AUTOPROXY_OPTIONS automaticOptions{};
    if (useAutomaticProxy) {
        if (config.lpszAutoConfigUrl != nullptr) {
            automaticOptions.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
            automaticOptions.lpszAutoConfigUrl = config.lpszAutoConfigUrl;
        } else {
            automaticOptions.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
            automaticOptions.dwAutoDetectFlags =
                WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        automaticOptions.fAutoLogonIfChallenged = TRUE;
    }

    DWORD accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    const wchar_t* proxyName = WINHTTP_NO_PROXY_NAME;
    const wchar_t* proxyBypass = WINHTTP_NO_PROXY_BYPASS;
    if (settingsRead && !config.fAutoDetect) {
        if (config.lpszProxy != nullptr) {
            accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
            proxyName = config.lpszProxy;
            proxyBypass = config.lpszProxyBypass;
        } else {
            accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
        }
    }

    // Only a download that someone watches can be cancelled while it waits
    // for the server; the silent install's flag is never set.
    BlockingCalls calls(listener != nullptr ? cancel : nullptr);

    const std::wstring lookupAddress = LookupAddress(options);
    FoundProxy found;
    bool lookupDone = false;
    bool proxyFound = false;
    DWORD lookupError = ERROR_SUCCESS;

    while (transfer.totalLength == -1 ||
           static_cast<int64_t>(transfer.offset) < static_cast<int64_t>(transfer.totalLength)) {
        ScopedInternet session(WinHttpOpen(kUserAgent, accessType, proxyName, proxyBypass, 0));
        if (!session) {
            RaiseFailure("WinHttpOpen");
        }
        ScopedInternet connection;
        ScopedInternet request;
        // A call left behind by a cancel still uses these handles: they stay
        // open until the process ends rather than be closed under it.
        struct KeepForCallLeftBehind {
            const BlockingCalls& calls;
            ScopedInternet& session;
            ScopedInternet& connection;
            ScopedInternet& request;
            ~KeepForCallLeftBehind()
            {
                if (calls.LeftBehind()) {
                    request.release();
                    connection.release();
                    session.release();
                }
            }
        } keep{calls, session, connection, request};
        // The error of whatever kept this attempt from setting up a request,
        // taken before anything else can overwrite it.
        DWORD attemptError = GetLastError();
        bool succeeded = false;

        // The direct attempt: the user's own proxy settings, or none.
        // Returns false when the request could not even be set up.
        auto direct = [&] {
            connection.reset(WinHttpConnect(
                session.get(), options.refuseDirectConnectForTesting ? nullptr : options.server.c_str(),
                options.port, 0));
            if (connection) {
                request.reset(OpenRequest(connection.get()));
            }
            if (!request || !SetTimeouts(request.get(), options)) {
                attemptError = GetLastError();
                return false;
            }
            PerformRequest(listener, cancel, calls, package, request.get(), transfer);
            return true;
        };

        if (!proxyOnly) {
            if (direct()) {
                if (IsCancelled(cancel)) {
                    break;
                }
                succeeded = true;
            } else {
                LOG(INFO) << "direct http request failed, checking for proxy...";
            }
        }

        if (!succeeded && useAutomaticProxy) {
            if (!lookupDone) {
                lookupDone = true;
                LOG(INFO) << "auto detecting proxy...";
                proxyFound = WinHttpGetProxyForUrl(session.get(), lookupAddress.c_str(),
                                                   &automaticOptions, &found.info) != FALSE;
                lookupError = GetLastError();
                LOG(INFO) << "auto detecting proxy result: " << (proxyFound ? 1 : 0);
            }
            if (proxyFound) {
                LOG(INFO) << "WinHttpGetProxyForUrl autoProxyInfo.dwAccessType "
                          << ErrorNumber(found.info.dwAccessType);
                LOG(INFO) << "WinHttpGetProxyForUrl autoProxyInfo.lpszProxy "
                          << FieldText(found.info.lpszProxy);
                LOG(INFO) << "WinHttpGetProxyForUrl autoProxyInfo.lpszProxyBypass "
                          << FieldText(found.info.lpszProxyBypass);
                bool ready = WinHttpSetOption(session.get(), WINHTTP_OPTION_PROXY, &found.info,
                                              sizeof(found.info)) != FALSE;
                if (ready && !connection) {
                    connection.reset(
                        WinHttpConnect(session.get(), options.server.c_str(), options.port, 0));
                    ready = connection.valid();
                }
                if (ready && !request) {
                    request.reset(OpenRequest(connection.get()));
                    ready = request.valid();
                }
                if (ready) {
                    ready = SetTimeouts(request.get(), options);
                }
                if (ready) {
                    PerformRequest(listener, cancel, calls, package, request.get(), transfer);
                    if (IsCancelled(cancel)) {
                        break;
                    }
                    succeeded = true;
                } else {
                    attemptError = GetLastError();
                }
            } else {
                // A look-up that failed is not repeated; every attempt that
                // needed it reports why it failed.
                LOG(ERROR) << "WinHttpGetProxyForUrl LastError " << ErrorNumber(lookupError);
                attemptError = lookupError;
            }
        }

        // The later downloads of a run prefer the automatically found proxy.
        // Most networks have none; there they go direct, or the retries that
        // the pipeline makes would never reach the server at all.
        if (!succeeded && proxyOnly && !proxyFound && !IsCancelled(cancel)) {
            LOG(INFO) << "no automatic proxy, going direct";
            if (direct()) {
                if (IsCancelled(cancel)) {
                    break;
                }
                succeeded = true;
            }
        }

        if (!succeeded) {
            request.reset();
            connection.reset();
            session.reset();
            if (IsCancelled(cancel)) {
                break;
            }
            LOG(ERROR) << "Sending WinHttpRequest error: " << ErrorNumber(attemptError);
            throw MessageError("Sending WinHttpRequest failed", attemptError);
        }
    }

    package.close();
    if (package.fail() && !IsCancelled(cancel)) {
        LOG(ERROR) << "Writing the package file failed at its end";
        throw MessageError("Failed to write the package file", ERROR_WRITE_FAULT);
    }
    return packagePath;
}
