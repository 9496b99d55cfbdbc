#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "Download.h"
#include "PackageManifest.h"
#include "ProductConstants.h"
#include "ProductPaths.h"
#include "UsbDrives.h"
#include "ZipArchive.h"

class IInstallListener;

namespace InstallBackend {

// The four places where the pipeline meets the outside world. The shipped
// program always uses ProductEnvironment(); tests put stand-ins here to reach
// every branch of the pipeline.
struct Environment {
    std::function<UsbDriveMap()> getUsbDrives;
    // Same contract as GetDiskFreeSpaceW.
    std::function<BOOL(const wchar_t* root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                       DWORD* freeClusters, DWORD* totalClusters)>
        getDiskFreeSpace;
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
    struct ZipLayer {
        HZIP (*open)(const wchar_t* path);
        ZipStatus (*getItem)(HZIP zip, int index, ZipItem* item);
        ZipStatus (*unzipItem)(HZIP zip, int index, const wchar_t* name);
        ZipStatus (*close)(HZIP zip);
        // Why the last item call failed, for the log; may be null.
        ZipFailure (*describeFailure)(HZIP zip);
        // All or nothing. With these null, every member lands on its own.
        ZipStatus (*beginStaging)(HZIP zip, const wchar_t* journalPath);
        ZipStatus (*commit)(HZIP zip);
        ZipStatus (*stagingBytes)(HZIP zip, uint32_t clusterBytes, uint64_t* bytes);
        bool (*recover)(const wchar_t* journalPath);
        // Every member's data is checked on its way to the drive, and the
        // version record is committed with the members. Null in stand-ins
        // that write nothing real.
        ZipStatus (*setMemberCheck)(HZIP zip, IZipMemberCheck* check);
        ZipStatus (*stageFile)(HZIP zip, const wchar_t* name, const void* bytes, uint32_t count);
    } zip;
};

const Environment& ProductEnvironment();

// Checks the drive, downloads the package, unpacks it into `destination` and
// deletes the package again. Never raises; true when every entry of the
// package was extracted. `listener` may be null; `cancel` is read only.
bool Install(const std::wstring& destination, const std::wstring& workFolder,
             IInstallListener* listener, const std::atomic<bool>* cancel);
bool Install(const std::wstring& destination, const std::wstring& workFolder,
             IInstallListener* listener, const std::atomic<bool>* cancel,
             const Environment& environment);

// Path rules, kept apart so they can be checked on their own.
// workFolder + "\QL_Install_" + letter + "\", with doubled backslashes folded.
std::wstring PerDriveWorkFolder(const std::wstring& workFolder, const std::wstring& driveRoot);
// The journal of the extraction onto one drive, in its per-drive work folder.
std::wstring JournalPath(const std::wstring& perDriveWorkFolder);
// Replaces each pair of backslashes, left to right without overlap, by one.
std::wstring FoldDoubleBackslashes(const std::wstring& path);

}  // namespace InstallBackend
