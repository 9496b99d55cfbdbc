// The extraction layer's pure rules (see ZipRules.h): no platform header,
// so that the same file builds natively under sanitizers and the fuzzer.

#include "ZipRules.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace ZipRules {
namespace {

char16_t AsciiUpper(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool IsDeviceBase(const std::u16string& base)
{
    std::u16string upper;
    upper.reserve(base.size());
    for (char16_t c : base) {
        upper += AsciiUpper(c);
    }
    static const char16_t* const kPlain[] = {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
    for (const char16_t* device : kPlain) {
        if (upper == device) {
            return true;
        }
    }
    // COM and LPT with one digit; Windows also accepts the superscript
    // digits one to three there.
    if (upper.size() == 4 && (upper.compare(0, 3, u"COM") == 0 || upper.compare(0, 3, u"LPT") == 0)) {
        const char16_t digit = upper[3];
        return (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' ||
               digit == u'\u00B3';
    }
    return false;
}

// Windows drops trailing dots and spaces from path segments, so "..", ". ."
// and "... " all can end up naming the parent folder. A segment made of
// nothing but dots and spaces, with two dots or more, is treated as one.
bool IsParentLike(const std::u16string& segment)
{
    size_t dots = 0;
    for (char16_t c : segment) {
        if (c == u'.') {
            ++dots;
        } else if (c != u' ') {
            return false;
        }
    }
    return dots >= 2;
}

int DaysInMonth(int year, int month)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) {
        return 29;
    }
    return kDays[month - 1];
}

// The CRC-32 table of the traditional zip cipher's key schedule.
const std::array<uint32_t, 256>& CrcTable()
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> entries{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
            }
            entries[n] = c;
        }
        return entries;
    }();
    return table;
}

struct CipherKeys {
    uint32_t k0 = 0x12345678u;
    uint32_t k1 = 0x23456789u;
    uint32_t k2 = 0x34567890u;

    static uint32_t Crc(uint32_t crc, uint8_t byte) { return CrcTable()[(crc ^ byte) & 0xFF] ^ (crc >> 8); }

    void Update(uint8_t plain)
    {
        k0 = Crc(k0, plain);
        k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1u;
        k2 = Crc(k2, static_cast<uint8_t>(k1 >> 24));
    }

    uint8_t Decrypt(uint8_t cipher)
    {
        const uint32_t temp = (k2 | 2u) & 0xFFFFu;
        const uint8_t plain = static_cast<uint8_t>(cipher ^ static_cast<uint8_t>((temp * (temp ^ 1u)) >> 8));
        Update(plain);
        return plain;
    }
};

// The "UT" block at `offset` of a field of `length` bytes. Only what lies
// inside both the block and the field is read. A time that its flag
// announces but that does not fit there is left out, and the member keeps
// its DOS time for it.
ExtendedTimes ReadUtBlock(const uint8_t* field, size_t length, size_t offset, size_t dataSize)
{
    ExtendedTimes times;
    const size_t blockEnd = std::min(offset + 4 + dataSize, length);
    if (dataSize == 0) {
        return times;
    }
    const uint8_t flags = field[offset + 4];
    size_t at = offset + 5;
    std::optional<FileTime>* const slots[] = {&times.modification, &times.access, &times.creation};
    for (int bit = 0; bit < 3; ++bit) {
        if ((flags & (1u << bit)) == 0) {
            continue;
        }
        if (at + 4 > blockEnd) {
            break;
        }
        *slots[bit] = UnixSecondsToFileTime(static_cast<int32_t>(ZipRecords::Read32(field + at)));
        at += 4;
    }
    return times;
}

std::u16string Decimal(uint64_t value)
{
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

// Decimal digits only, that fit 64 bits.
std::optional<uint64_t> ParseDecimal(const std::u16string& text)
{
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9' || value > (UINT64_MAX - (c - u'0')) / 10) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - u'0');
    }
    return value;
}

// The "|"-led fields that follow a journal line's step character.
std::vector<std::u16string> SplitJournalFields(const std::u16string& line)
{
    std::vector<std::u16string> fields;
    size_t from = 1;
    while (from < line.size() && line[from] == u'|') {
        const size_t next = line.find(u'|', from + 1);
        fields.push_back(line.substr(from + 1, next == std::u16string::npos ? std::u16string::npos
                                                                            : next - from - 1));
        from = next == std::u16string::npos ? line.size() : next;
    }
    return fields;
}

// How many fields a step's line carries; nothing for a step that is not
// understood.
std::optional<size_t> JournalFieldCount(JournalStep step)
{
    switch (step) {
    case JournalStep::Committed:
        return 0;
    case JournalStep::Temporary:
    case JournalStep::Folder:
    case JournalStep::EmptiedFolder:
        return 1;
    case JournalStep::Backup:
        return 2;
    case JournalStep::Move:
        return 4;
    }
    return std::nullopt;
}

