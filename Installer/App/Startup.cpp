#include "Startup.h"

#include <windows.h>
#include <shellapi.h>

namespace {

// Owns the array that CommandLineToArgvW hands out.
class ArgumentArray {
public:
    explicit ArgumentArray(const wchar_t* commandLine)
        : m_argv(CommandLineToArgvW(commandLine, &m_count))
    {
    }
    ~ArgumentArray()
    {
        if (m_argv != nullptr) {
            LocalFree(m_argv);
        }
    }
    ArgumentArray(const ArgumentArray&) = delete;
    ArgumentArray& operator=(const ArgumentArray&) = delete;

    std::vector<std::wstring> ToVector() const
    {
        std::vector<std::wstring> arguments;
        if (m_argv != nullptr) {
            arguments.assign(m_argv, m_argv + m_count);
        }
        return arguments;
    }

private:
    int m_count = 0;
    wchar_t** m_argv;
};

}  // namespace

bool IsDriveRoot(const std::wstring& value)
{
    return value.size() == 3 && value[1] == L':' && value[2] == L'\\';
}

StartupOptions ParseStartupOptions(const std::vector<std::wstring>& arguments,
                                   const std::wstring& rawCommandLine)
{
    StartupOptions options;

    // Only the first "--path" counts, whatever follows it.
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == L"--path") {
            if (i + 1 < arguments.size() && IsDriveRoot(arguments[i + 1])) {
                options.driveLetter = arguments[i + 1][0];
                options.driveGiven = true;
            }
            break;
        }
    }

    // The value is the argument minus its first six characters, also when
    // "/path=" stands further inside it; the last such argument wins.
    if (!options.driveGiven) {
        for (size_t i = 1; i < arguments.size(); ++i) {
            if (arguments[i].find(L"/path=") != std::wstring::npos) {
                options.silentDestination = arguments[i].substr(6);
            }
        }
    }

    options.appUpdate = rawCommandLine.find(L"/AppUpdate") != std::wstring::npos;
    return options;
}

RunMode ChooseRunMode(const StartupOptions& options, bool productExists)
{
    if (options.driveGiven && productExists) {
        return RunMode::Open;
    }
    if (!options.silentDestination.empty()) {
        return RunMode::SilentInstall;
    }
    if (options.appUpdate) {
        return RunMode::Update;
    }
    return RunMode::Interactive;
}

OtherRun KindOfRun(const StartupOptions& options)
{
    // The silent install beats the update, as in the choice of the mode.
    if (!options.silentDestination.empty()) {
        return OtherRun::SilentInstall;
    }
    return options.appUpdate ? OtherRun::Update : OtherRun::Interactive;
}

SecondStart DecideSecondStart(const StartupOptions& options, const FirstRun& first)
{
    if (first.kind == OtherRun::None) {
        return SecondStart::Run;
    }
    if (KindOfRun(options) != OtherRun::Interactive) {
        return SecondStart::Refuse;
    }
    if (first.kind == OtherRun::SilentInstall) {
        return SecondStart::TellInstalling;
    }
    if (first.kind == OtherRun::Update) {
        return SecondStart::TellUpdating;
    }
    if (first.windowShown) {
        return SecondStart::BringFirstToFront;
    }
    return first.waitedEnough ? SecondStart::TellStillRunning : SecondStart::WaitForFirst;
}

std::wstring SecondStartMessage(SecondStart decision)
{
    switch (decision) {
    case SecondStart::TellInstalling:
        return L"Quillon is being installed on a USB drive from this PC. Try again when it has finished.";
    case SecondStart::TellUpdating:
        return L"Quillon is being updated on this PC. Try again when it has finished.";
    case SecondStart::TellStillRunning:
        return L"Quillon Setup is still closing. Try again in a moment.";
    default:
        return std::wstring();
    }
}

std::wstring FindArgumentValue(const std::vector<std::wstring>& arguments, const std::wstring& name)
{
    for (size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == name) {
            return arguments[i + 1];
        }
    }
    return std::wstring();
}

std::vector<std::wstring> SplitCommandLine(const wchar_t* commandLine)
{
    return ArgumentArray(commandLine).ToVector();
}

std::wstring GetCommandLineValue(const std::wstring& name)
{
    return FindArgumentValue(SplitCommandLine(GetCommandLineW()), name);
}

bool ProductExists(const std::wstring& productPath)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return productPath.size() < MAX_PATH &&
           GetFileAttributesExW(productPath.c_str(), GetFileExInfoStandard, &data) != FALSE;
}

namespace {

struct ExitBound {
    int exitCode;
    DWORD milliseconds;
};

DWORD WINAPI EndAfter(void* parameter)
{
    const ExitBound bound = *static_cast<ExitBound*>(parameter);
    delete static_cast<ExitBound*>(parameter);
    Sleep(bound.milliseconds);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(bound.exitCode));
    return 0;
}

}  // namespace

void BoundTheExit(int exitCode, unsigned long milliseconds)
{
    auto* bound = new ExitBound{exitCode, milliseconds};
    const HANDLE thread = CreateThread(nullptr, 0, &EndAfter, bound, 0, nullptr);
    if (thread == nullptr) {
        delete bound;
        return;
    }
    CloseHandle(thread);
}
