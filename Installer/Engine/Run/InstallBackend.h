#pragma once

#include <atomic>
#include <string>

class IInstallListener;

namespace InstallBackend {

// Checks the drive, downloads the package, unpacks it into `destination` and
// deletes the package again. Never raises; true when every entry of the
// package was extracted. `listener` may be null; `cancel` is read only.
bool Install(const std::wstring& destination, const std::wstring& workFolder,
             IInstallListener* listener, const std::atomic<bool>* cancel);

}  // namespace InstallBackend
