// InstallBackend::Install with the real download and the real extraction;
// only the drive list and the free space are stand-ins.
#include "DownloadTestSupport.h"
#include "InstallEnvironment.h"
#include "LogCapture.h"

using namespace dltest;
using Settings = UserProxySettingsOverride;

namespace {

const Config& Servers() { return Config::Get(); }

struct PipelineRun {
    std::vector<bool> downloads;  // proxyOnly of each download call
    RecordingListener listener;
    std::atomic<bool> cancel{false};
    std::wstring destination;
    std::wstring workFolder;
    bool result = false;

    // `prepare` may arm the listener before the install starts.
    explicit PipelineRun(const DownloadOptions& options,
                         const std::function<void(PipelineRun&)>& prepare = {})
    {
        const std::wstring folder = FreshFolder();
        destination = folder + L"dest";
        workFolder = folder + L"work\\";
        CreateDirectoryW(workFolder.c_str(), nullptr);

        InstallBackend::Environment environment = InstallBackend::ProductEnvironment();
        const wchar_t letter = destination[0];
        environment.getUsbDrives = [letter] { return UsbDriveMap{{letter, L"TESTDISK"}}; };
        environment.getDiskFreeSpace = [](const wchar_t*, DWORD* sectorsPerCluster,
                                          DWORD* bytesPerSector, DWORD* freeClusters,
                                          DWORD* totalClusters) {
            *sectorsPerCluster = 8;
            *bytesPerSector = 512;
            *freeClusters = 1000000;
            *totalClusters = 2000000;
            return TRUE;
        };
        environment.download = [this, options](const std::wstring& folder,
                                               IInstallListener* listener,
                                               const std::atomic<bool>* cancel, bool proxyOnly,
                                               const DownloadTarget& target) {
            // Each attempt starts with the signed manifest.
            if (target.fileName != L"Quillon.zip") {
                downloads.push_back(proxyOnly);
            }
            return Download(folder, listener, cancel, proxyOnly, target, options);
        };
        if (prepare) {
            prepare(*this);
        }
        result = InstallBackend::Install(destination, workFolder, &listener, &cancel, environment);
    }

    int LastStatus() const
    {
        return listener.statuses.empty() ? -1 : listener.statuses.back();
    }
    bool Saw(int status) const
    {
        for (int each : listener.statuses) {
            if (each == status) {
                return true;
            }
        }
        return false;
    }
    bool Left(const wchar_t* name) const
    {
        const std::wstring path = workFolder + L"QL_Install_" + destination.substr(0, 1) + L"\\" + name;
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    bool PackageLeftBehind() const { return Left(L"Quillon.zip"); }
};

DownloadOptions ZipServer() { return OptionsFor(Servers().Port("nginx.zip.port")); }

TEST(DownloadPipeline, GoodPackageIsDownloadedOnceAndInstalled)
{
    const PipelineRun run(ZipServer());
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.downloads, std::vector<bool>{false});
    EXPECT_EQ(run.LastStatus(), IInstallListener::StatusSucceeded);
    EXPECT_EQ(Sha256OfFile(run.destination + L"\\data\\payload.bin"),
              Servers().Text("zip.payload.sha256"));
    EXPECT_EQ(Sha256OfFile(run.destination + L"\\Quillon.exe"), Servers().Text("zip.exe.sha256"));
    EXPECT_FALSE(run.PackageLeftBehind());
}

TEST(DownloadPipeline, UnreachableServerIsTriedTwiceThenFailed)
{
    // No automatic proxy: the second download goes direct as well.
    const Settings settings(Settings::kDirect, "", "", "");
    LogCapture capture;
    const PipelineRun run(OptionsFor(Servers().Port("closed_port")));
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.downloads, (std::vector<bool>{false, true}));
    EXPECT_EQ(run.LastStatus(), IInstallListener::StatusFailed);
    EXPECT_FALSE(run.Saw(IInstallListener::StatusInstalling));
    EXPECT_FALSE(run.PackageLeftBehind());
    const std::string text = capture.Text();
    // ERROR_WINHTTP_CANNOT_CONNECT, also after the handles were closed.
    EXPECT_EQ(CountLines(text, "ERROR|WinHttpSendRequest failed Last error: 12029"), 2) << text;
    EXPECT_EQ(CountLines(text, "INFO|no automatic proxy, going direct"), 1) << text;
    // The server by name and port, the cause in words beside its number.
    const std::string server = "localhost:" + std::to_string(Servers().Port("closed_port"));
    EXPECT_EQ(CountLinesStartingWith(text, "ERROR|Install failed: the update server " + server +
                                               " could not be reached: connection refused (WinHTTP error 12029); "
                                               "0 bytes downloaded in "),
              1)
        << text;
}

