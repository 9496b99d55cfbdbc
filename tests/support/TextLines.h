#pragma once

#include <string>
#include <vector>

// Lines of a text file of ours (a manifest, a patch list), each ended by "\n".
inline std::string Join(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}
