#pragma once

// The run's seam for tests: the places where the pipeline meets the outside
// world, and Install with stand-ins in them. Only the run and tests include
// this; the program calls InstallBackend.h's Install.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Download.h"
#include "InstallBackend.h"
#include "PackageManifest.h"
#include "StagingRoom.h"
#include "UsbDrives.h"
#include "WorkFolder.h"
#include "ZipLayer.h"

namespace InstallBackend {

// The four places where the pipeline meets the outside world. The shipped
// program always uses ProductEnvironment(); tests put stand-ins here to reach
// every branch of the pipeline.
struct Environment {
    std::function<UsbDriveMap()> getUsbDrives;
    Extraction::DiskFreeSpaceQuery getDiskFreeSpace;
    std::function<std::wstring(const std::wstring& folder, IInstallListener* listener,
                               const std::atomic<bool>* cancel, bool proxyOnly, const DownloadTarget& target)>
        download;
    // What makes a package one the vendor signed (PackageTrust): each raises
    // MessageError with the reason it refuses.
    struct Trust {
        std::function<PackageManifest::Manifest(const std::string& manifestBytes)> verifyManifest;
        std::function<void(const PackageManifest::Manifest&, std::optional<uint64_t> installed)> checkVersion;
        std::function<void(const std::wstring& packagePath, const PackageManifest::Manifest&)> checkPackage;
    } trust;
    using ZipLayer = Extraction::ZipLayer;
    ZipLayer zip;
};

const Environment& ProductEnvironment();

bool Install(const std::wstring& destination, const std::wstring& workFolder,
             IInstallListener* listener, const std::atomic<bool>* cancel,
             const Environment& environment, const InstallOptions& options = InstallOptions());

}  // namespace InstallBackend
