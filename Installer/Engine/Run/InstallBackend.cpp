#include "InstallBackend.h"

#include "IInstallListener.h"
#include "InstallEnvironment.h"
#include "InstallRun.h"
#include "PackageTrust.h"
#include "RunReport.h"
#include "ZipArchive.h"

namespace InstallBackend {

const Environment& ProductEnvironment()
{
    static const Environment environment{
        [] { return GetUsbDrives(); },
        [](const wchar_t* root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
           DWORD* freeClusters, DWORD* totalClusters) {
            return GetDiskFreeSpaceW(root, sectorsPerCluster, bytesPerSector, freeClusters,
                                     totalClusters);
        },
        [](const std::wstring& folder, IInstallListener* listener, const std::atomic<bool>* cancel,
           bool proxyOnly, const DownloadTarget& target) {
            return Download(folder, listener, cancel, proxyOnly, target, DownloadOptions());
        },
        {[](const std::string& bytes) { return PackageTrust::VerifyManifest(bytes, PackageTrust::Now()); },
         &PackageTrust::CheckVersion, &PackageTrust::CheckPackageFile},
        {&OpenZipFile, &GetZipItem, &UnzipItem, &CloseZipFile, &GetZipFailure, &BeginZipStaging,
         &CommitZipStaging, &GetZipStagingBytes, &RecoverZipJournal, &SetZipMemberCheck, &StageZipFile,
         &RemoveZipFileOnCommit, &SetZipWaitListener},
    };
    return environment;
}

bool Install(const std::wstring& destination, const std::wstring& workFolder,
             IInstallListener* listener, const std::atomic<bool>* cancel, const InstallOptions& options)
{
    return Install(destination, workFolder, listener, cancel, ProductEnvironment(), options);
}

bool Install(const std::wstring& destination, const std::wstring& workFolder,
             IInstallListener* listener, const std::atomic<bool>* cancel,
             const Environment& environment, const InstallOptions& options)
{
    // The outer guard: the run guards each of its steps, and this what is
    // left (setting the run up, the listener's own calls). The caller's
    // worker thread ends with false rather than with the process.
    bool told = false;
    try {
        if (listener != nullptr) {
            listener->SetErrorReason(IInstallListener::ReasonNone);
        }
        InstallRun run(destination, workFolder, listener, cancel, environment, options);
        told = true;
        return run.Run();
    } catch (...) {
        LogCaught(" Install Generic exception ", GetLastError());
    }
    if (!told && listener != nullptr) {
        try {
            InstallFailure failure;
            failure.kind = FailureKind::Internal;
            failure.detail = "the run could not be set up";
            listener->OnFailure(failure);
            listener->OnStatus(IInstallListener::StatusFailed);
        } catch (...) {
            LogCaught(" Install Generic exception ", GetLastError());
        }
    }
    return false;
}

}  // namespace InstallBackend
