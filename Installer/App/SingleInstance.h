#pragma once

#include "ScopedHandles.h"

// The installer's turn in the user session: held for the whole run by the
// one installer that runs, with a mark that tells a second start what kind
// of run holds it.
struct InstallerTurn {
    NCommon::ScopedHandle turn;  // the session-wide mutex, owned by the run's main thread
    NCommon::ScopedHandle kind;  // names a silent install or an update; none for a start by hand
};

// How long a start by hand waits for an installer that is closing. The
// closing one leaves the screen within a second and ends within about three
// (a worker stuck in a drive check is not waited for longer).
const unsigned long kWaitForClosingInstallerMs = 6000;

// One installer at a time in a user session. Call first thing, before
// anything touches the work folder: true when this run may go on, with
// `claim` holding the turn for as long as the run lasts. False when another
// installer runs: a start by hand has then brought that one's window to
// the front or shown a message that says why nothing opens; a silent
// install or an update has written one line saying why it ends, to the
// shared log.
bool ClaimTheInstallerTurn(InstallerTurn& claim);
