#pragma once

// A small file of our own (a manifest, a version record) read whole. One
// larger than the limit is no file of ours, and is not read into memory.

#include <cstdint>
#include <string>

namespace NCommon {

enum class SmallFileRead { Read, CannotOpen, CannotRead, TooLarge };

SmallFileRead ReadSmallFile(const std::wstring& path, uint32_t limit, std::string& bytes);

// The size of a file, for a log line; 0 when it cannot be read.
uint64_t FileSizeOf(const std::wstring& path);

}  // namespace NCommon
