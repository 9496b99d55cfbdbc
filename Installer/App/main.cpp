#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <atomic>

#include "DestinationDialog.h"
#include "DllSearch.h"
#include "EULADialog.h"
#include "InstallBackend.h"
#include "InstallDialog.h"
#include "InstallerApp.h"
#include "Log.h"
#include "ProductHandOver.h"
#include "ProductPaths.h"
#include "SingleInstance.h"
#include "Startup.h"
#include "TextConversion.h"
#include "easylogging++.h"

namespace {

// Pairs CoInitializeEx with CoUninitialize, once every dialog and worker has
// finished with COM.
class ComApartment {
public:
    ComApartment() : m_result(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(m_result)) {
            CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    bool ok() const { return SUCCEEDED(m_result); }

private:
    HRESULT m_result;
};

// From the moment a closing progress dialog leaves the screen to the end of
// the process, at the latest.
const unsigned long kEndAfterWindowGoneMs = 2000;

}  // namespace

CInstallerApp theApp;

CInstallerApp::CInstallerApp() : m_exitCode(1) {}

bool CInstallerApp::InitInstance()
{
    // Before the log set-up: a start that another running installer turns
    // away must leave that one's work folder alone.
    if (!ClaimTheInstallerTurn(m_installerTurn)) {
        return false;
    }
    ConfigureLog();
    LOG(INFO) << "Log created";

    const ComApartment apartment;
    if (!apartment.ok()) {
        return false;
    }
    // Drive discovery talks to WMI from the install worker too; the
    // process-wide call security has to be set before any thread exists.
    if (FAILED(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr))) {
        return false;
    }

    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    NCommon::Application::InitInstance();

    const StartupOptions options =
        ParseStartupOptions(SplitCommandLine(GetCommandLineW()), GetCommandLineW());

    // RICHED32 for the classic class; RICHED20 registers "RichEdit20W", the
    // class the licence text is shown in.
    m_richEdit.reset(LoadSystemLibrary(L"RICHED32.DLL"));
    m_richEdit20.reset(LoadSystemLibrary(L"RICHED20.DLL"));

    const std::wstring productPath = ProductPathFor(options.driveLetter);
    const bool productExists = options.driveGiven && ProductExists(productPath);

    switch (ChooseRunMode(options, productExists)) {
    case RunMode::Open:
        RunOpen(options.driveLetter);
        break;
    case RunMode::SilentInstall:
        RunSilentInstall(options.silentDestination);
        break;
    case RunMode::Update:
        RunUpdate();
        break;
    case RunMode::Interactive:
        RunInteractiveInstall(options.driveLetter);
        break;
    }
    el::Loggers::flushAll();
    BoundTheExit(m_exitCode, 1000);
    return false;
}

int CInstallerApp::ExitInstance()
{
    return m_exitCode;
}

void CInstallerApp::RunOpen(wchar_t driveLetter)
{
    // Quillon is already on the drive: start it, from the drive's root as
    // everywhere else, and install nothing.
    const ProductLaunch launch = ChooseProductLaunch(false, std::wstring(), driveLetter);
    // The shell would open a folder of that name in a window of its own,
    // which is no start of the program.
    const DWORD attributes = GetFileAttributesW(launch.file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        LOG(ERROR) << "Could not start " << ToUtf8(launch.file) << ": it is a folder, not the program";
        return;
    }
    unsigned long error = 0;
    if (StartProduct(launch, &error)) {
        LOG(INFO) << "Started " << ToUtf8(launch.file) << " in " << ToUtf8(launch.workingFolder);
        m_exitCode = 0;
    } else {
        LOG(ERROR) << "Could not start " << ToUtf8(launch.file) << ": error " << error;
    }
}

void CInstallerApp::RunSilentInstall(const std::wstring& destination)
{
    const std::atomic<bool> cancel(false);
    m_exitCode = InstallBackend::Install(destination, GetWorkFolder(), nullptr, &cancel) ? 0 : 1;
}

void CInstallerApp::RunUpdate()
{
    // The installed program names its drive and itself; the --path drive
    // plays no part here.
    const std::wstring drivePath = GetCommandLineValue(L"--drivePath");
    const std::wstring exePath = GetCommandLineValue(L"--exePath");
    InstallDialog dialog(drivePath.empty() ? L'\0' : drivePath[0], GetWorkFolder());
    dialog.SetAppUpdateMode(drivePath, exePath);
    m_exitCode = RunProgress(dialog);
}

void CInstallerApp::RunInteractiveInstall(wchar_t driveLetter)
{
    // Each window is reached only through the OK of the one before, and each
    // has closed before the next opens; any other end keeps exit code 1.
    {
        EULADialog licence;
        if (licence.DoModal() != IDOK) {
            return;
        }
    }
    if (driveLetter == 0) {
        DestinationDialog destination(&driveLetter);
        if (destination.DoModal() != IDOK) {
            return;
        }
    }
    InstallDialog progress(driveLetter, GetWorkFolder());
    m_exitCode = RunProgress(progress);
}

int CInstallerApp::RunProgress(InstallDialog& dialog)
{
    // A worker that a close cannot stop (a drive check that does not
    // answer) must not keep the process, and with it the installer's turn,
    // long after the window went: a start by hand waits for this run to end
    // before it opens. However the window was closed, the exit code says
    // whether the run completed.
    dialog.SetWhenWindowGone([&dialog](int) {
        LOG(INFO) << "The window has closed; the run ends without waiting longer for the install worker";
        el::Loggers::flushAll();
        BoundTheExit(dialog.Completed() ? 0 : 1, kEndAfterWindowGoneMs);
    });
    dialog.DoModal();
    return dialog.Completed() ? 0 : 1;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    RestrictDllSearchToSystemFolder();
    return NCommon::Application::Run();
}
