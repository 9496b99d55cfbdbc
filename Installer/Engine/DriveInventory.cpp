#include "DriveInventory.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <thread>

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
bool Matches(const std::wstring& path, const PackageManifest::Member& member, Sha256Hasher& hasher,
             std::vector<char>& buffer, bool& exists)
{
    NCommon::ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    exists = file.valid();
    LARGE_INTEGER size{};
    if (!exists || !GetFileSizeEx(file.get(), &size) || static_cast<uint64_t>(size.QuadPart) != member.size) {
        return false;
    }
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

// What the drive holds of one member: 0 nothing, 1 the signed bytes, 2 a
// file that differs.
char Look(const PackageManifest::Member& member, const std::wstring& destination, Sha256Hasher& hasher,
          std::vector<char>& buffer)
{
    const std::wstring path = PathOf(destination, member.name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return 0;
    }
    const bool folder = !member.name.empty() && member.name.back() == '/';
    if (folder || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return folder && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 1 : 0;
    }
    bool exists = false;
    return Matches(path, member, hasher, buffer, exists) ? 1 : exists ? 2 : 0;
}

}  // namespace

Inventory Take(const PackageManifest::Manifest& manifest, const std::wstring& destination,
               const std::atomic<bool>* cancel)
{
    // Hashing the product is most of what an update that changes little
    // costs; a stick reads faster than one core hashes, so each core takes
    // files in turn.
    const size_t workers = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    std::vector<std::unique_ptr<Sha256Hasher>> hashers;
    for (size_t i = 0; i < workers; ++i) {
        hashers.push_back(std::make_unique<Sha256Hasher>());
    }
    std::vector<char> found(manifest.members.size(), 0);
    // The largest first, so that no core is left with a big file at the end.
    std::vector<size_t> order(found.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return manifest.members[a].size > manifest.members[b].size; });
    std::atomic<size_t> next{0};
    const auto work = [&](Sha256Hasher& hasher) {
        std::vector<char> buffer(1 << 20);
        for (size_t k = next++; k < order.size() && !IsCancelled(cancel); k = next++) {
            const size_t i = order[k];
            try {
                found[i] = Look(manifest.members[i], destination, hasher, buffer);
            } catch (...) {
                // A file that cannot be hashed is fetched again, as a missing one.
            }
        }
    };
    std::vector<std::thread> threads;
    for (size_t i = 1; i < workers; ++i) {
        threads.emplace_back(work, std::ref(*hashers[i]));
    }
    work(*hashers[0]);
    for (std::thread& thread : threads) {
        thread.join();
    }

    Inventory inventory;
    inventory.onDrive.assign(found.size(), false);
    inventory.differs.assign(found.size(), false);
    for (size_t i = 0; i < found.size(); ++i) {
        inventory.onDrive[i] = found[i] == 1;
        inventory.differs[i] = found[i] == 2;
        const bool folder = !manifest.members[i].name.empty() && manifest.members[i].name.back() == '/';
        inventory.anyPresent = inventory.anyPresent || (found[i] != 0 && !folder);
    }
    return inventory;
}

}  // namespace DriveInventory
