#include "DriveInventory.h"

#include <windows.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "CancelFlag.h"
#include "JoinPath.h"
#include "ScopedHandles.h"
#include "Sha256Hasher.h"
#include "TextConversion.h"

namespace DriveInventory {

// Files taken in turn by threads of their own and by whoever waits for
// them, the largest first, so that no core is left with a big file at the
// end: a stick reads faster than one core hashes.
class HashWorkers {
public:
    using Each = std::function<void(size_t, Sha256Hasher&, std::vector<char>&)>;

    // Starts `threads` threads, fewer when the system gives no more.
    HashWorkers(std::vector<size_t> order, Each each, size_t threads, const std::atomic<bool>* stop,
                const std::atomic<bool>* cancel)
        : m_order(std::move(order)), m_each(std::move(each)), m_stop(stop), m_cancel(cancel)
    {
        try {
            for (size_t i = 0; i < threads; ++i) {
                m_threads.emplace_back([this] { Work(); });
            }
        } catch (...) {
            // The threads that did start, and the thread that waits, do it
            // all; a thread left out of the list would end the process.
        }
    }
    ~HashWorkers() { Join(); }
    HashWorkers(const HashWorkers&) = delete;
    HashWorkers& operator=(const HashWorkers&) = delete;

    // Takes files in turn on this thread too until none is left, then
    // waits for the others.
    void WorkHereAndJoin()
    {
        Work();
        Join();
    }

    // One thread per core, at most four: the stick's speed is the limit beyond.
    static size_t Cores() { return std::max(1u, std::min(4u, std::thread::hardware_concurrency())); }

private:
    bool Stopped() const { return IsCancelled(m_stop) || IsCancelled(m_cancel); }

    void Join()
    {
        for (std::thread& thread : m_threads) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

    void Work()
    {
        try {
            Sha256Hasher hasher;
            std::vector<char> buffer(1 << 20);
            for (size_t k = m_next++; k < m_order.size() && !Stopped(); k = m_next++) {
                try {
                    m_each(m_order[k], hasher, buffer);
                } catch (...) {
                    // A file that cannot be read is fetched again, as a missing one.
                }
            }
        } catch (...) {
            // No hasher on this thread: the others read the rest.
        }
    }

    const std::vector<size_t> m_order;
    const Each m_each;
    const std::atomic<bool>* const m_stop;
    const std::atomic<bool>* const m_cancel;
    std::atomic<size_t> m_next{0};
    std::vector<std::thread> m_threads;
};

namespace {

enum class OnDrive : char { Nothing, Signed, Differs };

bool IsFolder(const std::string& name)
{
    return !name.empty() && name.back() == '/';
}

// A member's path on the drive; a folder's without its closing backslash.
std::wstring PathOf(const std::wstring& destination, const std::string& name)
{
    std::wstring relative = FromUtf8(name);
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    std::wstring path = NCommon::JoinPath(destination, relative);
    while (!path.empty() && path.back() == L'\\') {
        path.pop_back();
    }
    return path;
}

// The file at `path`, hashed whole only when it is `expectedSize` bytes:
// one of another size cannot be the file looked for.
FileRead ReadFileAt(const std::wstring& path, uint64_t expectedSize, Sha256Hasher& hasher, std::vector<char>& buffer,
                    const std::atomic<bool>* stop, const std::atomic<bool>* cancel)
{
    FileRead read;
    NCommon::ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    read.exists = file.valid();
    LARGE_INTEGER size{};
    if (!read.exists || !GetFileSizeEx(file.get(), &size)) {
        return read;
    }
    read.size = static_cast<uint64_t>(size.QuadPart);
    if (read.size != expectedSize) {
        return read;
    }
    hasher.Finish();  // nothing of a file read before
    for (;;) {
        if (IsCancelled(stop) || IsCancelled(cancel)) {
            return read;
        }
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            return read;
        }
        if (got == 0) {
            break;
        }
        hasher.Update(buffer.data(), got);
    }
    read.sha256 = hasher.Finish();
    read.hashed = true;
    return read;
}

OnDrive VerdictOn(const PackageManifest::Member& member, const FileRead& read)
{
    if (!read.exists) {
        return OnDrive::Nothing;
    }
    return read.hashed && read.size == member.size && read.sha256 == member.sha256 ? OnDrive::Signed
                                                                                    : OnDrive::Differs;
}

// A read of the head start stands for the file when it settles the
// question: the file was missing, of another size, or hashed whole.
bool Settles(const PackageManifest::Member& member, const FileRead& read)
{
    return !read.exists || read.size != member.size || read.hashed;
}

OnDrive Look(const PackageManifest::Member& member, const std::wstring& destination, Sha256Hasher& hasher,
             std::vector<char>& buffer, const std::atomic<bool>* cancel, FileRead& read)
{
    const std::wstring path = PathOf(destination, member.name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return OnDrive::Nothing;
    }
    const bool folder = IsFolder(member.name);
    if (folder || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return folder && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? OnDrive::Signed : OnDrive::Nothing;
    }
    read = ReadFileAt(path, member.size, hasher, buffer, nullptr, cancel);
    return read.exists && !read.hashed && read.size == member.size ? OnDrive::Nothing : VerdictOn(member, read);
}

template <typename Sizes>
std::vector<size_t> LargestFirst(size_t count, Sizes sizeOf)
{
    std::vector<size_t> order(count);
    for (size_t i = 0; i < count; ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return sizeOf(a) > sizeOf(b); });
    return order;
}

}  // namespace

