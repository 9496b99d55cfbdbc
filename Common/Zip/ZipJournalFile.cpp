// The journal's file and the drive's side of settling a journal: kept apart
// from the staging that writes it, because the next run's recovery reads
// and settles it without any archive open.

#include "ZipJournalFile.h"

#include <windows.h>

#include "ZipWidePaths.h"

namespace ZipLayer {
namespace {

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

}  // namespace

bool Journal::Open(const std::u16string& path)
{
    m_file.reset(CreateFileW(AsWide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file.valid()) {
        return false;
    }
    m_path = path;
    return true;
}

bool Journal::Record(const ZipRules::JournalEntry& entry)
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

void Journal::Flush()
{
    if (m_file.valid()) {
        FlushFileBuffers(m_file.get());
    }
}

void Journal::Clear()
{
    entries.clear();
    if (m_file.valid()) {
        SetFilePointer(m_file.get(), 0, nullptr, FILE_BEGIN);
        SetEndOfFile(m_file.get());
    }
}

void Journal::Close(bool settled)
{
    m_file.reset();
    if (settled && !m_path.empty()) {
        DeleteFileW(AsWide(m_path));
    }
    m_path.clear();
    entries.clear();
}

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

}  // namespace ZipLayer
