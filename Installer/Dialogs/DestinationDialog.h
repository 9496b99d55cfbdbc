#pragma once

#include <string>

#include "AnimatedBitmapButton.h"
#include "DialogFontLayout.h"
#include "ImageDialog.h"
#include "Controls.h"

// The letter an entry carries as its item data (the low 16 bits); 0 when
// nothing is selected or the entry stands for no drive.
wchar_t LetterOfEntry(int selected, DWORD_PTR itemData);

// The drive picker of the interactive install. Ends with IDOK only once the
// Install command has stored a non-zero letter in the caller's variable;
// with IDCANCEL on close or Esc, leaving the variable as it was.
class DestinationDialog : public NCommon::ImageDialog {
public:
    explicit DestinationDialog(wchar_t* driveLetter);
    ~DestinationDialog() override;

    BOOL OnInitDialog() override;

protected:
    void DoDataExchange() override;
    void OnOK() override;
    // Install, while there is a drive to install to.
    int ArmedMainAction() const override;

    HBRUSH OnCtlColor(HDC dc, HWND control, UINT kind);
    void OnRefresh();
    void OnInstall();
    void OnPartnerLogo();
    void OnDriveChosen();

    DECLARE_MESSAGE_TABLE()

private:
    void RefreshDriveList();
    void UpdateInstallButton();

    wchar_t* m_driveLetter;
    NCommon::ScopedFont m_labelFont;
    NCommon::ScopedFont m_installFont;
    NCommon::ScopedFont m_listFont;
    NCommon::AnimatedBitmapButton m_helpButton;
    NCommon::AnimatedBitmapButton m_closeButton;
    NCommon::AnimatedBitmapButton m_partnerButton;
    NCommon::AnimatedBitmapButton m_logoButton;
    NCommon::AnimatedBitmapButton m_refreshButton;
    NCommon::AnimatedBitmapButton m_installButton;
    NCommon::CComboBox m_driveList;
    NCommon::DialogFontLayout m_layout;
};
