#pragma once

#include <string>

namespace NCommon {

// `name` under `folder`, with one backslash between them.
inline std::wstring JoinPath(const std::wstring& folder, const std::wstring& name)
{
    if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/') {
        return folder + name;
    }
    return folder + L"\\" + name;
}

}  // namespace NCommon
