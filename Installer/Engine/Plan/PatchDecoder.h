#pragma once

// Rebuilds a member from the file the drive already holds and the vendor's
// binary patch of it (a zstd frame made with the old file as its prefix).
// The decoder holds the whole old file and the whole result at once, so
// both are bounded: a 32-bit process must keep room for the rest of the
// run beside them. Pure: bytes in, bytes out.

#include <cstdint>
#include <string>

namespace PatchDecoder {

// The largest old file, and the largest result, a patch is decoded for:
// 128 MiB each leaves well over a gigabyte of a 32-bit process's address
// space to the download, the zip layer and the hashing. A patch made for a
// file under this bound never asks for a window above 2^28.
constexpr uint64_t kMaxFileBytes = 128ull * 1024 * 1024;
constexpr unsigned kMaxWindowLog = 28;

// Whether a patch from an old file of `oldSize` to a result of `newSize`
// bytes is within the decoder's bound.
bool WithinBound(uint64_t oldSize, uint64_t newSize);

struct Decoded {
    bool ok = false;
    std::string bytes;
    // Why not, in words for the log.
    std::string problem;
};

// Decodes `patch` against `old`. The result must be exactly `newSize`
// bytes; anything else (a damaged frame, a frame for another size, more
// than one frame, a window beyond the bound) is a problem, never a guess.
Decoded Apply(const std::string& old, const std::string& patch, uint64_t newSize);

}  // namespace PatchDecoder
