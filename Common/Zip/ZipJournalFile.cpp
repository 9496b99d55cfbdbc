// The journal's file and the drive's side of settling a journal: kept apart
// from the staging that writes it, because the next run's recovery reads
// and settles it without any archive open.

#include "ZipJournalFile.h"

#include <windows.h>

#include "ZipJournalRules.h"
#include "ZipWidePaths.h"

namespace ZipLayer {
namespace {

// The file operations of the journal, on the real drive; a file another
// program holds is waited for.
class DriveFiles : public ZipRules::IJournalFiles {
public:
    explicit DriveFiles(BusyRetry& retry) : m_retry(retry) {}
    bool Exists(const std::u16string& path) override { return PathExists(path); }
    std::optional<uint64_t> FileSize(const std::u16string& path) override
    {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(AsWide(path), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return std::nullopt;
        }
        return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    bool Delete(const std::u16string& path) override { return DeleteWholly(path, m_retry); }
    bool Rename(const std::u16string& from, const std::u16string& to) override
    {
        return m_retry.Run(from, [&] { return MoveFileExW(AsWide(from), AsWide(to), 0) != FALSE; });
    }
    bool RemoveFolder(const std::u16string& path) override { return RemoveDirectoryW(AsWide(path)) != FALSE; }

private:
    BusyRetry& m_retry;
};

// The journal's own lines, as they go into its file.
bool RelativeEntry(const ZipRules::JournalEntry& entry, const std::u16string& folder,
                   ZipRules::JournalEntry* relative)
{
    *relative = {entry.step, {}, {}, {}, entry.bytes};
    std::u16string* const to[] = {&relative->first, &relative->second, &relative->third};
    const std::u16string* const from[] = {&entry.first, &entry.second, &entry.third};
    for (size_t i = 0; i < 3; ++i) {
        if (!from[i]->empty()) {
            *to[i] = ZipRules::RelativeToFolder(*from[i], folder);
            if (to[i]->empty()) {
                return false;
            }
        }
    }
    return true;
}

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

}  // namespace

bool DeleteWholly(const std::u16string& path, BusyRetry& retry)
{
    return retry.Run(path, [&] {
        SetFileAttributesW(AsWide(path), FILE_ATTRIBUTE_NORMAL);
        return DeleteFileW(AsWide(path)) != FALSE;
    });
}

bool Journal::Open(const std::u16string& path, BusyRetry& retry)
{
    // Written over, a journal nobody settled would take with it the only
    // record of what its run left.
    if (!SettleJournalFile(path, retry)) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    const ZipRules::SplitPath split = ZipRules::SplitAfterLastSeparator(path);
    if (split.directory.empty() || split.file.empty()) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    // Hidden: it is the product's own bookkeeping, not a file for the user.
    m_file.reset(CreateFileW(AsWide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (!m_file.valid()) {
        return false;
    }
    m_path = path;
    m_folder = split.directory;
    return true;
}

bool Journal::Record(const ZipRules::JournalEntry& entry)
{
    if (!m_file.valid()) {
        entries.push_back(entry);
        return true;
    }
    ZipRules::JournalEntry relative;
    if (!RelativeEntry(entry, m_folder, &relative)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    // Only a step on the drive is one the run may take, and settle by.
    const std::u16string line = ZipRules::FormatJournalEntry(relative);
    const DWORD bytes = static_cast<DWORD>(line.size() * sizeof(char16_t));
    DWORD written = 0;
    if (!WriteFile(m_file.get(), line.data(), bytes, &written, nullptr)) {
        return false;
    }
    if (written != bytes) {
        SetLastError(ERROR_DISK_FULL);
        return false;
    }
    entries.push_back(entry);
    return true;
}

bool Journal::Flush()
{
    return !m_file.valid() || FlushFileBuffers(m_file.get()) != FALSE;
}

void Journal::Clear()
{
    entries.clear();
    if (m_file.valid()) {
        SetFilePointer(m_file.get(), 0, nullptr, FILE_BEGIN);
        SetEndOfFile(m_file.get());
    }
}

void Journal::Close(bool settled, BusyRetry& retry)
{
    m_file.reset();
    if (settled && !m_path.empty()) {
        // One that cannot go holds settled steps only: the next run settles
        // them again, which changes nothing, and removes it.
        DeleteWholly(m_path, retry);
    }
    m_path.clear();
    m_folder.clear();
    entries.clear();
}

bool SettleOnDrive(const std::vector<ZipRules::JournalEntry>& entries, BusyRetry& retry)
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
    DriveFiles files(retry);
    return ZipRules::SettleJournal(entries, files);
}

JournalText ReadJournalText(const wchar_t* path)
{
    NCommon::ScopedHandle file(
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        const bool absent = GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
        return {absent ? JournalText::Absent : JournalText::Unreadable, {}};
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > 64 * 1024 * 1024) {
        return {JournalText::Unreadable, {}};
    }
    std::u16string text(static_cast<size_t>(size.QuadPart) / sizeof(char16_t), u'\0');
    DWORD got = 0;
    if (!text.empty() &&
        !ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size() * sizeof(char16_t)), &got, nullptr)) {
        return {JournalText::Unreadable, {}};
    }
    text.resize(got / sizeof(char16_t));
    return {JournalText::Read, text};
}

bool SettleJournalFile(const std::u16string& path, BusyRetry& retry)
{
    const JournalText left = ReadJournalText(AsWide(path));
    if (left.state != JournalText::Read) {
        return left.state == JournalText::Absent;
    }
    const std::vector<ZipRules::JournalEntry> found = ZipRules::ParseJournal(left.text);
    // A journal that names what no staging run makes is none of ours:
    // nothing of it is done, and it goes.
    if (ZipRules::CheckFoundJournal(found) == ZipRules::JournalRefusal::None) {
        const ZipRules::SplitPath split = ZipRules::SplitAfterLastSeparator(path);
        const std::optional<std::vector<ZipRules::JournalEntry>> resolved =
            ZipRules::ResolveInFolder(found, split.directory);
        if (resolved && !SettleOnDrive(*resolved, retry)) {
            return false;
        }
    }
    return DeleteWholly(path, retry) || !PathExists(path);
}

}  // namespace ZipLayer
