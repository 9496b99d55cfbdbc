#pragma once

#include <string>

#include "DownloadRun.h"

// The routes a request can take: direct as the user's settings open the
// session, through the automatically found proxy, or direct again as the
// fall-back; and the settings and look-up that decide them.
namespace DownloadDetail {

// The address the automatic proxy is looked up for.
std::wstring LookupAddress(const DownloadOptions& options, const DownloadTarget& target);
// Reads the user's proxy settings and logs them field by field. The strings
// stay owned by `settings`.
ProxyRules::UserSettings ReadUserSettings(UserProxySettings& settings);
WINHTTP_AUTOPROXY_OPTIONS AutomaticOptions(const ProxyRules::Plan& plan);
// One pass of the range loop: a new session, then the routes the plan
// allows until one carries the request. False when the cancel flag ended
// the download.
bool RunAttempt(DownloadRun& run);

}  // namespace DownloadDetail
