// The layer's C-style calls (ZipArchive.h): each checks its arguments,
// clears the last failure, lets the archive object do the work and, when it
// fails, leaves the failure's error number as the thread's last error once
// every handle of the call has been closed.

#include "ZipArchiveState.h"

#include <memory>

HZIP OpenZipFile(const wchar_t* path)
{
    if (path == nullptr) {
        return nullptr;
    }
    const std::u16string root = ZipLayer::ReadExtractionRoot();
    if (root.empty()) {
        return nullptr;
    }
    auto archive = std::make_unique<ZipArchive>();
    archive->root = root;
    if (!archive->OpenReader(path)) {
        return nullptr;
    }
    return archive.release();
}

ZipStatus GetZipItem(HZIP zip, int index, ZipItem* item)
{
    if (zip == nullptr || item == nullptr) {
        return ZipBadArgument;
    }
    if (index == -1) {
        *item = ZipItem{};
        item->index = zip->count;
        return ZipOk;
    }
    zip->ClearFailure();
    if (index < 0 || index >= zip->count) {
        return zip->Fail(ZipBadArgument, ZipFailureCause::BadArgument);
    }
    ZipLayer::Member member{};
    const ZipStatus status = zip->Describe(index, &member);
    if (status == ZipOk) {
        *item = member.item;
    } else {
        SetLastError(zip->failure.systemError);
    }
    return status;
}

ZipStatus UnzipItem(HZIP zip, int index, const wchar_t* name)
{
    if (zip == nullptr) {
        return ZipBadArgument;
    }
    zip->ClearFailure();
    const ZipStatus status = zip->Unzip(index, name);
    // Set last, after every handle of the call has been closed.
    if (status != ZipOk) {
        SetLastError(zip->failure.systemError);
    }
    return status;
}

ZipStatus CloseZipFile(HZIP zip)
{
    if (zip == nullptr) {
        return ZipBadArgument;
    }
    // What was staged and never committed goes, with the folders made for
    // it; a drive that is gone keeps the journal for the next run.
    zip->staged.clear();
    zip->journal.Close(zip->journal.entries.empty() || ZipLayer::SettleOnDrive(zip->journal.entries, zip->retry),
                       zip->retry);
    delete zip;
    return ZipOk;
}

ZipStatus BeginZipStaging(HZIP zip, const wchar_t* journalPath)
{
    if (zip == nullptr || journalPath == nullptr) {
        return ZipBadArgument;
    }
    zip->ClearFailure();
    if (!zip->journal.Open(ZipLayer::AsU16(journalPath), zip->retry)) {
        const DWORD error = GetLastError();
        zip->Fail(ZipCannotOpen, ZipFailureCause::JournalFailed, error);
        SetLastError(error);
        return ZipCannotOpen;
    }
    zip->staging = true;
    return ZipOk;
}

ZipStatus CommitZipStaging(HZIP zip)
{
    if (zip == nullptr) {
        return ZipBadArgument;
    }
    zip->ClearFailure();
    const ZipStatus status = zip->Commit();
    if (status != ZipOk) {
        SetLastError(zip->failure.systemError);
    }
    return status;
}

ZipStatus GetZipStagingBytes(HZIP zip, uint32_t clusterBytes, uint64_t* bytes)
{
    if (zip == nullptr || bytes == nullptr) {
        return ZipBadArgument;
    }
    *bytes = 0;
    zip->ClearFailure();
    return zip->StagingBytes(clusterBytes, bytes);
}

bool RecoverZipJournal(const wchar_t* journalPath)
{
    if (journalPath == nullptr) {
        return true;
    }
    ZipLayer::BusyRetry retry;
    return ZipLayer::SettleJournalFile(ZipLayer::AsU16(journalPath), retry);
}

ZipFailure GetZipFailure(HZIP zip)
{
    if (zip == nullptr) {
        ZipFailure failure{};
        failure.cause = ZipFailureCause::BadArgument;
        failure.systemError = ERROR_INVALID_PARAMETER;
        return failure;
    }
    return zip->failure;
}

ZipStatus SetZipMemberCheck(HZIP zip, IZipMemberCheck* check)
{
    if (zip == nullptr) {
        return ZipBadArgument;
    }
    zip->memberCheck = check;
    return ZipOk;
}

ZipStatus StageZipFile(HZIP zip, const wchar_t* name, const void* bytes, uint32_t count)
{
    if (zip == nullptr) {
        return ZipBadArgument;
    }
    zip->ClearFailure();
    const std::u16string target = name != nullptr ? ZipLayer::AsU16(name) : std::u16string();
    if (target.empty() || (bytes == nullptr && count > 0) ||
        ZipRules::CheckRelativeName(target) != ZipRules::NameProblem::None ||
        zip->root.size() + target.size() > ZipRules::kMaxPath - 1) {
        zip->Fail(ZipBadArgument, ZipFailureCause::BadArgument);
        SetLastError(zip->failure.systemError);
        return ZipBadArgument;
    }
    const ZipStatus status = zip->WriteCallerFile(zip->root + target, bytes, count);
    if (status != ZipOk) {
        SetLastError(zip->failure.systemError);
    }
    return status;
}

ZipStatus SetZipWaitListener(HZIP zip, IZipWaitListener* listener)
{
    if (zip == nullptr) {
        return ZipBadArgument;
    }
    zip->retry.SetListener(listener);
    return ZipOk;
}

ZipStatus RemoveZipFileOnCommit(HZIP zip, const wchar_t* name)
{
    if (zip == nullptr) {
        return ZipBadArgument;
    }
    zip->ClearFailure();
    const std::u16string target = name != nullptr ? ZipLayer::AsU16(name) : std::u16string();
    if (target.empty() || ZipRules::CheckRelativeName(target) != ZipRules::NameProblem::None ||
        zip->root.size() + target.size() > ZipRules::kMaxPath - 1) {
        zip->Fail(ZipBadArgument, ZipFailureCause::BadArgument);
        SetLastError(zip->failure.systemError);
        return ZipBadArgument;
    }
    zip->obsolete.push_back(zip->root + target);
    return ZipOk;
}

ZipStatus SetZipIoObserverForTesting(HZIP zip, IZipIoObserverForTesting* observer)
{
    if (zip == nullptr) {
        return ZipBadArgument;
    }
    zip->observer = observer;
    return ZipOk;
}
