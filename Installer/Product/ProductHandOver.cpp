#include "ProductHandOver.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>
#include <cwchar>

#include "MessageError.h"
#include "ScopedHandles.h"
#include "ProductConstants.h"
#include "ProductPaths.h"

using NCommon::ScopedHandle;

const wchar_t kProductWindowTitle[] = L"{637693CC-9D1F-49D5-B4D4-7A5F659E0BC5}";

namespace {

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

ProductLaunch ChooseRestartLaunch(const std::wstring& imagePath, wchar_t driveLetter)
{
    ProductLaunch launch;
    launch.file = imagePath;
    launch.workingFolder = DriveRootOf(driveLetter);
    return launch;
}

bool StartProduct(const ProductLaunch& launch, unsigned long* error)
{
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    // Without SEE_MASK_FLAG_NO_UI the shell reports a missing program in a
    // modal message box of its own, inside this call: the installer would
    // sit behind that box instead of closing.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = launch.file.c_str();
    info.lpParameters = launch.parameters.empty() ? nullptr : launch.parameters.c_str();
    info.lpDirectory = launch.workingFolder.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) {
        if (error != nullptr) {
            *error = GetLastError();
        }
        return false;
    }
    // Only taken so that it can be let go: the program is not watched.
    ScopedHandle process(info.hProcess);
    return true;
}

void LaunchProduct(bool notifyUpdate, const std::wstring& exePathToUpdate, wchar_t driveLetter)
{
    StartProduct(ChooseProductLaunch(notifyUpdate, exePathToUpdate, driveLetter), nullptr);
}

bool IsOnDrive(const std::wstring& imagePath, wchar_t driveLetter)
{
    const std::wstring longPrefix = L"\\\\?\\";
    const size_t at = imagePath.compare(0, longPrefix.size(), longPrefix) == 0 ? longPrefix.size() : 0;
    return driveLetter != L'\0' && imagePath.size() >= at + 3 &&
           std::towupper(imagePath[at]) == std::towupper(driveLetter) && imagePath[at + 1] == L':' &&
           imagePath[at + 2] == L'\\';
}

namespace {

std::wstring ImagePathOf(HANDLE process)
{
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = static_cast<DWORD>(sizeof(path) / sizeof(path[0]));
    if (!QueryFullProcessImageNameW(process, 0, path, &size)) {
        return std::wstring();
    }
    return std::wstring(path, size);
}

struct WindowSearch {
    const std::vector<ProductCopy>* copies;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectCopyWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    wchar_t title[64] = {};
    if (GetWindowTextW(window, title, 64) == 0 || std::wcscmp(title, kProductWindowTitle) != 0) {
        return TRUE;
    }
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    for (const ProductCopy& copy : *search->copies) {
        if (copy.processId == owner) {
            search->found.push_back(window);
            break;
        }
    }
    return TRUE;
}

DWORD Remaining(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

}  // namespace

std::vector<ProductCopy> FindProductCopies(wchar_t driveLetter)
{
    std::vector<ProductCopy> copies;
    const ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return copies;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (std::wcscmp(entry.szExeFile, kProductFileName) != 0) {
            continue;
        }
        ProductCopy copy;
        copy.process.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                       entry.th32ProcessID));
        if (!copy.process) {
            continue;
        }
        copy.imagePath = ImagePathOf(copy.process.get());
        if (!IsOnDrive(copy.imagePath, driveLetter) ||
            WaitForSingleObject(copy.process.get(), 0) == WAIT_OBJECT_0) {
            continue;
        }
        copy.processId = entry.th32ProcessID;
        copies.push_back(std::move(copy));
    }
    return copies;
}

bool AnyProductCopyRunning(const std::vector<ProductCopy>& copies)
{
    for (const ProductCopy& copy : copies) {
        if (WaitForSingleObject(copy.process.get(), 0) != WAIT_OBJECT_0) {
            return true;
        }
    }
    return false;
}

bool AskProductCopiesToQuit(const std::vector<ProductCopy>& copies, DWORD boundMs,
                            const std::function<bool()>& giveUp)
{
    const ULONGLONG deadline = GetTickCount64() + boundMs;
    WindowSearch search{&copies, {}};
    EnumWindows(&CollectCopyWindow, reinterpret_cast<LPARAM>(&search));
    for (HWND window : search.found) {
        DWORD_PTR answer = 0;
        const DWORD timeout = std::min(kProductCloseTimeoutMs, Remaining(deadline));
        if (timeout > 0) {
            SendMessageTimeoutW(window, WM_PRODUCT_CLOSE, 0, 0, SMTO_ABORTIFHUNG, timeout, &answer);
        }
    }
    for (const ProductCopy& copy : copies) {
        try {
            const DWORD thread = GetMainThreadId(copy.processId);
            if (thread != 0) {
                PostThreadMessageW(thread, WM_PRODUCT_QUIT, 0, 0);
            }
        } catch (const MessageError&) {
            // No thread snapshot: the copy is waited for all the same.
        }
    }
    for (;;) {
        if (!AnyProductCopyRunning(copies)) {
            return true;
        }
        if (Remaining(deadline) == 0 || (giveUp && giveUp())) {
            return false;
        }
        Sleep(std::min<DWORD>(100, Remaining(deadline)));
    }
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
