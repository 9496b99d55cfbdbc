#include "CreatedDestination.h"

#include <windows.h>
#include <shlobj.h>

namespace InstallBackend {

CreatedDestination::CreatedDestination(const std::wstring& destination)
{
    std::wstring level = destination;
    while (!level.empty() && (level.back() == L'\\' || level.back() == L'/')) {
        level.pop_back();
    }
    while (!level.empty() && level.back() != L':' &&
           GetFileAttributesW(level.c_str()) == INVALID_FILE_ATTRIBUTES) {
        m_levels.push_back(level);
        const size_t separator = level.find_last_of(L"\\/");
        if (separator == std::wstring::npos) {
            break;
        }
        level.erase(separator);
    }
    SHCreateDirectoryExW(nullptr, destination.c_str(), nullptr);
}

CreatedDestination::~CreatedDestination()
{
    if (m_levels.empty()) {
        return;
    }
    // The extraction made the destination the current directory, which
    // could not be removed while it is.
    const std::wstring& top = m_levels.back();
    const size_t separator = top.find_last_of(L"\\/");
    if (separator != std::wstring::npos) {
        SetCurrentDirectoryW((top.substr(0, separator) + L"\\").c_str());
    }
    // Deepest first; a level that is not empty stays.
    for (const std::wstring& level : m_levels) {
        if (!RemoveDirectoryW(level.c_str())) {
            break;
        }
    }
}

}  // namespace InstallBackend
