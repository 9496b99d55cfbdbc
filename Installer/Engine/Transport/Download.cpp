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
#include "DeltaPlan.h"
#include "ProductConstants.h"
#include "MessageError.h"
#include "TextConversion.h"
#include "ProxyRules.h"
#include "RangeIgnored.h"
#include "ResponseRules.h"
#include "ScopedHandles.h"
#include "easylogging++.h"

namespace {

using namespace DownloadConstants;

// The delta plan cuts its requests to the size the range loop asks for.
static_assert(DeltaPlan::kMaxRequest == kRangeSize, "one request size for the plan and the download");

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
    // The parts of the file still to fetch, and the one being fetched.
    std::vector<ByteRange> ranges;
    size_t current = 0;
    // The bytes the progress bar stands for.
    uint64_t progressTotal = 0;
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
        static_cast<float>(transfer.received) / static_cast<float>(transfer.progressTotal);
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
void TakeLength(HINTERNET request, Transfer& transfer, uint32_t maxSize)
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
        if (length && *length > maxSize && *length <= static_cast<uint64_t>(INT32_MAX)) {
            RefuseResponse(asked, head, 0,
                           "a file of " + std::to_string(*length) + " bytes, more than the " +
                               std::to_string(maxSize) + " it may have");
        }
        if (length && *length <= static_cast<uint64_t>(INT32_MAX)) {
            LogResponse(asked, head, 0);
            transfer.totalLength = static_cast<int32_t>(*length);
            if (*length > 0) {
                transfer.ranges = {{0, *length - 1}};
            }
            transfer.progressTotal = *length;
            return;
        }
        error = ERROR_ARITHMETIC_OVERFLOW;
    }
    LOG(ERROR) << "WinHttpQueryHeaders error: " << ErrorNumber(error);
    throw MessageError("WinHttpQueryHeaders failed: " + std::to_string(ErrorNumber(error)), error);
}

// The automatic proxy of one download: looked up at most once, by the first
// attempt that needs it, and reused by every later one.
struct ProxyLookup {
    std::wstring address;
    WINHTTP_AUTOPROXY_OPTIONS options{};
    FoundProxy found;
    bool done = false;
    bool proxyFound = false;
    DWORD error = ERROR_SUCCESS;
};

// The download's own file, written from its start as the bytes come in.
class FileSink : public IRangeSink {
public:
    explicit FileSink(const std::wstring& path)
        // _wfopen underneath: no sharing restrictions.
        : m_file(path.c_str(), std::ios::out | std::ios::binary | std::ios::trunc)
    {
        if (!m_file.is_open()) {
            throw MessageError("Failed to create a temp file");
        }
    }
    void Write(uint64_t offset, const void* bytes, uint32_t count) override
    {
        m_file.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(count));
        if (!m_file) {
            LOG(ERROR) << "Writing the package file failed at byte " << offset;
            throw MessageError("Failed to write the package file", ERROR_WRITE_FAULT);
        }
    }
    void Close(bool cancelled)
    {
        m_file.close();
        if (m_file.fail() && !cancelled) {
            LOG(ERROR) << "Writing the package file failed at its end";
            throw MessageError("Failed to write the package file", ERROR_WRITE_FAULT);
        }
    }

private:
    std::ofstream m_file;
};

// What every request of one download shares.
struct DownloadRun {
    DownloadRun(IInstallListener* listener, const std::atomic<bool>* cancel, BlockingCalls& calls,
                IRangeSink& sink, const DownloadOptions& options,
                const ProxyRules::Plan& plan)
        : listener(listener), cancel(cancel), calls(calls), sink(sink), options(options),
          plan(plan)
    {
    }
    DownloadRun(const DownloadRun&) = delete;
    DownloadRun& operator=(const DownloadRun&) = delete;

    // Null when this file does not move the progress bar.
    IInstallListener* listener;
    const std::atomic<bool>* const cancel;
    // The calls that wait for the server go through here, so that a cancel
    // need not wait for them.
    BlockingCalls& calls;
    IRangeSink& sink;
    const DownloadOptions& options;
    const ProxyRules::Plan& plan;
    const DownloadTarget* target = nullptr;
    Transfer transfer;
    ProxyLookup lookup;
};

