#include "DllSearch.h"

#include <delayimp.h>

#include <cstring>
#include <string>

#include "ScopedHandles.h"

namespace {

// SetDefaultDllDirectories, and with it the LOAD_LIBRARY_SEARCH_* flags,
// comes with Windows 8; Windows 7, the oldest system the manifest declares,
// has it only with update KB2533623. So it is looked up rather than imported
// (an import would keep the program from starting on a Windows 7 without the
// update). Without it the current folder is taken out of the search and
// every load of this program names the system folder in full.
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

SetDefaultDllDirectoriesFunction FindSetDefaultDllDirectories()
{
    return reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
}

bool SearchFlagsAvailable()
{
    static const bool available = FindSetDefaultDllDirectories() != nullptr;
    return available;
}

std::wstring SystemFolderPath(const wchar_t* name)
{
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return std::wstring();
    }
    return std::wstring(folder) + L"\\" + name;
}

// Windows' own DLLs load some DLLs by name for the program, and not every
// such load follows the process's default directories: without the update
// none does, and Wine's delay loads inside its own DLLs never do. Loaded from
// the system folder ahead of them and kept, they are found already loaded.
// Those of the windows (version, uxtheme, msimg32) are loaded at the first
// step; those of the HTTPS download along with WinHTTP, so that runs that
// download nothing do not pay for them.
void PinHttpsLibraries()
{
    static const NCommon::ScopedLibrary pinned[] = {
        NCommon::ScopedLibrary(LoadSystemLibrary(L"secur32.dll")),
        NCommon::ScopedLibrary(LoadSystemLibrary(L"crypt32.dll")),
        NCommon::ScopedLibrary(LoadSystemLibrary(L"bcrypt.dll"))};
}

// Every delay-loaded DLL comes through here; should the system folder not
// give it, the helper must not go on to search for it by name itself.
FARPROC WINAPI LoadDelayedImport(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliNotePreLoadLibrary) {
        return nullptr;
    }
    if (lstrcmpiA(info->szDll, "winhttp.dll") == 0) {
        PinHttpsLibraries();
    }
    const std::wstring name(info->szDll, info->szDll + std::strlen(info->szDll));
    const HMODULE module = LoadSystemLibrary(name.c_str());
    if (module == nullptr) {
        ULONG_PTR arguments[] = {reinterpret_cast<ULONG_PTR>(info)};
        RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, arguments);
    }
    return reinterpret_cast<FARPROC>(module);
}

}  // namespace

PfnDliHook __pfnDliNotifyHook2 = LoadDelayedImport;

void RestrictDllSearchToSystemFolder()
{
    const SetDefaultDllDirectoriesFunction setDefaultDllDirectories = FindSetDefaultDllDirectories();
    if (setDefaultDllDirectories == nullptr || !setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        SetDllDirectoryW(L"");
    }
    // What Windows' DLLs load for the windows; see PinHttpsLibraries.
    static const NCommon::ScopedLibrary pinned[] = {
        NCommon::ScopedLibrary(LoadSystemLibrary(L"version.dll")),
        NCommon::ScopedLibrary(LoadSystemLibrary(L"uxtheme.dll")),
        NCommon::ScopedLibrary(LoadSystemLibrary(L"msimg32.dll"))};
}

HMODULE LoadSystemLibrary(const wchar_t* name)
{
    if (SearchFlagsAvailable()) {
        return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    // The version 6 common controls live in WinSxS, where only a bare name
    // is redirected; a full path would give the old version 5.
    if (lstrcmpiW(name, L"comctl32.dll") == 0) {
        return LoadLibraryW(name);
    }
    const std::wstring path = SystemFolderPath(name);
    return path.empty() ? nullptr : LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
