#include "ProductHandOver.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <cwchar>

#include "MessageError.h"
#include "ScopedHandles.h"
#include "ProductPaths.h"
#include "easylogging++.h"

using NCommon::ScopedHandle;

const wchar_t kProductWindowTitle[] = L"{637693CC-9D1F-49D5-B4D4-7A5F659E0BC5}";

namespace {

const wchar_t kProductFileName[] = L"Quillon.exe";
const wchar_t kNotifyUpdate[] = L"/NotifyUpdate";

}  // namespace

ProductLaunch ChooseProductLaunch(bool notifyUpdate, const std::wstring& exePathToUpdate,
                                  wchar_t driveLetter)
{
    ProductLaunch launch;
    launch.file = notifyUpdate ? exePathToUpdate : ProductPathFor(driveLetter);
    if (notifyUpdate) {
        launch.parameters = kNotifyUpdate;
    }
    launch.workingFolder = DriveRootOf(driveLetter);
    return launch;
}

void LaunchProduct(bool notifyUpdate, const std::wstring& exePathToUpdate, wchar_t driveLetter)
{
    const ProductLaunch launch = ChooseProductLaunch(notifyUpdate, exePathToUpdate, driveLetter);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    // Without SEE_MASK_FLAG_NO_UI the shell reports a missing program in a
    // modal message box of its own, inside this call: after a successful
    // update with a stale --exePath the installer would sit behind that box
    // instead of closing, although a failed start is meant to go unnoticed.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = launch.file.c_str();
    info.lpParameters = launch.parameters.empty() ? nullptr : launch.parameters.c_str();
    info.lpDirectory = launch.workingFolder.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&info)) {
        // Only taken so that it can be let go: the program is not watched.
        ScopedHandle process(info.hProcess);
    }
}

bool CloseProductWindow()
{
    HWND window = FindWindowW(nullptr, kProductWindowTitle);
    if (window == nullptr) {
        return true;
    }
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutW(window, WM_PRODUCT_CLOSE, 0, 0, SMTO_ABORTIFHUNG,
                            kProductCloseTimeoutMs, &answer) == 0) {
        const unsigned long error = GetLastError();
        LOG(ERROR) << "SendMessageTimeoutW error: " << error
                   << " (the program window did not answer within " << kProductCloseTimeoutMs
                   << " ms; going on)";
    }
    return true;
}

DWORD GetMainThreadId(DWORD processId)
{
    const ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) {
        throw MessageError("GetMainThreadId failed");
    }
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == processId) {
            return entry.th32ThreadID;
        }
    }
    return 0;
}

bool SignalProductProcesses()
{
    const ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return false;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    try {
        for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
             more = Process32NextW(snapshot.get(), &entry)) {
            if (std::wcscmp(entry.szExeFile, kProductFileName) != 0) {
                continue;
            }
            const ScopedHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID));
            if (!process) {
                continue;
            }
            const DWORD thread = GetMainThreadId(entry.th32ProcessID);
            if (thread != 0) {
                PostThreadMessageW(thread, WM_PRODUCT_QUIT, 0, 0);
            }
        }
    } catch (const MessageError&) {
        return false;
    }
    return true;
}
