#pragma once

#include <shlwapi.h>

#include <atomic>
#include <optional>
#include <string>

#include "CreatedDestination.h"
#include "DriveChecks.h"
#include "DriveInventory.h"
#include "ExtractionContext.h"
#include "InstallEnvironment.h"
#include "InstallFailure.h"
#include "PackageFetch.h"
#include "ProductPaths.h"
#include "RunReport.h"
#include "StickJournal.h"
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
               const Environment& environment, const InstallOptions& options)
        : m_destination(destination),
          m_workFolder(workFolder),
          m_listener(listener),
          m_cancel(cancel),
          m_environment(environment),
          m_report(options.update),
          m_driveRoot(DriveRootOf(destination)),
          m_drive(m_driveRoot, environment.getUsbDrives, environment.getDiskFreeSpace),
          m_driveFolder(PerDriveWorkFolder(workFolder, m_driveRoot)),
          m_manifestFile(m_driveFolder + kRunManifestFileName),
          m_removeManifest(m_manifestFile),
          m_context{m_driveRoot, StickJournalPath(destination), std::nullopt, {}, std::nullopt, {}, std::nullopt, {},
                    [this] { return m_drive.GoneAfterFailedWrite(); }},
          m_download([this](const std::wstring& folder, IInstallListener* listener, const std::atomic<bool>* cancel,
                            bool proxyOnly, const DownloadTarget& target) {
              return Download(folder, listener, cancel, proxyOnly, target);
          })
    {
    }
    InstallRun(const InstallRun&) = delete;
    InstallRun& operator=(const InstallRun&) = delete;

    // Never raises: each step is guarded, and so is the whole.
    bool Run();

private:
    bool Steps();
    void Prepare();
    void CheckDrive();
    void Fetch(bool proxyOnly);
    void Extract();
    void ReadTheDrivesRecord();
    const DriveInventory::Inventory& TakeInventory();
    std::wstring Download(const std::wstring& folder, IInstallListener* listener, const std::atomic<bool>* cancel,
                          bool proxyOnly, DownloadTarget target);
    // Runs one step; nothing when it went through, else what failed, as it
    // was raised. `step` names the step in the catch-all's log line.
    template <typename Step>
    std::optional<InstallFailure> Guarded(const char* step, Step body);
    // After a failed step: the kept download settled and, where the kind
    // allows, the step tried once more. Nothing when the retry went through.
    template <typename Step>
    std::optional<InstallFailure> Retried(const InstallFailure& failure, const char* step, Step body);
    // How a run stopped by the cancel flag ended: the user's cancel, or the
    // stick the caller saw go.
    InstallFailure Stopped();
    void SettleKeptDownload(FailureKind kind);
    bool Fail(InstallFailure failure);
    bool Succeed();

    const std::wstring& m_destination;
    const std::wstring& m_workFolder;
    IInstallListener* const m_listener;
    const std::atomic<bool>* const m_cancel;
    const Environment& m_environment;
    RunReport m_report;
    const std::wstring m_driveRoot;
    DriveChecks m_drive;
    const std::wstring m_driveFolder;
    const std::wstring m_manifestFile;
    const PackageFileRemover m_removeManifest;
    Extraction::ExtractionContext m_context;
    // The environment's download, with the run's choice of route added.
    const PackageFetch::DownloadFunction m_download;
    // What the package step kept goes on a success; otherwise it stays for
    // the next run unless the failure was about its bytes.
    std::optional<PackageFetch> m_fetch;
    std::optional<DriveInventory::HeadStart> m_headStart;
    std::optional<DriveInventory::Inventory> m_inventory;
    std::wstring m_packagePath;
    std::optional<CreatedDestination> m_createdDestination;
    // The retry of a refusal goes through a proxy the look-up found or not
    // at all; set when it found none.
    bool m_onlyThroughFoundProxy = false;
    bool m_noProxyFound = false;
};

}  // namespace InstallBackend
