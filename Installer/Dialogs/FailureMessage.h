#pragma once

#include <string>

#include "InstallFailure.h"

// What the progress dialog says when a run failed: a headline, and under
// it the cause in a user's words with what to do next.
struct FailureMessage {
    std::wstring headline;
    std::wstring advice;
};

// The headline from the engine's error reason alone. A letter 0 ends the
// text there.
std::wstring FailureText(bool appUpdateMode, int errorReason, wchar_t driveLetter);

// The whole message for a failed run, chosen from what the engine said
// failed; `errorReason` is the reason it set (the headline's), `failure`
// what it handed the listener (kind None when it handed nothing).
FailureMessage DescribeFailure(bool appUpdateMode, int errorReason, const InstallFailure& failure,
                               wchar_t driveLetter);

// After a pulled stick, Try again while it is still away.
std::wstring StillMissingAdvice(wchar_t driveLetter);