// A file the journal names goes if it is there; false when it stays.
bool RemoveIfThere(IJournalFiles& files, const std::u16string& path)
{
    return !files.Exists(path) || files.Delete(path);
}

using EntryIterator = std::vector<JournalEntry>::const_iterator;

// The steps of runs that committed: what they moved aside, and any staged
// file left behind, go.
bool FinishCommitted(EntryIterator begin, EntryIterator end, IJournalFiles& files)
{
    bool settled = true;
    for (auto entry = begin; entry != end; ++entry) {
        if (entry->step == JournalStep::Backup) {
            if (!RemoveIfThere(files, entry->second)) {
                settled = false;
            }
        } else if (entry->step == JournalStep::Temporary) {
            if (!RemoveIfThere(files, entry->first)) {
                settled = false;
            }
        } else if (entry->step == JournalStep::EmptiedFolder && files.Exists(entry->first)) {
            // One that still holds something else stays, and that is all.
            files.RemoveFolder(entry->first);
        }
    }
    return settled;
}

// Takes back one step of a run that did not commit; false when it could
// not be.
bool UndoStep(const JournalEntry& entry, IJournalFiles& files)
{
    switch (entry.step) {
    case JournalStep::Move:
        // Moved in when the staged file is gone and the destination is
        // there. With a backup recorded, only while that backup is still
        // aside: once it is back, the destination is the old file again.
        // The size keeps a line that someone else wrote from removing a
        // file that merely bears the destination's name.
        if (!files.Exists(entry.first) && files.FileSize(entry.second) == entry.bytes &&
            (entry.third.empty() || files.Exists(entry.third))) {
            return files.Delete(entry.second);
        }
        return true;
    case JournalStep::Backup:
        if (files.Exists(entry.second)) {
            return !files.Exists(entry.first) && files.Rename(entry.second, entry.first);
        }
        return true;
    case JournalStep::Temporary:
        return RemoveIfThere(files, entry.first);
    case JournalStep::Folder:
        // A folder that is not empty holds something that is not the
        // run's: it stays, and there is nothing more to do about it.
        if (files.Exists(entry.first)) {
            files.RemoveFolder(entry.first);
        }
        return true;
    case JournalStep::Committed:
    case JournalStep::EmptiedFolder:
        return true;
    }
    return true;
}

}  // namespace

std::u16string MakeRoot(const std::u16string& currentDirectory)
{
    std::u16string root = currentDirectory.substr(0, currentDirectory.find(u'\0'));
    if (root.empty()) {
        return root;
    }
    if (!IsSeparator(root.back())) {
        root += u'\\';
    }
    if (root.size() > kMaxPath - 1) {
        return std::u16string();
    }
    return root;
}

std::u16string CleanName(std::u16string name)
{
    // Stored names are C strings to every reader of the format: nothing
    // after an embedded terminator counts.
    const size_t terminator = name.find(u'\0');
    if (terminator != std::u16string::npos) {
        name.resize(terminator);
    }
    static const char16_t* const kParentSteps[] = {u"\\..\\", u"\\../", u"/../", u"/..\\"};
    for (;;) {
        if (name.size() >= 2 && name[1] == u':') {
            name.erase(0, 2);
            continue;
        }
        if (!name.empty() && (name[0] == u'\\' || name[0] == u'/')) {
            name.erase(0, 1);
            continue;
        }
        bool changed = false;
        for (const char16_t* step : kParentSteps) {
            const size_t at = name.find(step);
            if (at != std::u16string::npos) {
                name.erase(0, at + 4);
                changed = true;
                break;
            }
        }
        if (!changed) {
            return name;
        }
    }
}

bool IsFullPath(const std::u16string& name)
{
    return (!name.empty() && IsSeparator(name[0])) || (name.size() >= 2 && name[1] == u':');
}

NameProblem CheckRelativeName(const std::u16string& name)
{
    if (IsFullPath(name)) {
        return NameProblem::FullPath;
    }
    if (name.find(u':') != std::u16string::npos) {
        return NameProblem::Colon;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !IsSeparator(name[end])) {
            ++end;
        }
        const std::u16string segment = name.substr(start, end - start);
        if (IsParentLike(segment)) {
            return NameProblem::ParentSegment;
        }
        // "nul.txt" and "CON  " are the device too: what counts is the part
        // before the first dot, without trailing spaces.
        std::u16string base = segment.substr(0, segment.find(u'.'));
        while (!base.empty() && base.back() == u' ') {
            base.pop_back();
        }
        if (IsDeviceBase(base)) {
            return NameProblem::DeviceName;
        }
        start = end + 1;
    }
    return NameProblem::None;
}

