#pragma once

// The layer keeps its paths as std::u16string, which the pure rules can
// share with a native build; the platform takes wchar_t. These are the
// crossings, in one place for every file of the layer.

#include <windows.h>

#include <string>

namespace ZipLayer {

inline const wchar_t* AsWide(const std::u16string& text)
{
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

inline std::u16string AsU16(const wchar_t* text)
{
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

inline bool PathExists(const std::u16string& path)
{
    return GetFileAttributesW(AsWide(path)) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace ZipLayer
