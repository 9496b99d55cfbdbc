#include "ZipArchive.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ScopedHandles.h"
#include "ZipRules.h"
#include "unzip.h"
// iowin32.h relies on the declarations that unzip.h brings in.
#include "iowin32.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "paths are UTF-16 on this platform");
static_assert(sizeof(ZipItem::name) / sizeof(wchar_t) == ZipRules::kMaxPath,
              "the item's name buffer is the layer's path limit");

namespace {

const wchar_t* AsWide(const std::u16string& text)
{
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::u16string AsU16(const wchar_t* text)
{
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

FILETIME ToFileTime(ZipRules::FileTime value)
{
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

bool IsZero(const FILETIME& time)
{
    return time.dwLowDateTime == 0 && time.dwHighDateTime == 0;
}

// The DOS time is local time of the machine that made the archive; it is
// read as local time here. A date that is no calendar date has no sound
// time at all, so such a member gets none: its times stay 0 and the file
// keeps the moment it was written (a "UT" block may still supply some).
FILETIME DosTimeToUtc(uint32_t dosDateTime)
{
    FILETIME none{};
    const std::optional<ZipRules::CalendarTime> calendar = ZipRules::DecodeDosDateTime(dosDateTime);
    if (!calendar) {
        return none;
    }
    SYSTEMTIME system{};
    system.wYear = static_cast<WORD>(calendar->year);
    system.wMonth = static_cast<WORD>(calendar->month);
    system.wDay = static_cast<WORD>(calendar->day);
    system.wHour = static_cast<WORD>(calendar->hour);
    system.wMinute = static_cast<WORD>(calendar->minute);
    system.wSecond = static_cast<WORD>(calendar->second);
    FILETIME local;
    FILETIME utc;
    if (!SystemTimeToFileTime(&system, &local) || !LocalFileTimeToFileTime(&local, &utc)) {
        return none;
    }
    return utc;
}

bool PathExists(const std::u16string& path)
{
    return GetFileAttributesW(AsWide(path)) != INVALID_FILE_ATTRIBUTES;
}

// The platform makes a folder by its usual name only while 12 characters
// stay free for a file inside it; a longer one is made by its extended name.
// Returns the name it was made by, or empty when it was not made.
std::u16string CreateFolder(const std::u16string& path)
{
    constexpr size_t kMaxFolder = ZipRules::kMaxPath - 12;
    std::u16string name = path;
    while (name.size() > 3 && (name.back() == u'\\' || name.back() == u'/')) {
        name.pop_back();
    }
    if (name.size() >= kMaxFolder) {
        const std::u16string extended = ZipRules::ExtendedLengthForm(name);
        if (!extended.empty()) {
            name = extended;
        }
    }
    return CreateDirectoryW(AsWide(name), nullptr) ? name : std::u16string();
}

// Folders are made from the top down; a failure is not checked here, it
// shows when the output file cannot be created. `made` hears of every folder
// that this call created.
template <typename Made>
void EnsureDirectories(const std::u16string* root, const std::u16string& directory, Made made)
{
    const std::u16string base = root != nullptr ? *root : std::u16string();
    auto ensure = [&made](const std::u16string& path) {
        if (!PathExists(path)) {
            const std::u16string created = CreateFolder(path);
            if (!created.empty()) {
                made(created);
            }
        }
    };
    if (root != nullptr) {
        ensure(base);
    }
    for (const std::u16string& folder : ZipRules::DirectoriesTopDown(directory)) {
        ensure(base + folder);
    }
}

bool SamePath(const std::u16string& one, const std::u16string& other)
{
    auto normal = [](std::u16string path) {
        std::replace(path.begin(), path.end(), u'/', u'\\');
        return path;
    };
    const std::u16string a = normal(one);
    const std::u16string b = normal(other);
    return CompareStringOrdinal(AsWide(a), static_cast<int>(a.size()), AsWide(b), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// The file operations of the journal, on the real drive.
class DriveFiles : public ZipRules::IJournalFiles {
public:
    bool Exists(const std::u16string& path) override { return PathExists(path); }
    bool Delete(const std::u16string& path) override
    {
        SetFileAttributesW(AsWide(path), FILE_ATTRIBUTE_NORMAL);
        return DeleteFileW(AsWide(path)) != FALSE;
    }
    bool Rename(const std::u16string& from, const std::u16string& to) override
    {
        return MoveFileExW(AsWide(from), AsWide(to), 0) != FALSE;
    }
    bool RemoveFolder(const std::u16string& path) override { return RemoveDirectoryW(AsWide(path)) != FALSE; }
};

// The drive a journal's paths are on, by its root ("E:\\"); empty for
// paths without a drive letter.
std::u16string DriveRootOfPath(std::u16string path)
{
    static const std::u16string kExtended = u"\\\\?\\";
    if (path.compare(0, kExtended.size(), kExtended) == 0) {
        path.erase(0, kExtended.size());
    }
    if (path.size() >= 3 && path[1] == u':' && ZipRules::IsSeparator(path[2])) {
        return path.substr(0, 2) + u"\\";
    }
    return std::u16string();
}

// Settles a journal on the drive. A drive that cannot be reached (pulled)
// shows every file as absent, which would pass for settled: the journal is
// then kept for a run that finds the drive again.
bool SettleOnDrive(const std::vector<ZipRules::JournalEntry>& entries)
{
    for (const ZipRules::JournalEntry& entry : entries) {
        if (!entry.first.empty()) {
            const std::u16string root = DriveRootOfPath(entry.first);
            if (!root.empty() && !PathExists(root)) {
                return false;
            }
            break;
        }
    }
    DriveFiles files;
    return ZipRules::SettleJournal(entries, files);
}

// The journal of one archive: the steps in memory and, while staging, in a
// file in the work folder. Each step reaches the file before the step is
// taken; what is in the system's cache survives a killed process.
class Journal {
public:
    Journal() = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    bool Open(const std::u16string& path)
    {
        m_file.reset(CreateFileW(AsWide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!m_file.valid()) {
            return false;
        }
        m_path = path;
        return true;
    }

    bool Record(const ZipRules::JournalEntry& entry)
    {
        entries.push_back(entry);
        if (!m_file.valid()) {
            return true;
        }
        const std::u16string line = ZipRules::FormatJournalEntry(entry);
        const DWORD bytes = static_cast<DWORD>(line.size() * sizeof(char16_t));
        DWORD written = 0;
        return WriteFile(m_file.get(), line.data(), bytes, &written, nullptr) && written == bytes;
    }

    // Before the moves begin, and once they are all done, the steps so far
    // are pushed through to the disk, so that a power cut is covered too.
    void Flush()
    {
        if (m_file.valid()) {
            FlushFileBuffers(m_file.get());
        }
    }

    // Everything recorded is settled: start afresh.
    void Clear()
    {
        entries.clear();
        if (m_file.valid()) {
            SetFilePointer(m_file.get(), 0, nullptr, FILE_BEGIN);
            SetEndOfFile(m_file.get());
        }
    }

    // The archive is closed: the file goes when nothing is left to settle,
    // and stays for the next run otherwise.
    void Close(bool settled)
    {
        m_file.reset();
        if (settled && !m_path.empty()) {
            DeleteFileW(AsWide(m_path));
        }
        m_path.clear();
        entries.clear();
    }

    std::vector<ZipRules::JournalEntry> entries;

private:
    NCommon::ScopedHandle m_file;
    std::u16string m_path;
};

// minizip takes an end record found at offset 0 for no end record at all,
// so an archive without members, which is nothing but that record, would
// not open; it is recognised here and opens with a count of 0.
bool IsEmptyArchive(const wchar_t* path)
{
    NCommon::ScopedHandle file(
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file.valid() || !GetFileSizeEx(file.get(), &size)) {
        return false;
    }
    uint8_t record[ZipRules::kEndRecordSize];
    DWORD got = 0;
    if (!ReadFile(file.get(), record, sizeof(record), &got, nullptr)) {
        return false;
    }
    return ZipRules::IsBareEmptyEndRecord(record, got, static_cast<uint64_t>(size.QuadPart));
}

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

// minizip reads each field of a header on its own, one to four bytes at a
// time: well over a hundred reads per member, each a system call under Wine,
// where together they cost about as much as inflating the data. The archive
// is therefore read through two small windows, one that follows the walk
// through the central directory and one that follows the members' local
// headers; a read as large as a window goes straight to the file. minizip's
// position is kept here, and the file is moved only when a read needs it.
class WindowedFile {
public:
    static constexpr uLong kWindowSize = 4096;

    void Attach(const zlib_filefunc64_def* platform, voidpf stream)
    {
        m_platform = platform;
        m_stream = stream;
        m_position = 0;
        m_filePosition = kUnknown;
        for (Window& window : m_windows) {
            window.length = 0;
        }
    }

    ZPOS64_T Tell() const { return m_position; }

    long Seek(ZPOS64_T offset, int origin)
    {
        switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET:
            m_position = offset;
            return 0;
        case ZLIB_FILEFUNC_SEEK_CUR:
            m_position += offset;
            return 0;
        case ZLIB_FILEFUNC_SEEK_END:
            if (m_platform->zseek64_file(m_platform->opaque, m_stream, offset, origin) != 0) {
                m_filePosition = kUnknown;
                return -1;
            }
            m_filePosition = m_platform->ztell64_file(m_platform->opaque, m_stream);
            m_position = m_filePosition;
            return 0;
        default:
            return -1;
        }
    }

    uLong Read(void* buffer, uLong size)
    {
        uint8_t* out = static_cast<uint8_t*>(buffer);
        uLong done = 0;
        while (done < size) {
            Window* window = Find(m_position);
            if (window == nullptr) {
                if (size - done >= kWindowSize) {
                    const uLong got = ReadAt(m_position, out + done, size - done);
                    m_position += got;
                    done += got;
                    break;
                }
                window = Refill(m_position);
                if (window == nullptr) {
                    break;
                }
            }
            const uLong offset = static_cast<uLong>(m_position - window->start);
            const uLong count = std::min(size - done, window->length - offset);
            std::memcpy(out + done, window->bytes + offset, count);
            m_position += count;
            done += count;
            window->lastUse = ++m_clock;
        }
        return done;
    }

private:
    static constexpr ZPOS64_T kUnknown = ~static_cast<ZPOS64_T>(0);

    struct Window {
        ZPOS64_T start = 0;
        uLong length = 0;
        unsigned lastUse = 0;
        uint8_t bytes[kWindowSize];
    };

    Window* Find(ZPOS64_T position)
    {
        for (Window& window : m_windows) {
            if (window.length > 0 && position >= window.start && position - window.start < window.length) {
                return &window;
            }
        }
        return nullptr;
    }

    Window* Refill(ZPOS64_T position)
    {
        Window* oldest = &m_windows[0];
        for (Window& window : m_windows) {
            if (window.lastUse < oldest->lastUse) {
                oldest = &window;
            }
        }
        oldest->start = position;
        oldest->length = ReadAt(position, oldest->bytes, kWindowSize);
        return oldest->length > 0 ? oldest : nullptr;
    }

    uLong ReadAt(ZPOS64_T position, void* buffer, uLong size)
    {
        if (position != m_filePosition &&
            m_platform->zseek64_file(m_platform->opaque, m_stream, position, ZLIB_FILEFUNC_SEEK_SET) != 0) {
            m_filePosition = kUnknown;
            return 0;
        }
        const uLong got = m_platform->zread_file(m_platform->opaque, m_stream, buffer, size);
        m_filePosition = position + got;
        return got;
    }

    const zlib_filefunc64_def* m_platform = nullptr;
    voidpf m_stream = nullptr;
    ZPOS64_T m_position = 0;
    ZPOS64_T m_filePosition = kUnknown;
    unsigned m_clock = 0;
    Window m_windows[2];
};

}  // namespace

struct ZipArchive {
    zlib_filefunc64_def platformIo{};
    WindowedFile file;
    zlib_filefunc64_def io{};
    IZipIoObserver* observer = nullptr;
    unzFile reader = nullptr;
    int32_t count = 0;
    // Members counted from 0 in directory order; -1 after a step that
    // failed, so that the next positioning starts again from the first.
    int32_t position = -1;
    std::u16string root;
    int32_t cachedIndex = -1;
    Member cached{};
    std::unique_ptr<uint8_t[]> buffer;
    ZipFailure failure{};
    // A whole, verified member waiting in its temporary file.
    struct Staged {
        std::u16string temporary;
        std::u16string destination;
        DWORD attributes;
    };
    bool staging = false;
    std::vector<Staged> staged;
    Journal journal;

    ~ZipArchive()
    {
        if (reader != nullptr) {
            unzClose(reader);
        }
    }

    ZipStatus PositionAt(int32_t index);
    ZipStatus Describe(int32_t index, Member* member);
    ZipStatus WriteFileMember(const Member& member, const std::u16string& path);
    ZipStatus Commit();
    // Takes back whatever was staged or moved since the last commit.
    void Rollback();
    void MakeFolders(const std::u16string* base, const std::u16string& directory)
    {
        EnsureDirectories(base, directory, [this](const std::u16string& made) {
            if (staging) {
                journal.Record({ZipRules::JournalStep::Folder, made, {}, {}});
            }
        });
    }

    // Records why the call fails; an error number of 0 takes the cause's own.
    ZipStatus Fail(ZipStatus status, ZipFailureCause cause, DWORD error = 0);
    void ClearFailure() { failure = ZipFailure{}; }
    void NameFailure(const wchar_t* name)
    {
        lstrcpynW(failure.name, name, static_cast<int>(ZipRules::kMaxPath));
    }
};

namespace {

// The reader's file functions: Windows' wide-character ones, read through
// the windows, where an observer can see every seek and read minizip makes.
ZipArchive* ArchiveOf(voidpf opaque)
{
    return static_cast<ZipArchive*>(opaque);
}

voidpf ZCALLBACK ObservedOpen(voidpf opaque, const void* filename, int mode)
{
    ZipArchive* archive = ArchiveOf(opaque);
    voidpf stream = archive->platformIo.zopen64_file(archive->platformIo.opaque, filename, mode);
    archive->file.Attach(&archive->platformIo, stream);
    return stream;
}

uLong ZCALLBACK ObservedRead(voidpf opaque, voidpf, void* buf, uLong size)
{
    ZipArchive* archive = ArchiveOf(opaque);
    if (archive->observer != nullptr) {
        archive->observer->OnRead(archive->file.Tell(), static_cast<uint32_t>(size));
    }
    return archive->file.Read(buf, size);
}

uLong ZCALLBACK ObservedWrite(voidpf opaque, voidpf stream, const void* buf, uLong size)
{
    ZipArchive* archive = ArchiveOf(opaque);
    return archive->platformIo.zwrite_file(archive->platformIo.opaque, stream, buf, size);
}

ZPOS64_T ZCALLBACK ObservedTell(voidpf opaque, voidpf)
{
    return ArchiveOf(opaque)->file.Tell();
}

long ZCALLBACK ObservedSeek(voidpf opaque, voidpf, ZPOS64_T offset, int origin)
{
    ZipArchive* archive = ArchiveOf(opaque);
    const long result = archive->file.Seek(offset, origin);
    if (archive->observer != nullptr) {
        archive->observer->OnSeek(archive->file.Tell());
    }
    return result;
}

int ZCALLBACK ObservedClose(voidpf opaque, voidpf stream)
{
    ZipArchive* archive = ArchiveOf(opaque);
    return archive->platformIo.zclose_file(archive->platformIo.opaque, stream);
}

int ZCALLBACK ObservedError(voidpf opaque, voidpf stream)
{
    ZipArchive* archive = ArchiveOf(opaque);
    return archive->platformIo.zerror_file(archive->platformIo.opaque, stream);
}

}  // namespace

// A directory entry that cannot be read leaves minizip unable to step on;
// that ends the walk with ZipCorrupt, never with another try.
ZipStatus ZipArchive::PositionAt(int32_t index)
{
    if (position < 0 || index < position) {
        if (unzGoToFirstFile(reader) != UNZ_OK) {
            position = -1;
            return Fail(ZipCorrupt, ZipFailureCause::DamagedDirectory);
        }
        position = 0;
    }
    while (position < index) {
        if (unzGoToNextFile(reader) != UNZ_OK) {
            position = -1;
            return Fail(ZipCorrupt, ZipFailureCause::DamagedDirectory);
        }
        ++position;
    }
    return ZipOk;
}

ZipStatus ZipArchive::Describe(int32_t index, Member* member)
{
    if (index == cachedIndex) {
        *member = cached;
        return ZipOk;
    }
    const ZipStatus positioned = PositionAt(index);
    if (positioned != ZipOk) {
        return positioned;
    }

    unz_file_info64 info{};
    char storedName[ZipRules::kMaxStoredName + 1] = {};
    if (unzGetCurrentFileInfo64(reader, &info, storedName, sizeof(storedName), nullptr, 0, nullptr,
                                0) != UNZ_OK) {
        return Fail(ZipCorrupt, ZipFailureCause::DamagedDirectory);
    }
    // A name longer than the layer's name buffer would have to be cut, and
    // a cut name is a different file: such a member is refused.
    if (info.size_filename > ZipRules::kMaxStoredName) {
        return Fail(ZipCorrupt, ZipFailureCause::PathTooLong);
    }
    // The stored bytes are UTF-8, whatever the language-encoding flag says.
    // A UTF-8 sequence never yields more UTF-16 code units than it has bytes,
    // so the decoded name fits the item's buffer.
    wchar_t decoded[ZipRules::kMaxPath] = {};
    const int storedLength = static_cast<int>(strnlen(storedName, info.size_filename));
    if (storedLength > 0 && MultiByteToWideChar(CP_UTF8, 0, storedName, storedLength, decoded,
                                                static_cast<int>(ZipRules::kMaxPath) - 1) == 0) {
        return Fail(ZipCorrupt, ZipFailureCause::UnsafeName);
    }
    // Whatever fails from here on, the log can say which member it was.
    NameFailure(decoded);
    // Sizes are 32-bit in this layer; members that need more are refused.
    if (info.compressed_size > 0xFFFFFFFFull || info.uncompressed_size > 0xFFFFFFFFull) {
        return Fail(ZipCorrupt, ZipFailureCause::UnsupportedMember);
    }
    // minizip also accepts bzip2 here; this layer inflates nothing but
    // deflate, and stored data needs no inflating.
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
        return Fail(ZipCorrupt, ZipFailureCause::UnsupportedMember);
    }

    // Opening the member raw makes minizip compare the local header with the
    // directory entry (signature, method, name length and, without a data
    // descriptor, CRC and sizes) and gives access to the local extra field.
    std::vector<uint8_t> extra;
    {
        if (unzOpenCurrentFile2(reader, nullptr, nullptr, 1) != UNZ_OK) {
            return Fail(ZipCorrupt, ZipFailureCause::DamagedHeader);
        }
        OpenMember open(reader);
        const int extraSize = unzGetLocalExtrafield(reader, nullptr, 0);
        if (extraSize < 0) {
            return Fail(ZipReadFailed, ZipFailureCause::DamagedHeader);
        }
        extra.resize(static_cast<size_t>(extraSize));
        if (extraSize > 0 &&
            unzGetLocalExtrafield(reader, extra.data(), static_cast<unsigned>(extraSize)) != extraSize) {
            return Fail(ZipReadFailed, ZipFailureCause::DamagedHeader);
        }
    }

    const std::u16string name = ZipRules::CleanName(AsU16(decoded));
    // What the cleaning leaves must stay under the root: a member whose name
    // still climbs out (".."), names a stream or a drive (":") or a device
    // (CON, NUL, COM1, ...) fails as a whole rather than being rewritten, so
    // that the name handed out is always the path that is written.
    if (ZipRules::CheckRelativeName(name) != ZipRules::NameProblem::None) {
        return Fail(ZipCorrupt, ZipFailureCause::UnsafeName);
    }

    Member described{};
    described.item.index = index;
    std::memcpy(described.item.name, name.c_str(), (name.size() + 1) * sizeof(char16_t));
    described.item.attributes = ZipRules::MapAttributes(static_cast<uint32_t>(info.external_fa),
                                                        static_cast<uint32_t>((info.version >> 8) & 0xFF));
    if (ZipRules::NamesFolder(name)) {
        described.item.attributes |= ZipRules::kAttrDirectory;
    }
    const FILETIME dosTime = DosTimeToUtc(static_cast<uint32_t>(info.dosDate));
    described.item.accessTime = dosTime;
    described.item.creationTime = dosTime;
    described.item.modificationTime = dosTime;
    const ZipRules::ExtendedTimes extended = ZipRules::ReadExtendedTimestamp(extra.data(), extra.size());
    if (extended.modification) {
        described.item.modificationTime = ToFileTime(*extended.modification);
    }
    if (extended.access) {
        described.item.accessTime = ToFileTime(*extended.access);
    }
    if (extended.creation) {
        described.item.creationTime = ToFileTime(*extended.creation);
    }
    described.item.compressedSize = static_cast<uint32_t>(info.compressed_size);
    described.item.uncompressedSize = static_cast<uint32_t>(info.uncompressed_size);
    described.flags = static_cast<uint32_t>(info.flag);
    described.crc = static_cast<uint32_t>(info.crc);
    described.dosDateTime = static_cast<uint32_t>(info.dosDate);

    cached = described;
    cachedIndex = index;
    *member = described;
    return ZipOk;
}

ZipStatus ZipArchive::Fail(ZipStatus status, ZipFailureCause cause, DWORD error)
{
    if (error == 0) {
        switch (cause) {
        case ZipFailureCause::CrcMismatch:
            error = ERROR_CRC;
            break;
        case ZipFailureCause::UnsafeName:
            error = ERROR_INVALID_NAME;
            break;
        case ZipFailureCause::PathTooLong:
            error = ERROR_FILENAME_EXCED_RANGE;
            break;
        case ZipFailureCause::UnsupportedMember:
        case ZipFailureCause::Encrypted:
            error = ERROR_NOT_SUPPORTED;
            break;
        case ZipFailureCause::FolderInTheWay:
            error = ERROR_ALREADY_EXISTS;
            break;
        case ZipFailureCause::BadArgument:
            error = ERROR_INVALID_PARAMETER;
            break;
        default:
            error = ERROR_FILE_CORRUPT;
            break;
        }
    }
    failure.cause = cause;
    failure.systemError = error;
    return status;
}

namespace {

// The temporary twin of an output file: removed again on every way out but
// the one where it has been moved into place.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile()
    {
        if (!m_path.empty()) {
            DeleteFileW(AsWide(m_path));
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    void Own(const std::u16string& path) { m_path = path; }
    void Release() { m_path.clear(); }

private:
    std::u16string m_path;
};

// Numbers for temporary names; a fresh start per process keeps two runs
// from walking the same names.
uint16_t NextTemporaryNumber()
{
    static std::atomic<uint32_t> next{GetTickCount() ^ GetCurrentProcessId()};
    return static_cast<uint16_t>(next.fetch_add(1));
}

}  // namespace

// The member goes into a temporary file beside its destination, and only a
// whole file whose CRC matched takes the destination's place. A member that
// fails never leaves a truncated or damaged file where a good one was: the
// file from before (the user's previous version) stays as it was. While the
// archive stages, the file waits there until the commit.
ZipStatus ZipArchive::WriteFileMember(const Member& member, const std::u16string& path)
{
    const DWORD attributes = member.item.attributes != 0 ? member.item.attributes : FILE_ATTRIBUTE_NORMAL;
    // Whatever attributes a file in the way has (the last install's
    // read-only licence, say), the new file takes its place; a folder of
    // that name is another matter.
    const DWORD existing = GetFileAttributesW(AsWide(path));
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Fail(ZipCannotOpen, ZipFailureCause::FolderInTheWay);
    }

    // Read-only comes last, once the file is in place: until then the file
    // must stay writable and removable.
    DWORD temporaryAttributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (temporaryAttributes == 0) {
        temporaryAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    TemporaryFile temporary;
    std::u16string temporaryPath;
    NCommon::ScopedHandle file;
    constexpr int kNameTries = 32;
    for (int attempt = 0; attempt < kNameTries && !file.valid(); ++attempt) {
        temporaryPath = ZipRules::TempNameBeside(path, NextTemporaryNumber());
        // A short name deep down fits the limit where its longer temporary
        // twin does not; the twin then goes by the form without the limit.
        if (temporaryPath.size() > ZipRules::kMaxPath - 1) {
            temporaryPath = ZipRules::ExtendedLengthForm(temporaryPath);
            if (temporaryPath.empty()) {
                return Fail(ZipCannotOpen, ZipFailureCause::PathTooLong);
            }
        }
        // Recorded before it exists, so that no run leaves one that the
        // next run does not know of.
        if (!journal.Record({ZipRules::JournalStep::Temporary, temporaryPath, {}, {}})) {
            return Fail(ZipCannotOpen, ZipFailureCause::JournalFailed, GetLastError());
        }
        file.reset(CreateFileW(AsWide(temporaryPath), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               temporaryAttributes, nullptr));
        if (!file.valid()) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
                return Fail(ZipCannotOpen, ZipFailureCause::CannotCreate, error);
            }
        }
    }
    if (!file.valid()) {
        return Fail(ZipCannotOpen, ZipFailureCause::CannotCreate, ERROR_FILE_EXISTS);
    }
    temporary.Own(temporaryPath);
    if (!buffer) {
        buffer = std::make_unique<uint8_t[]>(ZipRules::kBufferSize);
    }

    // Traditionally encrypted: minizip is built without decryption, so the
    // layer itself checks the header against an empty password. A header
    // that passes still cannot be decrypted here, which is a read failure.
    if ((member.flags & 1u) != 0) {
        if (unzOpenCurrentFile2(reader, nullptr, nullptr, 1) != UNZ_OK) {
            return Fail(ZipInflateFailed, ZipFailureCause::DamagedData);
        }
        OpenMember open(reader);
        uint8_t header[12];
        if (unzReadCurrentFile(reader, header, sizeof(header)) != static_cast<int>(sizeof(header))) {
            return Fail(ZipInflateFailed, ZipFailureCause::DamagedData);
        }
        const uint8_t check = (member.flags & 8u) != 0
                                  ? static_cast<uint8_t>((member.dosDateTime >> 8) & 0xFF)
                                  : static_cast<uint8_t>(member.crc >> 24);
        return Fail(ZipRules::EmptyPasswordCheckByteMatches(header, sizeof(header), check) ? ZipInflateFailed
                                                                                           : ZipPasswordMismatch,
                    ZipFailureCause::Encrypted);
    }

    if (unzOpenCurrentFile(reader) != UNZ_OK) {
        return Fail(ZipInflateFailed, ZipFailureCause::DamagedData);
    }
    OpenMember open(reader);
    for (;;) {
        const int got = unzReadCurrentFile(reader, buffer.get(), static_cast<unsigned>(ZipRules::kBufferSize));
        if (got < 0) {
            return Fail(ZipInflateFailed, ZipFailureCause::DamagedData);
        }
        if (got > 0) {
            DWORD written = 0;
            if (!WriteFile(file.get(), buffer.get(), static_cast<DWORD>(got), &written, nullptr)) {
                return Fail(ZipWriteFailed, ZipFailureCause::WriteError, GetLastError());
            }
            if (written != static_cast<DWORD>(got)) {
                return Fail(ZipWriteFailed, ZipFailureCause::WriteError, ERROR_DISK_FULL);
            }
        }
        if (unzeof(reader) == 1) {
            break;
        }
        if (got == 0) {
            return Fail(ZipInflateFailed, ZipFailureCause::DamagedData);
        }
    }
    // Data that does not match its CRC-32 is damaged, however well it
    // inflated: the member fails, so that the caller fetches the package
    // again instead of installing a corrupted file.
    if (open.Close() == UNZ_CRCERROR) {
        return Fail(ZipInflateFailed, ZipFailureCause::CrcMismatch);
    }
    const FILETIME creation = member.item.creationTime;
    const FILETIME access = member.item.accessTime;
    const FILETIME modification = member.item.modificationTime;
    SetFileTime(file.get(), IsZero(creation) ? nullptr : &creation, IsZero(access) ? nullptr : &access,
                IsZero(modification) ? nullptr : &modification);
    // Data still held by the system is written now at the latest; a failure
    // here is a write error like any other.
    const HANDLE raw = file.release();
    if (!CloseHandle(raw)) {
        return Fail(ZipWriteFailed, ZipFailureCause::WriteError, GetLastError());
    }
    temporary.Release();
    // A later member of the same name wins, as it would when written over.
    for (auto earlier = staged.begin(); earlier != staged.end(); ++earlier) {
        if (SamePath(earlier->destination, path)) {
            DeleteFileW(AsWide(earlier->temporary));
            staged.erase(earlier);
            break;
        }
    }
    staged.push_back({temporaryPath, path, attributes});
    return staging ? ZipOk : Commit();
}

// A free name beside `path` for the file that stands there now.
static std::u16string AsideName(const std::u16string& path)
{
    for (int attempt = 0; attempt < 32; ++attempt) {
        std::u16string aside = ZipRules::TempNameBeside(path, NextTemporaryNumber());
        if (aside.size() > ZipRules::kMaxPath - 1) {
            aside = ZipRules::ExtendedLengthForm(aside);
        }
        if (!aside.empty() && !PathExists(aside)) {
            return aside;
        }
    }
    return std::u16string();
}

// Only renames happen between the first move and the last, and none of them
// copies data. A file in the way is moved aside rather than replaced, so
// that a failure inside the window can put every old file back; the files
// moved aside are removed only once the last new file is in place.
ZipStatus ZipArchive::Commit()
{
    using ZipRules::JournalStep;
    journal.Flush();
    for (const Staged& each : staged) {
        auto fail = [&](ZipFailureCause cause, DWORD error) {
            NameFailure(AsWide(each.destination));
            Rollback();
            return Fail(ZipCannotOpen, cause, error);
        };
        std::u16string aside;
        const DWORD existing = GetFileAttributesW(AsWide(each.destination));
        if (existing != INVALID_FILE_ATTRIBUTES) {
            if ((existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                return fail(ZipFailureCause::FolderInTheWay, ERROR_ALREADY_EXISTS);
            }
            aside = AsideName(each.destination);
            if (aside.empty()) {
                return fail(ZipFailureCause::CannotReplace, ERROR_FILE_EXISTS);
            }
            if (!journal.Record({JournalStep::Backup, each.destination, aside, {}})) {
                return fail(ZipFailureCause::JournalFailed, GetLastError());
            }
            if (!MoveFileExW(AsWide(each.destination), AsWide(aside), 0)) {
                return fail(ZipFailureCause::CannotReplace, GetLastError());
            }
        }
        if (!journal.Record({JournalStep::Move, each.temporary, each.destination, aside})) {
            return fail(ZipFailureCause::JournalFailed, GetLastError());
        }
        if (!MoveFileExW(AsWide(each.temporary), AsWide(each.destination), 0)) {
            return fail(ZipFailureCause::CannotReplace, GetLastError());
        }
        // Read-only comes last, once the file is in place: until then the
        // file must stay writable and removable.
        if ((each.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            SetFileAttributesW(AsWide(each.destination), each.attributes);
        }
    }
    journal.Record({JournalStep::Committed, {}, {}, {}});
    journal.Flush();
    staged.clear();
    // The old files go now. One that cannot go stays in the journal, for
    // the next run to remove.
    if (SettleOnDrive(journal.entries)) {
        journal.Clear();
    }
    return ZipOk;
}

void ZipArchive::Rollback()
{
    staged.clear();
    if (SettleOnDrive(journal.entries)) {
        journal.Clear();
    }
}

HZIP OpenZipFile(const wchar_t* path)
{
    if (path == nullptr) {
        return nullptr;
    }
    // The root must fit the layer's path buffer, trailing separator
    // included; a deeper current directory gives no archive at all.
    wchar_t current[ZipRules::kMaxPath] = {};
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(ZipRules::kMaxPath), current);
    if (length == 0 || length >= ZipRules::kMaxPath) {
        return nullptr;
    }
    auto archive = std::make_unique<ZipArchive>();
    archive->root = ZipRules::MakeRoot(AsU16(current));
    if (archive->root.empty()) {
        return nullptr;
    }

    fill_win32_filefunc64W(&archive->platformIo);
    archive->io.zopen64_file = ObservedOpen;
    archive->io.zread_file = ObservedRead;
    archive->io.zwrite_file = ObservedWrite;
    archive->io.ztell64_file = ObservedTell;
    archive->io.zseek64_file = ObservedSeek;
    archive->io.zclose_file = ObservedClose;
    archive->io.zerror_file = ObservedError;
    archive->io.opaque = archive.get();

    // minizip finds the end record and the directory, refuses spanned
    // archives, disagreeing member counts and a directory that overlaps the
    // end record, closes the file again on failure, and stands at member 0.
    archive->reader = unzOpen2_64(path, &archive->io);
    if (archive->reader == nullptr) {
        if (IsEmptyArchive(path)) {
            archive->count = 0;
            return archive.release();
        }
        return nullptr;
    }
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(archive->reader, &global) != UNZ_OK || global.number_entry > 0x7FFFFFFFull) {
        return nullptr;
    }
    archive->count = static_cast<int32_t>(global.number_entry);
    archive->position = 0;
    return archive.release();
}

ZipStatus GetZipItem(HZIP zip, int index, ZipItem* item)
{
    if (zip == nullptr || item == nullptr) {
        return ZipBadArgument;
    }
    if (index == -1) {
        *item = ZipItem{};
        item->index = zip->count;
        return ZipOk;
    }
    zip->ClearFailure();
    if (index < 0 || index >= zip->count) {
        return zip->Fail(ZipBadArgument, ZipFailureCause::BadArgument);
    }
    Member member{};
    const ZipStatus status = zip->Describe(index, &member);
    if (status == ZipOk) {
        *item = member.item;
    } else {
        SetLastError(zip->failure.systemError);
    }
    return status;
}

namespace {
ZipStatus Unzip(HZIP zip, int index, const wchar_t* name);
}  // namespace

ZipStatus UnzipItem(HZIP zip, int index, const wchar_t* name)
{
    if (zip == nullptr) {
        return ZipBadArgument;
    }
    zip->ClearFailure();
    const ZipStatus status = Unzip(zip, index, name);
    // Set last, after every handle of the call has been closed.
    if (status != ZipOk) {
        SetLastError(zip->failure.systemError);
    }
    return status;
}

ZipFailure GetZipFailure(HZIP zip)
{
    if (zip == nullptr) {
        ZipFailure failure{};
        failure.cause = ZipFailureCause::BadArgument;
        failure.systemError = ERROR_INVALID_PARAMETER;
        return failure;
    }
    return zip->failure;
}

const char* ZipFailureText(ZipFailureCause cause)
{
    switch (cause) {
    case ZipFailureCause::None:
        return "no failure";
    case ZipFailureCause::DamagedDirectory:
        return "damaged central directory";
    case ZipFailureCause::DamagedHeader:
        return "damaged local header";
    case ZipFailureCause::UnsupportedMember:
        return "unsupported compression or size";
    case ZipFailureCause::UnsafeName:
        return "unsafe name";
    case ZipFailureCause::PathTooLong:
        return "name or path too long";
    case ZipFailureCause::Encrypted:
        return "encrypted";
    case ZipFailureCause::DamagedData:
        return "damaged data";
    case ZipFailureCause::CrcMismatch:
        return "CRC mismatch";
    case ZipFailureCause::CannotCreate:
        return "cannot create the file";
    case ZipFailureCause::WriteError:
        return "write error";
    case ZipFailureCause::CannotReplace:
        return "cannot move the file into place";
    case ZipFailureCause::FolderInTheWay:
        return "a folder of that name is in the way";
    case ZipFailureCause::JournalFailed:
        return "cannot record the step in the journal";
    case ZipFailureCause::BadArgument:
        return "bad argument";
    }
    return "unknown";
}

namespace {

ZipStatus Unzip(HZIP zip, int index, const wchar_t* name)
{
    if (name == nullptr || index < 0 || index >= zip->count) {
        return zip->Fail(ZipBadArgument, ZipFailureCause::BadArgument);
    }
    // The reader must stand at the member even when its description comes
    // from the cache, since a failed request may have moved it since.
    ZipStatus status = zip->PositionAt(index);
    if (status != ZipOk) {
        return status;
    }
    Member member{};
    status = zip->Describe(index, &member);
    if (status != ZipOk) {
        return status;
    }

    const std::u16string target = AsU16(name);
    const bool fullPath = ZipRules::IsFullPath(target);
    // A caller may name a full path on purpose; a relative name is held to
    // the same rule as member names, so it cannot leave the root either.
    if (!fullPath && ZipRules::CheckRelativeName(target) != ZipRules::NameProblem::None) {
        return zip->Fail(ZipBadArgument, ZipFailureCause::UnsafeName);
    }

    if ((member.item.attributes & ZipRules::kAttrDirectory) != 0) {
        if (target.empty()) {
            zip->MakeFolders(&zip->root, std::u16string());
        } else if (fullPath) {
            if (target.size() > ZipRules::kMaxPath - 1) {
                return zip->Fail(ZipCannotOpen, ZipFailureCause::PathTooLong);
            }
            zip->MakeFolders(nullptr, target);
        } else {
            if (zip->root.size() + target.size() > ZipRules::kMaxPath - 1) {
                return zip->Fail(ZipCannotOpen, ZipFailureCause::PathTooLong);
            }
            zip->MakeFolders(&zip->root, target);
        }
        return ZipOk;
    }

    const ZipRules::SplitPath split = ZipRules::SplitAfterLastSeparator(target);
    const bool fullDirectory = !split.directory.empty() && ZipRules::IsFullPath(split.directory);
    // "C:name" is relative to whatever folder is current on drive C: there
    // is no sound place for it, under the root or elsewhere.
    if (fullPath && !fullDirectory) {
        return zip->Fail(ZipBadArgument, ZipFailureCause::UnsafeName);
    }
    const std::u16string outputPath = fullDirectory ? target : zip->root + target;
    // Longer paths do not fit the layer's path buffers.
    if (outputPath.size() > ZipRules::kMaxPath - 1) {
        return zip->Fail(ZipCannotOpen, ZipFailureCause::PathTooLong);
    }
    zip->MakeFolders(fullDirectory ? nullptr : &zip->root, split.directory);
    return zip->WriteFileMember(member, outputPath);
}

}  // namespace

ZipStatus CloseZipFile(HZIP zip)
{
    if (zip == nullptr) {
        return ZipBadArgument;
    }
    // What was staged and never committed goes, with the folders made for
    // it; a drive that is gone keeps the journal for the next run.
    zip->staged.clear();
    zip->journal.Close(zip->journal.entries.empty() || SettleOnDrive(zip->journal.entries));
    delete zip;
    return ZipOk;
}

ZipStatus BeginZipStaging(HZIP zip, const wchar_t* journalPath)
{
    if (zip == nullptr || journalPath == nullptr) {
        return ZipBadArgument;
    }
    zip->ClearFailure();
    if (!zip->journal.Open(AsU16(journalPath))) {
        const DWORD error = GetLastError();
        zip->Fail(ZipCannotOpen, ZipFailureCause::JournalFailed, error);
        SetLastError(error);
        return ZipCannotOpen;
    }
    zip->staging = true;
    return ZipOk;
}

ZipStatus CommitZipStaging(HZIP zip)
{
    if (zip == nullptr) {
        return ZipBadArgument;
    }
    zip->ClearFailure();
    const ZipStatus status = zip->Commit();
    if (status != ZipOk) {
        SetLastError(zip->failure.systemError);
    }
    return status;
}

ZipStatus GetZipStagingBytes(HZIP zip, uint32_t clusterBytes, uint64_t* bytes)
{
    if (zip == nullptr || bytes == nullptr) {
        return ZipBadArgument;
    }
    *bytes = 0;
    zip->ClearFailure();
    // The walk below moves the reader; the next request starts afresh.
    zip->position = -1;
    for (int32_t index = 0; index < zip->count; ++index) {
        if ((index == 0 ? unzGoToFirstFile(zip->reader) : unzGoToNextFile(zip->reader)) != UNZ_OK) {
            return zip->Fail(ZipCorrupt, ZipFailureCause::DamagedDirectory);
        }
        unz_file_info64 info{};
        char name[ZipRules::kMaxStoredName + 1] = {};
        if (unzGetCurrentFileInfo64(zip->reader, &info, name, sizeof(name), nullptr, 0, nullptr, 0) != UNZ_OK) {
            return zip->Fail(ZipCorrupt, ZipFailureCause::DamagedDirectory);
        }
        const size_t length = strnlen(name, sizeof(name) - 1);
        const bool folder = (length > 0 && (name[length - 1] == '/' || name[length - 1] == '\\')) ||
                            (ZipRules::MapAttributes(static_cast<uint32_t>(info.external_fa),
                                                     static_cast<uint32_t>((info.version >> 8) & 0xFF)) &
                             ZipRules::kAttrDirectory) != 0;
        // A folder that is new takes a cluster of its own.
        *bytes += folder ? clusterBytes : ZipRules::ClusterRounded(info.uncompressed_size, clusterBytes);
    }
    return ZipOk;
}

bool RecoverZipJournal(const wchar_t* journalPath)
{
    if (journalPath == nullptr) {
        return true;
    }
    std::u16string text;
    {
        NCommon::ScopedHandle file(CreateFileW(journalPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
        }
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > 64 * 1024 * 1024) {
            return false;
        }
        text.resize(static_cast<size_t>(size.QuadPart) / sizeof(char16_t));
        DWORD got = 0;
        if (!text.empty() &&
            !ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size() * sizeof(char16_t)), &got, nullptr)) {
            return false;
        }
        text.resize(got / sizeof(char16_t));
    }
    if (!SettleOnDrive(ZipRules::ParseJournal(text))) {
        return false;
    }
    DeleteFileW(journalPath);
    return true;
}

ZipStatus SetZipIoObserver(HZIP zip, IZipIoObserver* observer)
{
    if (zip == nullptr) {
        return ZipBadArgument;
    }
    zip->observer = observer;
    return ZipOk;
}
