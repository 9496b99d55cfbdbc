// The extraction rules on their own, built natively under sanitizers.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ZipJournalRules.h"
#include "ZipRules.h"

using namespace ZipRules;

namespace {

std::u16string U(const char* text)
{
    std::u16string out;
    for (; *text != 0; ++text) {
        out += static_cast<char16_t>(static_cast<unsigned char>(*text));
    }
    return out;
}

std::vector<uint8_t> UtBlock(uint8_t flags, std::vector<int32_t> seconds, int declaredSize = -1)
{
    std::vector<uint8_t> data{flags};
    for (int32_t value : seconds) {
        const uint32_t raw = static_cast<uint32_t>(value);
        for (int shift = 0; shift < 32; shift += 8) {
            data.push_back(static_cast<uint8_t>(raw >> shift));
        }
    }
    const size_t size = declaredSize >= 0 ? static_cast<size_t>(declaredSize) : data.size();
    std::vector<uint8_t> block{'U', 'T', static_cast<uint8_t>(size & 0xFF), static_cast<uint8_t>(size >> 8)};
    block.insert(block.end(), data.begin(), data.end());
    return block;
}

constexpr FileTime kUnixEpoch = 116444736000000000ULL;

FileTime At(int64_t seconds)
{
    return kUnixEpoch + static_cast<FileTime>(seconds) * 10000000ULL;
}

}  // namespace

TEST(ZipNameCleaning, TableOfStoredNames)
{
    EXPECT_EQ(CleanName(U("C:\\tools\\x.exe")), U("tools\\x.exe"));
    EXPECT_EQ(CleanName(U("/abs/file.txt")), U("abs/file.txt"));
    EXPECT_EQ(CleanName(U("\\\\server\\share\\f.txt")), U("server\\share\\f.txt"));
    EXPECT_EQ(CleanName(U("a/b/../c.txt")), U("c.txt"));
    EXPECT_EQ(CleanName(U("x\\..\\y\\..\\z.txt")), U("z.txt"));
    EXPECT_EQ(CleanName(U("docs/readme.txt")), U("docs/readme.txt"));
}

TEST(ZipNameCleaning, RulesApplyAgainFromTheTop)
{
    // Removing a parent step can uncover a drive or a separator again.
    EXPECT_EQ(CleanName(U("a\\..\\C:/\\b.txt")), U("b.txt"));
    EXPECT_EQ(CleanName(U("C:D:\\/e")), U("e"));
    // The first rule that matches wins, not the first occurrence.
    EXPECT_EQ(CleanName(U("p/../q\\..\\r")), U("r"));
    EXPECT_EQ(CleanName(U("p/..\\q")), U("q"));
    EXPECT_EQ(CleanName(U("p\\../q")), U("q"));
    // What the rules do not catch is left for the containment check.
    EXPECT_EQ(CleanName(U("dir\\sub\\..\\..\\f.txt")), U("..\\f.txt"));
    EXPECT_EQ(CleanName(U("/../x")), U("../x"));
    EXPECT_EQ(CleanName(U("a/b/..")), U("a/b/.."));
    EXPECT_EQ(CleanName(U("")), U(""));
    EXPECT_EQ(CleanName(U("C:")), U(""));
}

TEST(ZipNameCleaning, NothingAfterAnEmbeddedTerminatorCounts)
{
    std::u16string stored = U("safe.txt");
    stored += u'\0';
    stored += U("/../../evil");
    EXPECT_EQ(CleanName(stored), U("safe.txt"));
}

TEST(ZipContainment, NamesThatClimbOutAreRefused)
{
    EXPECT_EQ(CheckRelativeName(CleanName(U("dir\\sub\\..\\..\\f.txt"))), NameProblem::ParentSegment);
    EXPECT_EQ(CheckRelativeName(CleanName(U("/../x"))), NameProblem::ParentSegment);
    EXPECT_EQ(CheckRelativeName(U("a/b/..")), NameProblem::ParentSegment);
    EXPECT_EQ(CheckRelativeName(U("..")), NameProblem::ParentSegment);
    EXPECT_EQ(CheckRelativeName(U("a/. ./b")), NameProblem::ParentSegment);
    EXPECT_EQ(CheckRelativeName(U("a/.../b")), NameProblem::ParentSegment);
    EXPECT_EQ(CheckRelativeName(U("a/.. /b")), NameProblem::ParentSegment);
    EXPECT_EQ(CheckRelativeName(U("\\x")), NameProblem::FullPath);
    EXPECT_EQ(CheckRelativeName(U("C:x")), NameProblem::FullPath);
}

