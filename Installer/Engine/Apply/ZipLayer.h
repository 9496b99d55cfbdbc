#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "ZipArchive.h"

namespace Extraction {

// The zip layer's calls that the extraction makes. The shipped program uses
// the layer's own; tests put stand-ins here to reach every branch.
struct ZipLayer {
    HZIP (*open)(const wchar_t* path);
    ZipStatus (*getItem)(HZIP zip, int index, ZipItem* item);
    ZipStatus (*unzipItem)(HZIP zip, int index, const wchar_t* name);
    ZipStatus (*close)(HZIP zip);
    // Why the last item call failed, for the log; may be null.
    ZipFailure (*describeFailure)(HZIP zip);
    // All or nothing. With these null, every member lands on its own.
    ZipStatus (*beginStaging)(HZIP zip, const wchar_t* journalPath);
    ZipStatus (*commit)(HZIP zip);
    ZipStatus (*stagingBytes)(HZIP zip, uint32_t clusterBytes, uint64_t* bytes);
    bool (*recover)(const wchar_t* journalPath);
    // Every member's data is checked on its way to the drive, and the
    // version record is committed with the members. Null in stand-ins
    // that write nothing real.
    ZipStatus (*setMemberCheck)(HZIP zip, IZipMemberCheck* check);
    ZipStatus (*stageFile)(HZIP zip, const wchar_t* name, const void* bytes, uint32_t count);
    // What the installed version put on the drive and the new one no longer
    // ships goes in the same commit; null in stand-ins.
    ZipStatus (*removeOnCommit)(HZIP zip, const wchar_t* name);
    // Told of files another program held; null in stand-ins.
    ZipStatus (*setWaitListener)(HZIP zip, IZipWaitListener* listener);
};

// Closes the archive on every way out of the extraction.
class OpenArchive {
public:
    OpenArchive(const ZipLayer& zip, HZIP handle) : m_zip(zip), m_handle(handle) {}
    ~OpenArchive()
    {
        if (m_handle != nullptr) {
            m_zip.close(m_handle);
        }
    }
    OpenArchive(const OpenArchive&) = delete;
    OpenArchive& operator=(const OpenArchive&) = delete;
    HZIP get() const { return m_handle; }

private:
    const ZipLayer& m_zip;
    HZIP m_handle;
};

// One error line for a failed item call: which member, the zip status and
// why, with the error number; returns that number.
DWORD ExplainZipFailure(const ZipLayer& zip, HZIP handle, ZipStatus status, const std::string& what);

// How many entries the archive's directory lists.
int CountEntries(const ZipLayer& zip, HZIP handle);

}  // namespace Extraction
