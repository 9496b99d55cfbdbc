#include "InstallBackend.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "CancelFlag.h"
#include "DeltaPlan.h"
#include "Download.h"
#include "DriveInventory.h"
#include "FailureKinds.h"
#include "IInstallListener.h"
#include "TextConversion.h"
#include "JoinPath.h"
#include "MessageError.h"
#include "PackageFetch.h"
#include "PackageTrust.h"
#include "ScopedHandles.h"
#include "SmallFile.h"
#include "easylogging++.h"

namespace InstallBackend {
namespace {

const wchar_t kJournalFileName[] = L"Extract.journal";
// The manifest as downloaded, in the per-drive work folder.
const wchar_t kManifestFileName[] = L"Quillon.manifest";

void ReportStatus(IInstallListener* listener, int status)
{
    if (listener != nullptr) {
        listener->OnStatus(status);
    }
}

// Every error that reaches a step boundary is logged once more with the
// last error of the failure: a message error brings the number it was
// raised with, since the way out (handles closed, files flushed) may have
// changed the thread's own; any other error has only the thread's.
void LogCaught(const char* text, DWORD lastError)
{
    LOG(ERROR) << text << " Last error: " << static_cast<unsigned long>(lastError);
}

uint64_t FileSizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The run's last line: how it ended, why, how much came over the network
// and how long it took, so that a support desk reads the story of a run
// without a debugger. Written on every way out of Install.
class RunReport {
public:
    RunReport() : m_start(GetTickCount64()) {}
    ~RunReport()
    {
        char seconds[32];
        std::snprintf(seconds, sizeof(seconds), "%.1f",
                      static_cast<double>(GetTickCount64() - m_start) / 1000.0);
        // Of a package that is partly on the drive already, the run fetches
        // only part: how much, against the whole, is the figure that counts
        // on a metered network.
        const std::string ofPackage =
            m_packageSize ? ", for a package of " + std::to_string(*m_packageSize) + " bytes" : std::string();
        if (m_outcome == Outcome::Failed) {
            LOG(ERROR) << "Install failed: " << m_reason << "; " << m_bytes
                       << " bytes downloaded in " << seconds << " s" << ofPackage;
        } else {
            LOG(INFO) << "Install " << (m_outcome == Outcome::Succeeded ? "succeeded" : "cancelled")
                      << ": " << m_reason << "; " << m_bytes << " bytes downloaded in " << seconds
                      << " s" << ofPackage;
        }
    }
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // The last error caught is the reason, unless a later one comes.
    void Caught(const std::string& text) { m_reason = text; }
    void Downloaded(uint64_t bytes) { m_bytes += bytes; }
    void PackageSize(uint64_t bytes) { m_packageSize = bytes; }
    void Succeeded() { End(Outcome::Succeeded, "every entry extracted"); }
    void Cancelled() { End(Outcome::Cancelled, "cancelled by the user"); }
    void Failed(const char* reason = nullptr)
    {
        End(Outcome::Failed, reason != nullptr ? reason : m_reason.c_str());
    }
    const std::string& Reason() const { return m_reason; }

private:
    enum class Outcome { Failed, Succeeded, Cancelled };
    void End(Outcome outcome, std::string reason)
    {
        m_outcome = outcome;
        m_reason = std::move(reason);
    }

    ULONGLONG m_start;
    Outcome m_outcome = Outcome::Failed;
    std::string m_reason = "stopped before the end";
    uint64_t m_bytes = 0;
    std::optional<uint64_t> m_packageSize;
};

// The manifest the download wrote, read whole.
std::string ReadManifestFile(const std::wstring& path)
{
    std::string bytes;
    switch (NCommon::ReadSmallFile(path, PackageManifest::kMaxBytes, bytes)) {
    case NCommon::SmallFileRead::Read:
        return bytes;
    case NCommon::SmallFileRead::CannotOpen:
        throw MessageError("Cannot open the downloaded manifest");
    case NCommon::SmallFileRead::CannotRead:
        throw MessageError("Cannot read the downloaded manifest");
    case NCommon::SmallFileRead::TooLarge:
        break;
    }
    throw MessageError("Package refused: the manifest is larger than " + std::to_string(PackageManifest::kMaxBytes) +
                           " bytes",
                       ERROR_INVALID_DATA);
}

// The manifest never outlives a run, whichever way the run ends; this also
// removes one that an earlier, interrupted run left behind.
class PackageFileRemover {
public:
    explicit PackageFileRemover(std::wstring path) : m_path(std::move(path)) {}
    ~PackageFileRemover() { DeleteFileW(m_path.c_str()); }
    PackageFileRemover(const PackageFileRemover&) = delete;
    PackageFileRemover& operator=(const PackageFileRemover&) = delete;

private:
    std::wstring m_path;
};

// Runs one step of the pipeline. Whatever it raises is logged here, once,
// and turned into false: nothing escapes Install.
// The kind of what was caught is kept for the run's report to its caller.
template <typename Step>
bool Attempt(Step step, const char* otherErrorText, RunReport& report, const FailureKinds::Step& where,
             FailureKind& kind)
{
    try {
        step();
        return true;
    } catch (const InstallError& error) {
        LogCaught(error.what(), error.LastError());
        report.Caught(error.Text());
        kind = error.Kind();
    } catch (const MessageError& error) {
        LogCaught(error.what(), error.LastError());
        report.Caught(error.Text());
        kind = FailureKinds::Classify(where, error.Text(), error.LastError());
    } catch (...) {
        LogCaught(otherErrorText, GetLastError());
        report.Caught(otherErrorText);
        kind = FailureKind::Internal;
    }
    return false;
}

// Closes the archive on every way out of the extraction.
class OpenArchive {
public:
    OpenArchive(const Environment::ZipLayer& zip, HZIP handle) : m_zip(zip), m_handle(handle) {}
    ~OpenArchive()
    {
        if (m_handle != nullptr) {
            m_zip.close(m_handle);
        }
    }
    OpenArchive(const OpenArchive&) = delete;
    OpenArchive& operator=(const OpenArchive&) = delete;
    HZIP get() const { return m_handle; }

private:
    const Environment::ZipLayer& m_zip;
    HZIP m_handle;
};

void MarkHidden(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    // Without the current attributes there is nothing sound to add the bit to.
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN);
    }
}