TEST(ZipContainment, StreamsAndDrivesInsideANameAreRefused)
{
    EXPECT_EQ(CheckRelativeName(U("f.txt:stream")), NameProblem::Colon);
    EXPECT_EQ(CheckRelativeName(U("dir/f.txt::$DATA")), NameProblem::Colon);
    EXPECT_EQ(CheckRelativeName(U("dir/C:/x")), NameProblem::Colon);
}

TEST(ZipContainment, DeviceNamesAreRefusedInAnySegment)
{
    for (const char* name : {"CON", "nul", "Aux", "PRN", "COM1", "lpt1", "LPT9", "COM0", "nul.txt",
                             "CON.tar.gz", "con ", "dir/NUL", "NUL/x.txt", "a/com3.log/b", "CONIN$",
                             "conout$"}) {
        EXPECT_EQ(CheckRelativeName(U(name)), NameProblem::DeviceName) << name;
    }
    std::u16string superscript = U("COM");
    superscript += u'\u00B9';
    EXPECT_EQ(CheckRelativeName(superscript), NameProblem::DeviceName);
}

TEST(ZipContainment, OrdinaryNamesPass)
{
    for (const char* name : {"", "f.txt", "docs/readme.txt", "a\\b\\c", "CONSOLE", "COM10", "NULL.txt",
                             "xcon", "con-x", ".", "./a", ".hidden", "a..b", "a/.x.", "data/"}) {
        EXPECT_EQ(CheckRelativeName(U(name)), NameProblem::None) << name;
    }
    std::u16string unicode = u"\u00FCber/\u65E5\u672C.txt";
    EXPECT_EQ(CheckRelativeName(unicode), NameProblem::None);
}

TEST(ZipAttributes, UnixHostsUseTheOwnerWriteBitAndTheDirectoryBit)
{
    EXPECT_EQ(MapAttributes(0100644u << 16, 3), kAttrArchive);
    EXPECT_EQ(MapAttributes(0100444u << 16, 3), kAttrArchive | kAttrReadOnly);
    EXPECT_EQ(MapAttributes(040755u << 16, 3), kAttrDirectory | kAttrArchive);
    // The DOS byte of a Unix entry is ignored.
    EXPECT_EQ(MapAttributes((0100644u << 16) | 0x07u, 3), kAttrArchive);
}

TEST(ZipAttributes, DosLikeHostsTakeTheLowByte)
{
    for (uint32_t host : {0u, 7u, 11u, 14u}) {
        EXPECT_EQ(MapAttributes(0x27u, host), kAttrArchive | kAttrSystem | kAttrHidden | kAttrReadOnly) << host;
        EXPECT_EQ(MapAttributes(0x10u, host), kAttrDirectory) << host;
        EXPECT_EQ(MapAttributes(0x00u | (0100444u << 16), host), 0u) << host;
    }
    EXPECT_EQ(MapAttributes(0x02u, 10), kAttrArchive | kAttrReadOnly);
}

TEST(ZipDosTime, FieldsComeFromTheirBits)
{
    const uint32_t date = (41u << 9) | (6u << 5) | 15u;     // 2021-06-15
    const uint32_t time = (13u << 11) | (45u << 5) | 15u;   // 13:45:30
    const auto calendar = DecodeDosDateTime((date << 16) | time);
    ASSERT_TRUE(calendar.has_value());
    EXPECT_EQ(calendar->year, 2021);
    EXPECT_EQ(calendar->month, 6);
    EXPECT_EQ(calendar->day, 15);
    EXPECT_EQ(calendar->hour, 13);
    EXPECT_EQ(calendar->minute, 45);
    EXPECT_EQ(calendar->second, 30);
    const auto last = DecodeDosDateTime((((127u << 9) | (12u << 5) | 31u) << 16) | (23u << 11) | (59u << 5) | 29u);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->year, 2107);
    EXPECT_EQ(last->second, 58);
}

