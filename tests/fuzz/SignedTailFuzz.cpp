// The package's tail (its central directory and end records), read to plan
// which ranges to fetch before it is checked against its signed hash; the
// first eight bytes of the input are where the tail starts.
#include <cstring>

#include "DeltaPlan.h"
#include "FuzzRequire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8) {
        return 0;
    }
    uint64_t offset = 0;
    std::memcpy(&offset, data, sizeof(offset));
    offset &= 0x7FFFFFFFull;
    const std::string tail = AsText(data + 8, size - 8);
    const DeltaPlan::Directory directory = DeltaPlan::ReadDirectory(tail, offset);
    if (!directory.problem.empty()) {
        Require(directory.entries.empty());
        return 0;
    }
    const std::vector<ByteRange> spans = DeltaPlan::MemberSpans(directory, offset);
    Require(spans.empty() || spans.size() == directory.entries.size());
    for (const ByteRange& span : spans) {
        Require(span.first <= span.last && span.last < offset);
    }
    // Every entry fetched, less nothing kept: the requests cover each span
    // and none goes past the tail or is longer than a request may be.
    std::vector<size_t> index(directory.entries.size());
    for (size_t i = 0; i < index.size(); ++i) {
        index[i] = i;
    }
    const std::vector<bool> onDrive(index.size(), false);
    const DeltaPlan::Plan plan = DeltaPlan::PlanMembers(directory, offset, index, onDrive, {});
    uint64_t fetched = 0;
    for (const ByteRange& request : plan.requests) {
        Require(request.first <= request.last && request.last < offset);
        Require(request.Size() <= DeltaPlan::kMaxRequest);
        fetched += request.Size();
    }
    Require(fetched == plan.fetchBytes);
    return 0;
}
