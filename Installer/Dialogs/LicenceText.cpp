#include "LicenceText.h"

#include <cstring>

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
