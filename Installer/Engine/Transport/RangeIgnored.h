#pragma once

#include "TransportFailure.h"

// A server that answers a part of a file with the whole of it (status 200)
// ignores Range: a run that fetches parts only must take the whole file.
class RangeIgnored : public TransportFailure {
public:
    // ERROR_WINHTTP_INVALID_SERVER_RESPONSE, without pulling winhttp.h into every user.
    RangeIgnored() : TransportFailure("Unexpected HTTP response", 12152, "the whole file where a part was asked for") {}
};
