#pragma once

#include <windows.h>

#include <string>

#include "InstallError.h"
#include "InstallFailure.h"

namespace FailureKinds {

// Which step of the run a failure came from.
enum class Step { Fetch, Extract };

// The kind of a failure caught at a step's boundary that did not say its
// own: from the refusal's words and the error number it was raised with.
FailureKind Classify(Step step, const std::string& text, DWORD lastError);

// "host:port" of the update server, for the words that name it.
std::string ServerName();

}  // namespace FailureKinds
