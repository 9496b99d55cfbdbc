// The hand-over with the installed program, against stand-ins running from
// the drives that test_handover.py maps: E:\Quillon.exe, G:\Quillon.exe,
// G:\Tools\Quillon.exe and G:\Other\quillon.exe (the name in other case).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FileText.h"
#include "ProductHandOver.h"
#include "ScopedHandles.h"

namespace {

using NCommon::ScopedHandle;

// Clears what a stand-in in `folder` recorded and chooses its mode ("" for
// record-and-end).
void PrepareFolder(const std::wstring& folder, const std::string& mode)
{
    for (const wchar_t* name : {L"QuillonRuns.txt", L"QuillonMessages.txt", L"QuillonMode.txt"}) {
        DeleteFileW((folder + name).c_str());
    }
    if (!mode.empty()) {
        const ScopedHandle file(CreateFileW((folder + L"QuillonMode.txt").c_str(), GENERIC_WRITE, 0,
                                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        WriteFile(file.get(), mode.data(), static_cast<DWORD>(mode.size()), &written, nullptr);
    }
}

// The first start recorded in `folder`: the split command line and the
// working folder. Empty when none arrives within ten seconds.
struct RecordedRun {
    std::vector<std::wstring> arguments;
    std::wstring folder;
};

RecordedRun WaitForRun(const std::wstring& folder)
{
    std::string line;
    for (int i = 0; i < 100 && line.find('\n') == std::string::npos; ++i) {
        Sleep(100);
        line = ReadFileText(folder + L"QuillonRuns.txt");
    }
    RecordedRun run;
    const size_t tab = line.find('\t');
    const size_t end = line.find("\r\n");
    if (tab == std::string::npos || end == std::string::npos) {
        return run;
    }
    auto wide = [](const std::string& utf8) {
        std::wstring text(utf8.size(), L'\0');
        text.resize(static_cast<size_t>(MultiByteToWideChar(
            CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0],
            static_cast<int>(text.size()))));
        return text;
    };
    int count = 0;
    LPWSTR* split = CommandLineToArgvW(wide(line.substr(0, tab)).c_str(), &count);
    for (int i = 0; split != nullptr && i < count; ++i) {
        run.arguments.push_back(split[i]);
    }
    LocalFree(split);
    run.folder = wide(line.substr(tab + 1, end - tab - 1));
    return run;
}

// A stand-in started by the test in one of its window modes; ended by the
// test if it has not ended by itself.
class StandIn {
public:
    StandIn(const std::wstring& path, const std::string& mode)
        : m_folder(path.substr(0, path.find_last_of(L'\\') + 1))
    {
        PrepareFolder(m_folder, mode);
        std::wstring commandLine = L"\"" + path + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                           m_folder.c_str(), &startup, &process)) {
            m_process.reset(process.hProcess);
            CloseHandle(process.hThread);
        }
        // It records its start once its window exists.
        m_started = m_process && !WaitForRun(m_folder).folder.empty();
    }
    ~StandIn()
    {
        if (!Ended(0)) {
            TerminateProcess(m_process.get(), 9);
            WaitForSingleObject(m_process.get(), 5000);
        }
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    bool Started() const { return m_started; }
    bool Ended(DWORD waitMs) const
    {
        return !m_process || WaitForSingleObject(m_process.get(), waitMs) == WAIT_OBJECT_0;
    }
    std::string Messages() const { return ReadFileText(m_folder + L"QuillonMessages.txt"); }

private:
    std::wstring m_folder;
    ScopedHandle m_process;
    bool m_started = false;
};

TEST(ProductHandOver, OnlyTheCopiesOnTheTargetDriveAreAskedToQuitAndWaitedFor)
{
    StandIn fromE(L"E:\\Quillon.exe", "window");
    StandIn fromG(L"G:\\Quillon.exe", "window");
    StandIn otherCase(L"G:\\Other\\quillon.exe", "window");
    ASSERT_TRUE(fromE.Started() && fromG.Started() && otherCase.Started());

    // The letter as Windows compares drives; quillon.exe is not Quillon.exe.
    const std::vector<ProductCopy> onG = FindProductCopies(L'g');
    ASSERT_EQ(1u, onG.size());
    EXPECT_EQ(L"G:\\Quillon.exe", onG[0].imagePath);

    const std::vector<ProductCopy> onE = FindProductCopies(L'E');
    ASSERT_EQ(1u, onE.size());
    EXPECT_EQ(L"E:\\Quillon.exe", onE[0].imagePath);
    EXPECT_TRUE(AnyProductCopyRunning(onE));
    EXPECT_TRUE(AskProductCopiesToQuit(onE, kProductQuitTimeoutMs, [] { return false; }));
    EXPECT_TRUE(fromE.Ended(0));
    EXPECT_FALSE(AnyProductCopyRunning(onE));
    EXPECT_EQ("WM_PRODUCT_CLOSE\r\nWM_PRODUCT_QUIT\r\n", fromE.Messages());
    EXPECT_TRUE(FindProductCopies(L'E').empty());

    EXPECT_FALSE(fromG.Ended(500)) << "a copy on another drive was asked to quit";
    EXPECT_EQ("", fromG.Messages() + otherCase.Messages());
}

TEST(ProductHandOver, CopiesThatDoNotQuitAreWaitedForAtMostTheBound)
{
    // One stops answering at the close request; one answers but stays.
    StandIn hung(L"E:\\Quillon.exe", "hung");
    StandIn staying(L"G:\\Quillon.exe", "stay");
    ASSERT_TRUE(hung.Started() && staying.Started());

    for (wchar_t letter : {L'E', L'G'}) {
        const std::vector<ProductCopy> copies = FindProductCopies(letter);
        ASSERT_EQ(1u, copies.size());
        const ULONGLONG start = GetTickCount64();
        EXPECT_FALSE(AskProductCopiesToQuit(copies, kProductQuitTimeoutMs, [] { return false; }));
        const ULONGLONG elapsed = GetTickCount64() - start;
        std::printf("a copy on %lc that does not quit held the wait %llu ms (bound %lu ms)\n", letter,
                    elapsed, kProductQuitTimeoutMs);
        EXPECT_GE(elapsed + 50, kProductQuitTimeoutMs);
        EXPECT_LT(elapsed, kProductQuitTimeoutMs + 2000);
        EXPECT_TRUE(AnyProductCopyRunning(copies));
    }
    EXPECT_EQ("WM_PRODUCT_CLOSE\r\n", hung.Messages());
    EXPECT_EQ("WM_PRODUCT_CLOSE\r\nWM_PRODUCT_QUIT\r\n", staying.Messages());

    // A cancel ends the wait within its next look.
    const std::vector<ProductCopy> copies = FindProductCopies(L'G');
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(AskProductCopiesToQuit(copies, kProductQuitTimeoutMs, [] { return true; }));
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_FALSE(hung.Ended(0) || staying.Ended(0));
}

TEST(ProductHandOver, LaunchStartsFromTheDriveRootAndNotifiesOnlyAfterAnUpdate)
{
    PrepareFolder(L"E:\\", "");
    PrepareFolder(L"G:\\Tools\\", "");

    LaunchProduct(false, L"G:\\Tools\\Quillon.exe", L'E');
    const RecordedRun installed = WaitForRun(L"E:\\");
    EXPECT_EQ(std::vector<std::wstring>{L"E:\\Quillon.exe"}, installed.arguments);
    EXPECT_EQ(L"E:\\", installed.folder);

    LaunchProduct(true, L"G:\\Tools\\Quillon.exe", L'G');
    const RecordedRun updated = WaitForRun(L"G:\\Tools\\");
    EXPECT_EQ((std::vector<std::wstring>{L"G:\\Tools\\Quillon.exe", L"/NotifyUpdate"}),
              updated.arguments);
    EXPECT_EQ(L"G:\\", updated.folder);

    // A copy started again runs as it ran, from the drive root.
    PrepareFolder(L"G:\\Tools\\", "");
    unsigned long error = 0;
    EXPECT_TRUE(StartProduct(ChooseRestartLaunch(L"G:\\Tools\\Quillon.exe", L'G'), &error));
    const RecordedRun again = WaitForRun(L"G:\\Tools\\");
    EXPECT_EQ(std::vector<std::wstring>{L"G:\\Tools\\Quillon.exe"}, again.arguments);
    EXPECT_EQ(L"G:\\", again.folder);

    EXPECT_FALSE(StartProduct(ChooseRestartLaunch(L"G:\\Gone\\Quillon.exe", L'G'), &error));
    EXPECT_NE(0u, error);
}

}  // namespace
