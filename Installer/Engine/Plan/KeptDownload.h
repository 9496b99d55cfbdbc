#pragma once

// The package as far as it has come, kept in the per-drive work folder so
// that a run cut short (cancelled, network lost, stick pulled, process
// killed) costs the next run nothing it already had: a file of the
// package's signed size holding every fetched byte at its offset, and a
// small record of which bytes those are and of which package. What the
// record names is only as good as the checks the run makes before use: the
// tail's signed hash, each member's signed hash as it is extracted, the
// whole package's when it is whole.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ByteRange.h"
#include "Download.h"
#include "PackageManifest.h"
#include "ScopedHandles.h"

class KeptDownload : public IRangeSink {
public:
    KeptDownload(std::wstring packagePath, std::wstring recordPath);
    // Keeps what came if anything did, else removes the file.
    ~KeptDownload() override;
    KeptDownload(const KeptDownload&) = delete;
    KeptDownload& operator=(const KeptDownload&) = delete;

    // Takes what an earlier run kept of this very package (its signed size
    // and SHA-256); anything else there is discarded. Raises MessageError
    // when the file cannot be made.
    void Open(const PackageManifest::Manifest& manifest);
    // The bytes the file holds, in order.
    const std::vector<ByteRange>& Kept() const { return m_kept; }
    bool Holds(const ByteRange& range) const;
    uint64_t KeptBytes() const;
    // Bytes of the file, read back.
    std::string Read(const ByteRange& range);

    void Write(uint64_t offset, const void* bytes, uint32_t count) override;

    // Writes the record and lets go of the file, so that the zip layer can
    // open it; what is kept stays.
    void Close();
    // Nothing of it is worth keeping: both files go.
    void Discard();

    const std::wstring& PackagePath() const { return m_packagePath; }

private:
    void SaveRecord();
    std::string RecordText() const;

    std::wstring m_packagePath;
    std::wstring m_recordPath;
    NCommon::ScopedHandle m_file;
    PackageManifest::Sha256 m_packageSha256{};
    uint64_t m_packageSize = 0;
    std::vector<ByteRange> m_kept;
    uint64_t m_unsaved = 0;
};
