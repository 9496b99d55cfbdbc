#pragma once

#include <string>

#include "ZipLayer.h"

// The extraction's journal travels with the stick: a hidden file of the
// product's beside the version record, with every path relative to it, so
// that the next run settles what a run cut short left there on any PC,
// under any drive letter, with any temporary folder.
namespace InstallBackend {

std::wstring StickJournalPath(const std::wstring& destination);

// Settles what a run cut short (killed, switched off, the stick pulled)
// left on the stick, before anything reads the product's files or writes
// to the stick; says in the log what it did.
void SettleTheStick(const Extraction::ZipLayer& zip, const std::wstring& journalPath);

}  // namespace InstallBackend
