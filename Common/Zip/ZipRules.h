#pragma once

// The decisions of the extraction layer that depend only on bytes and
// strings: how a stored name becomes a path, which attributes and times a
// member gets, and which names may be written at all. They include no
// platform header so that they can be built natively, with sanitizers and a
// fuzzer, as well as into the Windows program. A hostile archive reaches the
// machine through exactly these functions.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ZipRecords.h"

namespace ZipRules {

// Path buffers of the layer hold this many UTF-16 code units, terminator
// included; a path may thus have at most kMaxPath - 1 code units.
constexpr size_t kMaxPath = 260;
// The largest stored name the layer reads; longer ones are refused.
constexpr size_t kMaxStoredName = kMaxPath - 1;
// Member data goes through a buffer of this size.
constexpr size_t kBufferSize = 16384;

// File attribute bits, with the platform's values.
constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrHidden = 0x2;
constexpr uint32_t kAttrSystem = 0x4;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;

inline bool IsSeparator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

// The extraction root from the current directory: a trailing separator is
// added when missing. Empty when the result would not fit kMaxPath.
std::u16string MakeRoot(const std::u16string& currentDirectory);

// Strips drive prefixes, leading separators and everything up to a
// "\..\"-like parent step, again and again until nothing changes.
std::u16string CleanName(std::u16string name);

// Why a relative name may not be written under the root.
enum class NameProblem {
    None,
    ParentSegment,  // a segment that climbs out (".." and its look-alikes)
    Colon,          // alternate data stream, or a drive in the middle
    DeviceName,     // CON, NUL, COM1, ... reach a device, not a file
    FullPath,       // starts at a separator or a drive
};
NameProblem CheckRelativeName(const std::u16string& name);

// A name that the caller of UnzipItem gives as a full path rather than
// relative to the root.
bool IsFullPath(const std::u16string& name);

// Attribute bits from the entry's external attributes and the high byte of
// its version-made-by field.
uint32_t MapAttributes(uint32_t externalAttributes, uint32_t hostSystem);

struct CalendarTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
};
// The DOS date (high 16 bits) and time (low 16 bits) of an entry. Empty
// when they name no real moment (month 13, 30 February, 25 o'clock, ...).
std::optional<CalendarTime> DecodeDosDateTime(uint32_t dosDateTime);

// 100-nanosecond intervals since 1601-01-01 UTC.
using FileTime = uint64_t;
FileTime UnixSecondsToFileTime(int32_t seconds);

// The times an extended-timestamp ("UT") block of a local extra field
// gives; a time the block does not carry in full stays empty.
struct ExtendedTimes {
    std::optional<FileTime> modification;
    std::optional<FileTime> access;
    std::optional<FileTime> creation;
};
ExtendedTimes ReadExtendedTimestamp(const uint8_t* field, size_t length);

// A name split after its last separator; the directory part keeps it.
struct SplitPath {
    std::u16string directory;
    std::u16string file;
};
SplitPath SplitAfterLastSeparator(const std::u16string& name);

// The directories to make sure of, from the top down, so that `directory`
// (relative to a root, or a full path) exists.
std::vector<std::u16string> DirectoriesTopDown(const std::u16string& directory);

// Traditional zip encryption: whether the 12-byte header decrypted with an
// empty password ends in `checkByte`.
bool EmptyPasswordCheckByteMatches(const uint8_t* header, size_t length, uint8_t checkByte);

// A member is written to a file of this name beside its destination and
// moved into place only when it is whole: the folder part of `path`, then
// "~ql", `number` as four hexadecimal digits and ".tmp".
std::u16string TempNameBeside(const std::u16string& path, uint16_t number);

// `fullPath` in the form the platform takes beyond the 260-character limit:
// "\\?\" before a drive path, "\\?\UNC\" in place of a share's leading
// separators, every "/" turned into "\" (that form is taken literally).
// Empty where there is no such form: a relative or drive-relative path, one
// already in that form, or one with a ".", ".." or empty segment.
std::u16string ExtendedLengthForm(const std::u16string& fullPath);

// A cleaned name that ends with a separator names a folder, whatever the
// entry's attributes say: writers such as Java's leave a folder's attribute
// bits empty, and every common extractor goes by the name.
bool NamesFolder(const std::u16string& cleanedName);

// What a file of `size` bytes takes on a volume whose clusters hold
// `clusterBytes` (0: no rounding). An empty file takes no cluster.
uint64_t ClusterRounded(uint64_t size, uint32_t clusterBytes);

// The journal of an extraction that stages its members: one line per step,
// written before the step is taken, so that whatever a run that never ended
// (killed, power lost, drive pulled) left on the drive can be undone by the
// next one, by exact name.
enum class JournalStep : char16_t {
    Temporary = u'T',  // first: a staged file about to be created
    Folder = u'D',     // first: a folder the run has created
    Backup = u'B',     // first: the destination, second: the name it is moved aside to
    // first: the staged file, second: its destination, third: the backup or
    // empty; and the staged file's size
    Move = u'M',
    Committed = u'C',  // every staged file is in place
    // first: a folder that goes once the commit is done, when nothing is
    // left in it (the folder of files the new version no longer ships)
    EmptiedFolder = u'E',
};
struct JournalEntry {
    JournalStep step;
    std::u16string first;
    std::u16string second;
    std::u16string third;
    uint64_t bytes = 0;
};
// One line, ending in a line feed. Paths never hold "|" or a line break.
std::u16string FormatJournalEntry(const JournalEntry& entry);
// The whole lines of a journal; a last line cut short by a crash is ignored,
// and so is any line that is not understood.
std::vector<JournalEntry> ParseJournal(const std::u16string& text);

// The file operations that settling a journal needs.
class IJournalFiles {
public:
    virtual ~IJournalFiles() = default;
    virtual bool Exists(const std::u16string& path) = 0;
    // Nothing for a path that is no file.
    virtual std::optional<uint64_t> FileSize(const std::u16string& path) = 0;
    // Clears the file's attributes first, so that a read-only file goes too.
    virtual bool Delete(const std::u16string& path) = 0;
    // Never over an existing file.
    virtual bool Rename(const std::u16string& from, const std::u16string& to) = 0;
    // Only an empty folder.
    virtual bool RemoveFolder(const std::u16string& path) = 0;
};
// A journal without its commit step is undone: new files that were moved in
// (the staged file gone, a file of its size at the destination) go, files moved aside come back, staged files and the run's empty folders
// go. With its commit step it is finished: what was moved aside goes, and
// the emptied folders it names go when nothing is left in them.
// Safe to repeat. True when nothing of the journal is left to do.
bool SettleJournal(const std::vector<JournalEntry>& entries, IJournalFiles& files);

// Whether a file of `fileSize` bytes that starts with these bytes is nothing
// but the end record of an archive without members (and its comment).
constexpr size_t kEndRecordSize = ZipRecords::EndRecord::kBytes;
bool IsBareEmptyEndRecord(const uint8_t* start, size_t length, uint64_t fileSize);

}  // namespace ZipRules
