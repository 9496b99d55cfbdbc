#include "RangeLoop.h"

#include <algorithm>
#include <vector>

#include "CancelFlag.h"
#include "ProxyRoutes.h"
#include "RangeIgnored.h"
#include "ResponseHead.h"

namespace DownloadDetail {

using namespace DownloadConstants;

namespace {

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
        throw PackageRefusal("the server's package is " + std::to_string(*range->total) +
                             " bytes long, the signed size is " + std::to_string(*run.target->size));
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
            throw TransportFailure(std::string(end.brokenBy) + " failed", end.breakError);
        }
        LOG(ERROR) << "Incomplete HTTP response to " << answer.asked << ": " << end.bytes << " of "
                   << answer.bodyBytes << " bytes";
        throw TransportFailure("Incomplete HTTP response", ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
    }
    if (++transfer.resumes > kMaxResumes) {
        LOG(ERROR) << "Incomplete HTTP response to " << answer.asked << ": " << end.bytes << " of "
                   << answer.bodyBytes << " bytes, and " << kMaxResumes
                   << " resumes in this download already";
        throw TransportFailure("Incomplete HTTP response", ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
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

}  // namespace

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

}  // namespace DownloadDetail
