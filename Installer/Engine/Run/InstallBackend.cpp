#include "InstallBackend.h"

#include "IInstallListener.h"
#include "InstallEnvironment.h"
#include "InstallRun.h"
#include "PackageTrust.h"
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
         &CommitZipStaging, &GetZipStagingBytes, &RecoverZipJournal, &SetZipMemberCheck, &StageZipFile},
    };
    return environment;
}

bool Install(const std::wstring& destination, const std::wstring& workFolder,
             IInstallListener* listener, const std::atomic<bool>* cancel)
{
    return Install(destination, workFolder, listener, cancel, ProductEnvironment());
}

bool Install(const std::wstring& destination, const std::wstring& workFolder,
             IInstallListener* listener, const std::atomic<bool>* cancel,
             const Environment& environment)
{
    if (listener != nullptr) {
        listener->SetErrorReason(IInstallListener::ReasonNone);
    }
    InstallRun run(destination, workFolder, listener, cancel, environment);
    return run.Run();
}

}  // namespace InstallBackend
