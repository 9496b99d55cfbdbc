// Servers that misbehave, folders that cannot be written, ports where
// nothing listens, and the cancel flag: what Download raises, logs, leaves in
// the file and asks the server for.
#include "DownloadTestSupport.h"
#include "LogCapture.h"

using namespace dltest;

namespace {

const Config& Servers() { return Config::Get(); }

DownloadOptions FaultOptions(const std::string& behaviour, int receiveTimeoutMs = 5000)
{
    return OptionsFor(Servers().Port("fault." + behaviour + ".port"), receiveTimeoutMs);
}

uint64_t FaultSize(const std::string& behaviour)
{
    return std::stoull(Servers().Text("fault." + behaviour + ".size"));
}

// The stall of the fault server lasts 2.5 s; this is well below.
constexpr int kShortReceiveTimeoutMs = 800;

TEST(DownloadFaults, MissingContentLengthRaisesTheHeaderErrorAfterOneRequest)
{
    LogCapture capture;
    const ServerLog log = FaultLog("no_length");
    const std::string raised = RaisedText(
        [] { Download(FreshFolder(), nullptr, nullptr, false, FaultOptions("no_length")); });
    // ERROR_WINHTTP_HEADER_NOT_FOUND
    EXPECT_EQ(raised, "WinHttpQueryHeaders failed: 12150");
    EXPECT_TRUE(capture.Contains("ERROR|WinHttpQueryHeaders error: 12150")) << capture.Text();
    EXPECT_EQ(log.Ranges(), std::vector<std::string>{""});
}

TEST(DownloadFaults, ClosedPortFailsToSend)
{
    LogCapture capture;
    const std::string raised = RaisedText([] {
        Download(FreshFolder(), nullptr, nullptr, false,
                 OptionsFor(Servers().Port("closed_port")));
    });
    EXPECT_EQ(raised, "WinHttpSendRequest failed");
    // ERROR_WINHTTP_CANNOT_CONNECT
    EXPECT_TRUE(capture.Contains("ERROR|WinHttpSendRequest error: 12029")) << capture.Text();
}

TEST(DownloadFaults, ConnectionClosedWithoutAnswerFailsToReceive)
{
    LogCapture capture;
    const std::string raised = RaisedText(
        [] { Download(FreshFolder(), nullptr, nullptr, false, FaultOptions("no_response")); });
    EXPECT_EQ(raised, "WinHttpReceiveResponse failed");
    EXPECT_EQ(CountLinesStartingWith(capture.Text(), "ERROR|WinHttpReceiveResponse error: "), 1)
        << capture.Text();
}

TEST(DownloadFaults, UnwritableFolderRaisesBeforeAnyRequest)
{
    LogCapture capture;
    const ServerLog log = FaultLog("normal");
    RecordingListener listener;
    for (const std::wstring& folder :
         {Servers().Path("readonly_dir"), Servers().Path("scratch") + L"\\missing\\"}) {
        const std::string raised = RaisedText([&] {
            Download(folder, &listener, nullptr, false, FaultOptions("normal"));
        });
        EXPECT_EQ(raised, "Failed to create a temp file");
    }
    EXPECT_TRUE(log.Requests().empty());
    // No error line comes first for this one.
    EXPECT_EQ(CountLinesStartingWith(capture.Text(), "ERROR|"), 0) << capture.Text();
    EXPECT_EQ(listener.statuses, (std::vector<int>{IInstallListener::StatusDownloading,
                                                    IInstallListener::StatusDownloading}));
}

TEST(DownloadFaults, ResetInTheMiddleOfARangeRaisesAndKeepsWhatArrived)
{
    LogCapture capture;
    const std::wstring folder = FreshFolder();
    const std::string raised = RaisedText(
        [&] { Download(folder, nullptr, nullptr, false, FaultOptions("reset_mid_range")); });
    EXPECT_EQ(raised, "WinHttpQueryDataAvailable failed");
    EXPECT_EQ(CountLinesStartingWith(capture.Text(), "ERROR|WinHttpQueryDataAvailable error: "), 1)
        << capture.Text();
    // The stream was closed on the way out: the bytes before the reset are
    // in the file, and the file can be removed at once.
    const uint64_t size = FileSize(folder + L"Quillon.zip");
    EXPECT_GT(size, 0u);
    EXPECT_LE(size, 65536u);
    EXPECT_TRUE(DeleteFileW((folder + L"Quillon.zip").c_str()));
}

TEST(DownloadFaults, StallMidRangeResumesRightAfterTheBytesReceived)
{
    LogCapture capture;
    const ServerLog log = FaultLog("stall_mid_range");
    const std::wstring path =
        Download(FreshFolder(), nullptr, nullptr, false,
                 FaultOptions("stall_mid_range", kShortReceiveTimeoutMs));
    // 4194304 * 2 + 12345 bytes; the first range stalls after 100003, and the
    // resumed one is a full range from there.
    EXPECT_EQ(log.Ranges(),
              (std::vector<std::string>{"", "bytes=0-4194303", "bytes=100003-4294306",
                                        "bytes=4294307-8400952"}));
    EXPECT_EQ(Sha256OfFile(path), Servers().Text("fault.stall_mid_range.sha256"));
    EXPECT_EQ(CountLinesStartingWith(capture.Text(), "ERROR|"), 0) << capture.Text();
}

TEST(DownloadFaults, ServerThatNeverSendsABodyEndsTheDownloadAfterAFewResumes)
{
    LogCapture capture;
    const ServerLog log = FaultLog("stall_idle");
    const std::string raised = RaisedText([] {
        Download(FreshFolder(), nullptr, nullptr, false,
                 FaultOptions("stall_idle", kShortReceiveTimeoutMs));
    });
    EXPECT_EQ(raised, "WinHttpQueryDataAvailable failed");
    // A time-out: ERROR_WINHTTP_TIMEOUT, or WSAETIMEDOUT from Wine.
    const std::string text = capture.Text();
    EXPECT_EQ(CountLines(text, "ERROR|WinHttpQueryDataAvailable error: 12002") +
                  CountLines(text, "ERROR|WinHttpQueryDataAvailable error: 10060"),
              1)
        << text;
    // The first stall and three resumes of the same range.
    EXPECT_EQ(log.Ranges(), (std::vector<std::string>{"", "bytes=0-69999", "bytes=0-69999",
                                                      "bytes=0-69999", "bytes=0-69999"}));
}

TEST(DownloadFaults, ServerIgnoringRangeGivesALongerFileAndProgressStaysAtOne)
{
    RecordingListener listener;
    const ServerLog log = FaultLog("ignore_range");
    const std::wstring path =
        Download(FreshFolder(), &listener, nullptr, false, FaultOptions("ignore_range"));
    // Three ranges asked for, the whole package each time.
    EXPECT_EQ(log.Ranges().size(), 4u);
    EXPECT_EQ(FileSize(path), 3 * FaultSize("ignore_range"));
    ASSERT_FALSE(listener.progress.empty());
    for (float fraction : listener.progress) {
        ASSERT_LE(fraction, 1.0f);
    }
    EXPECT_EQ(listener.progress.back(), 1.0f);
}

TEST(DownloadFaults, ShortBodiesLeaveAShorterFileWithoutAnError)
{
    const ServerLog log = FaultLog("short_body");
    const std::wstring path =
        Download(FreshFolder(), nullptr, nullptr, false, FaultOptions("short_body"));
    // 4194304 + 10 bytes: each range is answered with half of itself, and the
    // next range still starts a whole range later.
    EXPECT_EQ(log.Ranges(), (std::vector<std::string>{"", "bytes=0-4194303",
                                                      "bytes=4194304-4194313"}));
    EXPECT_EQ(FileSize(path), 4194304u / 2 + 5);
}

TEST(DownloadFaults, ErrorPagesEndUpInTheFileAsTheirBody)
{
    for (const char* behaviour : {"not_found", "server_error"}) {
        const ServerLog log = FaultLog(behaviour);
        const std::wstring path =
            Download(FreshFolder(), nullptr, nullptr, false, FaultOptions(behaviour));
        const std::string body = ReadFile(path);
        EXPECT_EQ(body.rfind("<!DOCTYPE html>", 0), 0u) << behaviour;
        EXPECT_EQ(log.Ranges(), (std::vector<std::string>{
                                    "", "bytes=0-" + std::to_string(body.size() - 1)}))
            << behaviour;
    }
}

TEST(DownloadFaults, SlowTrickleArrivesWhole)
{
    RecordingListener listener;
    const std::wstring path =
        Download(FreshFolder(), &listener, nullptr, false, FaultOptions("trickle"));
    EXPECT_EQ(Sha256OfFile(path), Servers().Text("fault.trickle.sha256"));
    EXPECT_EQ(listener.progress.back(), 1.0f);
}

TEST(DownloadFaults, CancelDuringARangeStopsBeforeTheNextBlock)
{
    const ServerLog log = FaultLog("normal");
    RecordingListener listener;
    std::atomic<bool> cancel{false};
    listener.onProgress = [&cancel](size_t reports) {
        if (reports == 10) {
            cancel = true;
        }
    };
    const std::wstring folder = FreshFolder();
    std::wstring path;
    const std::string raised = RaisedText(
        [&] { path = Download(folder, &listener, &cancel, false, FaultOptions("normal")); });
    EXPECT_EQ(raised, "");
    EXPECT_EQ(path, folder + L"Quillon.zip");
    EXPECT_EQ(listener.progress.size(), 10u);
    EXPECT_EQ(log.Ranges(), (std::vector<std::string>{"", "bytes=0-4194303"}));
    const uint64_t size = FileSize(path);
    EXPECT_GT(size, 0u);
    EXPECT_LT(size, 4194304u);
}

TEST(DownloadFaults, CancelSetBeforehandEndsAfterTheLengthRequest)
{
    const ServerLog log = FaultLog("normal");
    std::atomic<bool> cancel{true};
    const std::wstring path =
        Download(FreshFolder(), nullptr, &cancel, false, FaultOptions("normal"));
    EXPECT_EQ(log.Ranges(), std::vector<std::string>{""});
    EXPECT_EQ(FileSize(path), 0u);
}

}  // namespace
