#include "DriveInventory.h"

#include <windows.h>

#include "CancelFlag.h"
#include "ScopedHandles.h"
#include "Sha256Hasher.h"

namespace DriveInventory {
namespace {

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty()) {
        return std::wstring();
    }
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &wide[0],
                            length);
    }
    return wide;
}

std::wstring PathOf(const std::wstring& destination, const std::string& name)
{
    std::wstring path = destination;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') {
        path += L'\\';
    }
    for (wchar_t c : FromUtf8(name)) {
        path += c == L'/' ? L'\\' : c;
    }
    while (!path.empty() && path.back() == L'\\') {
        path.pop_back();
    }
    return path;
}

// Whether the file at `path` is exactly `size` bytes that hash to `sha256`;
// `exists` says whether there is a file at all.
bool Matches(const std::wstring& path, const PackageManifest::Member& member, Sha256Hasher& hasher, bool& exists)
{
    NCommon::ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    exists = file.valid();
    LARGE_INTEGER size{};
    if (!exists || !GetFileSizeEx(file.get(), &size) || static_cast<uint64_t>(size.QuadPart) != member.size) {
        return false;
    }
    static thread_local std::vector<char> buffer(1 << 20);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            hasher.Finish();
            return false;
        }
        if (got == 0) {
            break;
        }
        hasher.Update(buffer.data(), got);
    }
    return hasher.Finish() == member.sha256;
}

}  // namespace

Inventory Take(const PackageManifest::Manifest& manifest, const std::wstring& destination,
               const std::atomic<bool>* cancel)
{
    Inventory inventory;
    inventory.onDrive.assign(manifest.members.size(), false);
    inventory.differs.assign(manifest.members.size(), false);
    Sha256Hasher hasher;
    for (size_t i = 0; i < manifest.members.size() && !IsCancelled(cancel); ++i) {
        const PackageManifest::Member& member = manifest.members[i];
        const std::wstring path = PathOf(destination, member.name);
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            continue;
        }
        const bool folder = !member.name.empty() && member.name.back() == '/';
        if (folder || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            inventory.onDrive[i] = folder && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            continue;
        }
        bool exists = false;
        inventory.onDrive[i] = Matches(path, member, hasher, exists);
        inventory.differs[i] = exists && !inventory.onDrive[i];
        inventory.anyPresent = inventory.anyPresent || exists;
    }
    return inventory;
}

}  // namespace DriveInventory
