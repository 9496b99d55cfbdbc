#pragma once

#include <atomic>
#include <string>

class IInstallListener;

// Fetches the package from the update server into folder + "Quillon.zip" and
// returns that path, also when `cancel` ended the download early (the caller
// checks the flag). Raises MessageError on failure. With proxyOnly every
// request goes through the automatically found proxy only.
std::wstring Download(const std::wstring& folder, IInstallListener* listener,
                      const std::atomic<bool>* cancel, bool proxyOnly);
