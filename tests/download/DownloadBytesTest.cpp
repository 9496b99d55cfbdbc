// Packages of the sizes where range arithmetic goes wrong, fetched from nginx:
// the bytes that arrive and the requests the server saw.
#include "DownloadTestSupport.h"
#include "LogCapture.h"

using namespace dltest;

namespace {

const char kPackagePath[] = "/SW_UPDATE/KT-QUILLON/Quillon.zip";

struct PackageCase {
    const char* server;
    std::vector<std::string> ranges;  // as logged, the length request first
};

class DownloadBytes : public ::testing::TestWithParam<PackageCase> {};

TEST_P(DownloadBytes, ArriveIdenticalAfterALengthRequestAndTheRanges)
{
    const PackageCase& package = GetParam();
    const Config& config = Config::Get();
    const std::string key = std::string("nginx.") + package.server;
    const ServerLog log = NginxLog(package.server);
    LogCapture capture;
    RecordingListener listener;
    std::atomic<bool> cancel{false};
    const std::wstring folder = FreshFolder();

    const std::wstring path =
        Download(folder, &listener, &cancel, false, OptionsFor(config.Port(key + ".port")));

    EXPECT_EQ(path, folder + L"Quillon.zip");
    EXPECT_EQ(FileSize(path), std::stoull(config.Text(key + ".size")));
    EXPECT_EQ(Sha256OfFile(path), config.Text(key + ".sha256"));
    EXPECT_EQ(log.Ranges(), package.ranges);
    for (const LoggedRequest& request : log.Requests()) {
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.path, kPackagePath);
        EXPECT_EQ(request.agent, "Quillon");
    }
    EXPECT_EQ(listener.statuses, std::vector<int>{IInstallListener::StatusDownloading});
    EXPECT_EQ(CountLinesStartingWith(capture.Text(), "ERROR|"), 0) << capture.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DownloadBytes,
    ::testing::Values(
        // A length of 0 makes the length request the only one.
        PackageCase{"empty", {""}},
        PackageCase{"one_byte", {"", "bytes=0-0"}},
        PackageCase{"one_range", {"", "bytes=0-4194303"}},
        PackageCase{"three_ranges_and_one",
                    {"", "bytes=0-4194303", "bytes=4194304-8388607", "bytes=8388608-12582911",
                     "bytes=12582912-12582912"}},
        PackageCase{"twenty_mb",
                    {"", "bytes=0-4194303", "bytes=4194304-8388607", "bytes=8388608-12582911",
                     "bytes=12582912-16777215", "bytes=16777216-20000006"}}),
    [](const ::testing::TestParamInfo<PackageCase>& info) { return std::string(info.param.server); });

TEST(DownloadBytesRun, StartsFromAnEmptyFileEveryTime)
{
    const Config& config = Config::Get();
    const std::wstring folder = FreshFolder();
    // Leftovers of an earlier, longer download must not survive.
    {
        std::ofstream stale((folder + L"Quillon.zip").c_str(), std::ios::binary);
        stale << std::string(9000000, 'x');
    }
    std::atomic<bool> cancel{false};
    const std::wstring path =
        Download(folder, nullptr, &cancel, false, OptionsFor(config.Port("nginx.one_byte.port")));
    EXPECT_EQ(FileSize(path), 1u);
    EXPECT_EQ(Sha256OfFile(path), config.Text("nginx.one_byte.sha256"));
}

TEST(DownloadBytesRun, WorksWithoutListenerOrCancelFlag)
{
    const Config& config = Config::Get();
    const std::wstring path = Download(FreshFolder(), nullptr, nullptr, false,
                                       OptionsFor(config.Port("nginx.two_ranges.port")));
    EXPECT_EQ(Sha256OfFile(path), config.Text("nginx.two_ranges.sha256"));
}

TEST(DownloadBytesRun, ShippedSettingsReachTheBuildsServer)
{
    const Config& config = Config::Get();
    if (!config.Has("shipped.sha256")) {
        GTEST_SKIP() << "the build's port was taken by another program";
    }
    std::atomic<bool> cancel{false};
    const std::wstring path = Download(FreshFolder(), nullptr, &cancel, false);
    EXPECT_EQ(Sha256OfFile(path), config.Text("shipped.sha256"));
}

TEST(DownloadBytesProgress, HoldsAtATenthForTheLengthRequestAndTwoBlocksThenRisesToOne)
{
    const Config& config = Config::Get();
    RecordingListener listener;
    std::atomic<bool> cancel{false};
    Download(FreshFolder(), &listener, &cancel, false,
             OptionsFor(config.Port("nginx.three_ranges_and_one.port")));

    const std::vector<float>& progress = listener.progress;
    // The length request, then at least one block and the empty end of each
    // of the four ranges.
    ASSERT_GE(progress.size(), 1u + 8u);
    EXPECT_EQ(progress[0], 0.1f);
    EXPECT_EQ(progress[1], 0.1f);
    EXPECT_EQ(progress[2], 0.1f);
    EXPECT_GT(progress[3], 0.1f);
    for (size_t i = 1; i < progress.size(); ++i) {
        EXPECT_GE(progress[i], progress[i - 1]) << "report " << i;
        EXPECT_LE(progress[i], 1.0f) << "report " << i;
    }
    EXPECT_EQ(progress.back(), 1.0f);
}

TEST(DownloadBytesProgress, EmptyPackageReportsOnlyTheLengthRequest)
{
    const Config& config = Config::Get();
    RecordingListener listener;
    const std::wstring path = Download(FreshFolder(), &listener, nullptr, false,
                                       OptionsFor(config.Port("nginx.empty.port")));
    EXPECT_EQ(listener.progress, std::vector<float>{0.1f});
    EXPECT_EQ(FileSize(path), 0u);
}

}  // namespace