uint32_t MapAttributes(uint32_t externalAttributes, uint32_t hostSystem)
{
    bool directory = (externalAttributes & 0x40000000u) != 0;
    bool readOnly = (externalAttributes & 0x00800000u) == 0;
    bool hidden = false;
    bool system = false;
    bool archive = true;
    // Hosts that store the DOS attribute byte in the low bits: MS-DOS and
    // OS/2 FAT, Windows NTFS, VFAT, OS X... as the format's table numbers them.
    if (hostSystem == 0 || hostSystem == 7 || hostSystem == 11 || hostSystem == 14) {
        readOnly = (externalAttributes & 0x01u) != 0;
        hidden = (externalAttributes & 0x02u) != 0;
        system = (externalAttributes & 0x04u) != 0;
        directory = (externalAttributes & 0x10u) != 0;
        archive = (externalAttributes & 0x20u) != 0;
    }
    uint32_t attributes = 0;
    if (directory) {
        attributes |= kAttrDirectory;
    }
    if (archive) {
        attributes |= kAttrArchive;
    }
    if (hidden) {
        attributes |= kAttrHidden;
    }
    if (readOnly) {
        attributes |= kAttrReadOnly;
    }
    if (system) {
        attributes |= kAttrSystem;
    }
    return attributes;
}

std::optional<CalendarTime> DecodeDosDateTime(uint32_t dosDateTime)
{
    const uint32_t date = dosDateTime >> 16;
    const uint32_t time = dosDateTime & 0xFFFFu;
    CalendarTime calendar;
    calendar.year = 1980 + static_cast<int>(date >> 9);
    calendar.month = static_cast<int>((date >> 5) & 0x0F);
    calendar.day = static_cast<int>(date & 0x1F);
    calendar.hour = static_cast<int>(time >> 11);
    calendar.minute = static_cast<int>((time >> 5) & 0x3F);
    calendar.second = 2 * static_cast<int>(time & 0x1F);
    if (calendar.month < 1 || calendar.month > 12 || calendar.day < 1 ||
        calendar.day > DaysInMonth(calendar.year, calendar.month) || calendar.hour > 23 ||
        calendar.minute > 59 || calendar.second > 59) {
        return std::nullopt;
    }
    return calendar;
}

FileTime UnixSecondsToFileTime(int32_t seconds)
{
    // The smallest int32 plus the offset is still positive, so the product
    // stays inside 64 bits.
    return static_cast<FileTime>(static_cast<int64_t>(seconds) + 11644473600LL) * 10000000ULL;
}

ExtendedTimes ReadExtendedTimestamp(const uint8_t* field, size_t length)
{
    if (field == nullptr || length <= 4) {
        return ExtendedTimes();
    }
    size_t offset = 0;
    while (offset + 4 < length) {
        const size_t dataSize = ZipRecords::Read16(field + offset + 2);
        if (field[offset] == 'U' && field[offset + 1] == 'T') {
            return ReadUtBlock(field, length, offset, dataSize);
        }
        offset += 4 + dataSize;
    }
    return ExtendedTimes();
}

SplitPath SplitAfterLastSeparator(const std::u16string& name)
{
    const size_t last = name.find_last_of(u"\\/");
    if (last == std::u16string::npos) {
        return {std::u16string(), name};
    }
    return {name.substr(0, last + 1), name.substr(last + 1)};
}

std::vector<std::u16string> DirectoriesTopDown(const std::u16string& directory)
{
    // Each folder before a separator (but one at the very start, which only
    // names the top of a full path), then the whole path.
    std::vector<std::u16string> chain;
    if (directory.empty()) {
        return chain;
    }
    for (size_t i = 1; i < directory.size(); ++i) {
        if (IsSeparator(directory[i])) {
            chain.push_back(directory.substr(0, i));
        }
    }
    chain.push_back(directory);
    return chain;
}

bool EmptyPasswordCheckByteMatches(const uint8_t* header, size_t length, uint8_t checkByte)
{
    if (header == nullptr || length < 12) {
        return false;
    }
    CipherKeys keys;  // an empty password leaves the initial keys as they are
    uint8_t last = 0;
    for (size_t i = 0; i < 12; ++i) {
        last = keys.Decrypt(header[i]);
    }
    return last == checkByte;
}

bool IsBareEmptyEndRecord(const uint8_t* start, size_t length, uint64_t fileSize)
{
    if (start == nullptr || length < kEndRecordSize || fileSize < kEndRecordSize) {
        return false;
    }
    namespace End = ZipRecords::EndRecord;
    if (ZipRecords::Read32(start) != End::kSignature) {
        return false;
    }
    // Disk numbers, both member counts, directory size and offset: all 0.
    for (size_t at = End::kThisDisk; at < End::kCommentLength; at += 2) {
        if (ZipRecords::Read16(start + at) != 0) {
            return false;
        }
    }
    return fileSize == kEndRecordSize + ZipRecords::Read16(start + End::kCommentLength);
}

