#include "ResponseHead.h"

#include <climits>

namespace DownloadDetail {

std::optional<std::string> HeaderText(HINTERNET request, DWORD query, DWORD* error)
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
    throw TransportFailure("Unexpected HTTP response", ERROR_WINHTTP_INVALID_SERVER_RESPONSE, problem);
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
    throw TransportFailure("WinHttpQueryHeaders failed: " + std::to_string(ErrorNumber(error)), error);
}

}  // namespace DownloadDetail
