#pragma once

// What the download tests share: the servers the Python side started (read
// from the file named by --config=), their request logs, a listener that
// records everything, SHA-256 of files, and the user's proxy settings in the
// prefix's registry.

#include <windows.h>
#include <bcrypt.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Download.h"
#include "FileText.h"
#include "IInstallListener.h"
#include "TextConversion.h"
#include "MessageError.h"

namespace dltest {

inline std::wstring Widen(const std::string& text)
{
    if (text.empty()) {
        return std::wstring();
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

inline std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

inline std::vector<std::string> SplitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos
                                                                     : tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

// key=value lines written by test_download.py.
class Config {
public:
    static const Config& Get()
    {
        static const Config config;
        return config;
    }

    std::string Text(const std::string& key) const
    {
        const auto found = m_values.find(key);
        return found == m_values.end() ? std::string() : found->second;
    }
    std::wstring Path(const std::string& key) const { return Widen(Text(key)); }
    uint16_t Port(const std::string& key) const
    {
        return static_cast<uint16_t>(std::stoul(Text(key)));
    }
    bool Has(const std::string& key) const { return m_values.count(key) != 0; }

private:
    Config()
    {
        int argc = 0;
        wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
        std::wstring file;
        for (int i = 1; argv != nullptr && i < argc; ++i) {
            const std::wstring argument = argv[i];
            if (argument.rfind(L"--config=", 0) == 0) {
                file = argument.substr(9);
            }
        }
        LocalFree(argv);
        for (const std::string& line : SplitLines(ReadFileText(file))) {
            const size_t equals = line.find('=');
            if (equals != std::string::npos) {
                m_values[line.substr(0, equals)] = line.substr(equals + 1);
            }
        }
    }
    std::map<std::string, std::string> m_values;
};

// Options for a server of the test run: short time-outs, so that a fault
// shows within a second or two.
inline DownloadOptions OptionsFor(uint16_t port, int receiveTimeoutMs = 5000)
{
    DownloadOptions options;
    options.server = L"localhost";
    options.port = port;
    options.connectTimeoutMs = 5000;
    options.sendTimeoutMs = 5000;
    options.receiveTimeoutMs = receiveTimeoutMs;
    return options;
}

// One request as a server logged it.
struct LoggedRequest {
    std::string method;
    std::string path;
    std::string range;  // empty without a Range header
    std::string agent;
};

// A server's request log from the moment of construction on. nginx writes
// method, uri, range ("-" for none), status, bytes, agent; the fault server
// writes behaviour, method, path, range, agent.
class ServerLog {
public:
    enum Kind { Nginx, Fault };

    ServerLog(std::wstring path, Kind kind, std::string behaviour = std::string())
        : m_path(std::move(path)), m_kind(kind), m_behaviour(std::move(behaviour)),
          m_start(AllLines().size())
    {
    }

    std::vector<LoggedRequest> Requests() const
    {
        std::vector<LoggedRequest> requests;
        const std::vector<std::string> lines = m_kind == Nginx ? SettledLines() : AllLines();
        for (size_t i = m_start; i < lines.size(); ++i) {
            const std::vector<std::string> f = SplitTabs(lines[i]);
            if (m_kind == Nginx && f.size() == 6) {
                requests.push_back({f[0], f[1], f[2] == "-" ? std::string() : f[2], f[5]});
            } else if (m_kind == Fault && f.size() == 5 && f[0] == m_behaviour) {
                requests.push_back({f[1], f[2], f[3], f[4]});
            }
        }
        return requests;
    }

    std::vector<std::string> Ranges() const
    {
        std::vector<std::string> ranges;
        for (const LoggedRequest& request : Requests()) {
            ranges.push_back(request.range);
        }
        return ranges;
    }

private:
    std::vector<std::string> AllLines() const { return SplitLines(ReadFileText(m_path)); }

    // nginx writes a request's line only after the last byte has gone out,
    // so a client can be done a moment before the log is: read once the
    // log has stopped growing for a while (bounded).
    std::vector<std::string> SettledLines() const
    {
        std::string text = ReadFileText(m_path);
        for (int quiet = 0, tries = 0; quiet < 3 && tries < 100; ++tries) {
            ::Sleep(50);
            std::string again = ReadFileText(m_path);
            quiet = again == text ? quiet + 1 : 0;
            text = std::move(again);
        }
        return SplitLines(text);
    }

    std::wstring m_path;
    Kind m_kind;
    std::string m_behaviour;
    size_t m_start;
};

inline ServerLog NginxLog(const std::string& name)
{
    return ServerLog(Config::Get().Path("nginx." + name + ".log"), ServerLog::Nginx);
}

inline ServerLog FaultLog(const std::string& behaviour)
{
    return ServerLog(Config::Get().Path("fault.log"), ServerLog::Fault, behaviour);
}

class RecordingListener : public IInstallListener {
public:
    void OnStatus(int status) override { statuses.push_back(status); }
    void OnProgress(float fraction) override
    {
        progress.push_back(fraction);
        if (onProgress) {
            onProgress(progress.size());
        }
    }
    int GetErrorReason() override { return reason; }
    void SetErrorReason(int value) override { reason = value; }

    std::vector<int> statuses;
    std::vector<float> progress;
    int reason = -1;
    // Called after each progress report with the number of reports so far.
    std::function<void(size_t)> onProgress;
};

inline std::string Sha256OfFile(const std::wstring& path)
{
    const std::string data = ReadFileText(path);
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32] = {};
    std::string hex;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        return hex;
    }
    if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
        BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                       static_cast<ULONG>(data.size()), 0);
        if (BCryptFinishHash(hash, digest, sizeof(digest), 0) == 0) {
            char byte[3];
            for (unsigned char value : digest) {
                std::snprintf(byte, sizeof(byte), "%02x", value);
                hex += byte;
            }
        }
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return hex;
}

