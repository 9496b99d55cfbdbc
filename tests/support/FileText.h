#pragma once

#include <windows.h>

#include <string>

#include "ScopedHandles.h"

// A file's bytes as they stand; empty when it cannot be opened. The writer
// (a log, a stand-in's record) may still hold it open.
inline std::string ReadFileText(const std::wstring& path)
{
    const NCommon::ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    char buffer[65536];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    return text;
}
