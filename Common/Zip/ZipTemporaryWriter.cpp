// Writing a file member: its data goes into a temporary twin beside its
// destination, and only a whole file whose CRC matched is handed on to take
// the destination's place (ZipStaging.cpp). A member that fails never leaves
// a truncated or damaged file where a good one was: the file from before
// (the user's previous version) stays as it was.

#include "ZipArchiveState.h"

#include <atomic>

using ZipLayer::AsWide;
using ZipLayer::Member;

namespace {

// The temporary twin of an output file: removed again on every way out but
// the one where it has been moved into place.
class TemporaryFile {
public:
    explicit TemporaryFile(ZipLayer::BusyRetry& retry) : m_retry(retry) {}
    // One that cannot go is in the journal, and goes when it is settled.
    ~TemporaryFile()
    {
        if (!m_path.empty()) {
            ZipLayer::DeleteWholly(m_path, m_retry);
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    void Own(const std::u16string& path) { m_path = path; }
    void Release() { m_path.clear(); }

private:
    ZipLayer::BusyRetry& m_retry;
    std::u16string m_path;
};

// Read-only comes last, once the file is in place: until then the file
// must stay writable and removable.
DWORD TemporaryAttributes(DWORD attributes)
{
    const DWORD temporary = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return temporary != 0 ? temporary : FILE_ATTRIBUTE_NORMAL;
}

struct TemporaryTwin {
    NCommon::ScopedHandle file;
    std::u16string path;
};

// A fresh name beside `path` and a new file of that name; a name another
// file already has is passed over for the next.
ZipStatus CreateTemporaryTwin(ZipArchive& archive, const std::u16string& path, DWORD attributes,
                              TemporaryTwin* twin)
{
    constexpr int kNameTries = 32;
    for (int attempt = 0; attempt < kNameTries && !twin->file.valid(); ++attempt) {
        twin->path = ZipRules::TempNameBeside(path, ZipLayer::NextTemporaryNumber());
        // A short name deep down fits the limit where its longer temporary
        // twin does not; the twin then goes by the form without the limit.
        if (twin->path.size() > ZipRules::kMaxPath - 1) {
            twin->path = ZipRules::ExtendedLengthForm(twin->path);
            if (twin->path.empty()) {
                return archive.Fail(ZipCannotOpen, ZipFailureCause::PathTooLong);
            }
        }
        // Recorded before it exists, so that no run leaves one that the
        // next run does not know of.
        if (!archive.journal.Record({ZipRules::JournalStep::Temporary, twin->path, {}, {}})) {
            return archive.Fail(ZipCannotOpen, ZipFailureCause::JournalFailed, GetLastError());
        }
        twin->file.reset(
            CreateFileW(AsWide(twin->path), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr));
        if (!twin->file.valid()) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
                return archive.Fail(ZipCannotOpen, ZipFailureCause::CannotCreate, error);
            }
        }
    }
    if (!twin->file.valid()) {
        return archive.Fail(ZipCannotOpen, ZipFailureCause::CannotCreate, ERROR_FILE_EXISTS);
    }
    return ZipOk;
}

// Traditionally encrypted: minizip is built without decryption, so the
// layer itself checks the header against an empty password. A header that
// passes still cannot be decrypted here, which is a read failure. Either
// way the member fails.
ZipStatus RefuseEncrypted(ZipArchive& archive, const Member& member)
{
    if (unzOpenCurrentFile2(archive.reader, nullptr, nullptr, 1) != UNZ_OK) {
        return archive.Fail(ZipInflateFailed, ZipFailureCause::DamagedData);
    }
    ZipLayer::OpenMember open(archive.reader);
    uint8_t header[12];
    if (unzReadCurrentFile(archive.reader, header, sizeof(header)) != static_cast<int>(sizeof(header))) {
        return archive.Fail(ZipInflateFailed, ZipFailureCause::DamagedData);
    }
    const uint8_t check = (member.flags & 8u) != 0 ? static_cast<uint8_t>((member.dosDateTime >> 8) & 0xFF)
                                                   : static_cast<uint8_t>(member.crc >> 24);
    return archive.Fail(ZipRules::EmptyPasswordCheckByteMatches(header, sizeof(header), check) ? ZipInflateFailed
                                                                                               : ZipPasswordMismatch,
                        ZipFailureCause::Encrypted);
}

// Inflates the member into `file` through the archive's buffer; the
// caller's member check, if any, sees every byte on the way.
ZipStatus CopyMemberData(ZipArchive& archive, const Member& member, HANDLE file)
{
    IZipMemberCheck* const check = archive.memberCheck;
    if (check != nullptr) {
        check->Begin(member.item.index);
    }
    if (unzOpenCurrentFile(archive.reader) != UNZ_OK) {
        return archive.Fail(ZipInflateFailed, ZipFailureCause::DamagedData);
    }
    ZipLayer::OpenMember open(archive.reader);
    uint8_t* const buffer = archive.buffer.get();
    for (;;) {
        const int got = unzReadCurrentFile(archive.reader, buffer, static_cast<unsigned>(ZipRules::kBufferSize));
        if (got < 0) {
            return archive.Fail(ZipInflateFailed, ZipFailureCause::DamagedData);
        }
        if (got > 0) {
            if (check != nullptr) {
                check->Data(buffer, static_cast<uint32_t>(got));
            }
            DWORD written = 0;
            if (!WriteFile(file, buffer, static_cast<DWORD>(got), &written, nullptr)) {
                return archive.Fail(ZipWriteFailed, ZipFailureCause::WriteError, GetLastError());
            }
            if (written != static_cast<DWORD>(got)) {
                return archive.Fail(ZipWriteFailed, ZipFailureCause::WriteError, ERROR_DISK_FULL);
            }
        }
        if (unzeof(archive.reader) == 1) {
            break;
        }
        if (got == 0) {
            return archive.Fail(ZipInflateFailed, ZipFailureCause::DamagedData);
        }
    }
    // Data that does not match its CRC-32 is damaged, however well it
    // inflated: the member fails, so that the caller fetches the package
    // again instead of installing a corrupted file.
    if (open.Close() == UNZ_CRCERROR) {
        return archive.Fail(ZipInflateFailed, ZipFailureCause::CrcMismatch);
    }
    // A CRC-32 stops accidents; the check, when there is one, stops a
    // member that was made to match it.
    if (check != nullptr && !check->Accept(member.item.index)) {
        return archive.Fail(ZipInflateFailed, ZipFailureCause::ContentRefused);
    }
    return ZipOk;
}

// The data reaches the drive itself before the file can be committed: a
// stick with its write cache on loses what is still in the cache when it
// is pulled, and the journal would then record a commit over files whose
// bytes never got there. A failure here is a write error like any other.
ZipStatus FlushAndClose(ZipArchive& archive, NCommon::ScopedHandle& file)
{
    if (!FlushFileBuffers(file.get())) {
        return archive.Fail(ZipWriteFailed, ZipFailureCause::WriteError, GetLastError());
    }
    const HANDLE raw = file.release();
    if (!CloseHandle(raw)) {
        return archive.Fail(ZipWriteFailed, ZipFailureCause::WriteError, GetLastError());
    }
    return ZipOk;
}

bool IsZero(const FILETIME& time)
{
    return time.dwLowDateTime == 0 && time.dwHighDateTime == 0;
}

// The item's times go on the file (a time the member has none for is left
// as it is), and the file is closed.
ZipStatus FinishFile(ZipArchive& archive, const ZipItem& item, NCommon::ScopedHandle& file)
{
    const FILETIME creation = item.creationTime;
    const FILETIME access = item.accessTime;
    const FILETIME modification = item.modificationTime;
    // A time the drive refuses leaves the file the member's whole data.
    SetFileTime(file.get(), IsZero(creation) ? nullptr : &creation, IsZero(access) ? nullptr : &access,
                IsZero(modification) ? nullptr : &modification);
    return FlushAndClose(archive, file);
}

}  // namespace