// Adds the Range header of the range that starts at the offset and returns
// the range's last byte: at most kRangeSize bytes, never past the part being
// fetched. The length request asks for no range.
uint32_t AskForRange(DownloadRun& run, HINTERNET request)
{
    const Transfer& transfer = run.transfer;
    if (transfer.totalLength <= 0) {
        if (run.listener != nullptr) {
            run.listener->OnProgress(0.1f);
        }
        return 0;
    }
    const uint64_t last = transfer.ranges[transfer.current].last;
    const uint32_t rangeEnd = static_cast<uint32_t>(
        run.target->wholeParts ? last
                               : std::min<uint64_t>(static_cast<uint64_t>(transfer.offset) + kRangeSize - 1, last));
    const std::wstring header =
        L"Range: bytes=" + std::to_wstring(transfer.offset) + L"-" + std::to_wstring(rangeEnd);
    if (!WinHttpAddRequestHeaders(request, header.c_str(), static_cast<DWORD>(header.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD)) {
        RaiseFailure("WinHttpAddRequestHeaders");
    }
    return rangeEnd;
}

// Sends the request and waits for the head of the response; false when the
// cancel flag ended the wait.
bool SendAndReceive(BlockingCalls& calls, HINTERNET request)
{
    BOOL called = FALSE;
    DWORD unused = 0;
    if (!calls.Run(
            [request](DWORD*) {
                return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
            },
            &called, &unused)) {
        return false;
    }
    if (!called) {
        RaiseFailure("WinHttpSendRequest");
    }
    if (!calls.Run([request](DWORD*) { return WinHttpReceiveResponse(request, nullptr); }, &called,
                   &unused)) {
        return false;
    }
    if (!called) {
        RaiseFailure("WinHttpReceiveResponse");
    }
    return true;
}

// A range request: what it asked for, the head that answered, and how many
// bytes that head promises.
struct RangeAnswer {
    std::string asked;
    ResponseRules::ResponseHead head;
    uint64_t bodyBytes = 0;
};

// A file whose length was signed and that the server says is longer or
// shorter is not the signed file, whatever else the response says.
void RefuseWrongSize(const DownloadRun& run, const RangeAnswer& answer)
{
    if (!run.target->size || !answer.head.contentRange) {
        return;
    }
    const std::optional<ResponseRules::ContentRange> range =
        ResponseRules::ParseContentRange(*answer.head.contentRange);
    if (range && range->total && *range->total != *run.target->size) {
        LogResponse(answer.asked, answer.head, 0);
        throw MessageError("Package refused: the server's package is " + std::to_string(*range->total) +
                               " bytes long, the signed size is " + std::to_string(*run.target->size),
                           ERROR_INVALID_DATA);
    }
}

// Nothing of the body joins the package before the head says that it is the
// range asked for.
RangeAnswer CheckRangeHead(HINTERNET request, const DownloadRun& run, uint32_t rangeEnd)
{
    const Transfer& transfer = run.transfer;
    RangeAnswer answer;
    answer.asked = "bytes=" + std::to_string(transfer.offset) + "-" + std::to_string(rangeEnd);
    answer.head = ReadHead(request);
    const ResponseRules::Verdict verdict = ResponseRules::CheckRangeResponse(
        answer.head, transfer.offset, rangeEnd, static_cast<uint32_t>(transfer.totalLength));
    if (!verdict.accepted) {
        RefuseWrongSize(run, answer);
        if (answer.head.status == 200) {
            LogResponse(answer.asked, answer.head, 0);
            LOG(ERROR) << "Unexpected HTTP response to " << answer.asked << ": " << verdict.problem;
            throw RangeIgnored();
        }
        RefuseResponse(answer.asked, answer.head, 0, verdict.problem);
    }
    answer.bodyBytes = verdict.bodyBytes;
    return answer;
}

// How the body of a range ended.
struct BodyEnd {
    uint64_t bytes = 0;
    bool cancelled = false;
    // The call that broke the body off, and its error, when one did.
    const char* brokenBy = nullptr;
    DWORD breakError = ERROR_SUCCESS;
};

// Appends the body to the package block by block until it ends, breaks off
// or the cancel flag is set.
BodyEnd ReceiveBody(DownloadRun& run, HINTERNET request, const RangeAnswer& answer)
{
    BodyEnd end;
    std::vector<char> buffer;
    for (;;) {
        DWORD blockSize = 0;
        BOOL available = FALSE;
        if (IsCancelled(run.cancel) ||
            !run.calls.Run(
                [request](DWORD* size) { return WinHttpQueryDataAvailable(request, size); },
                &available, &blockSize)) {
            end.cancelled = true;
            return end;
        }
        if (!available) {
            end.breakError = GetLastError();
            end.brokenBy = "WinHttpQueryDataAvailable";
            return end;
        }
        // A body that runs past the range would carry the next range's
        // bytes, or bytes past the end of the package.
        if (end.bytes + blockSize > answer.bodyBytes) {
            RefuseResponse(answer.asked, answer.head, end.bytes + blockSize,
                           "the body is longer than the " + std::to_string(answer.bodyBytes) +
                               " bytes asked for");
        }
        buffer.assign(static_cast<size_t>(blockSize) + 1, 0);
        DWORD bytesRead = 0;
        if (!WinHttpReadData(request, buffer.data(), blockSize, &bytesRead)) {
            end.breakError = GetLastError();
            end.brokenBy = "WinHttpReadData";
            return end;
        }
        run.sink.Write(run.transfer.offset + end.bytes, buffer.data(), bytesRead);
        end.bytes += bytesRead;
        run.transfer.received += bytesRead;
        if (run.listener != nullptr) {
            run.listener->OnProgress(ProgressFraction(run.transfer));
            ++run.transfer.progressCounter;
        }
        if (blockSize == 0) {
            return end;
        }
    }
}

// Moves the offset past the bytes that arrived. A body that broke off (a
// time-out, a dropped connection, or an end before the range was whole) is
// asked for again from its first missing byte; a server that brings nothing
// new again and again is given up on.
void SettleRange(Transfer& transfer, const RangeAnswer& answer, const BodyEnd& end)
{
    transfer.offset += static_cast<uint32_t>(end.bytes);
    if (end.bytes == answer.bodyBytes) {
        transfer.fruitlessResumes = 0;
        return;
    }
    if (end.bytes > 0) {
        transfer.fruitlessResumes = 0;
    } else if (++transfer.fruitlessResumes > kMaxFruitlessResumes) {
        if (end.brokenBy != nullptr) {
            LOG(ERROR) << end.brokenBy << " error: " << ErrorNumber(end.breakError);
            throw MessageError(std::string(end.brokenBy) + " failed", end.breakError);
        }
        LOG(ERROR) << "Incomplete HTTP response to " << answer.asked << ": " << end.bytes << " of "
                   << answer.bodyBytes << " bytes";
        throw MessageError("Incomplete HTTP response", ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
    }
    if (++transfer.resumes > kMaxResumes) {
        LOG(ERROR) << "Incomplete HTTP response to " << answer.asked << ": " << end.bytes << " of "
                   << answer.bodyBytes << " bytes, and " << kMaxResumes
                   << " resumes in this download already";
        throw MessageError("Incomplete HTTP response", ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
    }
    if (end.brokenBy != nullptr) {
        LOG(INFO) << "Range " << answer.asked << " broke off after " << end.bytes << " of "
                  << answer.bodyBytes << " bytes (" << end.brokenBy << " error "
                  << ErrorNumber(end.breakError) << "); resuming at byte " << transfer.offset;
    } else {
        LOG(INFO) << "Range " << answer.asked << " ended after " << end.bytes << " of "
                  << answer.bodyBytes << " bytes; resuming at byte " << transfer.offset;
    }
}

// One request: the length request when the length is still unknown,
// otherwise the range that starts at the offset. Returns 0 when the cancel
// flag stopped it, 1 otherwise.
int PerformRequest(DownloadRun& run, HINTERNET request)
{
    const uint32_t rangeEnd = AskForRange(run, request);
    if (!SendAndReceive(run.calls, request)) {
        return 0;
    }
    if (run.transfer.totalLength == -1) {
        TakeLength(request, run.transfer, run.target->maxSize);
        return 1;
    }
    const RangeAnswer answer = CheckRangeHead(request, run, rangeEnd);
    const BodyEnd end = ReceiveBody(run, request, answer);
    LogResponse(answer.asked, answer.head, end.bytes);
    if (end.cancelled) {
        return 0;
    }
    SettleRange(run.transfer, answer, end);
    Transfer& transfer = run.transfer;
    if (transfer.offset > transfer.ranges[transfer.current].last && ++transfer.current < transfer.ranges.size()) {
        transfer.offset = static_cast<uint32_t>(transfer.ranges[transfer.current].first);
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

HINTERNET OpenRequest(HINTERNET connection, const DownloadTarget& target)
{
    return WinHttpOpenRequest(connection, kVerb, target.urlPath.c_str(), nullptr, WINHTTP_NO_REFERER,
                              WINHTTP_DEFAULT_ACCEPT_TYPES, kRequestFlags);
}

// The address the automatic proxy is looked up for. The port appears only
// when it is not the HTTPS default, so that the shipped build asks for
// exactly "https://" + host + path.
std::wstring LookupAddress(const DownloadOptions& options, const DownloadTarget& target)
{
    std::wstring address = L"https://" + options.server;
    if (options.port != INTERNET_DEFAULT_HTTPS_PORT) {
        address += L":" + std::to_wstring(options.port);
    }
    return address + target.urlPath;
}

// Reads the user's proxy settings and logs them field by field. The strings
// stay owned by `settings`.
ProxyRules::UserSettings ReadUserSettings(UserProxySettings& settings)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& config = settings.config;
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        const DWORD error = GetLastError();
        LOG(ERROR) << "WinHttpGetIEProxyConfigForCurrentUser error: " << ErrorNumber(error);
        // What a failed call left in the structure is not ours to free.
        config = WINHTTP_CURRENT_USER_IE_PROXY_CONFIG{};
        return ProxyRules::UserSettings{};
    }
    LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.fAutoDetect "
              << static_cast<int>(config.fAutoDetect);
    LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszAutoConfigUrl "
              << FieldText(config.lpszAutoConfigUrl);
    LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszProxy "
              << FieldText(config.lpszProxy);
    LOG(INFO) << "WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszProxyBypass "
              << FieldText(config.lpszProxyBypass);
    return ProxyRules::UserSettings{true, config.fAutoDetect != FALSE, config.lpszAutoConfigUrl,
                                    config.lpszProxy, config.lpszProxyBypass};
}

WINHTTP_AUTOPROXY_OPTIONS AutomaticOptions(const ProxyRules::Plan& plan)
{
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (plan.lookup == ProxyRules::Lookup::Off) {
        return options;
    }
    if (plan.lookup == ProxyRules::Lookup::ByScript) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = plan.scriptUrl;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    return options;
}

HINTERNET OpenSession(const ProxyRules::Plan& plan)
{
    DWORD access = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    if (plan.access == ProxyRules::SessionAccess::NamedProxy) {
        access = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    } else if (plan.access == ProxyRules::SessionAccess::NoProxy) {
        access = WINHTTP_ACCESS_TYPE_NO_PROXY;
    }
    return WinHttpOpen(kUserAgent, access, plan.proxyName, plan.proxyBypass, 0);
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

// How a route ended: no request could be set up on it, or one was carried
// out, possibly ended by the cancel flag.
enum class Outcome { NotSetUp, Carried, Cancelled };

Outcome Perform(DownloadRun& run, HINTERNET request)
{
    PerformRequest(run, request);
    return IsCancelled(run.cancel) ? Outcome::Cancelled : Outcome::Carried;
}

// The direct route: the session as the user's settings opened it. `error`
// receives why the request could not be set up.
Outcome TryDirect(DownloadRun& run, AttemptHandles& handles, DWORD& error)
{
    const DownloadOptions& options = run.options;
    handles.connection.reset(WinHttpConnect(
        handles.session.get(),
        options.refuseDirectConnectForTesting ? nullptr : options.server.c_str(), options.port, 0));
    if (handles.connection) {
        handles.request.reset(OpenRequest(handles.connection.get(), *run.target));
    }
    if (!handles.request || !SetTimeouts(handles.request.get(), options)) {
        error = GetLastError();
        return Outcome::NotSetUp;
    }
    return Perform(run, handles.request.get());
}

void LookUpOnce(ProxyLookup& lookup, HINTERNET session)
{
    if (lookup.done) {
        return;
    }
    lookup.done = true;
    LOG(INFO) << "auto detecting proxy...";
    lookup.proxyFound = WinHttpGetProxyForUrl(session, lookup.address.c_str(), &lookup.options,
                                              &lookup.found.info) != FALSE;
    lookup.error = GetLastError();
    LOG(INFO) << "auto detecting proxy result: " << (lookup.proxyFound ? 1 : 0);
}

// The route through the automatically found proxy, set on the session. The
// connection and the request of a direct route that got that far are used.
Outcome TryFoundProxy(DownloadRun& run, AttemptHandles& handles, DWORD& error)
{
    WINHTTP_PROXY_INFO& info = run.lookup.found.info;
    LOG(INFO) << "WinHttpGetProxyForUrl autoProxyInfo.dwAccessType "
              << ErrorNumber(info.dwAccessType);
    LOG(INFO) << "WinHttpGetProxyForUrl autoProxyInfo.lpszProxy " << FieldText(info.lpszProxy);
    LOG(INFO) << "WinHttpGetProxyForUrl autoProxyInfo.lpszProxyBypass "
              << FieldText(info.lpszProxyBypass);
    const DownloadOptions& options = run.options;
    bool ready =
        WinHttpSetOption(handles.session.get(), WINHTTP_OPTION_PROXY, &info, sizeof(info)) != FALSE;
    if (ready && !handles.connection) {
        handles.connection.reset(
            WinHttpConnect(handles.session.get(), options.server.c_str(), options.port, 0));
        ready = handles.connection.valid();
    }
    if (ready && !handles.request) {
        handles.request.reset(OpenRequest(handles.connection.get(), *run.target));
        ready = handles.request.valid();
    }
    if (ready) {
        ready = SetTimeouts(handles.request.get(), options);
    }
    if (!ready) {
        error = GetLastError();
        return Outcome::NotSetUp;
    }
    return Perform(run, handles.request.get());
}

// The route that the plan and the look-up leave once the direct request
// could not be set up, or in place of it.
Outcome TryFallback(DownloadRun& run, AttemptHandles& handles, DWORD& error)
{
    if (run.plan.lookup != ProxyRules::Lookup::Off) {
        LookUpOnce(run.lookup, handles.session.get());
    }
    const ProxyRules::Fallback fallback = ProxyRules::FallbackFor(run.plan, run.lookup.proxyFound);
    if (fallback.reportLookupFailure) {
        // A look-up that failed is not repeated; every attempt that needed
        // it reports why it failed.
        LOG(ERROR) << "WinHttpGetProxyForUrl LastError " << ErrorNumber(run.lookup.error);
        error = run.lookup.error;
    }
    switch (fallback.route) {
    case ProxyRules::Route::FoundProxy:
        return TryFoundProxy(run, handles, error);
    case ProxyRules::Route::Direct:
        if (IsCancelled(run.cancel)) {
            return Outcome::NotSetUp;
        }
        LOG(INFO) << fallback.note;
        return TryDirect(run, handles, error);
    case ProxyRules::Route::None:
        break;
    }
    return Outcome::NotSetUp;
}

// One pass of the range loop: a new session, then the routes the plan
// allows until one carries the request. False when the cancel flag ended
// the download.
bool RunAttempt(DownloadRun& run)
{
    AttemptHandles handles(run.calls, OpenSession(run.plan));
    if (!handles.session) {
        RaiseFailure("WinHttpOpen");
    }
    // The error of whatever kept this attempt from setting up a request,
    // taken before anything else can overwrite it.
    DWORD error = GetLastError();
    Outcome outcome = Outcome::NotSetUp;
    if (!run.plan.proxyOnly) {
        outcome = TryDirect(run, handles, error);
        if (outcome == Outcome::NotSetUp) {
            LOG(INFO) << "direct http request failed, checking for proxy...";
        }
    }
    if (outcome == Outcome::NotSetUp) {
        outcome = TryFallback(run, handles, error);
    }
    if (outcome != Outcome::NotSetUp) {
        return outcome == Outcome::Carried;
    }
    handles.request.reset();
    handles.connection.reset();
    handles.session.reset();
    if (IsCancelled(run.cancel)) {
        return false;
    }
    LOG(ERROR) << "Sending WinHttpRequest error: " << ErrorNumber(error);
    throw MessageError("Sending WinHttpRequest failed", error);
}

// The length request when the length is unknown, then range after range
// until every part asked for is in or the cancel flag ends the download.
void FetchRanges(DownloadRun& run)
{
    const Transfer& transfer = run.transfer;
    while (transfer.totalLength == -1 || transfer.current < transfer.ranges.size()) {
        if (!RunAttempt(run)) {
            return;
        }
    }
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
    const ProxyRules::Plan plan = ProxyRules::PlanFor(ReadUserSettings(settings), proxyOnly);
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
    FetchRanges(run);

    if (ownFile) {
        ownFile->Close(IsCancelled(cancel));
    }
    return packagePath;
}