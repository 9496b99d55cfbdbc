#pragma once

#include "AnimatedBitmapButton.h"
#include "DialogFontLayout.h"
#include "ImageDialog.h"
#include "Controls.h"

// The licence agreement, the first window of the interactive install: ends
// with IDOK when the user accepts, IDCANCEL on Decline, close or Esc.
class EULADialog : public NCommon::ImageDialog {
public:
    explicit EULADialog(NCommon::CWnd* parent = nullptr);
    ~EULADialog() override;

    BOOL OnInitDialog() override;

protected:
    void DoDataExchange() override;
    // Enter away from the buttons accepts, as a licence page's default
    // button does; on Decline or the close button it presses that button.
    int ArmedMainAction() const override;

    HBRUSH OnCtlColor(HDC dc, HWND control, UINT kind);
    void OnPartnerLogo();

    DECLARE_MESSAGE_TABLE()

private:
    void LoadLicence();
    void KeepLicenceTextWidth();

    NCommon::ScopedFont m_descriptionFont;
    NCommon::ScopedFont m_answerFont;
    NCommon::AnimatedBitmapButton m_helpButton;
    NCommon::AnimatedBitmapButton m_closeButton;
    NCommon::AnimatedBitmapButton m_partnerButton;
    NCommon::AnimatedBitmapButton m_logoButton;
    NCommon::AnimatedBitmapButton m_acceptButton;
    NCommon::CRichEditCtrl m_licenceText;
    NCommon::DialogFontLayout m_layout;
    NCommon::AnimatedBitmapButton m_declineButton;
};
