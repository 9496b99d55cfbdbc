// The logging library's storage, once for the whole program. It sits in the
// lowest layer that logs, so that the engine and its tests have it without
// the application shell that configures where the lines go.
#include "easylogging++.h"

INITIALIZE_EASYLOGGINGPP
