#pragma once

#include <atomic>
#include <string>

class IInstallListener;

namespace InstallBackend {

// What the caller says about the run beyond where it goes.
struct InstallOptions {
    // The run updates the program on the stick (Installer.exe /AppUpdate):
    // its log's last line says "Update ..." rather than "Install ...".
    bool update = false;
};

// Checks the drive, downloads the package, unpacks it into `destination` and
// deletes the package again. Never raises; true when every entry of the
// package was extracted. `listener` may be null; `cancel` is read only.
bool Install(const std::wstring& destination, const std::wstring& workFolder,
             IInstallListener* listener, const std::atomic<bool>* cancel,
             const InstallOptions& options = InstallOptions());

}  // namespace InstallBackend
