#include "ZipArchive.h"

// The extraction layer is not part of this build yet: no archive can be
// opened, which the pipeline reports as a failed extraction.
HZIP OpenZipFile(const wchar_t*)
{
    return nullptr;
}

ZipStatus GetZipItem(HZIP, int, ZipItem*)
{
    return ZipBadArgument;
}

ZipStatus UnzipItem(HZIP, int, const wchar_t*)
{
    return ZipBadArgument;
}

ZipStatus CloseZipFile(HZIP)
{
    return ZipBadArgument;
}
