#pragma once

// The zip layer as its callers see it: open the downloaded package, describe
// and write its members under the destination (the process's current
// directory when the archive is opened), optionally staged and committed
// together, and say why a call failed. A handle is all a caller holds.

#include <windows.h>

#include <cstdint>

// Status of every operation of the extraction layer.
enum ZipStatus : uint32_t {
    ZipOk = 0,
    ZipCannotOpen = 0x200,
    ZipWriteFailed = 0x400,
    ZipCorrupt = 0x700,
    ZipReadFailed = 0x800,
    ZipPasswordMismatch = 0x1000,
    ZipBadArgument = 0x10000,
    ZipInflateFailed = 0x5000000,
};

// One member of an archive as GetZipItem describes it. For the count request
// (index -1) `index` holds the number of members and everything else is 0.
struct ZipItem {
    int32_t index;
    wchar_t name[MAX_PATH];  // cleaned name, separators as stored
    DWORD attributes;        // FILE_ATTRIBUTE_* bits
    FILETIME accessTime;
    FILETIME creationTime;
    FILETIME modificationTime;
    uint32_t compressedSize;
    uint32_t uncompressedSize;
};

struct ZipArchive;
using HZIP = ZipArchive*;

// Opens the archive at `path`. The extraction root is the process's current
// directory at this moment. Returns null on any failure.
HZIP OpenZipFile(const wchar_t* path);

// index -1: the member count; 0..count-1: that member.
ZipStatus GetZipItem(HZIP zip, int index, ZipItem* item);

// Writes member `index` under `name` (relative to the root, or a full path).
ZipStatus UnzipItem(HZIP zip, int index, const wchar_t* name);

ZipStatus CloseZipFile(HZIP zip);

// Staging: from this call on, UnzipItem leaves every member whole, flushed
// to the drive and CRC-checked in a temporary file beside its destination,
// and nothing on the drive changes until CommitZipStaging moves them all
// into place. Every temporary file and every folder the archive creates is
// recorded in the journal at `journalPath` before it is created (the folder
// just after), so that RecoverZipJournal can undo a run that never ended.
// The journal is a hidden file in the root or a folder above it, and every
// path it records is relative to its own folder: a journal an earlier run
// left at that path is settled first, and staging does not start while it
// cannot be. CloseZipFile on an
// archive that has not committed removes what was staged and the folders it
// created. Without staging, each member is moved into place as soon as it is
// whole.
ZipStatus BeginZipStaging(HZIP zip, const wchar_t* journalPath);

// Moves every staged member into place: a file in the way is moved aside
// first and removed only after the last member is in place, whatever its
// attributes; each new file then gets its item's attributes. When a move
// fails, every member moved so far is taken back and the old files return.
// The journal reaches the drive before the first move, and again with the
// commit's own line.
ZipStatus CommitZipStaging(HZIP zip);

// The bytes that staging every member of the archive takes on a volume with
// clusters of `clusterBytes` (0: exact sizes). Reads the directory only.
ZipStatus GetZipStagingBytes(HZIP zip, uint32_t clusterBytes, uint64_t* bytes);

// Settles the journal an earlier run left: undoes a run that did not
// commit, finishes one that did. Its paths are relative to the journal's own
// folder, so that it settles under any drive letter; a journal with a line
// that names anything a staging run does not make there (a full path, a way
// up, a file that is no temporary twin) is not acted on at all, and goes.
// The journal goes once nothing of it is left to do; it stays while its
// drive cannot be reached or a file of it cannot be removed. True when it
// is gone (or there was none).
bool RecoverZipJournal(const wchar_t* journalPath);

// Sees a file member's data as UnzipItem writes it, and has the last word
// on it: a member it refuses is never staged or moved into place. The layer
// knows nothing of what the check compares; its caller does.
class IZipMemberCheck {
public:
    virtual ~IZipMemberCheck() = default;
    virtual void Begin(int index) = 0;
    virtual void Data(const void* bytes, uint32_t count) = 0;
    // Once the data is whole and its CRC matched; false refuses it.
    virtual bool Accept(int index) = 0;
};

// Null stops checking. A null handle gives ZipBadArgument.
ZipStatus SetZipMemberCheck(HZIP zip, IZipMemberCheck* check);

// Adds a file of the caller's, with these bytes, at `name` under the root
// to what the commit moves into place, as if it were a member: staged,
// journalled and committed with them, or not at all.
ZipStatus StageZipFile(HZIP zip, const wchar_t* name, const void* bytes, uint32_t count);

// Why the last GetZipItem or UnzipItem on an archive failed. The layer logs
// nothing itself; this is what its caller tells the user's support desk.
enum class ZipFailureCause : uint32_t {
    None,
    DamagedDirectory,       // a central directory entry cannot be read
    DamagedHeader,          // the local header disagrees with the directory
    UnsupportedMember,      // compression method or sizes the layer cannot take
    UnsafeName,             // the name would leave the destination or reach a device
    PathTooLong,            // the name or the output path does not fit
    Encrypted,              // a password would be needed
    DamagedData,            // the data cannot be inflated
    CrcMismatch,            // the data inflated but is not what was stored
    CannotCreate,           // the file (or its temporary twin) cannot be created
    WriteError,             // writing the file failed
    CannotReplace,          // the whole file could not be moved into place
    FolderInTheWay,         // a folder stands where the file goes
    JournalFailed,          // the journal could not record the step
    ContentRefused,         // the caller's member check refused the data
    BadArgument,
};
struct ZipFailure {
    ZipFailureCause cause;
    // The platform's error number; for causes of the archive itself, the
    // number that names them best (ERROR_CRC for a CRC mismatch, ...). The
    // failing call also leaves it as the thread's last error.
    DWORD systemError;
    // The member's stored name as far as it could be read, else empty.
    wchar_t name[MAX_PATH];
};
// A null handle gives BadArgument.
ZipFailure GetZipFailure(HZIP zip);
// "CRC mismatch", "unsafe name", ...
const char* ZipFailureText(ZipFailureCause cause);

// Hears of a step on the drive that had to wait because another program
// held the file (a virus scanner that opened it the moment it was
// written): once per file, with the refusal it waited out, how long, and
// whether the step was taken in the end.
class IZipWaitListener {
public:
    virtual ~IZipWaitListener() = default;
    virtual void Waited(const wchar_t* path, DWORD error, DWORD milliseconds, bool succeeded) = 0;
};

// Null stops listening. A null handle gives ZipBadArgument.
ZipStatus SetZipWaitListener(HZIP zip, IZipWaitListener* listener);

// Adds a file that the commit removes, at `name` under the root: moved
// aside with the members and gone once they are all in place, back where
// it was if the commit fails. A name that ends in a separator is a folder:
// it goes after the commit, and only when nothing is left in it. A file
// that is not there, or that a member replaces, is passed over.
ZipStatus RemoveZipFileOnCommit(HZIP zip, const wchar_t* name);

// Sees every seek and read the directory reader makes on an open archive's
// file. Nothing in the product watches; tests use it to show which parts of
// the file each call touches (the cache and the forward walk exist to spare
// those reads).
class IZipIoObserverForTesting {
public:
    virtual ~IZipIoObserverForTesting() = default;
    // `position` is where the file pointer stands after the seek.
    virtual void OnSeek(uint64_t position) = 0;
    virtual void OnRead(uint64_t position, uint32_t bytes) = 0;
};

// Null stops watching. A null handle gives ZipBadArgument.
ZipStatus SetZipIoObserverForTesting(HZIP zip, IZipIoObserverForTesting* observer);
