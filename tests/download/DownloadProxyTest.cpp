// The user's proxy settings, written into the prefix's registry for one test
// each, and the automatic proxy from a configuration script that nginx
// serves and that names tinyproxy on loopback.
#include "DownloadTestSupport.h"
#include "LogCapture.h"

#include <thread>

using namespace dltest;
using Settings = UserProxySettingsOverride;

namespace {

const Config& Servers() { return Config::Get(); }

std::string ProxyAddress() { return "127.0.0.1:" + Servers().Text("proxy.port"); }

DownloadOptions TwoRanges() { return OptionsFor(Servers().Port("nginx.two_ranges.port")); }

// Requests tinyproxy tunnelled to the two-range nginx since construction.
class ProxyLog {
public:
    ProxyLog() : m_start(Count()) {}
    int Tunnels() const { return Count() - m_start; }

private:
    static int Count()
    {
        const std::string text = ReadFileText(Servers().Path("proxy.log"));
        const std::string needle = "CONNECT localhost:" + Servers().Text("nginx.two_ranges.port");
        int count = 0;
        for (size_t at = text.find(needle); at != std::string::npos;
             at = text.find(needle, at + 1)) {
            ++count;
        }
        return count;
    }
    int m_start;
};

int PackageRequests(const ServerLog& log)
{
    int count = 0;
    for (const LoggedRequest& request : log.Requests()) {
        count += request.path == "/SW_UPDATE/KT-QUILLON/Quillon.zip" ? 1 : 0;
    }
    return count;
}

int ScriptRequests(const ServerLog& log)
{
    int count = 0;
    for (const LoggedRequest& request : log.Requests()) {
        count += request.path == "/proxy.pac" ? 1 : 0;
    }
    return count;
}

TEST(DownloadProxy, SettingsAreLoggedFieldByField)
{
    const Settings settings(Settings::kNamedProxy | Settings::kScript | Settings::kAutoDetect,
                            ProxyAddress(), "<local>", "http://wpad.invalid/proxy.pac");
    LogCapture capture;
    Download(FreshFolder(), nullptr, nullptr, false, TwoRanges());
    const std::string text = capture.Text();
    EXPECT_EQ(CountLines(text, "INFO|WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.fAutoDetect 1"), 1) << text;
    EXPECT_EQ(CountLines(text, "INFO|WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszAutoConfigUrl http://wpad.invalid/proxy.pac"), 1) << text;
    EXPECT_EQ(CountLines(text, "INFO|WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszProxy " + ProxyAddress()), 1) << text;
    EXPECT_EQ(CountLines(text, "INFO|WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.lpszProxyBypass <local>"), 1) << text;
}

TEST(DownloadProxy, UsersNamedProxyCarriesEveryRequest)
{
    const Settings settings(Settings::kNamedProxy, ProxyAddress(), "", "");
    LogCapture capture;
    const ProxyLog proxy;
    const ServerLog log = NginxLog("two_ranges");
    const std::wstring path = Download(FreshFolder(), nullptr, nullptr, false, TwoRanges());
    EXPECT_EQ(Sha256OfFile(path), Servers().Text("nginx.two_ranges.sha256"));
    // The length request and two ranges. The length request's tunnel dies
    // with its unread body; WinHTTP may hand the second range the tunnel of
    // the first, whose body was read to the end.
    EXPECT_GE(proxy.Tunnels(), 2) << ReadFileText(Servers().Path("proxy.log"));
    EXPECT_LE(proxy.Tunnels(), 3) << ReadFileText(Servers().Path("proxy.log"));
    EXPECT_EQ(PackageRequests(log), 3);
    const std::string text = capture.Text();
    EXPECT_EQ(CountLines(text, "INFO|WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig.fAutoDetect 0"), 1) << text;
    EXPECT_EQ(CountLines(text, "INFO|auto detecting proxy..."), 0) << text;
}

TEST(DownloadProxy, DirectAttemptThatCannotBeSetUpFallsBackToTheScriptsProxy)
{
    const Settings settings(Settings::kDirect | Settings::kScript, "", "",
                            Servers().Text("nginx.two_ranges.pac"));
    LogCapture capture;
    const ServerLog log = NginxLog("two_ranges");
    DownloadOptions options = TwoRanges();
    options.refuseDirectConnectForTesting = true;
    const std::wstring path = Download(FreshFolder(), nullptr, nullptr, false, options);

    EXPECT_EQ(Sha256OfFile(path), Servers().Text("nginx.two_ranges.sha256"));
    EXPECT_EQ(PackageRequests(log), 3);
    const std::string text = capture.Text();
    EXPECT_EQ(CountLines(text, "INFO|direct http request failed, checking for proxy..."), 3) << text;
    // Looked up once, used by all three requests.
    EXPECT_EQ(CountLines(text, "INFO|auto detecting proxy..."), 1) << text;
    EXPECT_EQ(CountLines(text, "INFO|auto detecting proxy result: 1"), 1) << text;
    EXPECT_EQ(ScriptRequests(log), 1);
    EXPECT_EQ(CountLines(text, "INFO|WinHttpGetProxyForUrl autoProxyInfo.dwAccessType 3"), 3) << text;
    EXPECT_EQ(CountLines(text, "INFO|WinHttpGetProxyForUrl autoProxyInfo.lpszProxy " + ProxyAddress()), 3) << text;
    EXPECT_EQ(CountLines(text, "INFO|WinHttpGetProxyForUrl autoProxyInfo.lpszProxyBypass "), 3) << text;
    EXPECT_EQ(CountLinesStartingWith(text, "ERROR|"), 0) << text;
}

TEST(DownloadProxy, ProxyOnlyLooksTheProxyUpOncePerCall)
{
    const Settings settings(Settings::kScript, "", "", Servers().Text("nginx.two_ranges.pac"));
    LogCapture capture;
    const ServerLog log = NginxLog("two_ranges");
    for (int call = 0; call < 2; ++call) {
        const std::wstring path = Download(FreshFolder(), nullptr, nullptr, true, TwoRanges());
        EXPECT_EQ(Sha256OfFile(path), Servers().Text("nginx.two_ranges.sha256"));
    }
    const std::string text = capture.Text();
    EXPECT_EQ(PackageRequests(log), 6);
    EXPECT_EQ(CountLines(text, "INFO|auto detecting proxy..."), 2) << text;
    EXPECT_EQ(CountLines(text, "INFO|WinHttpGetProxyForUrl autoProxyInfo.dwAccessType 3"), 6) << text;
    EXPECT_EQ(CountLines(text, "INFO|direct http request failed, checking for proxy..."), 0) << text;
}

TEST(DownloadProxy, ProxyOnlyGoesDirectWhenNoAutomaticProxyIsFound)
{
    // No automatic proxy in the settings; a script that cannot be fetched
    // (ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT); nothing found by detection
    // (ERROR_WINHTTP_AUTODETECTION_FAILED), with settings that cannot be read.
    struct Case {
        std::vector<BYTE> raw;  // empty: the settings below
        DWORD flags;
        std::string script;
        int lookups;
        std::string lookupError;
    };
    const std::vector<Case> cases = {
        {{}, Settings::kDirect, "", 0, ""},
        {{}, Settings::kScript, Servers().Text("pac.dead"), 1, "12167"},
        {{0x46, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0}, 0, "", 1, "12180"},
    };
    for (const Case& c : cases) {
        const Settings settings = c.raw.empty() ? Settings(c.flags, "", "", c.script)
                                                : Settings(c.raw);
        LogCapture capture;
        const ServerLog log = NginxLog("two_ranges");
        const std::wstring path = Download(FreshFolder(), nullptr, nullptr, true, TwoRanges());
        EXPECT_EQ(Sha256OfFile(path), Servers().Text("nginx.two_ranges.sha256")) << c.script;
        EXPECT_EQ(PackageRequests(log), 3);
        const std::string text = capture.Text();
        EXPECT_EQ(CountLines(text, "INFO|no automatic proxy, going direct"), 3) << text;
        EXPECT_EQ(CountLines(text, "INFO|auto detecting proxy..."), c.lookups) << text;
        // A failed look-up is made once and reported by every attempt.
        EXPECT_EQ(CountLines(text, "ERROR|WinHttpGetProxyForUrl LastError " + c.lookupError),
                  c.lookups * 3)
            << text;
        EXPECT_EQ(CountLinesStartingWith(text, "ERROR|Sending WinHttpRequest error: "), 0) << text;
    }
}

TEST(DownloadProxy, UnreadableSettingsAreLoggedAndTheDefaultsUsed)
{
    // The header is complete, the counted strings are missing.
    const Settings settings(std::vector<BYTE>{0x46, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0});
    LogCapture capture;
    const std::wstring path = Download(FreshFolder(), nullptr, nullptr, false, TwoRanges());
    EXPECT_EQ(Sha256OfFile(path), Servers().Text("nginx.two_ranges.sha256"));
    const std::string text = capture.Text();
    EXPECT_EQ(CountLinesStartingWith(text, "ERROR|WinHttpGetIEProxyConfigForCurrentUser error: "), 1) << text;
    EXPECT_EQ(CountLinesStartingWith(text, "INFO|WinHttpGetIEProxyConfigForCurrentUser ieProxyConfig."), 0) << text;
}

TEST(DownloadProxy, DirectAttemptThatCannotBeSetUpWithoutAutomaticProxyFails)
{
    const Settings settings(Settings::kDirect, "", "", "");
    LogCapture capture;
    const ServerLog log = NginxLog("two_ranges");
    DownloadOptions options = TwoRanges();
    options.refuseDirectConnectForTesting = true;
    const std::string raised =
        RaisedText([&] { Download(FreshFolder(), nullptr, nullptr, false, options); });
    EXPECT_EQ(raised, "Sending WinHttpRequest failed");
    EXPECT_TRUE(log.Requests().empty());
    const std::string text = capture.Text();
    EXPECT_EQ(CountLines(text, "INFO|direct http request failed, checking for proxy..."), 1) << text;
    // The error of the refused WinHttpConnect (ERROR_INVALID_PARAMETER),
    // not whatever the clean-up left behind.
    EXPECT_EQ(CountLines(text, "ERROR|Sending WinHttpRequest error: 87"), 1) << text;
}

TEST(DownloadProxy, CancelDuringAFailingLookUpEndsTheCallQuietly)
{
    // The script's server holds the connection for 2.5 s and then closes it.
    const Settings settings(Settings::kScript, "", "",
                            "https://localhost:" + Servers().Text("fault.slow_close.port") +
                                "/proxy.pac");
    LogCapture capture;
    const ServerLog log = NginxLog("two_ranges");
    std::atomic<bool> cancel{false};
    std::thread user([&cancel] {
        Sleep(500);
        cancel = true;
    });
    const std::wstring folder = FreshFolder();
    std::wstring path;
    const std::string raised =
        RaisedText([&] { path = Download(folder, nullptr, &cancel, true, TwoRanges()); });
    user.join();
    EXPECT_EQ(raised, "");
    EXPECT_EQ(path, folder + L"Quillon.zip");
    EXPECT_EQ(FileSize(path), 0u);
    EXPECT_TRUE(log.Requests().empty());
    const std::string text = capture.Text();
    EXPECT_EQ(CountLines(text, "INFO|auto detecting proxy result: 0"), 1) << text;
    EXPECT_EQ(CountLinesStartingWith(text, "ERROR|Sending WinHttpRequest error: "), 0) << text;
}

}  // namespace
