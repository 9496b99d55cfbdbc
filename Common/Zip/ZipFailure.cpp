// Why a call of the layer failed, as its caller tells the user's support
// desk: the cause, the platform's error number that goes with it, the
// member's name, and the words for each cause. The layer logs nothing
// itself; these are the only texts it has.

#include "ZipArchiveState.h"

namespace {

// For causes of the archive itself, the platform's error number that names
// them best.
DWORD ErrorOfCause(ZipFailureCause cause)
{
    switch (cause) {
    case ZipFailureCause::CrcMismatch:
        return ERROR_CRC;
    case ZipFailureCause::UnsafeName:
        return ERROR_INVALID_NAME;
    case ZipFailureCause::PathTooLong:
        return ERROR_FILENAME_EXCED_RANGE;
    case ZipFailureCause::UnsupportedMember:
    case ZipFailureCause::Encrypted:
        return ERROR_NOT_SUPPORTED;
    case ZipFailureCause::FolderInTheWay:
        return ERROR_ALREADY_EXISTS;
    case ZipFailureCause::BadArgument:
        return ERROR_INVALID_PARAMETER;
    case ZipFailureCause::ContentRefused:
        return ERROR_INVALID_DATA;
    default:
        return ERROR_FILE_CORRUPT;
    }
}

}  // namespace

ZipStatus ZipArchive::Fail(ZipStatus status, ZipFailureCause cause, DWORD error)
{
    failure.cause = cause;
    failure.systemError = error != 0 ? error : ErrorOfCause(cause);
    return status;
}

void ZipArchive::NameFailure(const wchar_t* name)
{
    lstrcpynW(failure.name, name, static_cast<int>(ZipRules::kMaxPath));
}

const char* ZipFailureText(ZipFailureCause cause)
{
    switch (cause) {
    case ZipFailureCause::None:
        return "no failure";
    case ZipFailureCause::DamagedDirectory:
        return "damaged central directory";
    case ZipFailureCause::DamagedHeader:
        return "damaged local header";
    case ZipFailureCause::UnsupportedMember:
        return "unsupported compression or size";
    case ZipFailureCause::UnsafeName:
        return "unsafe name";
    case ZipFailureCause::PathTooLong:
        return "name or path too long";
    case ZipFailureCause::Encrypted:
        return "encrypted";
    case ZipFailureCause::DamagedData:
        return "damaged data";
    case ZipFailureCause::CrcMismatch:
        return "CRC mismatch";
    case ZipFailureCause::CannotCreate:
        return "cannot create the file";
    case ZipFailureCause::WriteError:
        return "write error";
    case ZipFailureCause::CannotReplace:
        return "cannot move the file into place";
    case ZipFailureCause::FolderInTheWay:
        return "a folder of that name is in the way";
    case ZipFailureCause::JournalFailed:
        return "cannot record the step in the journal";
    case ZipFailureCause::ContentRefused:
        return "content refused by its check";
    case ZipFailureCause::BadArgument:
        return "bad argument";
    }
    return "unknown";
}
