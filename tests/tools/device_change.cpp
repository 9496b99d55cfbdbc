// Tells every top-level window that volumes came or went, as Windows does
// when a stick is plugged in or pulled (Wine does not for its drive links).
//
//   device_change.exe arrive|remove LETTERS
//
// Exits 0 once the broadcast has been handled everywhere, 1 on bad use, 2
// when the broadcast failed.
#include <windows.h>

#include <dbt.h>

#include <cstdio>
#include <cwctype>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    const std::wstring how = argc == 3 ? argv[1] : L"";
    if (how != L"arrive" && how != L"remove") {
        fwprintf(stderr, L"device_change: arrive|remove LETTERS\n");
        return 1;
    }
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    for (const wchar_t* letter = argv[2]; *letter != L'\0'; ++letter) {
        const wchar_t upper = static_cast<wchar_t>(towupper(*letter));
        if (upper < L'A' || upper > L'Z') {
            fwprintf(stderr, L"device_change: %lc is no drive letter\n", *letter);
            return 1;
        }
        volume.dbcv_unitmask |= 1u << (upper - L'A');
    }
    const WPARAM event = how == L"arrive" ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume),
                             SMTO_ABORTIFHUNG, 5000, &answer)) {
        fwprintf(stderr, L"device_change: SendMessageTimeoutW failed with %lu\n", GetLastError());
        return 2;
    }
    return 0;
}
