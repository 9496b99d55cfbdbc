#include <gtest/gtest.h>

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "FailurePolicy.h"
#include "IInstallListener.h"
#include "InstallEnvironment.h"
#include "InstallError.h"
#include "LogCapture.h"
#include "MessageError.h"
#include "ProductPaths.h"
#include "TempFolder.h"
#include "TransportFailure.h"
#include "WinHttpErrors.h"

using InstallBackend::Environment;

namespace {

// Every report, in order, as short text: "reason 0", "status 1", "progress 0.5".
class RecordingListener : public IInstallListener {
public:
    void OnStatus(int status) override { events.push_back("status " + std::to_string(status)); }
    void OnProgress(float fraction) override
    {
        progress.push_back(fraction);
        events.push_back("progress");
    }
    int GetErrorReason() override { return reason; }
    void SetErrorReason(int value) override
    {
        reason = value;
        events.push_back("reason " + std::to_string(value));
    }
    void OnFailure(const InstallFailure& value) override { failures.push_back(value); }
    bool OnReadyToCommit() override
    {
        ++commitAsks;
        return !holdCommit;
    }
    bool DriveRemoved() override { return removed; }

    std::vector<InstallFailure> failures;
    bool holdCommit = false;
    int commitAsks = 0;
    bool removed = false;
    std::vector<std::string> events;
    std::vector<float> progress;
    int reason = -1;
};

// A package as the fake zip layer sees it: so many entries, with failures
// where a test wants them. Entries are written as real files so that the
// pipeline's hidden-attribute step has something to work on.
struct FakeArchive {
    int entries = 3;
    bool openFails = false;
    bool countFails = false;
    int itemFailsAt = -1;
    int unzipFailsAt = -1;
    // How that entry fails, and the error the layer leaves.
    ZipStatus unzipStatus = ZipWriteFailed;
    DWORD unzipError = ERROR_SUCCESS;
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    std::function<void(int)> onUnzip;

    int opens = 0;
    int closes = 0;
    int unzipped = 0;
    std::wstring openedPath;
    std::wstring currentDirectoryAtOpen;
};

FakeArchive* g_archive = nullptr;
HZIP const kFakeHandle = reinterpret_cast<HZIP>(0x1000);

HZIP FakeOpen(const wchar_t* path)
{
    ++g_archive->opens;
    g_archive->openedPath = path;
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    g_archive->currentDirectoryAtOpen = current;
    return g_archive->openFails ? nullptr : kFakeHandle;
}

ZipStatus FakeGetItem(HZIP zip, int index, ZipItem* item)
{
    EXPECT_EQ(kFakeHandle, zip);
    if (index == -1) {
        if (g_archive->countFails) {
            return ZipCorrupt;
        }
        *item = ZipItem{};
        item->index = g_archive->entries;
        return ZipOk;
    }
    if (index == g_archive->itemFailsAt) {
        return ZipCorrupt;
    }
    item->index = index;
    swprintf(item->name, MAX_PATH, L"entry%d.txt", index);
    item->attributes = g_archive->attributes;
    return ZipOk;
}

ZipStatus FakeUnzip(HZIP, int index, const wchar_t* name)
{
    if (g_archive->onUnzip) {
        g_archive->onUnzip(index);
    }
    // Relative to the current directory, as the real layer writes.
    HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (index == g_archive->unzipFailsAt) {
        SetLastError(g_archive->unzipError);
        return g_archive->unzipStatus;
    }
    ++g_archive->unzipped;
    return ZipOk;
}

ZipStatus FakeClose(HZIP)
{
    ++g_archive->closes;
    return ZipOk;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring MakeTempFolder(const wchar_t* prefix)
{
    return NewTempFolder(prefix) + L"\\";
}

// What a download did, and what it should do next time.
struct DownloadCall {
    bool proxyOnly;
    std::wstring folder;
    bool onlyThroughFoundProxy;
};

class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_archive = &archive;
        workFolder = MakeTempFolder(L"qwk");
        destination = MakeTempFolder(L"qds");
        destination.pop_back();  // the pipeline gets it without a trailing backslash
        drives = {{L'E', L"0001"}};
        // A healthy drive: 64 * 4096 * 1048576 bytes = 256 GiB free, which
        // also shows the product is formed in 64 bits.
        freeSpace = [](DWORD* spc, DWORD* bps, DWORD* clusters) {
            *spc = 64;
            *bps = 4096;
            *clusters = 1048576;
            return TRUE;
        };

        environment.getUsbDrives = [this] {
            ++driveListings;
            if (driveListThrows) {
                throw std::runtime_error("WMI went away");
            }
            return drives;
        };
        environment.getDiskFreeSpace = [this](const wchar_t* root, DWORD* spc, DWORD* bps,
                                              DWORD* clusters, DWORD* total) {
            freeSpaceRoot = root;
            *total = 0;
            return freeSpace(spc, bps, clusters);
        };
        environment.download = [this](const std::wstring& folder, IInstallListener* listener,
                                      const std::atomic<bool>* cancelFlag, bool proxyOnly,
                                      const DownloadTarget& target) {
            // The manifest's own fetch; what it must say is the fake trust's
            // business below.
            if (target.onlyThroughFoundProxy && !proxyFound) {
                throw NoProxyFound(ERROR_WINHTTP_AUTODETECTION_FAILED);
            }
            if (target.fileName != L"Quillon.zip") {
                const std::wstring path = folder + target.fileName;
                std::ofstream(path.c_str(), std::ios::binary) << "manifest";
                return path;
            }
            const size_t call = downloads.size();
            downloads.push_back({proxyOnly, folder, target.onlyThroughFoundProxy});
            if (listener != nullptr) {
                listener->OnStatus(IInstallListener::StatusDownloading);
                listener->OnProgress(0.1f);
            }
            const std::wstring path = folder + L"Quillon.zip";
            if (target.sink != nullptr && keepThroughSink) {
                target.sink->Write(0, "PK", 2);
            } else {
                std::ofstream(path.c_str(), std::ios::binary) << "PK";
            }
            if (call < downloadBehaviour.size() && downloadBehaviour[call]) {
                downloadBehaviour[call](cancelFlag);
            }
            return path;
        };
        // The package's trust has tests of its own; here every manifest is
        // the vendor's and lists exactly the fake archive's entries.
        environment.trust.verifyManifest = [](const std::string&) {
            PackageManifest::Manifest manifest;
            manifest.packagePath = "/SW_UPDATE/KT-QUILLON/Quillon.zip";
            manifest.packageSize = 2;
            for (int i = 0; i < g_archive->entries; ++i) {
                manifest.members.push_back({"entry" + std::to_string(i) + ".txt", 0, {}});
            }
            return manifest;
        };
        environment.trust.checkVersion = [](const PackageManifest::Manifest&, std::optional<uint64_t>) {};
        environment.trust.checkPackage = [](const std::wstring&, const PackageManifest::Manifest&) {};
        environment.zip = {&FakeOpen, &FakeGetItem, &FakeUnzip, &FakeClose, nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr};
    }