inline uint64_t FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return UINT64_MAX;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A fresh folder of the scratch area for one test, ending in "\".
inline std::wstring FreshFolder()
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::wstring name = Widen(info->test_suite_name()) + L"." + Widen(info->name());
    for (wchar_t& c : name) {
        if (c == L'/') {
            c = L'_';
        }
    }
    std::wstring folder = Config::Get().Path("scratch") + L"\\" + name + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    DeleteFileW((folder + L"Quillon.zip").c_str());
    return folder;
}

// The raised text of a Download that must fail; empty when it did not.
inline std::string RaisedText(const std::function<void()>& call)
{
    try {
        call();
    } catch (const MessageError& error) {
        return error.Text();
    }
    return std::string();
}

// The user's proxy settings as Internet Settings keeps them: a binary value
// of a version, a counter, flags, then three counted 8-bit strings (proxy,
// bypass list, configuration script address). Replaced for the lifetime of
// the object; the previous value (or its absence) comes back afterwards.
class UserProxySettingsOverride {
public:
    static constexpr DWORD kDirect = 1;
    static constexpr DWORD kNamedProxy = 2;
    static constexpr DWORD kScript = 4;
    static constexpr DWORD kAutoDetect = 8;

    UserProxySettingsOverride(DWORD flags, const std::string& proxy, const std::string& bypass,
                              const std::string& scriptUrl)
    {
        std::vector<BYTE> value;
        auto put32 = [&value](DWORD number) {
            for (int i = 0; i < 4; ++i) {
                value.push_back(static_cast<BYTE>(number >> (8 * i)));
            }
        };
        auto putText = [&](const std::string& text) {
            put32(static_cast<DWORD>(text.size()));
            value.insert(value.end(), text.begin(), text.end());
        };
        put32(0x46);
        put32(0);
        put32(flags);
        putText(proxy);
        putText(bypass);
        putText(scriptUrl);
        Replace(value);
    }

    // A value that starts right but breaks off after the flags: the
    // settings cannot be read.
    explicit UserProxySettingsOverride(const std::vector<BYTE>& raw) { Replace(raw); }

    ~UserProxySettingsOverride()
    {
        HKEY key = OpenKey();
        if (key == nullptr) {
            return;
        }
        if (m_hadValue) {
            RegSetValueExW(key, kValueName, 0, REG_BINARY, m_previous.data(),
                           static_cast<DWORD>(m_previous.size()));
        } else {
            RegDeleteValueW(key, kValueName);
        }
        RegCloseKey(key);
    }

    UserProxySettingsOverride(const UserProxySettingsOverride&) = delete;
    UserProxySettingsOverride& operator=(const UserProxySettingsOverride&) = delete;

private:
    static constexpr const wchar_t* kKey =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
    static constexpr const wchar_t* kValueName = L"DefaultConnectionSettings";

    static HKEY OpenKey()
    {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                            &key, nullptr) != ERROR_SUCCESS) {
            return nullptr;
        }
        return key;
    }

    void Replace(const std::vector<BYTE>& value)
    {
        HKEY key = OpenKey();
        ASSERT_NE(key, nullptr);
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExW(key, kValueName, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
            m_previous.resize(size);
            m_hadValue = RegQueryValueExW(key, kValueName, nullptr, &type, m_previous.data(),
                                          &size) == ERROR_SUCCESS;
        }
        const LONG written = RegSetValueExW(key, kValueName, 0, REG_BINARY, value.data(),
                                            static_cast<DWORD>(value.size()));
        RegCloseKey(key);
        ASSERT_EQ(written, ERROR_SUCCESS);
    }

    bool m_hadValue = false;
    std::vector<BYTE> m_previous;
};

// How often a line occurs in captured log text ("LEVEL|message" lines).
inline int CountLines(const std::string& text, const std::string& line)
{
    int count = 0;
    for (const std::string& each : SplitLines(text)) {
        if (each == line) {
            ++count;
        }
    }
    return count;
}

inline int CountLinesStartingWith(const std::string& text, const std::string& prefix)
{
    int count = 0;
    for (const std::string& each : SplitLines(text)) {
        if (each.rfind(prefix, 0) == 0) {
            ++count;
        }
    }
    return count;
}

}  // namespace dltest
