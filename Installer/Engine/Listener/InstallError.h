#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "InstallFailure.h"
#include "MessageError.h"

// A failure that knows its kind where it is raised; the run decides its
// retries, the kept download and its report from that kind alone. The
// text stays the technical one of the catch's log line; the failure's
// detail is the cause in words, for the run's last line and the caller.
class InstallError : public MessageError {
public:
    InstallError(FailureKind kind, std::string text, DWORD lastError)
        : MessageError(std::move(text), lastError)
    {
        m_failure.kind = kind;
        m_failure.detail = Text();
    }
    InstallError(InstallFailure failure, std::string text, DWORD lastError)
        : MessageError(std::move(text), lastError), m_failure(std::move(failure))
    {
        if (m_failure.detail.empty()) {
            m_failure.detail = Text();
        }
    }
    FailureKind Kind() const noexcept { return m_failure.kind; }
    const InstallFailure& Failure() const noexcept { return m_failure; }

protected:
    InstallFailure& MutableFailure() noexcept { return m_failure; }

private:
    InstallFailure m_failure;
};

// The bytes are not exactly what the vendor signed: the manifest, the
// package or one of its members.
class PackageRefusal : public InstallError {
public:
    explicit PackageRefusal(const std::string& reason)
        : InstallError(FailureKind::PackageRefused, "Package refused: " + reason, ERROR_INVALID_DATA)
    {
    }
};

// The target stick is not attached any more, or another drive has its
// letter. The line before says which check found it.
class DriveGone : public InstallError {
public:
    explicit DriveGone(std::string detail = "the drive is not among the attached USB drives")
        : InstallError(FailureKind::DriveMissing, std::move(detail), ERROR_DEV_NOT_EXIST)
    {
    }
};

// The stick has less room than the run needs.
class TooLittleRoom : public InstallError {
public:
    TooLittleRoom(uint64_t bytesFree, uint64_t bytesNeeded, std::string detail)
        : InstallError(Describe(bytesFree, bytesNeeded, std::move(detail)), "Not enough free space on the drive",
                       ERROR_DISK_FULL)
    {
    }

private:
    static InstallFailure Describe(uint64_t bytesFree, uint64_t bytesNeeded, std::string detail)
    {
        InstallFailure failure;
        failure.kind = FailureKind::LowFreeSpace;
        failure.bytesFree = bytesFree;
        failure.bytesNeeded = bytesNeeded;
        failure.detail = std::move(detail);
        return failure;
    }
};

// A write, rename or delete on the stick failed; `file` names what was
// being written. A write-protected stick is told apart, since the user can
// mend that with its switch.
class StickWriteFailure : public InstallError {
public:
    StickWriteFailure(std::string text, const std::string& file, DWORD error)
        : InstallError(Describe(file, error), std::move(text), error)
    {
    }

private:
    static InstallFailure Describe(const std::string& file, DWORD error)
    {
        InstallFailure failure;
        const bool protectedStick = error == ERROR_WRITE_PROTECT;
        failure.kind = protectedStick ? FailureKind::WriteProtected : FailureKind::WriteFailed;
        failure.detail = protectedStick ? "the drive is write-protected: writing " + file + " was refused"
                                        : "writing " + file + " on the drive failed (error " +
                                              std::to_string(static_cast<unsigned long>(error)) + ")";
        return failure;
    }
};
