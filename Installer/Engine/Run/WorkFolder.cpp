#include "WorkFolder.h"

#include <windows.h>

#include "TextConversion.h"
#include "easylogging++.h"

namespace InstallBackend {
namespace {

const wchar_t kJournalFileName[] = L"Extract.journal";

}  // namespace

std::wstring FoldDoubleBackslashes(const std::wstring& path)
{
    std::wstring folded;
    folded.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        folded += path[i];
        if (path[i] == L'\\' && i + 1 < path.size() && path[i + 1] == L'\\') {
            ++i;
        }
    }
    return folded;
}

std::wstring JournalPath(const std::wstring& perDriveWorkFolder)
{
    return perDriveWorkFolder + kJournalFileName;
}

std::wstring PerDriveWorkFolder(const std::wstring& workFolder, const std::wstring& driveRoot)
{
    return FoldDoubleBackslashes(workFolder + L"\\QL_Install_" + driveRoot.substr(0, 1) + L"\\");
}

void SettleUnfinishedRuns(const std::wstring& workFolder, const Extraction::ZipLayer& zip)
{
    if (zip.recover == nullptr) {
        return;
    }
    const std::wstring pattern = FoldDoubleBackslashes(workFolder + L"\\QL_Install_*");
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            continue;
        }
        const std::wstring journal =
            JournalPath(FoldDoubleBackslashes(workFolder + L"\\" + found.cFileName + L"\\"));
        if (GetFileAttributesW(journal.c_str()) == INVALID_FILE_ATTRIBUTES) {
            continue;
        }
        if (zip.recover(journal.c_str())) {
            LOG(INFO) << "Removed what an unfinished run left, as its journal " << ToUtf8(journal) << " records";
        } else {
            LOG(ERROR) << "Kept the journal " << ToUtf8(journal) << " of an unfinished run: its drive is not there";
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace InstallBackend
