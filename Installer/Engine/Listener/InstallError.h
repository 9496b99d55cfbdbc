#pragma once

#include <windows.h>

#include <string>

#include "InstallFailure.h"
#include "MessageError.h"

// A failure that knows its kind where it is raised; the run reports that
// kind rather than guessing it from the text.
class InstallError : public MessageError {
public:
    InstallError(FailureKind kind, std::string text, DWORD lastError)
        : MessageError(std::move(text), lastError), m_kind(kind)
    {
    }
    FailureKind Kind() const noexcept { return m_kind; }

private:
    FailureKind m_kind;
};
