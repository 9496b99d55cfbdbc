#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FileText.h"
#include "Log.h"
#include "ProductPaths.h"
#include "TempFolder.h"
#include "TextConversion.h"
#include "Startup.h"
#include "easylogging++.h"

namespace {

const wchar_t kGuidFolder[] = L"{502ABB8A-27F4-4A9D-A0B4-C99B926B99EE}\\";

std::wstring FreshFolder(const std::wstring& name)
{
    const std::wstring folder = NewTempFolder(L"qlt") + L"\\" + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\";
}

std::vector<std::string> Lines(const std::string& content)
{
    std::vector<std::string> lines;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

// Makes `folder` the temporary folder of this process for one test, as a
// user's TMP would.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::wstring& folder)
    {
        wchar_t previous[MAX_PATH + 1] = {};
        GetEnvironmentVariableW(L"TMP", previous, MAX_PATH);
        m_previous = previous;
        SetEnvironmentVariableW(L"TMP", folder.c_str());
    }
    ~TemporaryFolder()
    {
        // Stop writing into the folder before it is handed back.
        el::Configurations quiet;
        quiet.setToDefault();
        quiet.setGlobally(el::ConfigurationType::ToFile, "false");
        el::Loggers::reconfigureAllLoggers(quiet);
        SetEnvironmentVariableW(L"TMP", m_previous.c_str());
    }

private:
    std::wstring m_previous;
};

const std::regex kInfoLine(
    R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d,\d{3} INFO  \[default\] (.*))");
const std::regex kErrorLine(
    R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d,\d{3} ERROR \[default\] (.*))");

}  // namespace

TEST(Utf8, ConvertsUpToTheFirstTerminator)
{
    EXPECT_EQ("", ToUtf8(L""));
    EXPECT_EQ("Installer.log", ToUtf8(L"Installer.log"));
    EXPECT_EQ("\xC3\xA9\xE2\x82\xAC\xD0\x96", ToUtf8(L"\u00E9\u20AC\u0416"));
    EXPECT_EQ("\xF0\x9F\x98\x80", ToUtf8(L"\xD83D\xDE00")) << "a surrogate pair is one character";
    EXPECT_EQ("ab", ToUtf8(std::wstring(L"ab\0cd", 5)));
}

TEST(LogFileName, AsciiPathIsTheSameTextInEveryEncoding)
{
    const std::wstring path = L"C:\\users\\q\\Temp\\{502ABB8A-27F4-4A9D-A0B4-C99B926B99EE}\\Installer.log";
    EXPECT_EQ(ToUtf8(path), LogFileNameFor(path));
}

TEST(LogFileName, NonAsciiFoldersStayReachableThroughAnEightBitName)
{
    // One folder whose name fits the ANSI code page and one that does not:
    // both must give a name that the 8-bit file functions open as the
    // intended file.
    for (const wchar_t* name : {L"Caf\u00E9", L"\u0416\u0443\u0440\u043D\u0430\u043B \u65E5\u672C"}) {
        const std::wstring folder = FreshFolder(name);
        const std::wstring path = folder + L"Installer.log";
        const std::string eightBit = LogFileNameFor(path);
        {
            std::ofstream out(eightBit, std::ios::app);
            ASSERT_TRUE(out.is_open()) << eightBit;
            out << "probe";
        }
        EXPECT_EQ("probe", ReadFileText(path)) << "written under another name: " << eightBit;
    }
}

TEST(ConfigureLog, CreatesTheWorkFolderAndAppends)
{
    const std::wstring temp = FreshFolder(L"plain");
    const TemporaryFolder useTemp(temp);
    EXPECT_EQ(temp + kGuidFolder, GetWorkFolder());

    const std::wstring logFile = temp + kGuidFolder + L"Installer.log";
    ConfigureLog();
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((temp + kGuidFolder).c_str()));
    LOG(INFO) << "Log created";
    LOG(ERROR) << "first run " << 12029u;

    ConfigureLog();
    LOG(INFO) << "Log created";

    const std::vector<std::string> lines = Lines(ReadFileText(logFile));
    ASSERT_EQ(3u, lines.size()) << ReadFileText(logFile);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kInfoLine)) << lines[0];
    EXPECT_EQ("Log created", match[1].str());
    ASSERT_TRUE(std::regex_match(lines[1], match, kErrorLine)) << lines[1];
    EXPECT_EQ("first run 12029", match[1].str());
    ASSERT_TRUE(std::regex_match(lines[2], match, kInfoLine)) << lines[2];

    // Day/month/year: the year is the last of the three and the month
    // matches this machine's clock.
    SYSTEMTIME now;
    GetLocalTime(&now);
    char yearAndMonth[16];
    snprintf(yearAndMonth, sizeof(yearAndMonth), "/%02u/%04u", now.wMonth, now.wYear);
    EXPECT_EQ(2u, lines[0].find(yearAndMonth)) << lines[0];
}

TEST(ConfigureLog, NonAsciiTemporaryFolderStillGetsItsLog)
{
    const std::wstring temp = FreshFolder(L"\u0412\u0440\u0435\u043C\u0435\u043D\u043D\u0430\u044F \u4E34\u65F6");
    const TemporaryFolder useTemp(temp);
    ConfigureLog();
    LOG(INFO) << "Log created";
    const std::vector<std::string> lines = Lines(ReadFileText(temp + kGuidFolder + L"Installer.log"));
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], kInfoLine)) << lines[0];
}

TEST(ConfigureLog, LargeFileIsNeitherTruncatedNorRolledOver)
{
    const std::wstring temp = FreshFolder(L"large");
    const TemporaryFolder useTemp(temp);
    const std::wstring folder = temp + kGuidFolder;
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::string earlier(12 * 1024 * 1024, 'x');
    {
        std::ofstream out(LogFileNameFor(folder + L"Installer.log"), std::ios::binary);
        out << earlier << "\n";
    }
    ConfigureLog();
    LOG(INFO) << "Log created";
    const std::string content = ReadFileText(folder + L"Installer.log");
    ASSERT_GT(content.size(), earlier.size());
    EXPECT_EQ(0, content.compare(0, earlier.size(), earlier));
    EXPECT_NE(std::string::npos, content.find("[default] Log created"));
}

TEST(ConfigureLog, TwoThreadsLoggingAtOnceKeepEveryLineWhole)
{
    const std::wstring temp = FreshFolder(L"threads");
    const TemporaryFolder useTemp(temp);
    ConfigureLog();
    el::Loggers::reconfigureAllLoggers(el::ConfigurationType::ToStandardOutput, "false");
    const int perThread = 400;
    auto writer = [](const char* who) {
        for (int i = 0; i < perThread; ++i) {
            LOG(ERROR) << who << " line " << i << " with some text to widen the window";
        }
    };
    std::thread first(writer, "worker");
    std::thread second(writer, "main");
    first.join();
    second.join();

    const std::vector<std::string> lines = Lines(ReadFileText(temp + kGuidFolder + L"Installer.log"));
    ASSERT_EQ(2u * perThread, lines.size());
    const std::regex whole(R"(.* ERROR \[default\] (worker|main) line \d+ with some text to widen the window)");
    for (const std::string& line : lines) {
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    }
}
