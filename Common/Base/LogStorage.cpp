// The logging library's storage, once for the whole program. It sits in the
// lowest layer, so that every layer that logs, and its tests, have it
// without the application shell that configures where the lines go.
#include "easylogging++.h"

INITIALIZE_EASYLOGGINGPP
