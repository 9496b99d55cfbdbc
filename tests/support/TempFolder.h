#pragma once

#include <windows.h>

#include <string>

// A new empty folder under the user's temporary folder, named after
// `prefix`; its path has no trailing backslash.
inline std::wstring NewTempFolder(const wchar_t* prefix)
{
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    wchar_t name[MAX_PATH + 1] = {};
    GetTempFileNameW(temp, prefix, 0, name);
    DeleteFileW(name);
    CreateDirectoryW(name, nullptr);
    return name;
}
