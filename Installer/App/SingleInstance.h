#pragma once

#include "ScopedHandles.h"

// One installer at a time in a user session. Call first thing, before
// anything touches the work folder: true when this run may go on, with
// `claim` holding the session-wide name for as long as the run lasts. False
// when another installer runs: an interactive start has then brought that
// one's window to the front; a silent install or an update has written one
// line saying why it ends, to the shared log.
bool ClaimTheInstallerTurn(NCommon::ScopedHandle& claim);
