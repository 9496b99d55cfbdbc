#include "ZipJournalRules.h"

namespace ZipRules {
namespace {

char16_t Folded(char16_t c)
{
    if (c == u'/') {
        return u'\\';
    }
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

std::u16string WithoutExtendedPrefix(const std::u16string& path)
{
    static const std::u16string kUnc = u"\\\\?\\UNC\\";
    static const std::u16string kPlain = u"\\\\?\\";
    if (path.compare(0, kUnc.size(), kUnc) == 0) {
        return u"\\\\" + path.substr(kUnc.size());
    }
    if (path.compare(0, kPlain.size(), kPlain) == 0) {
        return path.substr(kPlain.size());
    }
    return path;
}

bool IsHexDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// A relative name the version record's rules would take.
bool InsideName(const std::u16string& name)
{
    return !name.empty() && !IsSeparator(name[0]) && CheckRelativeName(name) == NameProblem::None;
}

bool StagedFileName(const std::u16string& name)
{
    return InsideName(name) && IsStagingName(SplitAfterLastSeparator(name).file);
}

bool SameFolder(const std::u16string& one, const std::u16string& other)
{
    const std::u16string a = SplitAfterLastSeparator(one).directory;
    const std::u16string b = SplitAfterLastSeparator(other).directory;
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Folded(a[i]) != Folded(b[i])) {
            return false;
        }
    }
    return true;
}

JournalRefusal CheckEntry(const JournalEntry& entry)
{
    switch (entry.step) {
    case JournalStep::Committed:
        return JournalRefusal::None;
    case JournalStep::Folder:
    case JournalStep::EmptiedFolder:
        return InsideName(entry.first) ? JournalRefusal::None : JournalRefusal::NotRelative;
    case JournalStep::Temporary:
        if (!InsideName(entry.first)) {
            return JournalRefusal::NotRelative;
        }
        return StagedFileName(entry.first) ? JournalRefusal::None : JournalRefusal::NotStaged;
    case JournalStep::Backup:
        if (!InsideName(entry.first) || !InsideName(entry.second)) {
            return JournalRefusal::NotRelative;
        }
        if (!StagedFileName(entry.second)) {
            return JournalRefusal::NotStaged;
        }
        return SameFolder(entry.first, entry.second) ? JournalRefusal::None : JournalRefusal::OtherFolder;
    case JournalStep::Move:
        if (!InsideName(entry.first) || !InsideName(entry.second) ||
            (!entry.third.empty() && !InsideName(entry.third))) {
            return JournalRefusal::NotRelative;
        }
        if (!StagedFileName(entry.first) || (!entry.third.empty() && !StagedFileName(entry.third))) {
            return JournalRefusal::NotStaged;
        }
        return SameFolder(entry.first, entry.second) && (entry.third.empty() || SameFolder(entry.second, entry.third))
                   ? JournalRefusal::None
                   : JournalRefusal::OtherFolder;
    }
    return JournalRefusal::NotRelative;
}

std::optional<std::u16string> Resolved(const std::u16string& folder, const std::u16string& name)
{
    if (name.empty()) {
        return name;
    }
    std::u16string path = folder + name;
    if (path.size() > kMaxPath - 1) {
        path = ExtendedLengthForm(path);
        if (path.empty()) {
            return std::nullopt;
        }
    }
    return path;
}

}  // namespace

bool IsStagingName(const std::u16string& fileName)
{
    if (fileName.size() != 11 || Folded(fileName[0]) != u'~' || Folded(fileName[1]) != u'Q' ||
        Folded(fileName[2]) != u'L') {
        return false;
    }
    for (size_t i = 3; i < 7; ++i) {
        if (!IsHexDigit(fileName[i])) {
            return false;
        }
    }
    return fileName[7] == u'.' && Folded(fileName[8]) == u'T' && Folded(fileName[9]) == u'M' &&
           Folded(fileName[10]) == u'P';
}

std::u16string RelativeToFolder(const std::u16string& path, const std::u16string& folder)
{
    const std::u16string plainPath = WithoutExtendedPrefix(path);
    const std::u16string plainFolder = WithoutExtendedPrefix(folder);
    if (plainFolder.empty() || !IsSeparator(plainFolder.back()) || plainPath.size() <= plainFolder.size()) {
        return std::u16string();
    }
    for (size_t i = 0; i < plainFolder.size(); ++i) {
        if (Folded(plainPath[i]) != Folded(plainFolder[i])) {
            return std::u16string();
        }
    }
    return plainPath.substr(plainFolder.size());
}

JournalRefusal CheckFoundJournal(const std::vector<JournalEntry>& entries)
{
    for (const JournalEntry& entry : entries) {
        const JournalRefusal refusal = CheckEntry(entry);
        if (refusal != JournalRefusal::None) {
            return refusal;
        }
    }
    return JournalRefusal::None;
}

std::optional<std::vector<JournalEntry>> ResolveInFolder(const std::vector<JournalEntry>& entries,
                                                         const std::u16string& folder)
{
    std::vector<JournalEntry> resolved;
    for (const JournalEntry& entry : entries) {
        const std::optional<std::u16string> first = Resolved(folder, entry.first);
        const std::optional<std::u16string> second = Resolved(folder, entry.second);
        const std::optional<std::u16string> third = Resolved(folder, entry.third);
        if (!first || !second || !third) {
            return std::nullopt;
        }
        resolved.push_back({entry.step, *first, *second, *third, entry.bytes});
    }
    return resolved;
}

const std::vector<uint32_t>& BusyWaitMilliseconds()
{
    static const std::vector<uint32_t> kWaits{20, 40, 80, 160, 300, 400, 500, 500};
    return kWaits;
}

}  // namespace ZipRules
