#pragma once

#include <string>

#include "AnimatedBitmapButton.h"
#include "Controls.h"
#include "QuillonDialog.h"

// The letter an entry carries as its item data (the low 16 bits); 0 when
// nothing is selected or the entry stands for no drive.
wchar_t LetterOfEntry(int selected, DWORD_PTR itemData);

// The drive picker of the interactive install. Ends with IDOK only once the
// Install command has stored a non-zero letter in the caller's variable;
// with IDCANCEL on close or Esc, leaving the variable as it was.
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

    DECLARE_MESSAGE_TABLE()

private:
    void RefreshDriveList();
    void UpdateInstallButton();

    wchar_t* m_driveLetter;
    NCommon::ScopedFont m_labelFont;
    NCommon::ScopedFont m_installFont;
    NCommon::ScopedFont m_listFont;
    NCommon::AnimatedBitmapButton m_refreshButton;
    NCommon::AnimatedBitmapButton m_installButton;
    NCommon::CComboBox m_driveList;
};
