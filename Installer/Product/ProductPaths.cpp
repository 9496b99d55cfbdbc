#include "ProductPaths.h"

#include "ProductConstants.h"

#include <windows.h>

namespace {
const wchar_t kWorkFolderName[] = L"{502ABB8A-27F4-4A9D-A0B4-C99B926B99EE}\\";
}  // namespace

std::wstring ProductPathFor(wchar_t driveLetter)
{
    return DriveRootOf(driveLetter) + kProductFileName;
}

std::wstring DriveRootOf(const std::wstring& destination)
{
    const size_t colon = destination.find(L':');
    if (colon == std::wstring::npos) {
        return L"\\";
    }
    return destination.substr(0, colon + 1) + L"\\";
}

std::wstring DriveRootOf(wchar_t driveLetter)
{
    return DriveRootOf(std::wstring(1, driveLetter) + L":");
}

std::wstring GetWorkFolder()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, buffer);
    return std::wstring(buffer) + kWorkFolderName;
}