    void TearDown() override
    {
        SetCurrentDirectoryW(workFolder.c_str());
        g_archive = nullptr;
    }

    bool Run(IInstallListener* reportTo)
    {
        return InstallBackend::Install(target, workFolder, reportTo, &cancel, environment, options);
    }
    bool Run() { return Run(&listener); }

    std::wstring PackageFile() const { return workFolder + L"QL_Install_E\\Quillon.zip"; }

    // Behaviour of download call N: throw, set the cancel flag, ...
    std::vector<std::function<void(const std::atomic<bool>*)>> downloadBehaviour;

    Environment environment;
    RecordingListener listener;
    FakeArchive archive;
    std::atomic<bool> cancel{false};
    std::wstring workFolder;
    std::wstring destination;
    std::wstring target = L"E:";
    UsbDriveMap drives;
    bool driveListThrows = false;
    int driveListings = 0;
    std::function<BOOL(DWORD*, DWORD*, DWORD*)> freeSpace;
    std::wstring freeSpaceRoot;
    std::vector<DownloadCall> downloads;
    // Whether the automatic proxy look-up finds a proxy.
    bool proxyFound = true;
    // The package's bytes go where the run keeps them, as the real download
    // writes them.
    bool keepThroughSink = false;
    InstallBackend::InstallOptions options;
};

// The destination for tests that extract: a real folder, still on drive "E"
// as far as the drive check is concerned. The folder path has its own drive
// letter, so the drive list is made to hold that letter too.
class ExtractingPipelineTest : public PipelineTest {
protected:
    void SetUp() override
    {
        PipelineTest::SetUp();
        target = destination;
        drives = {{destination[0], L"0001"}};
    }
    std::wstring PackageFile() const
    {
        return workFolder + L"QL_Install_" + destination.substr(0, 1) + L"\\Quillon.zip";
    }
};

void Throw(const char* text)
{
    throw MessageError(text);
}

}  // namespace

TEST(PipelinePaths, DriveRootAndPerDriveFolder)
{
    EXPECT_EQ(L"E:\\", DriveRootOf(L"E:"));
    EXPECT_EQ(L"E:\\", DriveRootOf(L"E:\\Tools"));
    EXPECT_EQ(L"\\", DriveRootOf(L"Tools"));
    EXPECT_EQ(L"C:\\T\\{G}\\QL_Install_E\\",
              InstallBackend::PerDriveWorkFolder(L"C:\\T\\{G}\\", L"E:\\"));
    EXPECT_EQ(L"C:\\T\\QL_Install_E\\", InstallBackend::PerDriveWorkFolder(L"C:\\T", L"E:\\"));
}

