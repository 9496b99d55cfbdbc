#pragma once

// The journal of a staging archive on the drive: the file its steps are
// written to before they are taken, and settling what a journal records.
// What the lines say and how a journal is undone or finished are rules of
// their own (ZipRules.h); this is where they meet the file system.

#include <string>
#include <vector>

#include "ScopedHandles.h"
#include "ZipBusyRetry.h"
#include "ZipRules.h"

namespace ZipLayer {

// The journal of one archive: the steps in memory and, while staging, in a
// hidden file on the drive, with its paths relative to the file's folder.
// Each step reaches the file before the step is taken; what is in the
// system's cache survives a killed process.
class Journal {
public:
    Journal() = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // A journal an earlier run left at `path` is settled first; false
    // (with the thread's last error) when it cannot be, or the file cannot
    // be made.
    bool Open(const std::u16string& path, BusyRetry& retry);
    // False when the step cannot be recorded, and must not be taken: the
    // file cannot be written, or a path lies outside the journal's folder.
    bool Record(const ZipRules::JournalEntry& entry);
    // Before the moves begin, and once they are all done, the steps so far
    // are pushed through to the drive, so that a power cut or a stick pulled
    // with its write cache on is covered too.
    bool Flush();
    // Everything recorded is settled: start afresh.
    void Clear();
    // The archive is closed: the file goes when nothing is left to settle,
    // and stays for the next run otherwise.
    void Close(bool settled, BusyRetry& retry);

    // With full paths.
    std::vector<ZipRules::JournalEntry> entries;

private:
    NCommon::ScopedHandle m_file;
    std::u16string m_path;
    std::u16string m_folder;
};

// Settles a journal on the drive (entries with full paths). A drive that
// cannot be reached (pulled) shows every file as absent, which would pass
// for settled: the journal is then kept for a run that finds the drive
// again.
bool SettleOnDrive(const std::vector<ZipRules::JournalEntry>& entries, BusyRetry& retry);

// Removes a file whatever its attributes, waiting for a program that holds it.
bool DeleteWholly(const std::u16string& path, BusyRetry& retry);

// Settles the journal file at `path` as RecoverZipJournal describes.
bool SettleJournalFile(const std::u16string& path, BusyRetry& retry);

// What an earlier run left at a journal's path.
struct JournalText {
    enum State { Absent, Unreadable, Read } state;
    std::u16string text;
};
JournalText ReadJournalText(const wchar_t* path);

}  // namespace ZipLayer
