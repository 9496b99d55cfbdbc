#pragma once

#include <atomic>

// The caller's cancel flag, which the engine reads at fixed points; no flag
// at all (the silent install) never cancels.
inline bool IsCancelled(const std::atomic<bool>* cancel)
{
    return cancel != nullptr && cancel->load();
}
