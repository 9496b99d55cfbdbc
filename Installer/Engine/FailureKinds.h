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

namespace FailureKinds {

// Which step of the run a failure came from.
enum class Step { Fetch, Extract };

// The kind of a failure caught at a step's boundary that did not say its
// own: from the refusal's words and the error number it was raised with.
FailureKind Classify(Step step, const std::string& text, DWORD lastError);

// "host:port" of the update server, for the words that name it.
std::string ServerName();

}  // namespace FailureKinds
