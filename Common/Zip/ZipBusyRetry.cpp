#include "ZipBusyRetry.h"

#include <algorithm>

#include "ZipJournalRules.h"
#include "ZipWidePaths.h"

namespace ZipLayer {
namespace {

// What a scanner's open handle makes a rename or a delete fail with.
bool HeldByAnotherProgram(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// Answers that another try cannot change.
bool Final(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
    case ERROR_DIR_NOT_EMPTY:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return true;
    default:
        return false;
    }
}

}  // namespace

bool BusyRetry::Run(const std::u16string& path, const std::function<bool()>& step)
{
    const std::vector<uint32_t>& waits = ZipRules::BusyWaitMilliseconds();
    size_t nextWait = 0;
    DWORD waited = 0;
    DWORD heldWith = ERROR_SUCCESS;
    bool triedAgain = false;
    for (;;) {
        if (step()) {
            Report(path, heldWith, waited, true);
            return true;
        }
        const DWORD error = GetLastError();
        if (HeldByAnotherProgram(error) && nextWait < waits.size()) {
            heldWith = error;
            Sleep(waits[nextWait]);
            waited += waits[nextWait++];
            continue;
        }
        if (!HeldByAnotherProgram(error) && !Final(error) && !triedAgain) {
            triedAgain = true;
            continue;
        }
        Report(path, heldWith, waited, false);
        SetLastError(error);
        return false;
    }
}

void BusyRetry::Report(const std::u16string& path, DWORD heldWith, DWORD waited, bool done)
{
    if (waited == 0 || m_listener == nullptr ||
        std::find(m_reported.begin(), m_reported.end(), path) != m_reported.end()) {
        return;
    }
    m_reported.push_back(path);
    m_listener->Waited(AsWide(path), heldWith, waited, done);
}

}  // namespace ZipLayer
