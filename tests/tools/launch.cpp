// Starts a program with a command line given verbatim and an environment of
// the test's choosing, waits for it and returns its exit code.
//
//   launch.exe [--env NAME=VALUE]... [--cwd FOLDER] -- COMMAND LINE...
//
// Everything after the first " -- " is the child's command line exactly as
// written, so tests control quoting and substrings of the raw text. Wine
// itself ignores the Unix TMP and TEMP, which is why the temporary folder of
// a program under test is set here.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    const std::wstring raw = GetCommandLineW();
    const size_t separator = raw.find(L" -- ");
    if (separator == std::wstring::npos) {
        fwprintf(stderr, L"launch: no \" -- \" before the command line\n");
        return 120;
    }
    std::wstring childCommandLine = raw.substr(separator + 4);

    std::wstring workingFolder;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument == L"--") {
            break;
        }
        if (argument == L"--env" && i + 1 < argc) {
            const std::wstring assignment = argv[++i];
            const size_t equals = assignment.find(L'=');
            if (equals == std::wstring::npos) {
                fwprintf(stderr, L"launch: --env needs NAME=VALUE\n");
                return 120;
            }
            SetEnvironmentVariableW(assignment.substr(0, equals).c_str(),
                                    assignment.substr(equals + 1).c_str());
        } else if (argument == L"--cwd" && i + 1 < argc) {
            workingFolder = argv[++i];
        } else {
            fwprintf(stderr, L"launch: unknown option %ls\n", argument.c_str());
            return 120;
        }
    }

    std::vector<wchar_t> buffer(childCommandLine.begin(), childCommandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup,
                        &process)) {
        fwprintf(stderr, L"launch: CreateProcessW failed with %lu\n", GetLastError());
        return 121;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 122;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}