TEST(ZipDosTime, DatesThatAreNoCalendarDateGiveNone)
{
    auto dateOnly = [](uint32_t year, uint32_t month, uint32_t day) {
        return DecodeDosDateTime((((year - 1980) << 9 | month << 5 | day) << 16));
    };
    EXPECT_FALSE(dateOnly(2020, 0, 1));
    EXPECT_FALSE(dateOnly(2020, 1, 0));
    EXPECT_FALSE(dateOnly(2020, 13, 1));
    EXPECT_FALSE(dateOnly(2021, 2, 29));
    EXPECT_TRUE(dateOnly(2020, 2, 29));
    EXPECT_FALSE(dateOnly(2100, 2, 29));
    EXPECT_TRUE(dateOnly(2000, 2, 29));
    EXPECT_FALSE(dateOnly(2020, 4, 31));
    const uint32_t validDate = ((40u << 9) | (1u << 5) | 1u) << 16;
    EXPECT_FALSE(DecodeDosDateTime(validDate | (24u << 11)));
    EXPECT_FALSE(DecodeDosDateTime(validDate | (60u << 5)));
    EXPECT_FALSE(DecodeDosDateTime(validDate | 30u));  // 60 seconds
    EXPECT_FALSE(DecodeDosDateTime(0));
}

TEST(ZipExtendedTimestamp, EachFlagCombinationReadsItsTimesInOrder)
{
    const int32_t m = 1600000000, a = 1600000100, c = 1600000200;
    for (uint8_t flags = 0; flags < 8; ++flags) {
        std::vector<int32_t> values;
        if (flags & 1) values.push_back(m);
        if (flags & 2) values.push_back(a);
        if (flags & 4) values.push_back(c);
        const std::vector<uint8_t> field = UtBlock(flags, values);
        const ExtendedTimes times = ReadExtendedTimestamp(field.data(), field.size());
        EXPECT_EQ(times.modification.has_value(), (flags & 1) != 0) << int(flags);
        EXPECT_EQ(times.access.has_value(), (flags & 2) != 0) << int(flags);
        EXPECT_EQ(times.creation.has_value(), (flags & 4) != 0) << int(flags);
        if (times.modification) EXPECT_EQ(*times.modification, At(m));
        if (times.access) EXPECT_EQ(*times.access, At(a));
        if (times.creation) EXPECT_EQ(*times.creation, At(c));
    }
}

TEST(ZipExtendedTimestamp, OtherBlocksAreSkippedAndSecondsAreSigned)
{
    std::vector<uint8_t> field{0x0A, 0x00, 0x03, 0x00, 'U', 'T', 0x09};  // NTFS-tagged block of 3
    const std::vector<uint8_t> ut = UtBlock(1, {-86400});
    field.insert(field.end(), ut.begin(), ut.end());
    const ExtendedTimes times = ReadExtendedTimestamp(field.data(), field.size());
    ASSERT_TRUE(times.modification.has_value());
    EXPECT_EQ(*times.modification, kUnixEpoch - 86400ULL * 10000000ULL);
    EXPECT_EQ(UnixSecondsToFileTime(INT32_MIN), (static_cast<uint64_t>(11644473600LL + INT32_MIN)) * 10000000ULL);
}

TEST(ZipExtendedTimestamp, ShortBlocksAndFieldsReadOnlyWhatTheyHold)
{
    // Flags announce three times, the block holds one and a half.
    std::vector<uint8_t> field = UtBlock(7, {100, 200});
    field.resize(field.size() - 2);
    field[2] = static_cast<uint8_t>(field.size() - 4);
    ExtendedTimes times = ReadExtendedTimestamp(field.data(), field.size());
    EXPECT_EQ(times.modification, std::optional<FileTime>(At(100)));
    EXPECT_FALSE(times.access);
    EXPECT_FALSE(times.creation);

    // The block claims more data than the field has.
    field = UtBlock(3, {100, 200}, 200);
    field.resize(field.size() - 1);
    times = ReadExtendedTimestamp(field.data(), field.size());
    EXPECT_TRUE(times.modification);
    EXPECT_FALSE(times.access);

    // The block's own size ends before the second time, though the field
    // goes on: the bytes after the block are not a time of it.
    field = UtBlock(3, {100, 200}, 5);
    times = ReadExtendedTimestamp(field.data(), field.size());
    EXPECT_TRUE(times.modification);
    EXPECT_FALSE(times.access);

    const std::vector<uint8_t> empty = UtBlock(1, {}, 0);
    times = ReadExtendedTimestamp(empty.data(), empty.size());
    EXPECT_FALSE(times.modification);
    const uint8_t tiny[] = {'U', 'T', 1, 0};
    EXPECT_FALSE(ReadExtendedTimestamp(tiny, sizeof(tiny)).modification);
    EXPECT_FALSE(ReadExtendedTimestamp(nullptr, 0).modification);
}

