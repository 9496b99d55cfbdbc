#pragma once

// What the destination already holds of a signed package: each member's
// file (or folder) on the drive, set against its signed size and SHA-256.
// A file that is there but differs (changed by the new version, or damaged
// by a failing stick or by malware on a PC it was plugged into) counts as
// missing: the run fetches it again.

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "PackageManifest.h"

namespace DriveInventory {

// One file as it was read from the drive.
struct FileRead {
    bool exists = false;
    uint64_t size = 0;
    // Whether sha256 is the hash of the whole file.
    bool hashed = false;
    PackageManifest::Sha256 sha256{};
};

struct Inventory {
    // Per manifest member: the drive holds exactly the signed bytes.
    std::vector<bool> onDrive;
    // Per manifest member: a file is there, but not the signed one.
    std::vector<bool> differs;
    // Per manifest member: its file as it was read, which a binary patch
    // may start from.
    std::vector<FileRead> files;
    // Whether anything of the product is there at all.
    bool anyPresent = false;
};

class HashWorkers;

// Reading the product is most of what an update that changes little costs,
// and fetching the new manifest is mostly waiting: so the files that the
// drive's version record names are read on threads of their own from the
// start of the run. Only a read that finished counts; the manifest, once in,
// still decides what each file must be.
class HeadStart {
public:
    HeadStart(const std::wstring& destination, std::vector<PackageManifest::RecordedFile> files,
              const std::atomic<bool>* cancel);
    // Stops the reading, and waits for the file each thread is on.
    ~HeadStart();
    HeadStart(const HeadStart&) = delete;
    HeadStart& operator=(const HeadStart&) = delete;

    // Waits until every named file has been read (or the cancel flag ended
    // the reading); then what was read of `name`, if it was read whole.
    void Finish();
    const FileRead* Find(const std::string& name) const;

private:
    std::vector<PackageManifest::RecordedFile> m_files;
    std::vector<FileRead> m_reads;
    std::vector<char> m_done;
    std::unordered_map<std::string, size_t> m_byName;
    std::atomic<bool> m_stop{false};
    std::unique_ptr<HashWorkers> m_workers;
};

// Reads every listed file under `destination` that `headStart` (if any) did
// not read already. Stops early (leaving the rest as missing) when `cancel`
// is set.
Inventory Take(const PackageManifest::Manifest& manifest, const std::wstring& destination,
               const std::atomic<bool>* cancel, HeadStart* headStart = nullptr);

}  // namespace DriveInventory
