#include "KeptDownload.h"

#include <winioctl.h>

#include "DeltaPlan.h"
#include "KeptRecord.h"
#include "MessageError.h"
#include "SmallFile.h"
#include "easylogging++.h"

namespace {

// A killed process loses at most this much of what it fetched.
constexpr uint64_t kSaveEvery = 1024 * 1024;

// Far more than the record of a package of 65535 members, each fetched apart.
constexpr uint32_t kMaxRecordBytes = 8 * 1024 * 1024;

// Empty when there is none, or none of ours.
std::string ReadRecord(const std::wstring& path)
{
    std::string text;
    return NCommon::ReadSmallFile(path, kMaxRecordBytes, text) == NCommon::SmallFileRead::Read ? text
                                                                                                : std::string();
}

}  // namespace

KeptDownload::KeptDownload(std::wstring packagePath, std::wstring recordPath)
    : m_packagePath(std::move(packagePath)), m_recordPath(std::move(recordPath))
{
}

KeptDownload::~KeptDownload()
{
    try {
        if (m_kept.empty()) {
            Discard();
        } else {
            Close();
        }
    } catch (...) {
        // A record that cannot be written only costs the next run bytes.
    }
}

std::string KeptDownload::RecordText() const
{
    return KeptRecord::Format(m_packageSha256, m_packageSize, m_kept);
}

void KeptDownload::Open(const PackageManifest::Manifest& manifest)
{
    m_file.reset();
    m_packageSha256 = manifest.packageSha256;
    m_packageSize = manifest.packageSize;
    m_kept.clear();
    // The record must name this package; its ranges must lie inside it.
    m_kept = KeptRecord::Parse(ReadRecord(m_recordPath), m_packageSha256, m_packageSize);
    if (!m_kept.empty()) {
        m_file.reset(CreateFileW(m_packagePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        LARGE_INTEGER size{};
        if (!m_file.valid() || !GetFileSizeEx(m_file.get(), &size) ||
            static_cast<uint64_t>(size.QuadPart) != m_packageSize) {
            m_kept.clear();
            m_file.reset();
        } else {
            LOG(INFO) << "Kept from an earlier run: " << KeptBytes() << " bytes of the package in "
                      << m_kept.size() << " pieces";
        }
    }
    if (m_kept.empty()) {
        DeleteFileW(m_recordPath.c_str());
        m_file.reset(CreateFileW(m_packagePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr));
        if (!m_file.valid()) {
            throw MessageError("Failed to create a temp file");
        }
        // Sparse where the file system can: the parts never fetched take no
        // room on the PC's disk.
        DWORD returned = 0;
        DeviceIoControl(m_file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
        LARGE_INTEGER size{};
        size.QuadPart = static_cast<LONGLONG>(m_packageSize);
        if (!SetFilePointerEx(m_file.get(), size, nullptr, FILE_BEGIN) || !SetEndOfFile(m_file.get())) {
            throw MessageError("Failed to write the package file");
        }
    }
    m_unsaved = 0;
}

bool KeptDownload::Holds(const ByteRange& range) const
{
    for (const ByteRange& have : m_kept) {
        if (have.first <= range.first && range.last <= have.last) {
            return true;
        }
    }
    return false;
}

uint64_t KeptDownload::KeptBytes() const
{
    uint64_t bytes = 0;
    for (const ByteRange& range : m_kept) {
        bytes += range.Size();
    }
    return bytes;
}

std::string KeptDownload::Read(const ByteRange& range)
{
    std::string bytes(static_cast<size_t>(range.Size()), '\0');
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(range.first);
    at.OffsetHigh = static_cast<DWORD>(range.first >> 32);
    DWORD got = 0;
    if (!m_file.valid() || !ReadFile(m_file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, &at) ||
        got != bytes.size()) {
        throw MessageError("Cannot read the package file");
    }
    return bytes;
}

void KeptDownload::Write(uint64_t offset, const void* bytes, uint32_t count)
{
    if (count == 0) {
        return;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    if (!m_file.valid() || offset + count > m_packageSize ||
        !WriteFile(m_file.get(), bytes, count, &written, &at) || written != count) {
        LOG(ERROR) << "Writing the package file failed at byte " << offset;
        throw MessageError("Failed to write the package file", ERROR_WRITE_FAULT);
    }
    DeltaPlan::AddRange(m_kept, {offset, offset + count - 1});
    m_unsaved += count;
    if (m_unsaved >= kSaveEvery) {
        SaveRecord();
    }
}

// The new record replaces the old one whole: a process killed halfway
// leaves one or the other.
void KeptDownload::SaveRecord()
{
    m_unsaved = 0;
    const std::wstring next = m_recordPath + L".new";
    {
        std::ofstream file(next.c_str(), std::ios::binary | std::ios::trunc);
        file << RecordText();
        if (!file) {
            return;
        }
    }
    MoveFileExW(next.c_str(), m_recordPath.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void KeptDownload::Close()
{
    if (m_file.valid()) {
        SaveRecord();
        m_file.reset();
    }
}

void KeptDownload::Discard()
{
    m_file.reset();
    m_kept.clear();
    DeleteFileW(m_recordPath.c_str());
    DeleteFileW(m_packagePath.c_str());
}