TEST(ZipPaths, SplitKeepsTheSeparatorWithTheDirectory)
{
    EXPECT_EQ(SplitAfterLastSeparator(U("sub/dir\\file.txt")).directory, U("sub/dir\\"));
    EXPECT_EQ(SplitAfterLastSeparator(U("sub/dir\\file.txt")).file, U("file.txt"));
    EXPECT_EQ(SplitAfterLastSeparator(U("file.txt")).directory, U(""));
    EXPECT_EQ(SplitAfterLastSeparator(U("data/")).file, U(""));
}

TEST(ZipPaths, DirectoriesAreMadeFromTheTopDown)
{
    using List = std::vector<std::u16string>;
    EXPECT_EQ(DirectoriesTopDown(U("sub/dir/")), (List{U("sub"), U("sub/dir"), U("sub/dir/")}));
    EXPECT_EQ(DirectoriesTopDown(U("a\\b")), (List{U("a"), U("a\\b")}));
    EXPECT_EQ(DirectoriesTopDown(U("\\top\\x\\")), (List{U("\\top"), U("\\top\\x"), U("\\top\\x\\")}));
    EXPECT_EQ(DirectoriesTopDown(U("")), List{});
}

TEST(ZipPaths, RootFitsThePathBuffer)
{
    EXPECT_EQ(MakeRoot(U("E:\\")), U("E:\\"));
    EXPECT_EQ(MakeRoot(U("C:\\work")), U("C:\\work\\"));
    EXPECT_EQ(MakeRoot(U("C:/work/")), U("C:/work/"));
    EXPECT_EQ(MakeRoot(U("")), U(""));
    const std::u16string deep = U("C:\\") + std::u16string(255, u'd');  // 258 code units
    EXPECT_EQ(MakeRoot(deep).size(), 259u);
    EXPECT_EQ(MakeRoot(deep + u'd'), U(""));
    EXPECT_EQ(MakeRoot(deep + u'\\').size(), 259u);
}

TEST(ZipPaths, ExtendedLengthFormOnlyForPathsItNamesTheSame)
{
    EXPECT_EQ(ExtendedLengthForm(U("E:\\deep/dir\\~ql00AF.tmp")), U("\\\\?\\E:\\deep\\dir\\~ql00AF.tmp"));
    EXPECT_EQ(ExtendedLengthForm(U("\\\\server\\share\\f")), U("\\\\?\\UNC\\server\\share\\f"));
    for (const char* none : {"dir\\f", "E:f", "\\top\\f", "\\\\?\\E:\\f", "\\\\.\\E:\\f",
                             "E:\\a\\..\\f", "E:\\.\\f", "E:\\a\\\\f", "\\\\server\\..\\f", ""}) {
        EXPECT_EQ(ExtendedLengthForm(U(none)), U("")) << none;
    }
}

TEST(ZipEncryption, CheckByteOfAnEmptyPassword)
{
    // Twelve header bytes 0x30..0x3B decrypt with an empty password to a
    // last byte of 0xD1 (worked out with another implementation).
    uint8_t header[12];
    for (int i = 0; i < 12; ++i) {
        header[i] = static_cast<uint8_t>(0x30 + i);
    }
    EXPECT_TRUE(EmptyPasswordCheckByteMatches(header, sizeof(header), 0xD1));
    EXPECT_FALSE(EmptyPasswordCheckByteMatches(header, sizeof(header), 0xD0));
    EXPECT_FALSE(EmptyPasswordCheckByteMatches(header, 11, 0xD1));
}