// One error line for a failed item call: which member, the zip status and
// why, with the error number; returns that number.
DWORD ExplainZipFailure(const Environment::ZipLayer& zip, HZIP handle, ZipStatus status,
                        const std::string& what)
{
    const DWORD thread = GetLastError();
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%X", static_cast<unsigned>(status));
    if (zip.describeFailure == nullptr) {
        LOG(ERROR) << "Zip " << what << ": status " << hex << ", error "
                   << static_cast<unsigned long>(thread);
        return thread;
    }
    const ZipFailure failure = zip.describeFailure(handle);
    std::string stored;
    if (failure.name[0] != L'\0' && ToUtf8(failure.name) != what) {
        stored = " (stored as \"" + ToUtf8(failure.name) + "\")";
    }
    LOG(ERROR) << "Zip " << what << stored << ": status " << hex << ", "
               << ZipFailureText(failure.cause) << ", error "
               << static_cast<unsigned long>(failure.systemError);
    return failure.systemError;
}

// What the extraction needs besides the package and the destination.
struct ExtractionContext {
    std::wstring driveRoot;
    std::wstring journalPath;
    // What the vendor signed; set once the manifest is verified.
    std::optional<PackageManifest::Manifest> manifest;
    // Per manifest member: the drive already holds it, so it is not written.
    std::vector<bool> onDrive;
    // Set when only some members were fetched: each zip entry's manifest
    // entry, read from the signed tail.
    std::optional<std::vector<size_t>> partialIndex;
    // The version the drive's record named when the run began.
    std::optional<uint64_t> installedVersion;
    // Set when the drive has too little room for the staged new files.
    bool tooLittleSpace = false;
    // What the drive had and what the run needed, when it had too little.
    uint64_t bytesFree = 0;
    uint64_t bytesNeeded = 0;
    // Set when the caller held the commit: nothing changed on the drive.
    bool commitHeld = false;
};

// Room for the new files beside the old ones: until the commit both are on
// the drive. Checked before anything is written.
void CheckRoomForStaging(const Environment& environment, HZIP handle, ExtractionContext& context,
                         const std::vector<size_t>& manifestIndex, const std::vector<bool>& write)
{
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD totalClusters = 0;
    if (!environment.getDiskFreeSpace(context.driveRoot.c_str(), &sectorsPerCluster, &bytesPerSector,
                                      &freeClusters, &totalClusters)) {
        return;
    }
    const uint64_t clusterBytes = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
    const uint64_t freeBytes = clusterBytes * freeClusters;
    // Only what replaces a file is staged: a drive that holds the product
    // but not a second copy of it still takes an update of a few members.
    // A whole package is counted by the zip layer, from its own directory.
    uint64_t needed = 0;
    if (std::find(write.begin(), write.end(), false) != write.end()) {
        needed = DeltaPlan::StagingBytes(*context.manifest, manifestIndex, write, clusterBytes);
    } else {
        const Environment::ZipLayer& zip = environment.zip;
        const ZipStatus status = zip.stagingBytes(
            handle, clusterBytes > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(clusterBytes), &needed);
        if (status != ZipOk) {
            throw MessageError("Reading the package's directory failed",
                               ExplainZipFailure(zip, handle, status, "the directory"));
        }
    }
    if (freeBytes < needed) {
        LOG(ERROR) << "CheckDriveFreeSpace " << ToUtf8(context.driveRoot) << " has " << freeBytes
                   << " bytes free, " << needed << " needed for the new files";
        context.tooLittleSpace = true;
        context.bytesFree = freeBytes;
        context.bytesNeeded = needed;
        throw MessageError("Not enough free space for the new files", ERROR_DISK_FULL);
    }
}

