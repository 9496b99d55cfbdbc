#pragma once

#include "Application.h"
#include "InstallDialog.h"
#include "ScopedHandles.h"
#include "SingleInstance.h"

// The installer's application object: runs exactly one mode to its end and
// leaves the process exit code in m_exitCode.
class CInstallerApp : public NCommon::Application {
public:
    CInstallerApp();

    bool InitInstance() override;
    int ExitInstance() override;

private:
    void RunOpen(wchar_t driveLetter);
    void RunSilentInstall(const std::wstring& destination);
    void RunUpdate();
    void RunInteractiveInstall(wchar_t driveLetter);
    // Runs the progress dialog to its end; 0 when the run completed, else 1.
    static int RunProgress(InstallDialog& dialog);

    int m_exitCode;
    // Held for the whole run: one installer at a time in a session.
    InstallerTurn m_installerTurn;
    // The rich edit classes must stay registered while any dialog may use them.
    NCommon::ScopedLibrary m_richEdit;
    NCommon::ScopedLibrary m_richEdit20;
};
