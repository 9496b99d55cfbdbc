#pragma once

#include <string>

#include "AnimatedBitmapButton.h"
#include "DriveList.h"
#include "DriveScan.h"
#include "QuillonDialog.h"

// The drive picker of the interactive install. Ends with IDOK only once the
// Install command has stored a non-zero letter in the caller's variable;
// with IDCANCEL on close or Esc, leaving the variable as it was.
//
// It opens at once and looks for drives meanwhile, saying so in its list;
// Install is greyed out, and out of the keyboard's way, until there is a
// drive to install to.
class DestinationDialog : public QuillonDialog {
public:
    explicit DestinationDialog(wchar_t* driveLetter);
    ~DestinationDialog() override;

protected:
    void DoDataExchange() override;
    void SetUpControls() override;
    void CreateFonts() override;
    BOOL FinishInit() override;
    void OnOK() override;
    // Install, while there is a drive to install to.
    int ArmedMainAction() const override;

    void OnRefresh();
    void OnInstall();
    void OnDriveChosen();
    LRESULT OnDrivesFound(WPARAM wParam, LPARAM lParam);
    // A stick plugged in or pulled: the list follows without a Refresh.
    LRESULT OnDeviceChange(WPARAM wParam, LPARAM lParam);
    LRESULT OnTimer(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_TABLE()

private:
    void LookForDrives();
    // Looks again while the list stays as it is, the chosen drive chosen.
    void LookAgainQuietly();
    void UpdateInstallButton();
    void FocusControl(HWND control);

    wchar_t* m_driveLetter;
    NCommon::ScopedFont m_labelFont;
    NCommon::ScopedFont m_installFont;
    NCommon::ScopedFont m_listFont;
    NCommon::AnimatedBitmapButton m_refreshButton;
    NCommon::AnimatedBitmapButton m_installButton;
    DriveList m_driveList;
    DriveScan m_scan;
    // No scan has reported yet: the keyboard waits on refresh for the first.
    bool m_opening = true;
    // The scan under way was started by a device change, not by the user.
    bool m_quietScan = false;
};