TEST(DownloadPipeline, ErrorPageInsteadOfThePackageIsRetriedAndFails)
{
    const Settings settings(Settings::kScript, "", "", Servers().Text("nginx.zip.pac"));
    const PipelineRun run(OptionsFor(Servers().Port("fault.not_found.port")));
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.downloads, (std::vector<bool>{false, true}));
    EXPECT_EQ(run.LastStatus(), IInstallListener::StatusFailed);
    EXPECT_FALSE(run.Saw(IInstallListener::StatusSucceeded));
    EXPECT_FALSE(run.PackageLeftBehind());
}

TEST(DownloadPipeline, ShortRangesNeverEndAsASuccessfulInstall)
{
    const Settings settings(Settings::kScript, "", "", Servers().Text("nginx.zip.pac"));
    const ServerLog log = FaultLog("short_body:zip");
    const PipelineRun run(OptionsFor(Servers().Port("fault.short_body:zip.port")));
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.downloads, (std::vector<bool>{false, true}));
    // Each download stops at the package's first short range, after the
    // manifest's length request and range.
    EXPECT_EQ(log.Requests().size(), 6u);
    EXPECT_EQ(run.LastStatus(), IInstallListener::StatusFailed);
    EXPECT_FALSE(run.Saw(IInstallListener::StatusInstalling));
    EXPECT_FALSE(run.PackageLeftBehind());
}

TEST(DownloadPipeline, ResetDuringARangeStillInstallsTheSameFiles)
{
    const PipelineRun run(OptionsFor(Servers().Port("fault.reset_mid_range:zip.port")));
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.downloads, std::vector<bool>{false});
    EXPECT_EQ(Sha256OfFile(run.destination + L"\\data\\payload.bin"),
              Servers().Text("zip.payload.sha256"));
    EXPECT_EQ(Sha256OfFile(run.destination + L"\\Quillon.exe"), Servers().Text("zip.exe.sha256"));
    EXPECT_FALSE(run.PackageLeftBehind());
}

TEST(DownloadPipeline, WholePackageForEveryRangeNeverReachesTheExtraction)
{
    const Settings settings(Settings::kScript, "", "", Servers().Text("nginx.zip.pac"));
    const PipelineRun run(OptionsFor(Servers().Port("fault.ignore_range:zip.port")));
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.downloads, (std::vector<bool>{false, true}));
    EXPECT_FALSE(run.Saw(IInstallListener::StatusInstalling));
    EXPECT_FALSE(run.PackageLeftBehind());
}

TEST(DownloadPipeline, CancelDuringTheDownloadEndsInFailedWithoutRetry)
{
    const ServerLog log = NginxLog("zip");
    // A few blocks into the first range, the user closes the dialog.
    const PipelineRun run(ZipServer(), [](PipelineRun& self) {
        self.listener.onProgress = [&self](size_t reports) {
            if (reports == 5) {
                self.cancel = true;
            }
        };
    });
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.downloads, std::vector<bool>{false});
    EXPECT_EQ(run.listener.progress.size(), 5u);
    EXPECT_EQ(run.LastStatus(), IInstallListener::StatusFailed);
    EXPECT_FALSE(run.Saw(IInstallListener::StatusInstalling));
    // The manifest's length request and its one range, then the package's
    // first range, which the cancel ends; the package's length is signed.
    const std::vector<std::string> ranges = log.Ranges();
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[0], "");
    EXPECT_EQ(ranges[2], "bytes=0-4194303");
    // What came before the cancel stays, with the record of which bytes it
    // holds, for the next run to go on from.
    EXPECT_TRUE(run.PackageLeftBehind());
    EXPECT_TRUE(run.Left(L"Quillon.kept"));
}

}  // namespace
