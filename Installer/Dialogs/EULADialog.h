#pragma once

#include "AnimatedBitmapButton.h"
#include "Controls.h"
#include "QuillonDialog.h"

// The licence agreement, the first window of the interactive install: ends
// with IDOK when the user accepts, IDCANCEL on Decline, close or Esc.
class EULADialog : public QuillonDialog {
public:
    explicit EULADialog(NCommon::CWnd* parent = nullptr);
    ~EULADialog() override;

protected:
    void DoDataExchange() override;
    void SetUpControls() override;
    void CreateFonts() override;
    BOOL FinishInit() override;
    // Enter away from the buttons accepts, as a licence page's default
    // button does; on Decline or the close button it presses that button.
    int ArmedMainAction() const override;
    std::vector<std::pair<int, std::wstring>> AccessibleNames() const override;
    // The licence again, its sizes for the new resolution.
    void OnLayoutDpiChanged() override;

    DECLARE_MESSAGE_TABLE()

private:
    void LoadLicence();
    // The skin, and around the licence text a focus cue while it has the focus.
    LRESULT OnEraseBkgnd(WPARAM wParam, LPARAM lParam);
    void OnLicenceFocusChanged();
    // The skin's panel border around the licence text, at the layout's resolution.
    RECT LicencePanel() const;

    NCommon::ScopedFont m_descriptionFont;
    NCommon::ScopedFont m_answerFont;
    NCommon::AnimatedBitmapButton m_acceptButton;
    NCommon::CRichEditCtrl m_licenceText;
    NCommon::AnimatedBitmapButton m_declineButton;
};