HeadStart::HeadStart(const std::wstring& destination, std::vector<PackageManifest::RecordedFile> files,
                     const std::atomic<bool>* cancel)
    : m_files(std::move(files)), m_reads(m_files.size()), m_done(m_files.size(), 0)
{
    for (size_t i = 0; i < m_files.size(); ++i) {
        m_byName.emplace(m_files[i].name, i);
    }
    std::vector<size_t> order = LargestFirst(m_files.size(), [this](size_t i) { return m_files[i].size; });
    m_workers = std::make_unique<HashWorkers>(
        std::move(order),
        [this, destination, cancel](size_t i, Sha256Hasher& hasher, std::vector<char>& buffer) {
            m_reads[i] = ReadFileAt(PathOf(destination, m_files[i].name), m_files[i].size, hasher, buffer, &m_stop,
                                    cancel);
            // A read the stop or the cancel cut short settles nothing.
            m_done[i] = !(IsCancelled(&m_stop) || IsCancelled(cancel)) || m_reads[i].hashed;
        },
        HashWorkers::Cores(), &m_stop, cancel);
}

HeadStart::~HeadStart()
{
    m_stop = true;
    m_workers.reset();
}

void HeadStart::Finish()
{
    // The manifest is in: the run's own thread helps with what is left.
    m_workers->WorkHereAndJoin();
}

const FileRead* HeadStart::Find(const std::string& name) const
{
    const auto found = m_byName.find(name);
    return found != m_byName.end() && m_done[found->second] ? &m_reads[found->second] : nullptr;
}

Inventory Take(const PackageManifest::Manifest& manifest, const std::wstring& destination,
               const std::atomic<bool>* cancel, HeadStart* headStart)
{
    const std::vector<PackageManifest::Member>& members = manifest.members;
    std::vector<OnDrive> found(members.size(), OnDrive::Nothing);
    std::vector<char> settled(members.size(), 0);
    std::vector<FileRead> reads(members.size());
    if (headStart != nullptr) {
        headStart->Finish();
        for (size_t i = 0; i < members.size(); ++i) {
            const FileRead* read = IsFolder(members[i].name) ? nullptr : headStart->Find(members[i].name);
            if (read != nullptr && Settles(members[i], *read)) {
                found[i] = VerdictOn(members[i], *read);
                reads[i] = *read;
                settled[i] = 1;
            }
        }
    }
    std::vector<size_t> left;
    for (size_t i : LargestFirst(members.size(), [&](size_t i) { return members[i].size; })) {
        if (!settled[i]) {
            left.push_back(i);
        }
    }
    HashWorkers(
        std::move(left),
        [&](size_t i, Sha256Hasher& hasher, std::vector<char>& buffer) {
            found[i] = Look(members[i], destination, hasher, buffer, cancel, reads[i]);
        },
        HashWorkers::Cores() - 1, nullptr, cancel)
        .WorkHereAndJoin();

    Inventory inventory;
    inventory.onDrive.assign(found.size(), false);
    inventory.differs.assign(found.size(), false);
    inventory.files = std::move(reads);
    for (size_t i = 0; i < found.size(); ++i) {
        inventory.onDrive[i] = found[i] == OnDrive::Signed;
        inventory.differs[i] = found[i] == OnDrive::Differs;
        inventory.anyPresent = inventory.anyPresent || (found[i] != OnDrive::Nothing && !IsFolder(members[i].name));
    }
    return inventory;
}

}  // namespace DriveInventory
