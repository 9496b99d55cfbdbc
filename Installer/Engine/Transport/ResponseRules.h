#pragma once

// What the download accepts from the update server, decided on the header
// values alone so that every rule can be checked without a network. No
// platform header: these are plain numbers and strings.

#include <cstdint>
#include <optional>
#include <string>

namespace ResponseRules {

// "bytes first-last/total" of a Content-Range header; total is empty for "*".
struct ContentRange {
    uint64_t first = 0;
    uint64_t last = 0;
    std::optional<uint64_t> total;
};
std::optional<ContentRange> ParseContentRange(const std::string& value);

// A Content-Length header value: decimal digits only, nothing else.
std::optional<uint64_t> ParseContentLength(const std::string& value);

// The parts of a response head the rules look at; an absent header is empty.
struct ResponseHead {
    uint32_t status = 0;
    std::optional<std::string> contentRange;
    std::optional<std::string> contentLength;
};

// The verdict on a response: whether its body may join the package and,
// if so, how many bytes that body must have; otherwise what was wrong.
struct Verdict {
    bool accepted = false;
    uint64_t bodyBytes = 0;
    std::string problem;
};

// The answer to the length request (no Range header): the whole package.
Verdict CheckLengthResponse(const ResponseHead& head);

// The answer to "Range: bytes=first-last" of a package of `total` bytes. A
// 206 must name exactly that range; a 200 (the whole package) is taken only
// when the range asked for was the whole package.
Verdict CheckRangeResponse(const ResponseHead& head, uint32_t first, uint32_t last, uint32_t total);

}  // namespace ResponseRules
