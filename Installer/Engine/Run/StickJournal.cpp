#include "StickJournal.h"

#include <windows.h>

#include "JoinPath.h"
#include "TextConversion.h"
#include "easylogging++.h"

namespace InstallBackend {
namespace {

// Hidden, beside the version record "Quillon.version".
constexpr wchar_t kStickJournalName[] = L"Quillon.journal";

}  // namespace

std::wstring StickJournalPath(const std::wstring& destination)
{
    return NCommon::JoinPath(destination, kStickJournalName);
}

void SettleTheStick(const Extraction::ZipLayer& zip, const std::wstring& journalPath)
{
    if (zip.recover == nullptr || GetFileAttributesW(journalPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if (zip.recover(journalPath.c_str())) {
        LOG(INFO) << "Removed what an unfinished run left, as its journal " << ToUtf8(journalPath) << " records";
    } else {
        LOG(ERROR) << "Kept the journal " << ToUtf8(journalPath)
                   << " of an unfinished run: not everything it records could be settled yet";
    }
}

}  // namespace InstallBackend