std::u16string TempNameBeside(const std::u16string& path, uint16_t number)
{
    static const char16_t kHex[] = u"0123456789ABCDEF";
    const SplitPath split = SplitAfterLastSeparator(path);
    std::u16string name = split.directory + u"~ql";
    for (int shift = 12; shift >= 0; shift -= 4) {
        name += kHex[(number >> shift) & 0xF];
    }
    return name + u".tmp";
}

std::u16string ExtendedLengthForm(const std::u16string& fullPath)
{
    std::u16string path = fullPath;
    for (char16_t& each : path) {
        if (each == u'/') {
            each = u'\\';
        }
    }
    std::u16string prefix;
    size_t segmentsFrom = 0;
    if (path.size() >= 3 && path[1] == u':' && path[2] == u'\\' && path[0] != u'\\') {
        prefix = u"\\\\?\\";
        segmentsFrom = 3;
    } else if (path.size() > 2 && path[0] == u'\\' && path[1] == u'\\' && path[2] != u'?' &&
               path[2] != u'.' && path[2] != u'\\') {
        prefix = u"\\\\?\\UNC\\";
        path.erase(0, 2);
    } else {
        return std::u16string();
    }
    // The platform resolves nothing in this form, so a path with steps to
    // resolve or doubled separators to fold has none.
    size_t start = segmentsFrom;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) {
            end = path.size();
        }
        const std::u16string segment = path.substr(start, end - start);
        if (segment.empty() || segment == u"." || segment == u"..") {
            return std::u16string();
        }
        start = end + 1;
    }
    return prefix + path;
}

bool NamesFolder(const std::u16string& cleanedName)
{
    return !cleanedName.empty() && IsSeparator(cleanedName.back());
}

uint64_t ClusterRounded(uint64_t size, uint32_t clusterBytes)
{
    if (clusterBytes == 0 || size == 0) {
        return size;
    }
    return (size + clusterBytes - 1) / clusterBytes * clusterBytes;
}

std::u16string FormatJournalEntry(const JournalEntry& entry)
{
    std::u16string line(1, static_cast<char16_t>(entry.step));
    switch (entry.step) {
    case JournalStep::Committed:
        break;
    case JournalStep::Temporary:
    case JournalStep::Folder:
    case JournalStep::EmptiedFolder:
        line += u"|" + entry.first;
        break;
    case JournalStep::Backup:
        line += u"|" + entry.first + u"|" + entry.second;
        break;
    case JournalStep::Move:
        line += u"|" + entry.first + u"|" + entry.second + u"|" + entry.third + u"|" + Decimal(entry.bytes);
        break;
    }
    return line + u"\n";
}

std::vector<JournalEntry> ParseJournal(const std::u16string& text)
{
    std::vector<JournalEntry> entries;
    size_t start = 0;
    for (size_t end = text.find(u'\n'); end != std::u16string::npos;
         start = end + 1, end = text.find(u'\n', start)) {
        const std::u16string line = text.substr(start, end - start);
        if (line.empty()) {
            continue;
        }
        std::vector<std::u16string> fields = SplitJournalFields(line);
        JournalEntry entry{static_cast<JournalStep>(line[0]), {}, {}, {}};
        const std::optional<size_t> wanted = JournalFieldCount(entry.step);
        if (!wanted || fields.size() != *wanted || (*wanted > 0 && fields[0].empty()) ||
            (*wanted > 1 && fields[1].empty())) {
            continue;
        }
        if (entry.step == JournalStep::Move) {
            const std::optional<uint64_t> bytes = ParseDecimal(fields[3]);
            if (!bytes) {
                continue;
            }
            entry.bytes = *bytes;
        }
        fields.resize(3);
        entry.first = fields[0];
        entry.second = fields[1];
        entry.third = fields[2];
        entries.push_back(entry);
    }
    return entries;
}

bool SettleJournal(const std::vector<JournalEntry>& entries, IJournalFiles& files)
{
    // Everything up to the last commit step is finished; what follows it
    // belongs to a run that did not commit, and is undone.
    auto committedEnd = entries.begin();
    for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
        if (entry->step == JournalStep::Committed) {
            committedEnd = entry + 1;
        }
    }
    bool settled = FinishCommitted(entries.begin(), committedEnd, files);
    // Newest first: a file moved in goes before the file it displaced comes
    // back, and a folder is removed only once what was staged in it is gone.
    for (auto entry = entries.rbegin(); entry != std::make_reverse_iterator(committedEnd); ++entry) {
        if (!UndoStep(*entry, files)) {
            settled = false;
        }
    }
    return settled;
}

}  // namespace ZipRules
