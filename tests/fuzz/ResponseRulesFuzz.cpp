// The update server's response head: status, Content-Range and
// Content-Length as they came, and the range that was asked for.
#include <cstring>

#include "FuzzRequire.h"
#include "ResponseRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 14) {
        return 0;
    }
    uint32_t numbers[3];
    std::memcpy(numbers, data, sizeof(numbers));
    const uint32_t total = numbers[2];
    const uint32_t first = total == 0 ? 0 : numbers[0] % total;
    const uint32_t last = total == 0 ? 0 : first + (numbers[1] % (total - first));
    const uint16_t status = static_cast<uint16_t>(data[12] | (data[13] << 8)) % 600;
    const std::string rest = AsText(data + 14, size - 14);
    const size_t split = rest.find('\n');
    ResponseRules::ResponseHead head;
    head.status = status;
    if (split != std::string::npos) {
        head.contentRange = rest.substr(0, split);
        head.contentLength = rest.substr(split + 1);
    } else if (!rest.empty()) {
        head.contentLength = rest;
    }

    const std::optional<ResponseRules::ContentRange> range = ResponseRules::ParseContentRange(rest);
    if (range) {
        Require(range->first <= range->last);
        Require(!range->total || range->last < *range->total);
    }
    ResponseRules::ParseContentLength(rest);

    const ResponseRules::Verdict whole = ResponseRules::CheckLengthResponse(head);
    Require(whole.accepted == whole.problem.empty());
    if (total == 0) {
        return 0;
    }
    const ResponseRules::Verdict part = ResponseRules::CheckRangeResponse(head, first, last, total);
    Require(part.accepted == part.problem.empty());
    if (part.accepted) {
        // A body that joins the package is exactly the range asked for.
        Require(part.bodyBytes == static_cast<uint64_t>(last) - first + 1);
    }
    return 0;
}
