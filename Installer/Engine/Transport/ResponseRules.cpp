#include "ResponseRules.h"

namespace ResponseRules {
namespace {

// Decimal digits from `at` on, as a number that must not pass 2^63; the
// position after the last digit is left in `at`.
std::optional<uint64_t> ReadNumber(const std::string& text, size_t& at)
{
    const size_t start = at;
    uint64_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (value > (UINT64_MAX / 2) / 10) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(text[at] - '0');
        ++at;
    }
    if (at == start) {
        return std::nullopt;
    }
    return value;
}

Verdict Refuse(std::string problem)
{
    Verdict verdict;
    verdict.problem = std::move(problem);
    return verdict;
}

Verdict Accept(uint64_t bodyBytes)
{
    Verdict verdict;
    verdict.accepted = true;
    verdict.bodyBytes = bodyBytes;
    return verdict;
}

std::string Number(uint64_t value)
{
    return std::to_string(value);
}

// A Content-Length that is there must announce exactly the bytes expected;
// one that is not leaves the count to the body itself.
std::optional<std::string> LengthProblem(const ResponseHead& head, uint64_t expected)
{
    if (!head.contentLength) {
        return std::nullopt;
    }
    const std::optional<uint64_t> length = ParseContentLength(*head.contentLength);
    if (!length) {
        return "Content-Length \"" + *head.contentLength + "\" is not a number";
    }
    if (*length != expected) {
        return "Content-Length " + Number(*length) + " is not the " + Number(expected) +
               " bytes asked for";
    }
    return std::nullopt;
}

}  // namespace

std::optional<ContentRange> ParseContentRange(const std::string& value)
{
    const std::string unit = "bytes ";
    if (value.compare(0, unit.size(), unit) != 0) {
        return std::nullopt;
    }
    size_t at = unit.size();
    ContentRange range;
    const std::optional<uint64_t> first = ReadNumber(value, at);
    if (!first || at >= value.size() || value[at] != '-') {
        return std::nullopt;
    }
    ++at;
    const std::optional<uint64_t> last = ReadNumber(value, at);
    if (!last || *last < *first || at >= value.size() || value[at] != '/') {
        return std::nullopt;
    }
    ++at;
    range.first = *first;
    range.last = *last;
    if (value.compare(at, std::string::npos, "*") == 0) {
        return range;
    }
    range.total = ReadNumber(value, at);
    if (!range.total || at != value.size() || *range.total <= range.last) {
        return std::nullopt;
    }
    return range;
}

std::optional<uint64_t> ParseContentLength(const std::string& value)
{
    size_t at = 0;
    const std::optional<uint64_t> length = ReadNumber(value, at);
    if (!length || at != value.size()) {
        return std::nullopt;
    }
    return length;
}

Verdict CheckLengthResponse(const ResponseHead& head)
{
    if (head.status != 200) {
        return Refuse("status " + Number(head.status) + " instead of 200");
    }
    return Accept(0);
}

Verdict CheckRangeResponse(const ResponseHead& head, uint32_t first, uint32_t last, uint32_t total)
{
    const uint64_t asked = static_cast<uint64_t>(last) - first + 1;
    if (head.status == 200) {
        // The whole package: that is the range only when the range was the
        // whole package.
        if (first != 0 || static_cast<uint64_t>(last) + 1 != total) {
            return Refuse("status 200 (the whole package) for a part of it");
        }
        if (const std::optional<std::string> problem = LengthProblem(head, total)) {
            return Refuse(*problem);
        }
        return Accept(total);
    }
    if (head.status != 206) {
        return Refuse("status " + Number(head.status) + " instead of 206");
    }
    if (!head.contentRange) {
        return Refuse("no Content-Range");
    }
    const std::optional<ContentRange> range = ParseContentRange(*head.contentRange);
    if (!range) {
        return Refuse("Content-Range \"" + *head.contentRange + "\" cannot be read");
    }
    if (range->first != first) {
        return Refuse("Content-Range starts at " + Number(range->first) + ", not at " +
                      Number(first));
    }
    if (range->last != last) {
        return Refuse("Content-Range ends at " + Number(range->last) + ", not at " + Number(last));
    }
    if (range->total && *range->total != total) {
        return Refuse("Content-Range gives the package " + Number(*range->total) +
                      " bytes, not " + Number(total));
    }
    if (const std::optional<std::string> problem = LengthProblem(head, asked)) {
        return Refuse(*problem);
    }
    return Accept(asked);
}

}  // namespace ResponseRules
