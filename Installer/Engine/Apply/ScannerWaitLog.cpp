#include "ScannerWaitLog.h"

#include "TextConversion.h"
#include "easylogging++.h"

void ScannerWaitLog::Waited(const wchar_t* path, DWORD error, DWORD milliseconds, bool succeeded)
{
    if (succeeded) {
        LOG(INFO) << "Waited " << milliseconds << " ms for " << ToUtf8(path)
                  << ", which another program held (error " << static_cast<unsigned long>(error) << ")";
    } else {
        LOG(ERROR) << "Gave up on " << ToUtf8(path) << " after " << milliseconds
                   << " ms: another program holds it (error " << static_cast<unsigned long>(error) << ")";
    }
}
