#pragma once

#include <windows.h>

#include <cstdint>

// Status of every operation of the extraction layer.
enum ZipStatus : uint32_t {
    ZipOk = 0,
    ZipCannotOpen = 0x200,
    ZipWriteFailed = 0x400,
    ZipCorrupt = 0x700,
    ZipReadFailed = 0x800,
    ZipPasswordMismatch = 0x1000,
    ZipBadArgument = 0x10000,
    ZipInflateFailed = 0x5000000,
};

// One member of an archive as GetZipItem describes it. For the count request
// (index -1) `index` holds the number of members and everything else is 0.
struct ZipItem {
    int32_t index;
    wchar_t name[MAX_PATH];  // cleaned name, separators as stored
    DWORD attributes;        // FILE_ATTRIBUTE_* bits
    FILETIME accessTime;
    FILETIME creationTime;
    FILETIME modificationTime;
    uint32_t compressedSize;
    uint32_t uncompressedSize;
};

struct ZipArchive;
using HZIP = ZipArchive*;

// Opens the archive at `path`. The extraction root is the process's current
// directory at this moment. Returns null on any failure.
HZIP OpenZipFile(const wchar_t* path);

// index -1: the member count; 0..count-1: that member.
ZipStatus GetZipItem(HZIP zip, int index, ZipItem* item);

// Writes member `index` under `name` (relative to the root, or a full path).
ZipStatus UnzipItem(HZIP zip, int index, const wchar_t* name);

ZipStatus CloseZipFile(HZIP zip);

// Sees every seek and read the directory reader makes on an open archive's
// file. Nothing in the product watches; tests use it to show which parts of
// the file each call touches (the cache and the forward walk exist to spare
// those reads).
class IZipIoObserver {
public:
    virtual ~IZipIoObserver() = default;
    // `position` is where the file pointer stands after the seek.
    virtual void OnSeek(uint64_t position) = 0;
    virtual void OnRead(uint64_t position, uint32_t bytes) = 0;
};

// Null stops watching. A null handle gives ZipBadArgument.
ZipStatus SetZipIoObserver(HZIP zip, IZipIoObserver* observer);
