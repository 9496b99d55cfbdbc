// A DLL that anyone could drop beside a downloaded Installer.exe. Copied
// under the names of the DLLs Windows would look for in the program's folder;
// when the loader takes it, its DllMain leaves "<name>.ran" beside it, e.g.
// "winhttp.dll.ran". It does nothing else, so a program that loads it keeps
// running and the marker tells the story.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH + 8] = {};
        const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            lstrcatW(path, L".ran");
            const HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL, nullptr);
            if (marker != INVALID_HANDLE_VALUE) {
                CloseHandle(marker);
            }
        }
    }
    return TRUE;
}
