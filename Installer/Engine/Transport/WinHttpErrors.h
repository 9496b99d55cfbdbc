#pragma once

#include <windows.h>

#include <string>

// What a WinHTTP error number means, in the words a support desk reads,
// and whether the request never got an answer at all.
namespace WinHttpErrors {

// "connection refused", "name not resolved", "timed out", ...; an error
// outside the table is "error N".
std::string Meaning(DWORD error);

// The errors of a request that never got an answer: the user's network,
// the name service, a proxy or a firewall is in the way, or the server's
// certificate is not one the PC trusts. Each is helped by the same advice.
bool Unreached(DWORD error);

// "connection refused (WinHTTP error 12029)": the words beside the number.
std::string Described(DWORD error);

}  // namespace WinHttpErrors
