#include "SmallFile.h"

#include <windows.h>

#include "ScopedHandles.h"

namespace NCommon {

SmallFileRead ReadSmallFile(const std::wstring& path, uint32_t limit, std::string& bytes)
{
    bytes.clear();
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) {
        return SmallFileRead::CannotOpen;
    }
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr)) {
            bytes.clear();
            return SmallFileRead::CannotRead;
        }
        if (got == 0) {
            return SmallFileRead::Read;
        }
        if (bytes.size() + got > limit) {
            bytes.clear();
            return SmallFileRead::TooLarge;
        }
        bytes.append(buffer, got);
    }
}

uint64_t FileSizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace NCommon