int CountEntries(const Environment::ZipLayer& zip, HZIP handle)
{
    ZipItem item{};
    const ZipStatus status = zip.getItem(handle, -1, &item);
    if (status != ZipOk) {
        throw MessageError("Reading the package's directory failed",
                           ExplainZipFailure(zip, handle, status, "the count"));
    }
    return item.index;
}

// Nothing on the drive changes until every member is whole: a run that
// fails leaves the installed version as it was.
void BeginStaging(const Environment& environment, HZIP handle, ExtractionContext& context,
                  const std::vector<size_t>& manifestIndex, const std::vector<bool>& write)
{
    const Environment::ZipLayer& zip = environment.zip;
    if (zip.stagingBytes != nullptr) {
        CheckRoomForStaging(environment, handle, context, manifestIndex, write);
    }
    if (zip.beginStaging != nullptr) {
        const ZipStatus status = zip.beginStaging(handle, context.journalPath.c_str());
        if (status != ZipOk) {
            throw MessageError("Starting the extraction's journal failed",
                               ExplainZipFailure(zip, handle, status, ToUtf8(context.journalPath)));
        }
    }
}

// The package's members set against the signed list: every member listed
// once, nothing unlisted, nothing missing, a folder where a folder was
// signed. Returns each member's entry in the manifest.
std::vector<size_t> MatchSignedMembers(const Environment::ZipLayer& zip, HZIP handle, int count,
                                       const PackageManifest::Manifest& manifest)
{
    std::vector<std::string> names;
    std::vector<bool> folders;
    for (int i = 0; i < count; ++i) {
        ZipItem item{};
        const ZipStatus status = zip.getItem(handle, i, &item);
        if (status != ZipOk) {
            throw MessageError("Reading the package's directory failed",
                               ExplainZipFailure(zip, handle, status, "entry " + std::to_string(i)));
        }
        names.push_back(ToUtf8(item.name));
        folders.push_back((item.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    }
    PackageManifest::MemberMatch match = PackageManifest::MatchMembers(manifest, names);
    if (!match.problem.empty()) {
        throw MessageError("Package refused: " + match.problem, ERROR_INVALID_DATA);
    }
    for (int i = 0; i < count; ++i) {
        const PackageManifest::Member& signed_ = manifest.members[match.manifestIndex[i]];
        // A member the layer makes a folder of is never hashed: it must be
        // one the vendor signed as a folder.
        if (folders[i] && (signed_.size != 0 || signed_.name.back() != '/')) {
            throw MessageError("Package refused: \"" + names[i] + "\" is a folder in the package, a file in the manifest",
                               ERROR_INVALID_DATA);
        }
    }
    return std::move(match.manifestIndex);
}

// Writes the entries that `write` names one by one; false when the cancel
// flag stopped it before an entry. The entries that are to be hidden are
// added to `hidden`. With a check, no member reaches the drive unless it
// passed it.
bool ExtractEntries(const Environment::ZipLayer& zip, HZIP handle, const std::vector<bool>& write,
                    const std::wstring& destination, IInstallListener* listener,
                    const std::atomic<bool>* cancel, std::vector<std::wstring>& hidden,
                    const PackageTrust::MemberHashCheck* check)
{
    const size_t total = static_cast<size_t>(std::count(write.begin(), write.end(), true));
    size_t done = 0;
    for (int i = 0; i < static_cast<int>(write.size()); ++i) {
        if (!write[i]) {
            continue;
        }
        if (IsCancelled(cancel)) {
            return false;
        }
        ZipItem item{};
        ZipStatus status = zip.getItem(handle, i, &item);
        if (status != ZipOk) {
            throw MessageError("Reading the package's directory failed",
                               ExplainZipFailure(zip, handle, status, "entry " + std::to_string(i)));
        }
        status = zip.unzipItem(handle, i, item.name);
        if (status != ZipOk) {
            const DWORD error = ExplainZipFailure(zip, handle, status, ToUtf8(item.name));
            if (check != nullptr && !check->Problem().empty()) {
                throw MessageError("Package refused: " + check->Problem(), ERROR_INVALID_DATA);
            }
            throw MessageError("Extracting \"" + ToUtf8(item.name) + "\" failed", error);
        }
        if (check != nullptr && (item.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && !check->Passed(i)) {
            throw MessageError("Package refused: \"" + ToUtf8(item.name) + "\" was not checked against its signed SHA-256",
                               ERROR_INVALID_DATA);
        }
        if ((item.attributes & FILE_ATTRIBUTE_HIDDEN) != 0) {
            hidden.push_back(NCommon::JoinPath(destination, item.name));
        }
        if (listener != nullptr) {
            listener->OnProgress(static_cast<float>(++done) / static_cast<float>(total));
        }
    }
    return true;
}

void CommitStaging(const Environment::ZipLayer& zip, HZIP handle, size_t count)
{
    if (zip.commit == nullptr) {
        return;
    }
    // Between the first move and the last the drive holds a mixture of two
    // versions; how long that lasts is worth a line.
    const ULONGLONG start = GetTickCount64();
    const ZipStatus status = zip.commit(handle);
    if (status != ZipOk) {
        throw MessageError("Moving the new files into place failed",
                           ExplainZipFailure(zip, handle, status, "the commit"));
    }
    LOG(INFO) << "Moved the " << count << " entries into place in " << (GetTickCount64() - start)
              << " ms";
}

// The version on the drive changes with the files, in the same commit: a
// run that fails leaves both as they were.
void StageVersionRecord(const Environment::ZipLayer& zip, HZIP handle, const PackageManifest::Manifest& manifest)
{
    if (zip.stageFile == nullptr) {
        return;
    }
    const std::string record = PackageManifest::VersionRecordText(manifest);
    const ZipStatus status = zip.stageFile(handle, PackageTrust::kVersionRecordName, record.data(),
                                           static_cast<uint32_t>(record.size()));
    if (status != ZipOk) {
        throw MessageError("Writing the version record failed",
                           ExplainZipFailure(zip, handle, status, ToUtf8(PackageTrust::kVersionRecordName)));
    }
}

void ExtractPackage(const std::wstring& packagePath, const std::wstring& destination,
                    IInstallListener* listener, const std::atomic<bool>* cancel,
                    const Environment& environment, ExtractionContext& context)
{
    const Environment::ZipLayer& zip = environment.zip;
    // The zip layer takes its root from the current directory. If the
    // destination cannot be made current, the root would be whatever folder
    // happened to be current before, and the package would land there.
    if (!SetCurrentDirectoryW(destination.c_str())) {
        LOG(ERROR) << "SetCurrentDirectoryW error: " << static_cast<unsigned long>(GetLastError());
        throw MessageError("SetCurrentDirectoryW failed");
    }

    OpenArchive archive(zip, zip.open(packagePath.c_str()));
    if (archive.get() == nullptr) {
        const DWORD error = GetLastError();
        LOG(ERROR) << "OpenZipFile " << ToUtf8(packagePath) << ": not a readable zip archive ("
                   << FileSizeOf(packagePath) << " bytes), error " << static_cast<unsigned long>(error);
        throw MessageError("Failed to open zip file", error);
    }
    const int count = CountEntries(zip, archive.get());
    const PackageManifest::Manifest& manifest = *context.manifest;
    // Of a package fetched in part, the directory was matched against the
    // signed list when its tail was; the members not fetched are never read.
    const std::vector<size_t> manifestIndex =
        context.partialIndex ? *context.partialIndex : MatchSignedMembers(zip, archive.get(), count, manifest);
    if (manifestIndex.size() != static_cast<size_t>(count)) {
        throw MessageError("Package refused: its directory is not the one its tail was", ERROR_INVALID_DATA);
    }
    const std::vector<bool> write = DeltaPlan::WriteSet(manifestIndex, context.onDrive);
    const size_t writing = static_cast<size_t>(std::count(write.begin(), write.end(), true));
    const bool recordChanged = context.installedVersion != manifest.version;
    if (writing == 0 && !recordChanged) {
        LOG(INFO) << "Every file of the package is on the drive already; nothing to write";
        return;
    }
    std::optional<PackageTrust::MemberHashCheck> check;
    if (zip.setMemberCheck != nullptr) {
        check.emplace(manifest, manifestIndex);
        zip.setMemberCheck(archive.get(), &*check);
    }
    BeginStaging(environment, archive.get(), context, manifestIndex, write);

    ReportStatus(listener, IInstallListener::StatusInstalling);

    // Hidden goes on once the members are in place: the old tree stays as
    // it was until then.
    std::vector<std::wstring> hidden;
    if (!ExtractEntries(zip, archive.get(), write, destination, listener, cancel, hidden,
                        check ? &*check : nullptr)) {
        return;
    }
    if (check) {
        LOG(INFO) << "Checked the " << writing << " members' SHA-256 in " << check->Milliseconds() << " ms";
    }
    if (recordChanged) {
        StageVersionRecord(zip, archive.get(), manifest);
    }
    // The last moment at which the caller can make way (a running copy of
    // the program asked to quit) or keep the drive as it is.
    if (listener != nullptr && !listener->OnReadyToCommit()) {
        context.commitHeld = true;
        throw InstallError(FailureKind::CommitHeld, "The commit was held: the drive's files are in use",
                           ERROR_SHARING_VIOLATION);
    }
    if (IsCancelled(cancel)) {
        return;
    }
    CommitStaging(zip, archive.get(), writing);
    for (const std::wstring& path : hidden) {
        MarkHidden(path);
    }
}

// The levels of the destination folder that a run creates go again when
// the run fails: a failed install adds no folder to the drive.
class CreatedDestination {
public:
    explicit CreatedDestination(const std::wstring& destination)
    {
        std::wstring level = destination;
        while (!level.empty() && (level.back() == L'\\' || level.back() == L'/')) {
            level.pop_back();
        }
        while (!level.empty() && level.back() != L':' &&
               GetFileAttributesW(level.c_str()) == INVALID_FILE_ATTRIBUTES) {
            m_levels.push_back(level);
            const size_t separator = level.find_last_of(L"\\/");
            if (separator == std::wstring::npos) {
                break;
            }
            level.erase(separator);
        }
        SHCreateDirectoryExW(nullptr, destination.c_str(), nullptr);
    }
    ~CreatedDestination()
    {
        if (m_levels.empty()) {
            return;
        }
        // The extraction made the destination the current directory, which
        // could not be removed while it is.
        const std::wstring& top = m_levels.back();
        const size_t separator = top.find_last_of(L"\\/");
        if (separator != std::wstring::npos) {
            SetCurrentDirectoryW((top.substr(0, separator) + L"\\").c_str());
        }
        // Deepest first; a level that is not empty stays.
        for (const std::wstring& level : m_levels) {
            if (!RemoveDirectoryW(level.c_str())) {
                break;
            }
        }
    }
    CreatedDestination(const CreatedDestination&) = delete;
    CreatedDestination& operator=(const CreatedDestination&) = delete;
    void Keep() { m_levels.clear(); }

private:
    std::vector<std::wstring> m_levels;
};

// Settles what runs that never ended (killed, power lost) left on their
// drives, from their journals in the work folder.
void SettleUnfinishedRuns(const std::wstring& workFolder, const Environment::ZipLayer& zip)
{
    if (zip.recover == nullptr) {
        return;
    }
    const std::wstring pattern = FoldDoubleBackslashes(workFolder + L"\\QL_Install_*");
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            continue;
        }
        const std::wstring journal =
            JournalPath(FoldDoubleBackslashes(workFolder + L"\\" + found.cFileName + L"\\"));
        if (GetFileAttributesW(journal.c_str()) == INVALID_FILE_ATTRIBUTES) {
            continue;
        }
        if (zip.recover(journal.c_str())) {
            LOG(INFO) << "Removed what an unfinished run left, as its journal " << ToUtf8(journal) << " records";
        } else {
            LOG(ERROR) << "Kept the journal " << ToUtf8(journal) << " of an unfinished run: its drive is not there";
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}


// One call of Install, step by step. Whatever way the run ends, the
// destination levels it created go unless it succeeded, the package file
// goes, and the run's last line is written, in that order.
class InstallRun {
public:
    InstallRun(const std::wstring& destination, const std::wstring& workFolder,
               IInstallListener* listener, const std::atomic<bool>* cancel,
               const Environment& environment)
        : m_destination(destination),
          m_listener(listener),
          m_cancel(cancel),
          m_environment(environment),
          m_driveRoot(DriveRootOf(destination)),
          m_driveFolder(PerDriveWorkFolder(workFolder, m_driveRoot)),
          m_manifestFile(m_driveFolder + kManifestFileName),
          m_removeManifest(m_manifestFile),
          m_context{m_driveRoot, JournalPath(m_driveFolder), std::nullopt, {}, std::nullopt, std::nullopt}
    {
        if (!PathFileExistsW(m_driveFolder.c_str())) {
            CreateDirectoryW(m_driveFolder.c_str(), nullptr);
        }
        m_fetch.emplace(m_driveFolder, environment.download, listener, cancel);
        SettleUnfinishedRuns(workFolder, environment.zip);
    }
    InstallRun(const InstallRun&) = delete;
    InstallRun& operator=(const InstallRun&) = delete;

    bool Run()
    {
        if (!CheckDriveConnected() || !CheckDriveFreeSpace()) {
            return false;
        }
        m_createdDestination.emplace(m_destination);
        ReadTheDrivesRecord();
        return DownloadPackage() && ExtractWithRetry();
    }

private:
    bool CheckDriveConnected();
    bool CheckDriveFreeSpace();
    bool DownloadPackage();
    bool ExtractWithRetry();
    void Fetch(bool proxyOnly);
    void ReadTheDrivesRecord();
    const DriveInventory::Inventory& TakeInventory();
    void Extract();
    bool DriveGone(bool rootToo);
    bool RetryIsPointless();
    bool DriveMissing();
    bool Fail(int reason);
    bool Succeed();

    const std::wstring& m_destination;
    IInstallListener* const m_listener;
    const std::atomic<bool>* const m_cancel;
    const Environment& m_environment;
    RunReport m_report;
    const std::wstring m_driveRoot;
    const std::wstring m_driveFolder;
    const std::wstring m_manifestFile;
    const PackageFileRemover m_removeManifest;
    // What the package step kept goes on a success; otherwise it stays for
    // the next run.
    std::optional<PackageFetch> m_fetch;
    std::optional<DriveInventory::HeadStart> m_headStart;
    std::optional<DriveInventory::Inventory> m_inventory;
    ExtractionContext m_context;
    // The drive as the first check found it, to tell it from another drive
    // that gets its letter later.
    std::wstring m_driveInstance;
    bool m_driveKnown = false;
    std::wstring m_packagePath;
    bool m_goneBeforeExtraction = false;
    std::optional<CreatedDestination> m_createdDestination;
    // The kind of the last failure caught, for the caller.
    FailureKind m_failureKind = FailureKind::Internal;
};

// The reason goes to the listener, the outcome to the run's last line.
bool InstallRun::Fail(int reason)
{
    InstallFailure failure;
    const bool removed = IsCancelled(m_cancel) && m_listener != nullptr && m_listener->DriveRemoved();
    if (removed) {
        // The caller stopped the run because the drive went: that is how
        // it ended, not a change of the user's mind.
        LOG(ERROR) << "CheckDriveConnected " << ToUtf8(m_driveRoot) << " was removed during the run";
        reason = IInstallListener::ReasonDriveMissing;
    }
    if (m_listener != nullptr && reason != IInstallListener::ReasonNone) {
        m_listener->SetErrorReason(reason);
    }
    if (reason == IInstallListener::ReasonDriveMissing) {
        failure.kind = FailureKind::DriveMissing;
        failure.detail = removed ? "the drive was removed" : "the drive is not among the attached USB drives";
        m_report.Failed(failure.detail.c_str());
    } else if (reason == IInstallListener::ReasonLowFreeSpace) {
        failure.kind = FailureKind::LowFreeSpace;
        failure.bytesFree = m_context.bytesFree;
        failure.bytesNeeded = m_context.bytesNeeded;
        failure.detail = "too little free space on the drive";
        m_report.Failed(failure.detail.c_str());
    } else if (IsCancelled(m_cancel)) {
        failure.kind = FailureKind::Cancelled;
        failure.detail = "cancelled by the user";
        m_report.Cancelled();
    } else {
        failure.kind = m_failureKind;
        m_report.Failed();
        failure.detail = m_report.Reason();
    }
    if (failure.kind == FailureKind::NoConnection || failure.kind == FailureKind::ServerError) {
        failure.server = FailureKinds::ServerName();
    }
    if (m_listener != nullptr) {
        m_listener->OnFailure(failure);
    }
    ReportStatus(m_listener, IInstallListener::StatusFailed);
    return false;
}

bool InstallRun::Succeed()
{
    m_fetch->Discard();
    if (m_createdDestination) {
        m_createdDestination->Keep();
    }
    m_report.Succeeded();
    ReportStatus(m_listener, IInstallListener::StatusSucceeded);
    return true;
}

// False when the drive is not attached, after reporting it. A failure to
// list the drives is no proof that it is missing.
bool InstallRun::CheckDriveConnected()
{
    try {
        const UsbDriveMap drives = m_environment.getUsbDrives();
        const auto found = drives.find(m_driveRoot[0]);
        if (found == drives.end()) {
            // Without this line a silent install would end with exit code 1
            // and nothing to tell the vendor why.
            LOG(ERROR) << "CheckDriveConnected " << ToUtf8(m_driveRoot)
                       << " is not among the attached USB drives";
            return Fail(IInstallListener::ReasonDriveMissing);
        }
        m_driveInstance = found->second;
        m_driveKnown = true;
    } catch (...) {
        LogCaught(" CheckDriveConnected Generic exception ", GetLastError());
    }
    return true;
}

// False when the drive is too small, after reporting it.
bool InstallRun::CheckDriveFreeSpace()
{
    try {
        DWORD sectorsPerCluster = 0;
        DWORD bytesPerSector = 0;
        DWORD freeClusters = 0;
        DWORD totalClusters = 0;
        if (m_environment.getDiskFreeSpace(m_driveRoot.c_str(), &sectorsPerCluster,
                                           &bytesPerSector, &freeClusters, &totalClusters)) {
            const uint64_t freeBytes =
                static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector * freeClusters;
            if (freeBytes < kMinimumFreeBytes) {
                m_context.bytesFree = freeBytes;
                m_context.bytesNeeded = kMinimumFreeBytes;
                LOG(ERROR) << "CheckDriveFreeSpace " << ToUtf8(m_driveRoot) << " has " << freeBytes
                           << " bytes free, " << kMinimumFreeBytes << " needed";
                return Fail(IInstallListener::ReasonLowFreeSpace);
            }
        } else {
            // The drive was listed a moment ago; an unanswered free-space
            // query is no proof that it is full. Go on: a drive that is really
            // gone fails the download or the extraction with its own message.
            LOG(ERROR) << "GetDiskFreeSpaceW error: " << static_cast<unsigned long>(GetLastError());
        }
    } catch (...) {
        LogCaught(" CheckDriveFreeSpace Generic exception ", GetLastError());
    }
    return true;
}

// The drive can be pulled at any moment, and its letter can then go to
// another drive or to none. Asked again before each download and each
// extraction, and after a failed extraction, so that a drive that is gone
// ends the run at once instead of fetching the package again. After a
// failure the root itself is tried too: a drive that the system has not yet
// taken off its list is gone all the same when its root is.
bool InstallRun::DriveGone(bool rootToo)
{
    try {
        const UsbDriveMap drives = m_environment.getUsbDrives();
        const auto found = drives.find(m_driveRoot[0]);
        if (found == drives.end() || (m_driveKnown && found->second != m_driveInstance)) {
            return true;
        }
    } catch (...) {
        // No answer is no proof that the drive is gone.
    }
    return rootToo && GetFileAttributesW(m_driveRoot.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool InstallRun::DriveMissing()
{
    LOG(ERROR) << "CheckDriveConnected " << ToUtf8(m_driveRoot)
               << " is no longer attached, or is another drive now";
    return Fail(IInstallListener::ReasonDriveMissing);
}

// The signed manifest first: it says which package to fetch, how long it
// is and what it must hash to, and a package older than the drive's is not
// fetched at all. Every byte fetched counts, also when a download raised.
void InstallRun::Fetch(bool proxyOnly)
{
    m_context.manifest.reset();
    m_context.partialIndex.reset();
    DownloadTarget manifestTarget;
    manifestTarget.urlPath = DownloadConstants::kManifestPath;
    manifestTarget.fileName = kManifestFileName;
    manifestTarget.maxSize = PackageManifest::kMaxBytes;
    manifestTarget.reportsProgress = false;
    std::string manifestBytes;
    try {
        const std::wstring path = m_environment.download(m_driveFolder, m_listener, m_cancel, proxyOnly, manifestTarget);
        manifestBytes = ReadManifestFile(path);
    } catch (...) {
        // Without a manifest nothing is fetched: the package is never taken
        // on the server's word alone.
        LOG(ERROR) << "The package manifest " << ToUtf8(manifestTarget.urlPath) << " could not be fetched";
        m_report.Downloaded(FileSizeOf(m_manifestFile));
        throw;
    }
    m_report.Downloaded(manifestBytes.size());
    if (IsCancelled(m_cancel)) {
        return;
    }
    PackageManifest::Manifest manifest = m_environment.trust.verifyManifest(manifestBytes);
    m_environment.trust.checkVersion(manifest, m_context.installedVersion);
    m_report.PackageSize(manifest.packageSize);
    m_context.manifest = std::move(manifest);
    const DriveInventory::Inventory& inventory = TakeInventory();
    m_context.onDrive = inventory.onDrive;
    if (IsCancelled(m_cancel)) {
        return;
    }
    const uint64_t before = m_fetch->FetchedBytes();
    try {
        PackageFetch::Result fetched = m_fetch->Fetch(*m_context.manifest, &inventory, proxyOnly);
        m_packagePath = std::move(fetched.packagePath);
        m_context.partialIndex = std::move(fetched.partialIndex);
    } catch (...) {
        m_report.Downloaded(m_fetch->FetchedBytes() - before);
        throw;
    }
    m_report.Downloaded(m_fetch->FetchedBytes() - before);
}

// Read once, before anything of the run can change it: a drive that holds
// the product says in its record which version and which files; the files
// are read while the manifest is fetched.
void InstallRun::ReadTheDrivesRecord()
{
    const std::optional<std::string> record = PackageTrust::ReadVersionRecord(m_destination);
    if (!record) {
        return;
    }
    m_context.installedVersion = PackageManifest::ParseVersionRecord(*record);
    try {
        std::vector<PackageManifest::RecordedFile> files = PackageManifest::RecordedFiles(*record);
        if (!files.empty()) {
            m_headStart.emplace(m_destination, std::move(files), m_cancel);
        }
    } catch (...) {
        // Without it the inventory reads every file once the manifest is in.
        m_headStart.reset();
    }
}

// What the drive already holds of the signed package, read once a run: a
// file there that is not the signed one is named once, and replaced.
const DriveInventory::Inventory& InstallRun::TakeInventory()
{
    if (!m_inventory) {
        m_inventory = DriveInventory::Take(*m_context.manifest, m_destination, m_cancel,
                                           m_headStart ? &*m_headStart : nullptr);
        m_headStart.reset();
        const std::vector<PackageManifest::Member>& members = m_context.manifest->members;
        for (size_t i = 0; i < members.size(); ++i) {
            if (m_inventory->differs[i]) {
                LOG(INFO) << "Replacing \"" << members[i].name << "\" on the drive: it is not the signed file";
            }
        }
    }
    return *m_inventory;
}

void InstallRun::Extract()
{
    if (DriveGone(false)) {
        m_goneBeforeExtraction = true;
        throw MessageError("The drive is gone", ERROR_DEV_NOT_EXIST);
    }
    try {
        // Nothing of a package reaches the drive before the whole of it is
        // known to be the signed one; of a package fetched in part, the
        // tail was, and each member is as it is extracted.
        if (!m_context.partialIndex) {
            m_environment.trust.checkPackage(m_packagePath, *m_context.manifest);
        }
        ExtractPackage(m_packagePath, m_destination, m_listener, m_cancel, m_environment, m_context);
    } catch (...) {
        // With the drive still there, the package is what failed: the next
        // fetch starts afresh. Too little room or a held commit says nothing
        // against the bytes, which the next run uses again.
        if (!m_context.tooLittleSpace && !m_context.commitHeld && !DriveGone(true)) {
            m_fetch->Discard();
        }
        throw;
    }
}

// The first download, and the second through the automatic proxy when the
// first failed. False when the run ended here, after reporting it.
bool InstallRun::DownloadPackage()
{
    const bool downloaded = Attempt([this] { Fetch(false); }, " Download Generic exception ", m_report,
                                    FailureKinds::Step::Fetch, m_failureKind);
    if (IsCancelled(m_cancel)) {
        return Fail(IInstallListener::ReasonNone);
    }
    if (!downloaded) {
        if (DriveGone(false)) {
            return DriveMissing();
        }
        if (!Attempt([this] { Fetch(true); }, " Proxy download Generic exception ", m_report,
                     FailureKinds::Step::Fetch, m_failureKind) ||
            IsCancelled(m_cancel)) {
            return Fail(IInstallListener::ReasonNone);
        }
    }
    return true;
}

// Neither a drive that is gone nor one that is too small for the new files
// is helped by a fresh copy of the package.
bool InstallRun::RetryIsPointless()
{
    return m_context.tooLittleSpace || m_context.commitHeld || m_goneBeforeExtraction || DriveGone(true);
}

// The extraction, and once more with a fresh copy through the automatic
// proxy when it failed: a damaged or incomplete package shows up only when
// it is unpacked.
bool InstallRun::ExtractWithRetry()
{
    const auto noRetry = [this] {
        if (m_context.commitHeld) {
            return Fail(IInstallListener::ReasonNone);
        }
        return m_context.tooLittleSpace ? Fail(IInstallListener::ReasonLowFreeSpace)
                                        : DriveMissing();
    };
    const bool extracted = Attempt([this] { Extract(); }, " Extraction Generic exception ", m_report,
                                   FailureKinds::Step::Extract, m_failureKind);
    if (IsCancelled(m_cancel)) {
        return Fail(IInstallListener::ReasonNone);
    }
    if (extracted) {
        return Succeed();
    }
    if (RetryIsPointless()) {
        return noRetry();
    }
    // Which step of the retry failed decides its kind.
    FailureKinds::Step retryStep = FailureKinds::Step::Fetch;
    const bool retried = Attempt(
        [this, &retryStep] {
            retryStep = FailureKinds::Step::Fetch;
            Fetch(true);
            retryStep = FailureKinds::Step::Extract;
            Extract();
        },
        " Retry Generic exception ", m_report, retryStep, m_failureKind);
    if (!retried && !IsCancelled(m_cancel) && RetryIsPointless()) {
        return noRetry();
    }
    if (!retried || IsCancelled(m_cancel)) {
        return Fail(IInstallListener::ReasonNone);
    }
    return Succeed();
}

}  // namespace

std::wstring FoldDoubleBackslashes(const std::wstring& path)
{
    std::wstring folded;
    folded.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        folded += path[i];
        if (path[i] == L'\\' && i + 1 < path.size() && path[i + 1] == L'\\') {
            ++i;
        }
    }
    return folded;
}

std::wstring JournalPath(const std::wstring& perDriveWorkFolder)
{
    return perDriveWorkFolder + kJournalFileName;
}

std::wstring PerDriveWorkFolder(const std::wstring& workFolder, const std::wstring& driveRoot)
{
    return FoldDoubleBackslashes(workFolder + L"\\QL_Install_" + driveRoot.substr(0, 1) + L"\\");
}

const Environment& ProductEnvironment()
{
    static const Environment environment{
        [] { return GetUsbDrives(); },
        [](const wchar_t* root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
           DWORD* freeClusters, DWORD* totalClusters) {
            return GetDiskFreeSpaceW(root, sectorsPerCluster, bytesPerSector, freeClusters,
                                     totalClusters);
        },
        [](const std::wstring& folder, IInstallListener* listener, const std::atomic<bool>* cancel,
           bool proxyOnly, const DownloadTarget& target) {
            return Download(folder, listener, cancel, proxyOnly, target, DownloadOptions());
        },
        {[](const std::string& bytes) { return PackageTrust::VerifyManifest(bytes, PackageTrust::Now()); },
         &PackageTrust::CheckVersion, &PackageTrust::CheckPackageFile},
        {&OpenZipFile, &GetZipItem, &UnzipItem, &CloseZipFile, &GetZipFailure, &BeginZipStaging,
         &CommitZipStaging, &GetZipStagingBytes, &RecoverZipJournal, &SetZipMemberCheck, &StageZipFile},
    };
    return environment;
}

bool Install(const std::wstring& destination, const std::wstring& workFolder,
             IInstallListener* listener, const std::atomic<bool>* cancel)
{
    return Install(destination, workFolder, listener, cancel, ProductEnvironment());
}

bool Install(const std::wstring& destination, const std::wstring& workFolder,
             IInstallListener* listener, const std::atomic<bool>* cancel,
             const Environment& environment)
{
    if (listener != nullptr) {
        listener->SetErrorReason(IInstallListener::ReasonNone);
    }
    InstallRun run(destination, workFolder, listener, cancel, environment);
    return run.Run();
}

}  // namespace InstallBackend
