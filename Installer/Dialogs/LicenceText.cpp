#include "LicenceText.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>

#include "resource.h"

std::string LoadLicenceText(HMODULE module)
{
    // No language named: the document is stored under one language only and
    // must be found whatever the user's language is.
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDR_LICENCE), L"BIN");
    if (found == nullptr) {
        return std::string();
    }
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded == nullptr ? nullptr : LockResource(loaded);
    if (bytes == nullptr) {
        return std::string();
    }
    return std::string(static_cast<const char*>(bytes), SizeofResource(module, found));
}

std::string ScaleRtfSizes(const std::string& rtf, int numerator, int denominator)
{
    static const std::set<std::string> kSizes = {"fs", "sa", "sb", "sl", "li", "ri", "fi", "tx"};
    if (denominator == 0 || numerator == denominator) {
        return rtf;
    }
    std::string scaled;
    scaled.reserve(rtf.size());
    size_t i = 0;
    while (i < rtf.size()) {
        if (rtf[i] != '\\' || i + 1 >= rtf.size()) {
            scaled += rtf[i++];
            continue;
        }
        if (!std::isalpha(static_cast<unsigned char>(rtf[i + 1]))) {
            // An escaped character (\\, \{, \'hh, ...): copied with its backslash.
            scaled.append(rtf, i, 2);
            i += 2;
            continue;
        }
        size_t end = i + 1;
        while (end < rtf.size() && std::isalpha(static_cast<unsigned char>(rtf[end]))) {
            ++end;
        }
        const std::string word = rtf.substr(i + 1, end - i - 1);
        size_t digits = end;
        if (digits < rtf.size() && rtf[digits] == '-') {
            ++digits;
        }
        size_t last = digits;
        while (last < rtf.size() && std::isdigit(static_cast<unsigned char>(rtf[last]))) {
            ++last;
        }
        if (last > digits && kSizes.count(word) != 0) {
            const long long value = std::atoll(rtf.substr(end, last - end).c_str());
            const long long product = value * numerator;
            // Rounded half away from zero, so that negative sizes (an exact
            // line spacing, a hanging indent) scale like positive ones. A
            // font size is rounded up instead: the control cuts a font's
            // height to whole pixels, and half a point less (the only finer
            // size RTF has) can cost the text a pixel of its height.
            const long long half = word == "fs" && product >= 0 ? denominator - 1 : denominator / 2;
            const long long rounded = (product >= 0 ? product + half : product - half) / denominator;
            scaled += "\\" + word + std::to_string(rounded);
        } else {
            scaled.append(rtf, i, last - i);
        }
        i = last;
    }
    return scaled;
}

long TakeStreamPiece(std::string& rest, char* buffer, long wanted)
{
    if (wanted <= 0) {
        return 0;
    }
    const size_t count = rest.size() < static_cast<size_t>(wanted) ? rest.size()
                                                                   : static_cast<size_t>(wanted);
    std::memcpy(buffer, rest.data(), count);
    rest.erase(0, count);
    return static_cast<long>(count);
}

DWORD CALLBACK StreamLicencePiece(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* given)
{
    std::string& rest = *reinterpret_cast<std::string*>(cookie);
    *given = TakeStreamPiece(rest, reinterpret_cast<char*>(buffer), wanted);
    return 0;
}
