#pragma once

#include <richedit.h>

#include <string>

#include "Window.h"

namespace NCommon {

// A button control. Owner-drawn buttons get their WM_DRAWITEM back from the
// parent as DrawItem.
class CButton : public CWnd {
public:
    virtual void DrawItem(DRAWITEMSTRUCT* item);

protected:
    bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};

// Which of a bitmap button's four images a state shows.
enum class ButtonImage { Normal, Selected, Focus, Disabled };

// An owner-drawn button that holds bitmaps: normal, selected (pressed),
// focus and disabled. Only the normal one is required; a derived class
// draws them. The images are those drawn for the layout resolution of the
// button's window (LayoutDpiOf), named by their 96-dpi resource ids.
class CBitmapButton : public CButton {
public:
    // Replaces all four images with the bitmap resources of these ids; 0
    // leaves a state without an image. False if the normal one is missing.
    bool LoadBitmaps(UINT normal, UINT selected = 0, UINT focus = 0, UINT disabled = 0);
    // The button takes the size of its normal image; its position stays.
    void SizeToContent();
    // The bitmap a state uses, or null.
    HBITMAP GetBitmap(ButtonImage image) const;
    // After the window's layout resolution changed: the same images drawn
    // for the new one, and the size of the image it was last sized to.
    void ReloadBitmaps();

protected:
    ScopedBitmap m_bitmap;
    ScopedBitmap m_bitmapSel;
    ScopedBitmap m_bitmapFocus;
    ScopedBitmap m_bitmapDisabled;

private:
    UINT m_ids[4] = {0, 0, 0, 0};  // as given, at 96 dpi
    UINT m_sizedTo = 0;
};

// A combo box; each item can carry a number (its item data).
class CComboBox : public CWnd {
public:
    int AddString(const std::wstring& text);
    // Inserts at a position; the sort style does not move it.
    int InsertString(int index, const std::wstring& text);
    void ResetContent();
    int GetCurSel() const;
    int SetCurSel(int index);
    DWORD_PTR GetItemData(int index) const;
    int SetItemData(int index, DWORD_PTR data);
};

class CProgressCtrl : public CWnd {
public:
    void SetRange(short lower, short upper);
    int SetPos(int position);
};

// The rich edit 2.0 control. A read-only one keeps its place when the
// keyboard reaches it: the dialog manager would select all of an edit
// control's text, which moves a reader to the end of a long document.
class CRichEditCtrl : public CWnd {
public:
    long StreamIn(int format, EDITSTREAM& stream);

protected:
    LRESULT OnGetDlgCode(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_TABLE()
};

// A tooltip control that this object creates and owns.
class CToolTipCtrl : public CWnd {
public:
    ~CToolTipCtrl() override;
    bool Create(CWnd& parent);
    // Shows the control a message of the thread, so tips can follow the mouse.
    void RelayEvent(MSG* message);
};

}  // namespace NCommon
