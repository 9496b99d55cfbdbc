#pragma once

#include "InstallFailure.h"

// What the run does after a failure, decided on its kind alone.
namespace FailurePolicy {

enum class Retry {
    // Nothing a second attempt could change: the stick, the user, the caller.
    None,
    // Once more through the automatic proxy, or direct where there is none:
    // the network or the server may answer the second time.
    ThroughProxy,
    // Once more only through a proxy the look-up actually found: a proxy or
    // a cache in the way may have damaged the bytes; the server's own bytes
    // are refused again however often they are fetched.
    ThroughFoundProxyOnly,
};
Retry RetryFor(FailureKind kind);

// Whether what was downloaded stays for the next run: every failure that
// says nothing against the package's bytes keeps it.
bool KeepsDownload(FailureKind kind);

// The listener's reason code for the kind (IInstallListener::Reason).
int ReasonFor(FailureKind kind);

}  // namespace FailurePolicy
