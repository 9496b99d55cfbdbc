#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <optional>
#include <string>

#include "DownloadRun.h"
#include "ResponseRules.h"

// The head of a response as the rules read it, and its log lines.
namespace DownloadDetail {

// A header of the response as text; empty when the response has none.
// `error` receives why it could not be read.
std::optional<std::string> HeaderText(HINTERNET request, DWORD query, DWORD* error = nullptr);
ResponseRules::ResponseHead ReadHead(HINTERNET request);
// One info line per request: what was asked, what came back, how much of it.
void LogResponse(const std::string& asked, const ResponseRules::ResponseHead& head, uint64_t bytes);
// A response that is not what was asked for: its bytes never join the
// package, and the attempt fails.
[[noreturn]] void RefuseResponse(const std::string& asked, const ResponseRules::ResponseHead& head,
                                 uint64_t bytes, const std::string& problem);
// The length request: the package length from the Content-Length header.
void TakeLength(HINTERNET request, Transfer& transfer, uint32_t maxSize);

}  // namespace DownloadDetail
