#pragma once

// What every fuzz target checks besides the sanitizers: a property that
// does not hold ends the run as a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

inline void RequireAt(bool condition, const char* what, int line)
{
    if (!condition) {
        std::fprintf(stderr, "property broken at line %d: %s\n", line, what);
        std::abort();
    }
}
#define Require(condition) RequireAt((condition), #condition, __LINE__)

inline std::string AsText(const uint8_t* data, size_t size)
{
    return std::string(reinterpret_cast<const char*>(data), size);
}
