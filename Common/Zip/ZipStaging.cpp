// Staging: whole members wait in their temporary twins until the commit
// moves them all into place, and a commit that fails part way takes back
// every move it made. Also what staging a whole archive takes on a drive, so
// that the caller can see beforehand whether it fits.

#include "ZipArchiveState.h"

#include <algorithm>
#include <cstring>

using ZipLayer::AsWide;

namespace {

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

// A free name beside `path` for the file that stands there now.
std::u16string AsideName(const std::u16string& path)
{
    for (int attempt = 0; attempt < 32; ++attempt) {
        std::u16string aside = ZipRules::TempNameBeside(path, ZipLayer::NextTemporaryNumber());
        if (aside.size() > ZipRules::kMaxPath - 1) {
            aside = ZipRules::ExtendedLengthForm(aside);
        }
        if (!aside.empty() && !ZipLayer::PathExists(aside)) {
            return aside;
        }
    }
    return std::u16string();
}

// Why a move into place failed, with the platform's error number; a cause
// of None when it did not.
struct StepFailure {
    ZipFailureCause cause;
    DWORD error;
};

// A file in the way is moved aside, never replaced, so that a failure later
// in the commit can put it back; each step is recorded before it is taken.
StepFailure MoveAside(ZipArchive& archive, const std::u16string& path, std::u16string* aside)
{
    *aside = AsideName(path);
    if (aside->empty()) {
        return {ZipFailureCause::CannotReplace, ERROR_FILE_EXISTS};
    }
    if (!archive.journal.Record({ZipRules::JournalStep::Backup, path, *aside, {}})) {
        return {ZipFailureCause::JournalFailed, GetLastError()};
    }
    if (!archive.retry.Run(path, [&] { return MoveFileExW(AsWide(path), AsWide(*aside), 0) != FALSE; })) {
        return {ZipFailureCause::CannotReplace, GetLastError()};
    }
    return {ZipFailureCause::None, 0};
}

StepFailure MoveIntoPlace(ZipArchive& archive, const ZipArchive::Staged& each)
{
    std::u16string aside;
    const DWORD existing = GetFileAttributesW(AsWide(each.destination));
    if (existing != INVALID_FILE_ATTRIBUTES) {
        if ((existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return {ZipFailureCause::FolderInTheWay, ERROR_ALREADY_EXISTS};
        }
        const StepFailure failed = MoveAside(archive, each.destination, &aside);
        if (failed.cause != ZipFailureCause::None) {
            return failed;
        }
    }
    if (!archive.journal.Record({ZipRules::JournalStep::Move, each.temporary, each.destination, aside, each.bytes})) {
        return {ZipFailureCause::JournalFailed, GetLastError()};
    }
    if (!archive.retry.Run(each.temporary, [&] {
            return MoveFileExW(AsWide(each.temporary), AsWide(each.destination), 0) != FALSE;
        })) {
        return {ZipFailureCause::CannotReplace, GetLastError()};
    }
    // Read-only comes last, once the file is in place: until then the file
    // must stay writable and removable. A file that keeps its write access
    // is still the new version's whole file.
    if ((each.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        archive.retry.Run(each.destination,
                          [&] { return SetFileAttributesW(AsWide(each.destination), each.attributes) != FALSE; });
    }
    return {ZipFailureCause::None, 0};
}

// The files the new version no longer ships are moved aside like those a
// member replaces, and go with them once the commit is done; their folders
// are recorded to go after them when nothing else is left in them.
StepFailure SetObsoleteAside(ZipArchive& archive)
{
    std::vector<std::u16string> folders;
    for (const std::u16string& path : archive.obsolete) {
        if (ZipRules::NamesFolder(path)) {
            folders.push_back(path.substr(0, path.size() - 1));
            continue;
        }
        const bool replaced = std::any_of(archive.staged.begin(), archive.staged.end(), [&](const auto& each) {
            return SamePath(each.destination, path);
        });
        const DWORD existing = GetFileAttributesW(AsWide(path));
        if (replaced || existing == INVALID_FILE_ATTRIBUTES || (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        std::u16string aside;
        const StepFailure failed = MoveAside(archive, path, &aside);
        if (failed.cause != ZipFailureCause::None) {
            return failed;
        }
    }
    // Deepest first, so that a folder emptied by its subfolder's going goes too.
    std::sort(folders.begin(), folders.end(),
              [](const std::u16string& a, const std::u16string& b) { return a.size() > b.size(); });
    for (const std::u16string& folder : folders) {
        if (!archive.journal.Record({ZipRules::JournalStep::EmptiedFolder, folder, {}, {}})) {
            return {ZipFailureCause::JournalFailed, GetLastError()};
        }
    }
    return {ZipFailureCause::None, 0};
}

// A folder by its name's trailing separator or by its attributes, as the
// description of the member would find.
bool EntryIsFolder(const unz_file_info64& info, const char* name, size_t length)
{
    return (length > 0 && (name[length - 1] == '/' || name[length - 1] == '\\')) ||
           (ZipRules::MapAttributes(static_cast<uint32_t>(info.external_fa),
                                    static_cast<uint32_t>((info.version >> 8) & 0xFF)) &
            ZipRules::kAttrDirectory) != 0;
}

}  // namespace

ZipStatus ZipArchive::Stage(const Staged& member)
{
    // A later member of the same name wins, as it would when written over.
    for (auto earlier = staged.begin(); earlier != staged.end(); ++earlier) {
        if (SamePath(earlier->destination, member.destination)) {
            // One that stays is in the journal, and goes when it is settled.
            ZipLayer::DeleteWholly(earlier->temporary, retry);
            staged.erase(earlier);
            break;
        }
    }
    staged.push_back(member);
    return staging ? ZipOk : Commit();
}

// Only renames happen between the first move and the last, and none of them
// copies data. The files moved aside are removed only once the last new file
// is in place.
ZipStatus ZipArchive::Commit()
{
    // Every staged file reached the drive as it was finished; the journal's
    // steps so far follow them before anything is moved.
    if (!journal.Flush()) {
        const DWORD error = GetLastError();
        Rollback();
        return Fail(ZipWriteFailed, ZipFailureCause::JournalFailed, error);
    }
    for (const Staged& each : staged) {
        const StepFailure failed = MoveIntoPlace(*this, each);
        if (failed.cause != ZipFailureCause::None) {
            NameFailure(AsWide(each.destination));
            Rollback();
            return Fail(ZipCannotOpen, failed.cause, failed.error);
        }
    }
    const StepFailure failed = SetObsoleteAside(*this);
    if (failed.cause != ZipFailureCause::None) {
        Rollback();
        return Fail(ZipCannotOpen, failed.cause, failed.error);
    }
    // Until the commit's line is on the drive, the next run takes it all
    // back; once it is, the next run finishes it.
    if (!journal.Record({ZipRules::JournalStep::Committed, {}, {}, {}})) {
        const DWORD error = GetLastError();
        Rollback();
        return Fail(ZipWriteFailed, ZipFailureCause::JournalFailed, error);
    }
    // The line is written: a failing flush leaves it with the system, and
    // the commit stands, as the next run would find it.
    journal.Flush();
    staged.clear();
    obsolete.clear();
    // The old files go now. One that cannot go stays in the journal, for
    // the next run to remove.
    if (ZipLayer::SettleOnDrive(journal.entries, retry)) {
        journal.Clear();
    }
    return ZipOk;
}

void ZipArchive::Rollback()
{
    staged.clear();
    obsolete.clear();
    if (ZipLayer::SettleOnDrive(journal.entries, retry)) {
        journal.Clear();
    }
}

ZipStatus ZipArchive::StagingBytes(uint32_t clusterBytes, uint64_t* bytes)
{
    // The walk below moves the reader; the next request starts afresh.
    position = -1;
    for (int32_t index = 0; index < count; ++index) {
        if ((index == 0 ? unzGoToFirstFile(reader) : unzGoToNextFile(reader)) != UNZ_OK) {
            return Fail(ZipCorrupt, ZipFailureCause::DamagedDirectory);
        }
        unz_file_info64 info{};
        char name[ZipRules::kMaxStoredName + 1] = {};
        if (unzGetCurrentFileInfo64(reader, &info, name, sizeof(name), nullptr, 0, nullptr, 0) != UNZ_OK) {
            return Fail(ZipCorrupt, ZipFailureCause::DamagedDirectory);
        }
        // A folder that is new takes a cluster of its own.
        *bytes += EntryIsFolder(info, name, strnlen(name, sizeof(name) - 1))
                      ? clusterBytes
                      : ZipRules::ClusterRounded(info.uncompressed_size, clusterBytes);
    }
    return ZipOk;
}