TEST(PipelinePaths, DoubleBackslashesFoldInOnePassWithoutOverlap)
{
    EXPECT_EQ(L"a\\b", InstallBackend::FoldDoubleBackslashes(L"a\\\\b"));
    EXPECT_EQ(L"a\\\\b", InstallBackend::FoldDoubleBackslashes(L"a\\\\\\b"));
    EXPECT_EQ(L"a\\\\b", InstallBackend::FoldDoubleBackslashes(L"a\\\\\\\\b"));
    EXPECT_EQ(L"\\", InstallBackend::FoldDoubleBackslashes(L"\\\\"));
    EXPECT_EQ(L"a\\b\\c", InstallBackend::FoldDoubleBackslashes(L"a\\b\\c"));
}

TEST_F(ExtractingPipelineTest, CleanRunReportsEveryPhaseInOrder)
{
    EXPECT_TRUE(Run());
    const std::vector<std::string> expected = {
        "reason 0", "status 0", "progress", "status 1", "progress", "progress", "progress",
        "status 2"};
    EXPECT_EQ(expected, listener.events);
    ASSERT_EQ(4u, listener.progress.size());
    EXPECT_FLOAT_EQ(1.0f / 3.0f, listener.progress[1]);
    EXPECT_FLOAT_EQ(2.0f / 3.0f, listener.progress[2]);
    EXPECT_EQ(1.0f, listener.progress[3]);

    ASSERT_EQ(1u, downloads.size());
    EXPECT_FALSE(downloads[0].proxyOnly);
    EXPECT_EQ(workFolder + L"QL_Install_" + destination.substr(0, 1) + L"\\", downloads[0].folder);
    EXPECT_EQ(PackageFile(), archive.openedPath);
    EXPECT_EQ(destination, archive.currentDirectoryAtOpen);
    EXPECT_EQ(3, archive.unzipped);
    EXPECT_EQ(1, archive.closes);
    EXPECT_FALSE(FileExists(PackageFile()));
    EXPECT_TRUE(FileExists(destination + L"\\entry2.txt"));
}

TEST_F(ExtractingPipelineTest, NullListenerDoesTheSameWork)
{
    EXPECT_TRUE(Run(nullptr));
    EXPECT_EQ(3, archive.unzipped);
    EXPECT_FALSE(FileExists(PackageFile()));
}

TEST_F(ExtractingPipelineTest, EmptyPackageSucceedsWithoutEntryProgress)
{
    archive.entries = 0;
    EXPECT_TRUE(Run());
    const std::vector<std::string> expected = {"reason 0", "status 0", "progress", "status 1",
                                               "status 2"};
    EXPECT_EQ(expected, listener.events);
}

