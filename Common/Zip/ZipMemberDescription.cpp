// Describing a member: walking the directory to it, checking its headers,
// and turning what they store into the item the caller sees (its cleaned
// name, attributes, times and sizes). This is where a hostile archive's
// headers are first read, so every refusal of a member's shape is here.

#include "ZipArchiveState.h"

#include <cstring>
#include <optional>

using ZipLayer::Member;

namespace {

FILETIME ToFileTime(ZipRules::FileTime value)
{
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
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

// The central directory entry of the member the reader stands at.
struct DirectoryEntry {
    unz_file_info64 info{};
    char storedName[ZipRules::kMaxStoredName + 1] = {};
};

ZipStatus ReadDirectoryEntry(ZipArchive& archive, DirectoryEntry* entry)
{
    if (unzGetCurrentFileInfo64(archive.reader, &entry->info, entry->storedName, sizeof(entry->storedName),
                                nullptr, 0, nullptr, 0) != UNZ_OK) {
        return archive.Fail(ZipCorrupt, ZipFailureCause::DamagedDirectory);
    }
    // A name longer than the layer's name buffer would have to be cut, and
    // a cut name is a different file: such a member is refused.
    if (entry->info.size_filename > ZipRules::kMaxStoredName) {
        return archive.Fail(ZipCorrupt, ZipFailureCause::PathTooLong);
    }
    return ZipOk;
}

// The stored bytes are UTF-8, whatever the language-encoding flag says.
// A UTF-8 sequence never yields more UTF-16 code units than it has bytes,
// so the decoded name fits the item's buffer.
ZipStatus DecodeStoredName(ZipArchive& archive, const DirectoryEntry& entry, wchar_t (&decoded)[ZipRules::kMaxPath])
{
    const int storedLength = static_cast<int>(strnlen(entry.storedName, entry.info.size_filename));
    if (storedLength > 0 && MultiByteToWideChar(CP_UTF8, 0, entry.storedName, storedLength, decoded,
                                                static_cast<int>(ZipRules::kMaxPath) - 1) == 0) {
        return archive.Fail(ZipCorrupt, ZipFailureCause::UnsafeName);
    }
    // Whatever fails from here on, the log can say which member it was.
    archive.NameFailure(decoded);
    return ZipOk;
}

ZipStatus CheckSupported(ZipArchive& archive, const unz_file_info64& info)
{
    // Sizes are 32-bit in this layer; members that need more are refused.
    if (info.compressed_size > 0xFFFFFFFFull || info.uncompressed_size > 0xFFFFFFFFull) {
        return archive.Fail(ZipCorrupt, ZipFailureCause::UnsupportedMember);
    }
    // minizip also accepts bzip2 here; this layer inflates nothing but
    // deflate, and stored data needs no inflating.
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
        return archive.Fail(ZipCorrupt, ZipFailureCause::UnsupportedMember);
    }
    return ZipOk;
}

// Opening the member raw makes minizip compare the local header with the
// directory entry (signature, method, name length and, without a data
// descriptor, CRC and sizes) and gives access to the local extra field.
ZipStatus ReadLocalExtraField(ZipArchive& archive, std::vector<uint8_t>* extra)
{
    if (unzOpenCurrentFile2(archive.reader, nullptr, nullptr, 1) != UNZ_OK) {
        return archive.Fail(ZipCorrupt, ZipFailureCause::DamagedHeader);
    }
    ZipLayer::OpenMember open(archive.reader);
    const int extraSize = unzGetLocalExtrafield(archive.reader, nullptr, 0);
    if (extraSize < 0) {
        return archive.Fail(ZipReadFailed, ZipFailureCause::DamagedHeader);
    }
    extra->resize(static_cast<size_t>(extraSize));
    if (extraSize > 0 &&
        unzGetLocalExtrafield(archive.reader, extra->data(), static_cast<unsigned>(extraSize)) != extraSize) {
        return archive.Fail(ZipReadFailed, ZipFailureCause::DamagedHeader);
    }
    return ZipOk;
}

// All three times from the DOS time, then whichever of them an extended
// timestamp carries.
void SetTimes(ZipItem& item, uint32_t dosDateTime, const std::vector<uint8_t>& extra)
{
    const FILETIME dosTime = DosTimeToUtc(dosDateTime);
    item.accessTime = dosTime;
    item.creationTime = dosTime;
    item.modificationTime = dosTime;
    const ZipRules::ExtendedTimes extended = ZipRules::ReadExtendedTimestamp(extra.data(), extra.size());
    if (extended.modification) {
        item.modificationTime = ToFileTime(*extended.modification);
    }
    if (extended.access) {
        item.accessTime = ToFileTime(*extended.access);
    }
    if (extended.creation) {
        item.creationTime = ToFileTime(*extended.creation);
    }
}

Member MakeMember(int32_t index, const std::u16string& name, const unz_file_info64& info,
                  const std::vector<uint8_t>& extra)
{
    Member described{};
    described.item.index = index;
    std::memcpy(described.item.name, name.c_str(), (name.size() + 1) * sizeof(char16_t));
    described.item.attributes = ZipRules::MapAttributes(static_cast<uint32_t>(info.external_fa),
                                                        static_cast<uint32_t>((info.version >> 8) & 0xFF));
    if (ZipRules::NamesFolder(name)) {
        described.item.attributes |= ZipRules::kAttrDirectory;
    }
    SetTimes(described.item, static_cast<uint32_t>(info.dosDate), extra);
    described.item.compressedSize = static_cast<uint32_t>(info.compressed_size);
    described.item.uncompressedSize = static_cast<uint32_t>(info.uncompressed_size);
    described.flags = static_cast<uint32_t>(info.flag);
    described.crc = static_cast<uint32_t>(info.crc);
    described.dosDateTime = static_cast<uint32_t>(info.dosDate);
    return described;
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
    ZipStatus status = PositionAt(index);
    if (status != ZipOk) {
        return status;
    }
    DirectoryEntry entry;
    wchar_t decoded[ZipRules::kMaxPath] = {};
    std::vector<uint8_t> extra;
    if ((status = ReadDirectoryEntry(*this, &entry)) != ZipOk ||
        (status = DecodeStoredName(*this, entry, decoded)) != ZipOk ||
        (status = CheckSupported(*this, entry.info)) != ZipOk ||
        (status = ReadLocalExtraField(*this, &extra)) != ZipOk) {
        return status;
    }

    const std::u16string name = ZipRules::CleanName(ZipLayer::AsU16(decoded));
    // What the cleaning leaves must stay under the root: a member whose name
    // still climbs out (".."), names a stream or a drive (":") or a device
    // (CON, NUL, COM1, ...) fails as a whole rather than being rewritten, so
    // that the name handed out is always the path that is written.
    if (ZipRules::CheckRelativeName(name) != ZipRules::NameProblem::None) {
        return Fail(ZipCorrupt, ZipFailureCause::UnsafeName);
    }

    const Member described = MakeMember(index, name, entry.info, extra);
    cached = described;
    cachedIndex = index;
    *member = described;
    return ZipOk;
}
