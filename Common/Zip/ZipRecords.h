#pragma once

// The zip format's fixed records as they lie in a file: signatures, sizes
// and where each field sits, read little-endian. The zip layer reads its
// own records through these, and so does whoever reads a directory without
// opening the archive (the delta plan, from the signed tail).

#include <cstddef>
#include <cstdint>

namespace ZipRecords {

inline uint32_t Read16(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8);
}

inline uint32_t Read32(const uint8_t* bytes)
{
    return Read16(bytes) | (Read16(bytes + 2) << 16);
}

// General purpose flag: the name (and comment) are UTF-8.
constexpr uint16_t kUtf8NameFlag = 0x0800;
// A size or offset that does not fit and lies in the zip64 extra field.
constexpr uint32_t kZip64Marker = 0xFFFFFFFF;

// A central directory entry, followed by its name, extra field and comment.
namespace DirectoryEntry {
constexpr uint32_t kSignature = 0x02014b50;
constexpr size_t kBytes = 46;
constexpr size_t kFlags = 8;
constexpr size_t kCompressedSize = 20;
constexpr size_t kUncompressedSize = 24;
constexpr size_t kNameLength = 28;
constexpr size_t kExtraLength = 30;
constexpr size_t kCommentLength = 32;
constexpr size_t kLocalHeaderOffset = 42;
}  // namespace DirectoryEntry

// The end of central directory record, followed by the archive's comment.
namespace EndRecord {
constexpr uint32_t kSignature = 0x06054b50;
constexpr size_t kBytes = 22;
constexpr size_t kThisDisk = 4;
constexpr size_t kDirectoryDisk = 6;
constexpr size_t kEntriesOnDisk = 8;
constexpr size_t kEntries = 10;
constexpr size_t kDirectorySize = 12;
constexpr size_t kDirectoryOffset = 16;
constexpr size_t kCommentLength = 20;
}  // namespace EndRecord

// The zip64 end record's locator, right before the end record.
namespace Zip64Locator {
constexpr uint32_t kSignature = 0x07064b50;
constexpr size_t kBytes = 20;
}  // namespace Zip64Locator

}  // namespace ZipRecords
