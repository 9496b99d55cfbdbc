#pragma once

#include <cstdint>
#include <string>

// Why a run ended without installing, as the engine knew it at the moment
// it failed. The windows tell the user from the kind, never from the log's
// words; the log keeps its own lines.
enum class FailureKind {
    None = 0,
    // The user stopped the run.
    Cancelled,
    // The target stick is not attached, or another drive has its letter.
    DriveMissing,
    // Too little room on the stick: bytesFree against bytesNeeded.
    LowFreeSpace,
    // The update server could not be reached (no connection, name not
    // resolved, refused, timed out, a proxy in the way): `server` says which.
    NoConnection,
    // The server answered, but with an error or not the package.
    ServerError,
    // The bytes are not exactly what the vendor signed: nothing was installed.
    PackageRefused,
    // The stick refuses writes (write-protected, read-only).
    WriteProtected,
    // A write, rename or delete on the stick failed.
    WriteFailed,
    // Everything was ready, but the caller held the commit (the installed
    // program did not quit): the stick is as it was.
    CommitHeld,
    // A fault of the installer itself.
    Internal,
};

struct InstallFailure {
    FailureKind kind = FailureKind::None;
    // LowFreeSpace: what the stick has and what the run needs, in bytes.
    uint64_t bytesFree = 0;
    uint64_t bytesNeeded = 0;
    // NoConnection and ServerError: "host:port" of the server asked.
    std::string server;
    // The cause in the log's words, for the log and for support.
    std::string detail;
};
