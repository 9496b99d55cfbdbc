#include "Controls.h"

#include <commctrl.h>

#include "DpiScale.h"

namespace NCommon {

// ---- CButton ------------------------------------------------------------

void CButton::DrawItem(DRAWITEMSTRUCT*) {}

bool CButton::OnChildNotify(UINT message, WPARAM, LPARAM lParam, LRESULT* result)
{
    if (message != WM_DRAWITEM) {
        return false;
    }
    DrawItem(reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
    *result = TRUE;
    return true;
}

// ---- CBitmapButton ------------------------------------------------------

namespace {
HBITMAP LoadOptional(UINT id, int dpi)
{
    return id == 0 ? nullptr : LoadBitmapResource(ResourceModule(), ImageIdForDpi(id, dpi));
}
}  // namespace

bool CBitmapButton::LoadBitmaps(UINT normal, UINT selected, UINT focus, UINT disabled)
{
    const int dpi = LayoutDpiOf(m_hWnd);
    m_ids[0] = normal;
    m_ids[1] = selected;
    m_ids[2] = focus;
    m_ids[3] = disabled;
    m_bitmap.reset(LoadOptional(normal, dpi));
    m_bitmapSel.reset(LoadOptional(selected, dpi));
    m_bitmapFocus.reset(LoadOptional(focus, dpi));
    m_bitmapDisabled.reset(LoadOptional(disabled, dpi));
    return m_bitmap.valid();
}

void CBitmapButton::SizeToContent()
{
    BITMAP info = {};
    if (!m_bitmap || ::GetObjectW(m_bitmap.get(), sizeof(info), &info) == 0) {
        return;
    }
    m_sizedTo = m_ids[0];
    SetWindowPos(nullptr, 0, 0, info.bmWidth, info.bmHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CBitmapButton::ReloadBitmaps()
{
    const UINT ids[4] = {m_ids[0], m_ids[1], m_ids[2], m_ids[3]};
    if (const UINT sizedTo = m_sizedTo; sizedTo != 0) {
        // A button may show an image other than the one it was sized to
        // (a grey bar at the green one's size): sized to that one again.
        LoadBitmaps(sizedTo);
        SizeToContent();
    }
    if (ids[0] != 0) {
        LoadBitmaps(ids[0], ids[1], ids[2], ids[3]);
    }
}

HBITMAP CBitmapButton::GetBitmap(ButtonImage image) const
{
    switch (image) {
    case ButtonImage::Selected:
        return m_bitmapSel.get();
    case ButtonImage::Focus:
        return m_bitmapFocus.get();
    case ButtonImage::Disabled:
        return m_bitmapDisabled.get();
    case ButtonImage::Normal:
        break;
    }
    return m_bitmap.get();
}

// ---- CComboBox ----------------------------------------------------------

int CComboBox::AddString(const std::wstring& text)
{
    return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

int CComboBox::InsertString(int index, const std::wstring& text)
{
    return static_cast<int>(SendMessage(CB_INSERTSTRING, static_cast<WPARAM>(index),
                                        reinterpret_cast<LPARAM>(text.c_str())));
}

void CComboBox::ResetContent()
{
    SendMessage(CB_RESETCONTENT);
}

int CComboBox::GetCurSel() const
{
    return static_cast<int>(SendMessage(CB_GETCURSEL));
}

int CComboBox::SetCurSel(int index)
{
    return static_cast<int>(SendMessage(CB_SETCURSEL, static_cast<WPARAM>(index)));
}

DWORD_PTR CComboBox::GetItemData(int index) const
{
    return static_cast<DWORD_PTR>(SendMessage(CB_GETITEMDATA, static_cast<WPARAM>(index)));
}

int CComboBox::SetItemData(int index, DWORD_PTR data)
{
    return static_cast<int>(SendMessage(CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(data)));
}

// ---- CProgressCtrl ------------------------------------------------------

void CProgressCtrl::SetRange(short lower, short upper)
{
    SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
}

int CProgressCtrl::SetPos(int position)
{
    return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(position)));
}

// ---- CRichEditCtrl ------------------------------------------------------

BEGIN_MESSAGE_TABLE(CRichEditCtrl, CWnd)
    ON_MESSAGE(WM_GETDLGCODE, &CRichEditCtrl::OnGetDlgCode)
END_MESSAGE_TABLE()

LRESULT CRichEditCtrl::OnGetDlgCode(WPARAM, LPARAM)
{
    LRESULT code = Default();
    if ((::GetWindowLongPtrW(m_hWnd, GWL_STYLE) & ES_READONLY) != 0) {
        code &= ~static_cast<LRESULT>(DLGC_HASSETSEL);
    }
    return code;
}

long CRichEditCtrl::StreamIn(int format, EDITSTREAM& stream)
{
    return static_cast<long>(SendMessage(EM_STREAMIN, static_cast<WPARAM>(format),
                                         reinterpret_cast<LPARAM>(&stream)));
}

// ---- CToolTipCtrl -------------------------------------------------------

CToolTipCtrl::~CToolTipCtrl()
{
    // Usually gone already with its owner, the dialog.
    if (HWND window = UnsubclassWindow()) {
        ::DestroyWindow(window);
    }
}

bool CToolTipCtrl::Create(CWnd& parent)
{
    if (m_hWnd != nullptr) {
        return false;
    }
    HWND window = ::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP, CW_USEDEFAULT,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, parent.m_hWnd, nullptr,
                                    ResourceModule(), nullptr);
    if (window == nullptr) {
        return false;
    }
    if (!SubclassWindow(window)) {
        ::DestroyWindow(window);
        return false;
    }
    return true;
}

void CToolTipCtrl::RelayEvent(MSG* message)
{
    if (m_hWnd != nullptr) {
        SendMessage(TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(message));
    }
}

}  // namespace NCommon
