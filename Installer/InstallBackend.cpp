#include "InstallBackend.h"

#include <shlobj.h>
#include <shlwapi.h>

#include "Download.h"
#include "IInstallListener.h"
#include "Log.h"
#include "MessageError.h"
#include "easylogging++.h"

namespace InstallBackend {
namespace {

const wchar_t kPackageFileName[] = L"Quillon.zip";

bool IsCancelled(const std::atomic<bool>* cancel)
{
    return cancel != nullptr && cancel->load();
}

void ReportStatus(IInstallListener* listener, int status)
{
    if (listener != nullptr) {
        listener->OnStatus(status);
    }
}

// Every error that reaches a step boundary is logged once more with the
// thread's last error, read before anything else can change it.
void LogCaught(const char* text)
{
    const DWORD lastError = GetLastError();
    LOG(ERROR) << text << " Last error: " << static_cast<unsigned long>(lastError);
}

// The package never outlives a run, whichever way the run ends; this also
// removes a package that an earlier, interrupted run left behind.
class PackageFileRemover {
public:
    explicit PackageFileRemover(std::wstring path) : m_path(std::move(path)) {}
    ~PackageFileRemover() { DeleteFileW(m_path.c_str()); }
    PackageFileRemover(const PackageFileRemover&) = delete;
    PackageFileRemover& operator=(const PackageFileRemover&) = delete;

private:
    std::wstring m_path;
};

// Runs one step of the pipeline. Whatever it raises is logged here, once,
// and turned into false: nothing escapes Install.
template <typename Step>
bool Attempt(Step step, const char* otherErrorText)
{
    try {
        step();
        return true;
    } catch (const MessageError& error) {
        LogCaught(error.what());
    } catch (...) {
        LogCaught(otherErrorText);
    }
    return false;
}

// Closes the archive on every way out of the extraction.
class OpenArchive {
public:
    OpenArchive(const Environment::ZipLayer& zip, HZIP handle) : m_zip(zip), m_handle(handle) {}
    ~OpenArchive()
    {
        if (m_handle != nullptr) {
            m_zip.close(m_handle);
        }
    }
    OpenArchive(const OpenArchive&) = delete;
    OpenArchive& operator=(const OpenArchive&) = delete;
    HZIP get() const { return m_handle; }

private:
    const Environment::ZipLayer& m_zip;
    HZIP m_handle;
};

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name)
{
    if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/') {
        return folder + name;
    }
    return folder + L"\\" + name;
}

void MarkHidden(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    // Without the current attributes there is nothing sound to add the bit to.
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN);
    }
}

void ExtractPackage(const std::wstring& packagePath, const std::wstring& destination,
                    IInstallListener* listener, const std::atomic<bool>* cancel,
                    const Environment::ZipLayer& zip)
{
    // The zip layer takes its root from the current directory. If the
    // destination cannot be made current, the root would be whatever folder
    // happened to be current before, and the package would land there.
    if (!SetCurrentDirectoryW(destination.c_str())) {
        LOG(ERROR) << "SetCurrentDirectoryW error: " << static_cast<unsigned long>(GetLastError());
        throw MessageError("SetCurrentDirectoryW failed");
    }

    OpenArchive archive(zip, zip.open(packagePath.c_str()));
    if (archive.get() == nullptr) {
        throw MessageError("Failed to open zip file");
    }

    ZipItem item{};
    if (zip.getItem(archive.get(), -1, &item) != ZipOk) {
        throw MessageError("GetZipItem failed");
    }
    const int count = item.index;

    ReportStatus(listener, IInstallListener::StatusInstalling);

    for (int i = 0; i < count; ++i) {
        if (IsCancelled(cancel)) {
            return;
        }
        item = ZipItem{};
        if (zip.getItem(archive.get(), i, &item) != ZipOk) {
            throw MessageError("GetZipItem failed");
        }
        const ZipStatus status = zip.unzipItem(archive.get(), i, item.name);
        if ((item.attributes & FILE_ATTRIBUTE_HIDDEN) != 0) {
            MarkHidden(JoinPath(destination, item.name));
        }
        if (status != ZipOk) {
            throw MessageError("UnzipItem failed");
        }
        if (listener != nullptr) {
            listener->OnProgress(static_cast<float>(i + 1) / static_cast<float>(count));
        }
    }
}

}  // namespace

std::wstring FoldDoubleBackslashes(const std::wstring& path)
{
    std::wstring folded;
    folded.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        folded += path[i];
        if (path[i] == L'\\' && i + 1 < path.size() && path[i + 1] == L'\\') {
            ++i;
        }
    }
    return folded;
}

