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
StepFailure MoveIntoPlace(ZipLayer::Journal& journal, const ZipArchive::Staged& each)
{
    using ZipRules::JournalStep;
    std::u16string aside;
    const DWORD existing = GetFileAttributesW(AsWide(each.destination));
    if (existing != INVALID_FILE_ATTRIBUTES) {
        if ((existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return {ZipFailureCause::FolderInTheWay, ERROR_ALREADY_EXISTS};
        }
        aside = AsideName(each.destination);
        if (aside.empty()) {
            return {ZipFailureCause::CannotReplace, ERROR_FILE_EXISTS};
        }
        if (!journal.Record({JournalStep::Backup, each.destination, aside, {}})) {
            return {ZipFailureCause::JournalFailed, GetLastError()};
        }
        if (!MoveFileExW(AsWide(each.destination), AsWide(aside), 0)) {
            return {ZipFailureCause::CannotReplace, GetLastError()};
        }
    }
    if (!journal.Record({JournalStep::Move, each.temporary, each.destination, aside})) {
        return {ZipFailureCause::JournalFailed, GetLastError()};
    }
    if (!MoveFileExW(AsWide(each.temporary), AsWide(each.destination), 0)) {
        return {ZipFailureCause::CannotReplace, GetLastError()};
    }
    // Read-only comes last, once the file is in place: until then the file
    // must stay writable and removable.
    if ((each.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(AsWide(each.destination), each.attributes);
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
            DeleteFileW(AsWide(earlier->temporary));
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
    journal.Flush();
    for (const Staged& each : staged) {
        const StepFailure failed = MoveIntoPlace(journal, each);
        if (failed.cause != ZipFailureCause::None) {
            NameFailure(AsWide(each.destination));
            Rollback();
            return Fail(ZipCannotOpen, failed.cause, failed.error);
        }
    }
    journal.Record({ZipRules::JournalStep::Committed, {}, {}, {}});
    journal.Flush();
    staged.clear();
    // The old files go now. One that cannot go stays in the journal, for
    // the next run to remove.
    if (ZipLayer::SettleOnDrive(journal.entries)) {
        journal.Clear();
    }
    return ZipOk;
}

void ZipArchive::Rollback()
{
    staged.clear();
    if (ZipLayer::SettleOnDrive(journal.entries)) {
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
