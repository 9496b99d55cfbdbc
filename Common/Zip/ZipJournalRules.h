#pragma once

// The rules of the journal that travels with the drive: it is written in
// the product's folder with every path relative to that folder, so that it
// still means the same files when the drive comes back under another
// letter, on another machine. Whoever has the drive can write that file
// too: before a run acts on a journal it finds there, every line must name
// only what a staging run makes (its temporary twins, files moved aside,
// folders), inside that folder. Pure, like the other rules, so that the
// native build fuzzes it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ZipRules.h"

namespace ZipRules {

// The file part of a name TempNameBeside makes: "~ql", four hexadecimal
// digits, ".tmp" (either case).
bool IsStagingName(const std::u16string& fileName);

// `path` relative to `folder` (which ends in a separator): "/" and "\"
// are one, case is folded and an extended-length prefix on either is
// passed over. Empty when `path` is not inside `folder`.
std::u16string RelativeToFolder(const std::u16string& path, const std::u16string& folder);

// Why a journal found on the drive is not acted on.
enum class JournalRefusal {
    None,
    NotRelative,    // a path that is full, climbs out, or reaches a device
    NotStaged,      // a name the run could not have made (no staging name)
    OtherFolder,    // a temporary twin or a file moved aside away from its own
};
// The first refusal of any line; one bad line refuses the whole journal,
// since acting on the rest of it could undo half a step.
JournalRefusal CheckFoundJournal(const std::vector<JournalEntry>& entries);

// The entries with each path under `folder`. A path too long for the usual
// form gets the extended one; nothing when there is none.
std::optional<std::vector<JournalEntry>> ResolveInFolder(const std::vector<JournalEntry>& entries,
                                                         const std::u16string& folder);

// How long to wait before each further try of a step a virus scanner holds
// up (the file opened without sharing the moment it was written): short at
// first, since most scans end within a few milliseconds, and about two
// seconds in all before the step counts as failed.
const std::vector<uint32_t>& BusyWaitMilliseconds();

}  // namespace ZipRules
