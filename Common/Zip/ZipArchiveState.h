#pragma once

// The object behind an archive handle. Each source file of the layer takes
// one concern of it (reading the file, describing a member, writing one,
// staging and the journal, failures, the public calls); this header is where
// they meet, and nothing outside the layer includes it.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ScopedHandles.h"
#include "ZipArchive.h"
#include "ZipBusyRetry.h"
#include "ZipJournalFile.h"
#include "ZipReadWindows.h"
#include "ZipRules.h"
#include "ZipWidePaths.h"
#include "unzip.h"
// iowin32.h relies on the declarations that unzip.h brings in.
#include "iowin32.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "paths are UTF-16 on this platform");
static_assert(sizeof(ZipItem::name) / sizeof(wchar_t) == ZipRules::kMaxPath,
              "the item's name buffer is the layer's path limit");

namespace ZipLayer {

// What the layer remembers of a described member: the item itself and the
// few header fields that extracting it needs again.
struct Member {
    ZipItem item;
    uint32_t flags;
    uint32_t crc;
    uint32_t dosDateTime;
};

// Closes the member that the reader has open, on every way out.
class OpenMember {
public:
    explicit OpenMember(unzFile reader) : m_reader(reader) {}
    ~OpenMember() { Close(); }
    OpenMember(const OpenMember&) = delete;
    OpenMember& operator=(const OpenMember&) = delete;
    int Close()
    {
        if (m_reader == nullptr) {
            return UNZ_OK;
        }
        const int result = unzCloseCurrentFile(m_reader);
        m_reader = nullptr;
        return result;
    }

private:
    unzFile m_reader;
};

// The extraction root from the process's current directory; empty when it
// does not fit the layer's path buffer.
std::u16string ReadExtractionRoot();

// Numbers for temporary names beside a destination.
uint16_t NextTemporaryNumber();

}  // namespace ZipLayer

struct ZipArchive {
    zlib_filefunc64_def platformIo{};
    ZipLayer::WindowedFile file;
    zlib_filefunc64_def io{};
    IZipIoObserverForTesting* observer = nullptr;
    IZipMemberCheck* memberCheck = nullptr;
    unzFile reader = nullptr;
    int32_t count = 0;
    // Members counted from 0 in directory order; -1 after a step that
    // failed, so that the next positioning starts again from the first.
    int32_t position = -1;
    std::u16string root;
    int32_t cachedIndex = -1;
    ZipLayer::Member cached{};
    std::unique_ptr<uint8_t[]> buffer;
    ZipFailure failure{};
    // A whole, verified member waiting in its temporary file.
    struct Staged {
        std::u16string temporary;
        std::u16string destination;
        DWORD attributes;
        uint64_t bytes;
    };
    bool staging = false;
    std::vector<Staged> staged;
    // Full paths of what the commit removes; a folder ends in a separator.
    std::vector<std::u16string> obsolete;
    ZipLayer::Journal journal;
    ZipLayer::BusyRetry retry;

    ~ZipArchive()
    {
        if (reader != nullptr) {
            unzClose(reader);
        }
    }

    // Reading the archive file (ZipArchiveIo.cpp). False when `path` is no
    // archive the layer can read.
    bool OpenReader(const wchar_t* path);

    // Describing members (ZipMemberDescription.cpp).
    ZipStatus PositionAt(int32_t index);
    ZipStatus Describe(int32_t index, ZipLayer::Member* member);

    // Where a member lands (ZipExtraction.cpp).
    ZipStatus Unzip(int index, const wchar_t* name);
    void MakeFolders(const std::u16string* base, const std::u16string& directory);

    // Writing a file member (ZipTemporaryWriter.cpp).
    ZipStatus WriteFileMember(const ZipLayer::Member& member, const std::u16string& path);
    ZipStatus WriteCallerFile(const std::u16string& path, const void* bytes, uint32_t count);

    // Staging and committing (ZipStaging.cpp).
    ZipStatus Stage(const Staged& member);
    ZipStatus Commit();
    // Takes back whatever was staged or moved since the last commit.
    void Rollback();
    ZipStatus StagingBytes(uint32_t clusterBytes, uint64_t* bytes);

    // Failures (ZipFailure.cpp). Records why the call fails; an error
    // number of 0 takes the cause's own.
    ZipStatus Fail(ZipStatus status, ZipFailureCause cause, DWORD error = 0);
    void ClearFailure() { failure = ZipFailure{}; }
    void NameFailure(const wchar_t* name);
};