std::wstring DriveRootOf(const std::wstring& destination)
{
    const size_t colon = destination.find(L':');
    if (colon == std::wstring::npos) {
        return L"\\";
    }
    return destination.substr(0, colon + 1) + L"\\";
}

std::wstring PerDriveWorkFolder(const std::wstring& workFolder, const std::wstring& driveRoot)
{
    return FoldDoubleBackslashes(workFolder + L"\\QL_Install_" + driveRoot.substr(0, 1) + L"\\");
}

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
           bool proxyOnly) { return Download(folder, listener, cancel, proxyOnly); },
        {&OpenZipFile, &GetZipItem, &UnzipItem, &CloseZipFile},
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

    const std::wstring driveRoot = DriveRootOf(destination);
    const std::wstring driveFolder = PerDriveWorkFolder(workFolder, driveRoot);
    if (!PathFileExistsW(driveFolder.c_str())) {
        CreateDirectoryW(driveFolder.c_str(), nullptr);
    }
    const PackageFileRemover removePackage(driveFolder + kPackageFileName);

    auto fail = [listener](int reason) {
        if (listener != nullptr && reason != IInstallListener::ReasonNone) {
            listener->SetErrorReason(reason);
        }
        ReportStatus(listener, IInstallListener::StatusFailed);
        return false;
    };
    auto succeed = [listener] {
        ReportStatus(listener, IInstallListener::StatusSucceeded);
        return true;
    };

    // CheckDriveConnected
    try {
        const UsbDriveMap drives = environment.getUsbDrives();
        if (drives.find(driveRoot[0]) == drives.end()) {
            // Without this line a silent install would end with exit code 1
            // and nothing to tell the vendor why.
            LOG(ERROR) << "CheckDriveConnected " << ToUtf8(driveRoot)
                       << " is not among the attached USB drives";
            return fail(IInstallListener::ReasonDriveMissing);
        }
    } catch (...) {
        LogCaught(" CheckDriveConnected Generic exception ");
    }

    // CheckDriveFreeSpace
    try {
        DWORD sectorsPerCluster = 0;
        DWORD bytesPerSector = 0;
        DWORD freeClusters = 0;
        DWORD totalClusters = 0;
        if (environment.getDiskFreeSpace(driveRoot.c_str(), &sectorsPerCluster, &bytesPerSector,
                                         &freeClusters, &totalClusters)) {
            const uint64_t freeBytes = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector *
                                       freeClusters;
            if (freeBytes < kMinimumFreeBytes) {
                LOG(ERROR) << "CheckDriveFreeSpace " << ToUtf8(driveRoot) << " has " << freeBytes
                           << " bytes free, " << kMinimumFreeBytes << " needed";
                return fail(IInstallListener::ReasonLowFreeSpace);
            }
        } else {
            // The drive was listed a moment ago; an unanswered free-space
            // query is no proof that it is full. Go on: a drive that is really
            // gone fails the download or the extraction with its own message.
            LOG(ERROR) << "GetDiskFreeSpaceW error: " << static_cast<unsigned long>(GetLastError());
        }
    } catch (...) {
        LogCaught(" CheckDriveFreeSpace Generic exception ");
    }

    SHCreateDirectoryExW(nullptr, destination.c_str(), nullptr);

    std::wstring packagePath;
    auto download = [&](bool proxyOnly) {
        packagePath = environment.download(driveFolder, listener, cancel, proxyOnly);
    };
    auto extract = [&] {
        ExtractPackage(packagePath, destination, listener, cancel, environment.zip);
    };

    const bool downloaded = Attempt([&] { download(false); }, " Download Generic exception ");
    if (IsCancelled(cancel)) {
        return fail(IInstallListener::ReasonNone);
    }
    if (!downloaded) {
        if (!Attempt([&] { download(true); }, " Generic exception ") || IsCancelled(cancel)) {
            return fail(IInstallListener::ReasonNone);
        }
    }

    const bool extracted = Attempt(extract, " Generic exception ");
    if (IsCancelled(cancel)) {
        return fail(IInstallListener::ReasonNone);
    }
    if (extracted) {
        return succeed();
    }

    // One more try with a fresh copy through the automatic proxy: a damaged
    // or incomplete package shows up only when it is unpacked.
    const bool retried = Attempt(
        [&] {
            download(true);
            extract();
        },
        " Generic exception ");
    if (!retried || IsCancelled(cancel)) {
        return fail(IInstallListener::ReasonNone);
    }
    return succeed();
}

}  // namespace InstallBackend
