#include "ZipLayer.h"

#include <cstdio>

#include "MessageError.h"
#include "TextConversion.h"
#include "easylogging++.h"

namespace Extraction {

DWORD ExplainZipFailure(const ZipLayer& zip, HZIP handle, ZipStatus status, const std::string& what)
{
    const DWORD thread = GetLastError();
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%X", static_cast<unsigned>(status));
    if (zip.describeFailure == nullptr) {
        LOG(ERROR) << "Zip " << what << ": status " << hex << ", error "
                   << static_cast<unsigned long>(thread);
        return thread;
    }
    const ZipFailure failure = zip.describeFailure(handle);
    std::string stored;
    if (failure.name[0] != L'\0' && ToUtf8(failure.name) != what) {
        stored = " (stored as \"" + ToUtf8(failure.name) + "\")";
    }
    LOG(ERROR) << "Zip " << what << stored << ": status " << hex << ", "
               << ZipFailureText(failure.cause) << ", error "
               << static_cast<unsigned long>(failure.systemError);
    return failure.systemError;
}

int CountEntries(const ZipLayer& zip, HZIP handle)
{
    ZipItem item{};
    const ZipStatus status = zip.getItem(handle, -1, &item);
    if (status != ZipOk) {
        throw MessageError("Reading the package's directory failed",
                           ExplainZipFailure(zip, handle, status, "the count"));
    }
    return item.index;
}

}  // namespace Extraction