TEST(ZipEmptyArchive, OnlyABareEndRecordWithoutMembersCounts)
{
    uint8_t record[22] = {'P', 'K', 5, 6};
    EXPECT_TRUE(IsBareEmptyEndRecord(record, sizeof(record), 22));
    record[20] = 3;  // a comment of three bytes follows
    EXPECT_TRUE(IsBareEmptyEndRecord(record, sizeof(record), 25));
    EXPECT_FALSE(IsBareEmptyEndRecord(record, sizeof(record), 22));
    record[20] = 0;
    record[10] = 1;  // one member
    EXPECT_FALSE(IsBareEmptyEndRecord(record, sizeof(record), 22));
    record[10] = 0;
    record[0] = 'Q';
    EXPECT_FALSE(IsBareEmptyEndRecord(record, sizeof(record), 22));
    EXPECT_FALSE(IsBareEmptyEndRecord(record, 21, 22));
}

namespace {

// A drive as a set of file names; renames refuse an existing target.
class FakeDrive : public IJournalFiles {
public:
    bool Exists(const std::u16string& path) override { return files.count(path) != 0; }
    std::optional<uint64_t> FileSize(const std::u16string& path) override
    {
        const auto file = files.find(path);
        return file != files.end() ? std::optional<uint64_t>(file->second.size()) : std::nullopt;
    }
    bool Delete(const std::u16string& path) override { return files.erase(path) == 1; }
    bool Rename(const std::u16string& from, const std::u16string& to) override
    {
        if (files.count(from) == 0 || files.count(to) != 0) {
            return false;
        }
        files[to] = files[from];
        files.erase(from);
        return true;
    }
    // Only an empty one.
    bool RemoveFolder(const std::u16string& path) override
    {
        for (const auto& file : files) {
            if (file.first.size() > path.size() && file.first.compare(0, path.size(), path) == 0 &&
                IsSeparator(file.first[path.size()])) {
                return false;
            }
        }
        return files.erase(path) == 1;
    }
    std::map<std::u16string, std::string> files;
};

std::vector<JournalEntry> Reread(const std::vector<JournalEntry>& entries)
{
    std::u16string text;
    for (const JournalEntry& entry : entries) {
        text += FormatJournalEntry(entry);
    }
    return ParseJournal(text);
}

}  // namespace

