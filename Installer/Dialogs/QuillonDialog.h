#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "AnimatedBitmapButton.h"
#include "DialogFontLayout.h"
#include "GdiHolders.h"
#include "ImageDialog.h"

// A font of the dialogs: a face and a cell height, and a weight where it
// differs from the dialog's own font.
struct DialogFontLook {
    const wchar_t* face;
    LONG height;
    std::optional<LONG> weight;
};

// What the three dialogs of the install have in common beyond the toolkit:
// the buttons in the skin's corner and the partner logo's page, the layout
// at the window's resolution, the title and the rounded shape, fonts made
// from the dialog's own font, and texts drawn straight onto the skin.
//
// Its initialisation runs the shared steps and the dialog's own ones in one
// order: the base's, the layout, the corner buttons, the dialog's controls,
// the title and the shape, the dialog's fonts, then what the dialog does last.
//
// Every size in pixels a dialog gives (fonts, offsets, shapes) is one at 96
// dpi; the window is laid out at the resolution of the screen it is on
// (NCommon::LayoutDpiFor), with the images drawn for it, and all of it is
// scaled to that. When Windows moves the window to a screen of another
// resolution (WM_DPICHANGED), the layout, the images, the shape and the
// fonts are made again for the new one.
class QuillonDialog : public NCommon::ImageDialog {
public:
    BOOL OnInitDialog() override;

protected:
    // The text straight on the skin, and the caption of an action button.
    static constexpr DialogFontLook kTextFont{L"Microsoft Sans Serif", 17, std::nullopt};
    static constexpr DialogFontLook kActionCaptionFont{L"Arial", 12, FW_BOLD};
    // The static text without an id of its own in every template.
    static constexpr int kTextId = -1;

    // cornerDiameter: the ellipse that rounds the window's corners.
    QuillonDialog(int skinId, UINT templateId, int cornerDiameter);
    ~QuillonDialog() override;

    // Binds the corner buttons; a dialog binds its own controls after them.
    void DoDataExchange() override;

    // The dialog's own steps of the initialisation, in the order they run.
    // CreateFonts runs again, and alone, after a change of resolution: it
    // makes the fonts and hands them to the controls, nothing else.
    virtual void SetUpControls() = 0;
    virtual void CreateFonts() = 0;
    // Its result is the initialisation's (TRUE: the dialog manager sets the focus).
    virtual BOOL FinishInit() = 0;

    // After a change of resolution, once the rest is made again for it; the
    // base does nothing.
    virtual void OnLayoutDpiChanged();

    // The resolution the window is laid out at.
    int LayoutDpi() const;

    // A copy of the dialog's current font (the one the layout gave it), read
    // afresh, with the look's face and weight and its height (at 96 dpi)
    // scaled to the layout's resolution.
    NCommon::ScopedFont DeriveFont(const DialogFontLook& look) const;
    // Gives a template control a font, redrawn.
    void SetControlFont(int id, HFONT font);

    // Screen-reader names of the controls (by id) whose text or label does
    // not say what they are; a dialog adds its own to the base's.
    virtual std::vector<std::pair<int, std::wstring>> AccessibleNames() const;

    // The colour of a static text drawn on the skin; one colour for all by default.
    virtual COLORREF StaticTextColour(HWND control) const;

    HBRUSH OnCtlColor(HDC dc, HWND control, UINT kind);
    void OnPartnerLogo();
    // The window was moved to a screen of another resolution: wParam holds
    // the new one, lParam the rectangle Windows suggests for the window.
    LRESULT OnDpiChanged(WPARAM wParam, LPARAM lParam);

    NCommon::AnimatedBitmapButton m_helpButton;
    NCommon::AnimatedBitmapButton m_closeButton;
    NCommon::AnimatedBitmapButton m_partnerButton;
    NCommon::AnimatedBitmapButton m_logoButton;

    DECLARE_MESSAGE_TABLE()

private:
    void LoadCornerButtons();
    void SetRoundedShape();
    void ApplyLayout(int dpi);

    int m_cornerDiameter;
    NCommon::DialogFontLayout m_layout;
};

// A drive's name: its volume label, "USB Drive" without one.
std::wstring DriveDisplayLabel(const std::wstring& label);
// How a drive reads in the list: its name, a blank, the letter in brackets
// ("STICK (E:)"; "USB Drive (E:)" without a label).
std::wstring DriveEntryText(const std::wstring& label, wchar_t letter);

// The action button's two lines for the chosen drive, in the drive picker
// and the progress dialog alike: "Install to:", then the label and the
// letter. Cut at a letter 0, as a C text would be.
std::wstring InstallToCaption(const std::wstring& label, wchar_t driveLetter);
