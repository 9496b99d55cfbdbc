#pragma once

#include <string>

#include "ZipLayer.h"

// The installer's work folder: one folder per drive, with the run's
// manifest and the extraction's journal in it.
namespace InstallBackend {

// Path rules, kept apart so they can be checked on their own.
// workFolder + "\QL_Install_" + letter + "\", with doubled backslashes folded.
std::wstring PerDriveWorkFolder(const std::wstring& workFolder, const std::wstring& driveRoot);
// Where an earlier version of the installer kept the journal of the
// extraction onto one drive: its per-drive work folder. Such a journal is
// settled only as far as it keeps to the rules of the one on the stick.
std::wstring JournalPath(const std::wstring& perDriveWorkFolder);
// Replaces each pair of backslashes, left to right without overlap, by one.
std::wstring FoldDoubleBackslashes(const std::wstring& path);

// Settles what runs that never ended (killed, power lost) left on their
// drives, from their journals in the work folder.
void SettleUnfinishedRuns(const std::wstring& workFolder, const Extraction::ZipLayer& zip);

// The manifest never outlives a run, whichever way the run ends; this also
// removes one that an earlier, interrupted run left behind.
class PackageFileRemover {
public:
    explicit PackageFileRemover(std::wstring path) : m_path(std::move(path)) {}
    ~PackageFileRemover() { DeleteFileW(m_path.c_str()); }
    PackageFileRemover(const PackageFileRemover&) = delete;
    PackageFileRemover& operator=(const PackageFileRemover&) = delete;

private:
    std::wstring m_path;
};

}  // namespace InstallBackend