// A run that stopped inside its move window: a.txt is new and its old file
// aside, b.txt is still old with its new file staged, c.txt had no old file
// and its new one is in. Settling takes every one back to the old tree, as
// often as it is asked; once committed, only what was moved aside goes.
TEST(ZipRules, JournalUndoesAnUnfinishedRunAndFinishesACommittedOne)
{
    const std::vector<JournalEntry> journal = Reread({
        {JournalStep::Folder, U("E:\\new"), {}, {}},
        {JournalStep::Temporary, U("E:\\~ql0001.tmp"), {}, {}},
        {JournalStep::Temporary, U("E:\\~ql0002.tmp"), {}, {}},
        {JournalStep::Temporary, U("E:\\new\\~ql0003.tmp"), {}, {}},
        {JournalStep::Backup, U("E:\\a.txt"), U("E:\\~ql0004.tmp"), {}},
        {JournalStep::Move, U("E:\\~ql0001.tmp"), U("E:\\a.txt"), U("E:\\~ql0004.tmp"), 5},
        {JournalStep::Move, U("E:\\new\\~ql0003.tmp"), U("E:\\new\\c.txt"), {}, 5},
    });
    ASSERT_EQ(7u, journal.size());
    FakeDrive drive;
    drive.files = {{U("E:\\a.txt"), "new a"},        {U("E:\\~ql0004.tmp"), "old a"},
                   {U("E:\\b.txt"), "old b"},        {U("E:\\~ql0002.tmp"), "new b"},
                   {U("E:\\new\\c.txt"), "new c"},   {U("E:\\new"), ""},
                   {U("E:\\user.txt"), "not ours"}};
    const std::map<std::u16string, std::string> old = {
        {U("E:\\a.txt"), "old a"}, {U("E:\\b.txt"), "old b"}, {U("E:\\user.txt"), "not ours"}};
    EXPECT_TRUE(SettleJournal(journal, drive));
    EXPECT_EQ(old, drive.files);
    EXPECT_TRUE(SettleJournal(journal, drive));
    EXPECT_EQ(old, drive.files);

    // The same run with its commit step (and a last line cut short): the
    // new files stay and the old ones moved aside go.
    std::u16string text;
    for (const JournalEntry& entry : journal) {
        text += FormatJournalEntry(entry);
    }
    text += FormatJournalEntry({JournalStep::Committed, {}, {}, {}}) + U("T|E:\\cut");
    drive.files = {{U("E:\\a.txt"), "new a"}, {U("E:\\~ql0004.tmp"), "old a"}, {U("E:\\new\\c.txt"), "new c"},
                   {U("E:\\new"), ""}};
    EXPECT_TRUE(SettleJournal(ParseJournal(text), drive));
    const std::map<std::u16string, std::string> now = {
        {U("E:\\a.txt"), "new a"}, {U("E:\\new\\c.txt"), "new c"}, {U("E:\\new"), ""}};
    EXPECT_EQ(now, drive.files);

    // A move recorded but never made: the staged file is still there, so
    // what stands at the destination is not the run's and stays.
    drive.files = {{U("E:\\~ql0005.tmp"), "new d"}, {U("E:\\d.txt"), "not ours"}};
    EXPECT_TRUE(SettleJournal(Reread({{JournalStep::Temporary, U("E:\\~ql0005.tmp"), {}, {}},
                                      {JournalStep::Move, U("E:\\~ql0005.tmp"), U("E:\\d.txt"), {}, 5}}),
                              drive));
    EXPECT_EQ((std::map<std::u16string, std::string>{{U("E:\\d.txt"), "not ours"}}), drive.files);
}

// The journal as it travels with the stick: written relative to the
// product's folder on E:, settled under F: on the next machine; the files
// the new version no longer ships come back when the run did not commit,
// and go with their emptied folder when it did.
TEST(ZipRules, StickJournalSettlesUnderAnyLetterAndTakesObsoleteFilesWithTheCommit)
{
    const std::u16string written = U("E:\\Quillon\\");
    std::u16string text;
    for (const JournalEntry& entry : std::vector<JournalEntry>{
             {JournalStep::Temporary, U("E:\\Quillon\\~ql0001.tmp"), {}, {}},
             {JournalStep::Backup, U("\\\\?\\e:\\quillon\\a.txt"), U("E:\\Quillon\\~ql0002.tmp"), {}},
             {JournalStep::Move, U("E:/Quillon/~ql0001.tmp"), U("E:\\Quillon\\a.txt"), U("E:\\Quillon\\~ql0002.tmp"), 5},
             {JournalStep::Backup, U("E:\\Quillon\\docs\\old.txt"), U("E:\\Quillon\\docs\\~ql0003.tmp"), {}},
             {JournalStep::EmptiedFolder, U("E:\\Quillon\\docs"), {}, {}},
         }) {
        JournalEntry relative{entry.step, {}, {}, {}, entry.bytes};
        relative.first = RelativeToFolder(entry.first, written);
        relative.second = entry.second.empty() ? entry.second : RelativeToFolder(entry.second, written);
        relative.third = entry.third.empty() ? entry.third : RelativeToFolder(entry.third, written);
        ASSERT_FALSE(relative.first.empty());
        text += FormatJournalEntry(relative);
    }
    EXPECT_EQ(U(""), RelativeToFolder(U("E:\\Other\\a.txt"), written));
    EXPECT_EQ(U(""), RelativeToFolder(U("E:\\Quillon"), written));

    const std::vector<JournalEntry> found = ParseJournal(text);
    ASSERT_EQ(5u, found.size());
    EXPECT_EQ(JournalRefusal::None, CheckFoundJournal(found));
    const auto resolved = ResolveInFolder(found, U("F:\\"));
    ASSERT_TRUE(resolved);

    FakeDrive drive;
    const std::map<std::u16string, std::string> before = {
        {U("F:\\a.txt"), "old a"}, {U("F:\\docs\\old.txt"), "old doc"}, {U("F:\\docs"), ""}};
    drive.files = {{U("F:\\a.txt"), "new a"}, {U("F:\\~ql0002.tmp"), "old a"},
                   {U("F:\\docs\\~ql0003.tmp"), "old doc"}, {U("F:\\docs"), ""}};
    EXPECT_TRUE(SettleJournal(*resolved, drive));
    EXPECT_EQ(before, drive.files);

    std::vector<JournalEntry> committed = *resolved;
    committed.push_back({JournalStep::Committed, {}, {}, {}});
    drive.files = {{U("F:\\a.txt"), "new a"}, {U("F:\\~ql0002.tmp"), "old a"},
                   {U("F:\\docs\\~ql0003.tmp"), "old doc"}, {U("F:\\docs"), ""}};
    EXPECT_TRUE(SettleJournal(committed, drive));
    EXPECT_EQ((std::map<std::u16string, std::string>{{U("F:\\a.txt"), "new a"}}), drive.files);
    // A folder that still holds something else stays.
    drive.files = {{U("F:\\docs\\~ql0003.tmp"), "old doc"}, {U("F:\\docs"), ""},
                   {U("F:\\docs\\mine.txt"), "the user's"}};
    EXPECT_TRUE(SettleJournal(committed, drive));
    EXPECT_EQ((std::map<std::u16string, std::string>{{U("F:\\docs"), ""}, {U("F:\\docs\\mine.txt"), "the user's"}}),
              drive.files);
}