TEST_F(ExtractingPipelineTest, HiddenEntriesEndUpHidden)
{
    archive.attributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN;
    EXPECT_TRUE(Run());
    const DWORD attributes = GetFileAttributesW((destination + L"\\entry0.txt").c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_NE(0u, attributes & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(ExtractingPipelineTest, AFailedRunMarksNothingHidden)
{
    archive.attributes = FILE_ATTRIBUTE_HIDDEN;
    archive.unzipFailsAt = 1;
    EXPECT_FALSE(Run());
    const DWORD attributes = GetFileAttributesW((destination + L"\\entry0.txt").c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_EQ(0u, attributes & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(ExtractingPipelineTest, AFailedRunLeavesNoFolderItMade)
{
    target = destination + L"\\new\\deeper";
    archive.itemFailsAt = 0;
    EXPECT_FALSE(Run());
    EXPECT_FALSE(FileExists(destination + L"\\new"));
    archive.itemFailsAt = -1;
    EXPECT_TRUE(Run());
    EXPECT_TRUE(FileExists(target + L"\\entry0.txt"));
}

// A drive pulled during the download or the extraction, or whose letter
// another drive has taken, ends the run at once: a fresh copy of the
// package would not bring it back.
TEST_F(ExtractingPipelineTest, AGoneDriveEndsTheRunWithoutAnotherDownload)
{
    downloadBehaviour = {[this](const std::atomic<bool>*) { drives.clear(); }};
    EXPECT_FALSE(Run());
    EXPECT_EQ(IInstallListener::ReasonDriveMissing, listener.reason);
    EXPECT_EQ(1u, downloads.size());
    EXPECT_EQ(0, archive.opens);

    downloads.clear();
    downloadBehaviour.clear();
    listener = RecordingListener();
    SetUp();
    archive.unzipFailsAt = 1;
    archive.onUnzip = [this](int index) {
        if (index == 1) {
            drives = {{destination[0], L"ANOTHER STICK"}};
        }
    };
    EXPECT_FALSE(Run());
    EXPECT_EQ(IInstallListener::ReasonDriveMissing, listener.reason);
    EXPECT_EQ(1u, downloads.size());
    EXPECT_EQ(1, archive.opens);
}

// Until the commit the new files sit beside the old ones: a drive with room
// for one copy but not for both fails before a member is written.
TEST_F(ExtractingPipelineTest, NewFilesThatDoNotFitBesideTheOldOnesFailFirst)
{
    static uint32_t seenCluster = 0;
    environment.zip.stagingBytes = [](HZIP, uint32_t clusterBytes, uint64_t* bytes) {
        seenCluster = clusterBytes;
        *bytes = 300ull * 1048576;
        return ZipOk;
    };
    freeSpace = [](DWORD* spc, DWORD* bps, DWORD* clusters) {
        *spc = 8;
        *bps = 512;
        *clusters = 200 * 256;  // 200 MiB
        return TRUE;
    };
    EXPECT_FALSE(Run());
    EXPECT_EQ(IInstallListener::ReasonLowFreeSpace, listener.reason);
    EXPECT_EQ(4096u, seenCluster);
    EXPECT_EQ(0, archive.unzipped);
    EXPECT_EQ(1u, downloads.size());
}

TEST_F(PipelineTest, DriveNotAttached)
{
    LogCapture log;
    std::ofstream(PackageFile().c_str()) << "left by an earlier run";
    drives = {{L'F', L"0001"}};
    EXPECT_FALSE(Run());
    const std::vector<std::string> expected = {"reason 0", "reason 2048", "status 3"};
    EXPECT_EQ(expected, listener.events);
    EXPECT_TRUE(downloads.empty());
    EXPECT_FALSE(FileExists(PackageFile()));
    EXPECT_TRUE(log.Contains("ERROR|CheckDriveConnected E:\\ is not among the attached USB drives"))
        << log.Text();
}

TEST_F(PipelineTest, DriveLettersCompareExactly)
{
    target = L"e:";
    EXPECT_FALSE(Run());
    EXPECT_EQ(IInstallListener::ReasonDriveMissing, listener.reason);
}

TEST_F(PipelineTest, DestinationWithoutColonIsNoDrive)
{
    target = L"Tools";
    drives = {{L'T', L"0001"}, {L'\\', L"0002"}};
    drives.erase(L'\\');
    EXPECT_FALSE(Run());
    EXPECT_EQ(IInstallListener::ReasonDriveMissing, listener.reason);
    EXPECT_TRUE(downloads.empty());
}

TEST_F(ExtractingPipelineTest, FailingDriveListDoesNotStopTheInstall)
{
    LogCapture log;
    driveListThrows = true;
    EXPECT_TRUE(Run());
    EXPECT_EQ(IInstallListener::ReasonNone, listener.reason);
    EXPECT_NE(std::string::npos,
              log.Text().find("ERROR| CheckDriveConnected Generic exception  Last error: "))
        << log.Text();
    EXPECT_EQ(destination.substr(0, 2) + L"\\", freeSpaceRoot);
}

TEST_F(PipelineTest, FreeSpaceBoundary)
{
    // 157286400 bytes exactly passes...
    freeSpace = [](DWORD* spc, DWORD* bps, DWORD* clusters) {
        *spc = 8;
        *bps = 512;
        *clusters = 38400;
        return TRUE;
    };
    downloadBehaviour = {[](const std::atomic<bool>*) { Throw("stop here"); },
                         [](const std::atomic<bool>*) { Throw("stop here"); }};
    EXPECT_FALSE(Run());
    EXPECT_EQ(2u, downloads.size());
    EXPECT_EQ(IInstallListener::ReasonNone, listener.reason);
    EXPECT_EQ(L"E:\\", freeSpaceRoot);

    // ...one byte less does not.
    LogCapture log;
    downloads.clear();
    listener = RecordingListener();
    freeSpace = [](DWORD* spc, DWORD* bps, DWORD* clusters) {
        *spc = 1;
        *bps = 1;
        *clusters = 157286399;
        return TRUE;
    };
    EXPECT_FALSE(Run());
    const std::vector<std::string> expected = {"reason 0", "reason 1024", "status 3"};
    EXPECT_EQ(expected, listener.events);
    EXPECT_TRUE(downloads.empty());
    EXPECT_FALSE(FileExists(PackageFile()));
    EXPECT_TRUE(log.Contains("ERROR|CheckDriveFreeSpace E:\\ has 157286399 bytes free, 157286400 needed"))
        << log.Text();
}

TEST_F(PipelineTest, FreeSpaceQueryFailingOrRaisingGoesOn)
{
    downloadBehaviour = {[](const std::atomic<bool>*) { Throw("stop"); },
                         [](const std::atomic<bool>*) { Throw("stop"); }};
    {
        LogCapture log;
        freeSpace = [](DWORD*, DWORD*, DWORD*) {
            SetLastError(ERROR_NOT_READY);
            return FALSE;
        };
        EXPECT_FALSE(Run());
        EXPECT_EQ(2u, downloads.size());
        EXPECT_TRUE(log.Contains("ERROR|GetDiskFreeSpaceW error: 21")) << log.Text();
    }
    {
        LogCapture log;
        downloads.clear();
        freeSpace = [](DWORD*, DWORD*, DWORD*) -> BOOL { throw std::bad_alloc(); };
        EXPECT_FALSE(Run());
        EXPECT_EQ(2u, downloads.size());
        EXPECT_NE(std::string::npos,
                  log.Text().find("ERROR| CheckDriveFreeSpace Generic exception  Last error: "));
    }
}

TEST_F(ExtractingPipelineTest, FailedFirstDownloadIsFollowedByAProxyOnlyOne)
{
    LogCapture log;
    downloadBehaviour = {[](const std::atomic<bool>*) {
        SetLastError(12029);
        Throw("Sending WinHttpRequest failed");
    }};
    EXPECT_TRUE(Run());
    ASSERT_EQ(2u, downloads.size());
    EXPECT_FALSE(downloads[0].proxyOnly);
    EXPECT_TRUE(downloads[1].proxyOnly);
    const std::vector<std::string> expected = {
        "reason 0", "status 0", "progress", "status 0", "progress", "status 1",
        "progress", "progress", "progress", "status 2"};
    EXPECT_EQ(expected, listener.events);
    EXPECT_TRUE(log.Contains("ERROR|Sending WinHttpRequest failed Last error: 12029")) << log.Text();
}

TEST_F(PipelineTest, BothDownloadsFailing)
{
    {
        LogCapture log;
        downloadBehaviour = {[](const std::atomic<bool>*) { throw std::runtime_error("x"); },
                             [](const std::atomic<bool>*) { Throw("WinHttpOpen failed"); }};
        EXPECT_FALSE(Run());
        EXPECT_EQ(2u, downloads.size());
        EXPECT_EQ(0, archive.opens);
        EXPECT_EQ("status 3", listener.events.back());
        EXPECT_NE(std::string::npos, log.Text().find("ERROR| Download Generic exception  Last error: "));
        EXPECT_NE(std::string::npos, log.Text().find("ERROR|WinHttpOpen failed Last error: "));
        EXPECT_FALSE(FileExists(PackageFile()));
    }
    {
        LogCapture log;
        downloads.clear();
        downloadBehaviour = {[](const std::atomic<bool>*) { Throw("a"); },
                             [](const std::atomic<bool>*) { throw 42; }};
        EXPECT_FALSE(Run());
        EXPECT_EQ(2u, downloads.size());
        // The catch-all names the step it guards.
        EXPECT_NE(std::string::npos, log.Text().find("ERROR| Proxy download Generic exception  Last error: "));
    }
}

TEST_F(ExtractingPipelineTest, DamagedPackageIsFetchedOnceMoreThroughTheProxy)
{
    LogCapture log;
    archive.openFails = true;
    int opens = 0;
    downloadBehaviour = {nullptr, [&](const std::atomic<bool>*) {
                             opens = archive.opens;
                             archive.openFails = false;
                         }};
    EXPECT_TRUE(Run());
    ASSERT_EQ(2u, downloads.size());
    EXPECT_TRUE(downloads[1].proxyOnly);
    EXPECT_EQ(1, opens) << "the retry comes after the first extraction";
    EXPECT_TRUE(log.Contains("ERROR|Failed to open zip file Last error: 0") ||
                log.Text().find("ERROR|Failed to open zip file Last error: ") != std::string::npos);
    EXPECT_EQ("status 2", listener.events.back());
}

TEST_F(ExtractingPipelineTest, AtMostThreeDownloadsAndTwoExtractions)
{
    archive.unzipFailsAt = 1;
    archive.unzipStatus = ZipCorrupt;
    downloadBehaviour = {[](const std::atomic<bool>*) { Throw("first"); }};
    EXPECT_FALSE(Run());
    ASSERT_EQ(3u, downloads.size());
    EXPECT_TRUE(downloads[1].proxyOnly);
    EXPECT_TRUE(downloads[2].proxyOnly);
    EXPECT_EQ(2, archive.opens);
    EXPECT_EQ(2, archive.closes) << "the archive is closed also when an entry fails";
    EXPECT_EQ("status 3", listener.events.back());
    EXPECT_FALSE(FileExists(PackageFile()));
}

TEST_F(ExtractingPipelineTest, ExtractionMessagesAreLogged)
{
    {
        LogCapture log;
        archive.countFails = true;
        EXPECT_FALSE(Run());
        EXPECT_NE(std::string::npos, log.Text().find("ERROR|Reading the package's directory failed Last error: "));
    }
    {
        LogCapture log;
        archive.countFails = false;
        archive.itemFailsAt = 2;
        EXPECT_FALSE(Run());
        EXPECT_NE(std::string::npos,
                  log.Text().find("ERROR|Reading the package's directory failed Last error: "));
    }
    {
        LogCapture log;
        archive.itemFailsAt = -1;
        archive.unzipFailsAt = 0;
        EXPECT_FALSE(Run());
        EXPECT_NE(std::string::npos, log.Text().find("ERROR|Extracting \"entry0.txt\" failed Last error: "));
    }
}

TEST_F(PipelineTest, DestinationThatCannotBeMadeCurrentIsNeverExtractedElsewhere)
{
    LogCapture log;
    // A file where the destination folder should be: it cannot be created
    // nor entered, so nothing may be unpacked into whatever folder was
    // current before.
    const std::wstring blocked = workFolder + L"blocked";
    std::ofstream(blocked.c_str()) << "a file";
    target = blocked;
    drives = {{blocked[0], L"0001"}};
    EXPECT_FALSE(Run());
    EXPECT_EQ(0, archive.opens);
    EXPECT_EQ(2u, downloads.size()) << "treated as a failed extraction: one retry";
    EXPECT_NE(std::string::npos, log.Text().find("ERROR|SetCurrentDirectoryW error: "));
    EXPECT_NE(std::string::npos, log.Text().find("ERROR|SetCurrentDirectoryW failed Last error: "));
}

TEST_F(ExtractingPipelineTest, CancelAfterTheFirstDownload)
{
    downloadBehaviour = {[this](const std::atomic<bool>*) { cancel = true; }};
    EXPECT_FALSE(Run());
    EXPECT_EQ(1u, downloads.size());
    EXPECT_EQ(0, archive.opens);
    EXPECT_EQ("status 3", listener.events.back());
    EXPECT_FALSE(FileExists(PackageFile()));
}

TEST_F(ExtractingPipelineTest, CancelDuringAFailingFirstDownload)
{
    downloadBehaviour = {[this](const std::atomic<bool>*) {
        cancel = true;
        Throw("WinHttpReadData failed");
    }};
    EXPECT_FALSE(Run());
    EXPECT_EQ(1u, downloads.size()) << "no second download once cancelled";
}

TEST_F(ExtractingPipelineTest, CancelDuringTheSecondDownload)
{
    downloadBehaviour = {[](const std::atomic<bool>*) { Throw("first"); },
                         [this](const std::atomic<bool>*) { cancel = true; }};
    EXPECT_FALSE(Run());
    EXPECT_EQ(2u, downloads.size());
    EXPECT_EQ(0, archive.opens);
}

TEST_F(ExtractingPipelineTest, CancelDuringExtractionStopsBeforeTheNextEntry)
{
    archive.entries = 5;
    archive.onUnzip = [this](int index) {
        if (index == 1) {
            cancel = true;
        }
    };
    EXPECT_FALSE(Run());
    EXPECT_EQ(2, archive.unzipped);
    EXPECT_EQ(1u, downloads.size()) << "a cancelled extraction is not retried";
    EXPECT_EQ("status 3", listener.events.back());
    EXPECT_TRUE(FileExists(destination + L"\\entry1.txt")) << "written entries stay";
    EXPECT_FALSE(FileExists(destination + L"\\entry2.txt"));
    EXPECT_FALSE(FileExists(PackageFile()));
}

TEST_F(ExtractingPipelineTest, CancelAfterAFailedExtraction)
{
    archive.unzipFailsAt = 0;
    archive.onUnzip = [this](int) { cancel = true; };
    EXPECT_FALSE(Run());
    EXPECT_EQ(1u, downloads.size());
}

TEST_F(ExtractingPipelineTest, CancelDuringTheRetryDownload)
{
    archive.openFails = true;
    downloadBehaviour = {nullptr, [this](const std::atomic<bool>*) {
                             archive.openFails = false;
                             cancel = true;
                         }};
    EXPECT_FALSE(Run());
    EXPECT_EQ(2u, downloads.size());
    EXPECT_EQ(0, archive.unzipped) << "the extraction stops before its first entry";
    EXPECT_EQ("status 3", listener.events.back());
}

TEST(WinHttpErrors, TheCauseInWordsBesideItsNumber)
{
    struct Case {
        DWORD error;
        const char* words;
        bool unreached;
    };
    const Case cases[] = {
        {ERROR_WINHTTP_CANNOT_CONNECT, "connection refused", true},
        {ERROR_WINHTTP_NAME_NOT_RESOLVED, "name not resolved", true},
        {ERROR_WINHTTP_TIMEOUT, "timed out", true},
        {ERROR_WINHTTP_SECURE_FAILURE, "certificate rejected", true},
        {ERROR_WINHTTP_SECURE_INVALID_CA, "certificate of an untrusted authority", true},
        {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "invalid server response", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(c.words, WinHttpErrors::Meaning(c.error));
        EXPECT_EQ(c.unreached, WinHttpErrors::Unreached(c.error));
        EXPECT_EQ(std::string(c.words) + " (WinHTTP error " + std::to_string(c.error) + ")",
                  WinHttpErrors::Described(c.error));
    }
    // Outside the table the number alone, never a guess.
    EXPECT_EQ("WinHTTP error 12001", WinHttpErrors::Described(ERROR_WINHTTP_OUT_OF_HANDLES));
    EXPECT_FALSE(WinHttpErrors::Unreached(ERROR_WINHTTP_OUT_OF_HANDLES));
    EXPECT_EQ("error 5", WinHttpErrors::Described(ERROR_ACCESS_DENIED));
}

TEST(FailurePolicy, RetryAndKeptDownloadFollowTheKind)
{
    using FailurePolicy::Retry;
    struct Case {
        FailureKind kind;
        Retry retry;
        bool keeps;
        int reason;
    };
    const Case cases[] = {
        {FailureKind::NoConnection, Retry::ThroughProxy, true, IInstallListener::ReasonNone},
        {FailureKind::ServerError, Retry::ThroughProxy, true, IInstallListener::ReasonNone},
        {FailureKind::Internal, Retry::ThroughProxy, false, IInstallListener::ReasonNone},
        {FailureKind::PackageRefused, Retry::ThroughFoundProxyOnly, false, IInstallListener::ReasonNone},
        {FailureKind::LowFreeSpace, Retry::None, true, IInstallListener::ReasonLowFreeSpace},
        {FailureKind::DriveMissing, Retry::None, true, IInstallListener::ReasonDriveMissing},
        {FailureKind::Cancelled, Retry::None, true, IInstallListener::ReasonNone},
        {FailureKind::CommitHeld, Retry::None, true, IInstallListener::ReasonNone},
        {FailureKind::WriteFailed, Retry::None, true, IInstallListener::ReasonNone},
        {FailureKind::WriteProtected, Retry::None, true, IInstallListener::ReasonNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        EXPECT_EQ(c.retry, FailurePolicy::RetryFor(c.kind));
        EXPECT_EQ(c.keeps, FailurePolicy::KeepsDownload(c.kind));
        EXPECT_EQ(c.reason, FailurePolicy::ReasonFor(c.kind));
    }
}

// The caller is told what failed, once, before the failed status: the
// windows choose their words from it.
TEST_F(ExtractingPipelineTest, EachFailureReachesTheCallerWithItsKind)
{
    const auto runFresh = [this] {
        downloads.clear();
        listener = RecordingListener();
        cancel = false;
        return Run();
    };
    const auto onlyFailure = [this]() -> InstallFailure {
        EXPECT_EQ(1u, listener.failures.size());
        EXPECT_EQ("status 3", listener.events.back());
        return listener.failures.empty() ? InstallFailure{} : listener.failures.back();
    };

    const auto raise = [](const auto& error) {
        return [error](const std::atomic<bool>*) { throw error; };
    };
    InstallFailure failure;

    // The server down: once more through the proxy, then told with the
    // server and the cause in words.
    TransportFailure down("WinHttpSendRequest failed", ERROR_WINHTTP_CANNOT_CONNECT);
    down.AtServer("update.example:8443");
    downloadBehaviour = {raise(down), raise(down)};
    EXPECT_FALSE(runFresh());
    failure = onlyFailure();
    EXPECT_EQ(FailureKind::NoConnection, failure.kind);
    EXPECT_EQ("update.example:8443", failure.server);
    EXPECT_EQ("the update server update.example:8443 could not be reached: connection refused (WinHTTP error 12029)",
              failure.detail);
    EXPECT_EQ(2u, downloads.size());

    const TransportFailure wrong("Unexpected HTTP response", ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "status 404");
    downloadBehaviour = {raise(wrong), raise(wrong)};
    EXPECT_FALSE(runFresh());
    failure = onlyFailure();
    EXPECT_EQ(FailureKind::ServerError, failure.kind);
    EXPECT_NE(std::string::npos, failure.server.find(':'));
    EXPECT_NE(std::string::npos, failure.detail.find("answered wrongly: Unexpected HTTP response (status 404)"))
        << failure.detail;

    // A refusal is fetched again only through a proxy the look-up found.
    downloadBehaviour = {raise(PackageRefusal("short")), raise(PackageRefusal("short"))};
    EXPECT_FALSE(runFresh());
    EXPECT_EQ(FailureKind::PackageRefused, onlyFailure().kind);
    ASSERT_EQ(2u, downloads.size());
    EXPECT_TRUE(downloads[1].onlyThroughFoundProxy);
    proxyFound = false;
    EXPECT_FALSE(runFresh());
    failure = onlyFailure();
    EXPECT_EQ(FailureKind::PackageRefused, failure.kind);
    EXPECT_EQ("Package refused: short", failure.detail);
    EXPECT_EQ(1u, downloads.size());

    // A member the zip layer cannot unpack is a download that differs from
    // the vendor's, never the stick's fault; a failing write is the stick's,
    // names its file and is not retried.
    downloadBehaviour.clear();
    archive.unzipFailsAt = 1;
    archive.unzipStatus = ZipCorrupt;
    EXPECT_FALSE(runFresh());
    failure = onlyFailure();
    EXPECT_EQ(FailureKind::PackageRefused, failure.kind);
    EXPECT_NE(std::string::npos, failure.detail.find("does not match what the vendor signed")) << failure.detail;
    proxyFound = true;
    archive.unzipStatus = ZipWriteFailed;
    archive.unzipError = ERROR_WRITE_FAULT;
    EXPECT_FALSE(runFresh());
    failure = onlyFailure();
    EXPECT_EQ(FailureKind::WriteFailed, failure.kind);
    EXPECT_NE(std::string::npos, failure.detail.find("\"entry1.txt\"")) << failure.detail;
    EXPECT_EQ(1u, downloads.size());
    archive.unzipError = ERROR_WRITE_PROTECT;
    EXPECT_FALSE(runFresh());
    EXPECT_EQ(FailureKind::WriteProtected, onlyFailure().kind);
    archive.unzipFailsAt = -1;

    // A cancel is the user's; the same stop made because the stick went is
    // the stick's.
    downloadBehaviour = {[this](const std::atomic<bool>*) { cancel = true; }};
    EXPECT_FALSE(runFresh());
    EXPECT_EQ(FailureKind::Cancelled, onlyFailure().kind);
    downloadBehaviour = {[this](const std::atomic<bool>*) {
        listener.removed = true;
        cancel = true;
    }};
    EXPECT_FALSE(runFresh());
    EXPECT_EQ(FailureKind::DriveMissing, onlyFailure().kind);
    EXPECT_EQ(IInstallListener::ReasonDriveMissing, listener.reason);

    // Held at the commit: nothing is fetched again, and the caller was asked once.
    downloadBehaviour.clear();
    downloads.clear();
    listener = RecordingListener();
    listener.holdCommit = true;
    cancel = false;
    EXPECT_FALSE(Run());
    EXPECT_EQ(FailureKind::CommitHeld, onlyFailure().kind);
    EXPECT_EQ(1, listener.commitAsks);
    EXPECT_EQ(1u, downloads.size());

    freeSpace = [](DWORD* spc, DWORD* bps, DWORD* clusters) {
        *spc = 1;
        *bps = 1;
        *clusters = 157286399;
        return TRUE;
    };
    EXPECT_FALSE(runFresh());
    failure = onlyFailure();
    EXPECT_EQ(FailureKind::LowFreeSpace, failure.kind);
    EXPECT_EQ(157286399u, failure.bytesFree);
    EXPECT_EQ(157286400u, failure.bytesNeeded);

    drives.clear();
    EXPECT_FALSE(runFresh());
    EXPECT_EQ(FailureKind::DriveMissing, onlyFailure().kind);
}

// What was fetched stays for the next run after a failure that says
// nothing against its bytes: once room is freed, nothing is fetched again.
// A refused package's bytes go.
TEST_F(ExtractingPipelineTest, TheKeptDownloadOutlivesTooLittleRoomButNotARefusal)
{
    keepThroughSink = true;
    static bool roomFreed;
    roomFreed = false;
    environment.zip.stagingBytes = [](HZIP, uint32_t, uint64_t* bytes) {
        *bytes = roomFreed ? 4096 : 300ull * 1048576;
        return ZipOk;
    };
    freeSpace = [](DWORD* spc, DWORD* bps, DWORD* clusters) {
        *spc = 8;
        *bps = 512;
        *clusters = 200 * 256;  // 200 MiB
        return TRUE;
    };
    EXPECT_FALSE(Run());
    ASSERT_EQ(1u, listener.failures.size());
    EXPECT_EQ(FailureKind::LowFreeSpace, listener.failures[0].kind);
    EXPECT_EQ(1u, downloads.size());

    roomFreed = true;
    downloads.clear();
    EXPECT_TRUE(Run());
    EXPECT_TRUE(downloads.empty()) << "the kept package is used as it is";

    proxyFound = false;
    environment.trust.checkPackage = [](const std::wstring&, const PackageManifest::Manifest&) {
        throw PackageRefusal("the package differs from its signed SHA-256");
    };
    downloads.clear();
    EXPECT_FALSE(Run());
    EXPECT_EQ(1u, downloads.size());
    environment.trust.checkPackage = [](const std::wstring&, const PackageManifest::Manifest&) {};
    downloads.clear();
    EXPECT_TRUE(Run());
    EXPECT_EQ(1u, downloads.size()) << "a refused package is fetched afresh";
}

namespace {

std::string LastLine(const std::string& text)
{
    const size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) {
        return std::string();
    }
    const size_t start = text.find_last_of('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start == std::string::npos ? 0 : start + 1));
}

}  // namespace

// The run's last line, as a support desk reads it: an update says so, a
// success carries no ERROR line, a failure names its cause in words.
TEST_F(ExtractingPipelineTest, TheLastLineNamesTheRunAndTheCause)
{
    {
        LogCapture log;
        options.update = true;
        EXPECT_TRUE(Run());
        EXPECT_EQ(0u, LastLine(log.Text()).rfind("INFO|Update succeeded: every entry extracted; ", 0)) << log.Text();
        EXPECT_EQ(std::string::npos, log.Text().find("ERROR|")) << log.Text();
    }
    {
        LogCapture log;
        options.update = false;
        downloads.clear();
        TransportFailure down("WinHttpSendRequest failed", ERROR_WINHTTP_CANNOT_CONNECT);
        down.AtServer("update.example:8443");
        downloadBehaviour = {[down](const std::atomic<bool>*) { throw down; },
                             [down](const std::atomic<bool>*) { throw down; }};
        EXPECT_FALSE(Run());
        EXPECT_EQ(0u, LastLine(log.Text())
                          .rfind("ERROR|Install failed: the update server update.example:8443 could not be reached: "
                                 "connection refused (WinHTTP error 12029); ",
                                 0))
            << log.Text();
    }
}
