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

TEST(DownloadFaults, ConnectionDroppedMidRangeResumesFromTheFirstMissingByte)
{
    // A reset, and a connection closed in order, each after the first 65536
    // bytes of the first range.
    for (const std::string behaviour : {"reset_mid_range", "cut_mid_range"}) {
        LogCapture capture;
        const ServerLog log = FaultLog(behaviour);
        const std::wstring path =
            Download(FreshFolder(), nullptr, nullptr, false, FaultOptions(behaviour));
        EXPECT_EQ(Sha256OfFile(path), Servers().Text("fault." + behaviour + ".sha256")) << behaviour;
        EXPECT_EQ(log.Ranges(), (std::vector<std::string>{"", "bytes=0-4194303",
                                                          "bytes=65536-4194313"}))
            << behaviour;
        const std::string text = capture.Text();
        // One line per request, each with what came back.
        EXPECT_EQ(CountLinesStartingWith(text, "INFO|HTTP response to the length request: "
                                               "status 200, Content-Range none, Content-Length "
                                               "4194314, 0 bytes received"),
                  1)
            << text;
        EXPECT_EQ(CountLines(text, "INFO|HTTP response to bytes=0-4194303: status 206, "
                                   "Content-Range bytes 0-4194303/4194314, Content-Length "
                                   "4194304, 65536 bytes received"),
                  1)
            << text;
        EXPECT_EQ(CountLinesStartingWith(text, "INFO|HTTP response to bytes=65536-4194313: "
                                               "status 206"),
                  1)
            << text;
        EXPECT_EQ(CountLinesStartingWith(text, "ERROR|"), 0) << text;
    }
}

TEST(DownloadFaults, SilentServersEndWithinAboutTwoReceiveTimeouts)
{
    // The server reads the request and says nothing for 20 s, or nothing
    // after its status line.
    for (const std::string behaviour : {"silent", "status_only"}) {
        LogCapture capture;
        const ULONGLONG start = GetTickCount64();
        const std::string raised = RaisedText([&] {
            Download(FreshFolder(), nullptr, nullptr, false,
                     FaultOptions(behaviour, kShortReceiveTimeoutMs));
        });
        const ULONGLONG elapsed = GetTickCount64() - start;
        EXPECT_TRUE(raised == "WinHttpReceiveResponse failed" ||
                    raised == "Unexpected HTTP response")
            << behaviour << ": " << raised;
        // Two time-outs are 1.6 s; the rest is room for a busy machine.
        EXPECT_LT(elapsed, 5000u) << behaviour;
    }
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

TEST(DownloadFaults, ServerThatBreaksOffAfterAFewBytesEveryTimeIsGivenUpOn)
{
    LogCapture capture;
    const ServerLog log = FaultLog("drip");
    const std::string raised = RaisedText([] {
        Download(FreshFolder(), nullptr, nullptr, false, FaultOptions("drip"));
    });
    EXPECT_EQ(raised, "Incomplete HTTP response");
    // The length request, the first range and the resumes the bound allows,
    // where the whole package would have taken 700 requests.
    EXPECT_EQ(log.Ranges().size(), 2u + DownloadConstants::kMaxResumes);
    EXPECT_EQ(CountLinesStartingWith(capture.Text(), "ERROR|Incomplete HTTP response to "), 1)
        << capture.Text();
}

TEST(DownloadFaults, ResponsesThatAreNotTheRangeNeverJoinThePackage)
{
    // What each server does wrong, as the log names it. An error page
    // already answers the length request.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"not_found", "the length request: status 404 instead of 200"},
        {"server_error", "the length request: status 500 instead of 200"},
        {"short_body", "bytes=0-4194303: Content-Length 2097152 is not the 4194304 bytes asked for"},
        {"long_body", "bytes=0-69999: the body is longer than the 70000 bytes asked for"},
        {"misplaced_range", "bytes=0-69999: Content-Range starts at 1000, not at 0"},
        {"ignore_range", "bytes=0-4194303: status 200 (the whole package) for a part of it"},
    };
    for (const auto& [behaviour, problem] : cases) {
        LogCapture capture;
        const ServerLog log = FaultLog(behaviour);
        const std::wstring folder = FreshFolder();
        const std::string raised = RaisedText(
            [&] { Download(folder, nullptr, nullptr, false, FaultOptions(behaviour)); });
        EXPECT_EQ(raised, "Unexpected HTTP response") << behaviour;
        const std::string text = capture.Text();
        EXPECT_EQ(CountLines(text, "ERROR|Unexpected HTTP response to " + problem), 1) << text;
        EXPECT_EQ(CountLinesStartingWith(text, "ERROR|"), 1) << text;
        // Nothing more is asked for after a wrong answer.
        EXPECT_EQ(log.Ranges().size(), problem.rfind("bytes=", 0) == 0 ? 2u : 1u) << behaviour;
        // Only bytes of the package, at their place, ever reach the file.
        const std::string file = ReadFileText(folder + L"Quillon.zip");
        const uint64_t size = FaultSize(behaviour);
        EXPECT_LE(file.size(), size) << behaviour;
        if (behaviour != "long_body") {
            EXPECT_EQ(file.size(), 0u) << behaviour;
        }
    }

    // A length that does not fit the package's 32 bits (Wine's numeric
    // header query turns 4294967295 into 2147483647) asks for no range.
    LogCapture capture;
    const ServerLog log = FaultLog("huge_length");
    const std::string raised = RaisedText(
        [] { Download(FreshFolder(), nullptr, nullptr, false, FaultOptions("huge_length")); });
    // ERROR_ARITHMETIC_OVERFLOW
    EXPECT_EQ(raised, "WinHttpQueryHeaders failed: 534");
    EXPECT_EQ(log.Ranges(), std::vector<std::string>{""});
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