// A journal someone else wrote on the stick: one line that names anything
// but what a staging run makes inside the product's folder refuses it all.
TEST(ZipRules, JournalFoundOnTheDriveNamesOnlyWhatStagingMakes)
{
    const struct {
        const char* line;
        JournalRefusal refusal;
    } cases[] = {
        {"T|~ql00aF.tmp\n", JournalRefusal::None},
        {"M|sub\\~QL0001.TMP|sub\\a.txt||12\n", JournalRefusal::None},
        {"T|C:\\Windows\\~ql0001.tmp\n", JournalRefusal::NotRelative},
        {"T|\\\\server\\share\\~ql0001.tmp\n", JournalRefusal::NotRelative},
        {"D|..\\elsewhere\n", JournalRefusal::NotRelative},
        {"E|\\Windows\n", JournalRefusal::NotRelative},
        {"M|~ql0001.tmp|CON||0\n", JournalRefusal::NotRelative},
        {"B|a.txt|a.txt:stream\n", JournalRefusal::NotRelative},
        {"T|a.txt\n", JournalRefusal::NotStaged},
        {"T|~ql001.tmp\n", JournalRefusal::NotStaged},
        {"T|~qlXYZW.tmp\n", JournalRefusal::NotStaged},
        {"B|a.txt|b.txt\n", JournalRefusal::NotStaged},
        {"M|a.txt|b.txt||0\n", JournalRefusal::NotStaged},
        {"M|~ql0001.tmp|b.txt|c.txt|0\n", JournalRefusal::NotStaged},
        {"B|a.txt|sub\\~ql0001.tmp\n", JournalRefusal::OtherFolder},
        {"M|~ql0001.tmp|sub\\b.txt||0\n", JournalRefusal::OtherFolder},
    };
    for (const auto& each : cases) {
        const std::u16string text = U("T|~ql0002.tmp\n") + U(each.line) + U("C\n");
        EXPECT_EQ(each.refusal, CheckFoundJournal(ParseJournal(text))) << each.line;
    }
    EXPECT_TRUE(IsStagingName(TempNameBeside(U("x"), 0xBEEF)));

    // A move's undo takes only a file of the staged size: one that merely
    // bears the destination's name stays.
    FakeDrive drive;
    drive.files = {{U("F:\\user.txt"), "not ours"}};
    const auto found = ParseJournal(U("T|~ql0001.tmp\nM|~ql0001.tmp|user.txt||5\nM|~ql0001.tmp|user.txt||x\n"));
    ASSERT_EQ(2u, found.size());
    EXPECT_TRUE(SettleJournal(*ResolveInFolder(found, U("F:\\")), drive));
    EXPECT_EQ(1u, drive.files.size());
}
