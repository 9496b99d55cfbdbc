// Opening the archive file for minizip: the file functions it reads through
// (Windows' wide-character ones, behind the read windows, where a test's
// observer can see every seek and read), and the one kind of archive that
// minizip cannot open by itself.

#include "ZipArchiveState.h"

namespace {

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

void ConnectIo(ZipArchive& archive)
{
    fill_win32_filefunc64W(&archive.platformIo);
    archive.io.zopen64_file = ObservedOpen;
    archive.io.zread_file = ObservedRead;
    archive.io.zwrite_file = ObservedWrite;
    archive.io.ztell64_file = ObservedTell;
    archive.io.zseek64_file = ObservedSeek;
    archive.io.zclose_file = ObservedClose;
    archive.io.zerror_file = ObservedError;
    archive.io.opaque = &archive;
}

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

}  // namespace

bool ZipArchive::OpenReader(const wchar_t* path)
{
    ConnectIo(*this);
    // minizip finds the end record and the directory, refuses spanned
    // archives, disagreeing member counts and a directory that overlaps the
    // end record, closes the file again on failure, and stands at member 0.
    reader = unzOpen2_64(path, &io);
    if (reader == nullptr) {
        if (IsEmptyArchive(path)) {
            count = 0;
            return true;
        }
        return false;
    }
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(reader, &global) != UNZ_OK || global.number_entry > 0x7FFFFFFFull) {
        return false;
    }
    count = static_cast<int32_t>(global.number_entry);
    position = 0;
    return true;
}
