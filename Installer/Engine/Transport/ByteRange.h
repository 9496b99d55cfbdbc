#pragma once

#include <cstdint>

// Bytes first..last of a file, both included: the form of an HTTP range.
struct ByteRange {
    uint64_t first = 0;
    uint64_t last = 0;

    uint64_t Size() const { return last - first + 1; }
    bool operator==(const ByteRange& other) const { return first == other.first && last == other.last; }
};
