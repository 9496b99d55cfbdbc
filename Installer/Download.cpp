#include "Download.h"

#include "MessageError.h"

// The HTTPS transfer is not part of this build yet: say so the way a failed
// transfer does, so that the pipeline takes its ordinary failure path.
std::wstring Download(const std::wstring&, IInstallListener*, const std::atomic<bool>*, bool)
{
    throw MessageError("Sending WinHttpRequest failed");
}
