#pragma once

// The journal of a staging archive on the drive: the file its steps are
// written to before they are taken, and settling what a journal records.
// What the lines say and how a journal is undone or finished are rules of
// their own (ZipRules.h); this is where they meet the file system.

#include <string>
#include <vector>

#include "ScopedHandles.h"
#include "ZipRules.h"

namespace ZipLayer {

// The journal of one archive: the steps in memory and, while staging, in a
// file in the work folder. Each step reaches the file before the step is
// taken; what is in the system's cache survives a killed process.
class Journal {
public:
    Journal() = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    bool Open(const std::u16string& path);
    bool Record(const ZipRules::JournalEntry& entry);
    // Before the moves begin, and once they are all done, the steps so far
    // are pushed through to the disk, so that a power cut is covered too.
    void Flush();
    // Everything recorded is settled: start afresh.
    void Clear();
    // The archive is closed: the file goes when nothing is left to settle,
    // and stays for the next run otherwise.
    void Close(bool settled);

    std::vector<ZipRules::JournalEntry> entries;

private:
    NCommon::ScopedHandle m_file;
    std::u16string m_path;
};

// Settles a journal on the drive. A drive that cannot be reached (pulled)
// shows every file as absent, which would pass for settled: the journal is
// then kept for a run that finds the drive again.
bool SettleOnDrive(const std::vector<ZipRules::JournalEntry>& entries);

// What an earlier run left at a journal's path.
struct JournalText {
    enum State { Absent, Unreadable, Read } state;
    std::u16string text;
};
JournalText ReadJournalText(const wchar_t* path);

}  // namespace ZipLayer
