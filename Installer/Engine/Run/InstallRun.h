#pragma once

#include <shlwapi.h>

#include <atomic>
#include <optional>
#include <string>

#include "CreatedDestination.h"
#include "DriveChecks.h"
#include "DriveInventory.h"
#include "ExtractionContext.h"
#include "FailureKinds.h"
#include "InstallEnvironment.h"
#include "PackageFetch.h"
#include "ProductPaths.h"
#include "RunReport.h"
#include "WorkFolder.h"

namespace InstallBackend {

// The manifest as downloaded, in the per-drive work folder.
constexpr wchar_t kRunManifestFileName[] = L"Quillon.manifest";

// One call of Install, step by step. Whatever way the run ends, the
// destination levels it created go unless it succeeded, the package file
// goes, and the run's last line is written, in that order.
class InstallRun {
public:
    InstallRun(const std::wstring& destination, const std::wstring& workFolder,
               IInstallListener* listener, const std::atomic<bool>* cancel,
               const Environment& environment)
        : m_destination(destination),
          m_listener(listener),
          m_cancel(cancel),
          m_environment(environment),
          m_driveRoot(DriveRootOf(destination)),
          m_drive(m_driveRoot, environment.getUsbDrives, environment.getDiskFreeSpace),
          m_driveFolder(PerDriveWorkFolder(workFolder, m_driveRoot)),
          m_manifestFile(m_driveFolder + kRunManifestFileName),
          m_removeManifest(m_manifestFile),
          m_context{m_driveRoot, JournalPath(m_driveFolder), std::nullopt, {}, std::nullopt, {}, std::nullopt}
    {
        if (!PathFileExistsW(m_driveFolder.c_str())) {
            CreateDirectoryW(m_driveFolder.c_str(), nullptr);
        }
        m_fetch.emplace(m_driveFolder, m_destination, environment.download, listener, cancel);
        SettleUnfinishedRuns(workFolder, environment.zip);
    }
    InstallRun(const InstallRun&) = delete;
    InstallRun& operator=(const InstallRun&) = delete;

    bool Run()
    {
        if (!CheckDriveConnected() || !CheckDriveFreeSpace()) {
            return false;
        }
        m_createdDestination.emplace(m_destination);
        ReadTheDrivesRecord();
        return DownloadPackage() && ExtractWithRetry();
    }

private:
    bool CheckDriveConnected();
    bool CheckDriveFreeSpace();
    bool DownloadPackage();
    bool ExtractWithRetry();
    void Fetch(bool proxyOnly);
    void ReadTheDrivesRecord();
    const DriveInventory::Inventory& TakeInventory();
    void Extract();
    bool RetryIsPointless();
    bool DriveMissing();
    bool Fail(int reason);
    bool Succeed();

    const std::wstring& m_destination;
    IInstallListener* const m_listener;
    const std::atomic<bool>* const m_cancel;
    const Environment& m_environment;
    RunReport m_report;
    const std::wstring m_driveRoot;
    DriveChecks m_drive;
    const std::wstring m_driveFolder;
    const std::wstring m_manifestFile;
    const PackageFileRemover m_removeManifest;
    // What the package step kept goes on a success; otherwise it stays for
    // the next run.
    std::optional<PackageFetch> m_fetch;
    std::optional<DriveInventory::HeadStart> m_headStart;
    std::optional<DriveInventory::Inventory> m_inventory;
    Extraction::ExtractionContext m_context;
    std::wstring m_packagePath;
    bool m_goneBeforeExtraction = false;
    std::optional<CreatedDestination> m_createdDestination;
    // The kind of the last failure caught, for the caller.
    FailureKind m_failureKind = FailureKind::Internal;
};

}  // namespace InstallBackend