namespace ZipLayer {

// A fresh start per process keeps two runs from walking the same names.
uint16_t NextTemporaryNumber()
{
    static std::atomic<uint32_t> next{GetTickCount() ^ GetCurrentProcessId()};
    return static_cast<uint16_t>(next.fetch_add(1));
}

}  // namespace ZipLayer

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

    // Declared before the twin, so that its file is closed before it goes.
    TemporaryFile temporary(retry);
    TemporaryTwin twin;
    ZipStatus status = CreateTemporaryTwin(*this, path, TemporaryAttributes(attributes), &twin);
    if (status != ZipOk) {
        return status;
    }
    temporary.Own(twin.path);
    if (!buffer) {
        buffer = std::make_unique<uint8_t[]>(ZipRules::kBufferSize);
    }
    if ((member.flags & 1u) != 0) {
        return RefuseEncrypted(*this, member);
    }
    if ((status = CopyMemberData(*this, member, twin.file.get())) != ZipOk ||
        (status = FinishFile(*this, member.item, twin.file)) != ZipOk) {
        return status;
    }
    temporary.Release();
    // While the archive stages, the file waits beside its destination until
    // the commit.
    return Stage({twin.path, path, attributes, member.item.uncompressedSize});
}

ZipStatus ZipArchive::WriteCallerFile(const std::u16string& path, const void* bytes, uint32_t count)
{
    const DWORD existing = GetFileAttributesW(AsWide(path));
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Fail(ZipCannotOpen, ZipFailureCause::FolderInTheWay);
    }
    TemporaryFile temporary(retry);
    TemporaryTwin twin;
    ZipStatus status = CreateTemporaryTwin(*this, path, FILE_ATTRIBUTE_NORMAL, &twin);
    if (status != ZipOk) {
        return status;
    }
    temporary.Own(twin.path);
    DWORD written = 0;
    if (count > 0 && !WriteFile(twin.file.get(), bytes, count, &written, nullptr)) {
        return Fail(ZipWriteFailed, ZipFailureCause::WriteError, GetLastError());
    }
    if (written != count) {
        return Fail(ZipWriteFailed, ZipFailureCause::WriteError, ERROR_DISK_FULL);
    }
    if ((status = FlushAndClose(*this, twin.file)) != ZipOk) {
        return status;
    }
    temporary.Release();
    return Stage({twin.path, path, FILE_ATTRIBUTE_NORMAL, count});
}
