#include "Dialog.h"

namespace NCommon {

BEGIN_MESSAGE_TABLE(CDialog, CWnd)
    ON_COMMAND(IDOK, BN_CLICKED, &CDialog::OnOK)
    ON_COMMAND(IDCANCEL, BN_CLICKED, &CDialog::OnCancel)
END_MESSAGE_TABLE()

CDialog::CDialog(UINT templateId, CWnd* parent)
    : m_templateId(templateId), m_owner(parent != nullptr ? parent->m_hWnd : nullptr)
{
}

CDialog::~CDialog()
{
    // A dialog object that still has a window (its run was never ended)
    // takes the window with it rather than leave it pointing at freed memory.
    if (m_hWnd != nullptr) {
        ::DestroyWindow(m_hWnd);
    }
}

INT_PTR CDialog::DoModal()
{
    if (m_hWnd != nullptr) {
        return -1;
    }
    m_endRequested = false;
    m_result = -1;

    HWND owner = m_owner;
    const bool disableOwner = owner != nullptr && ::IsWindowEnabled(owner);
    if (disableOwner) {
        ::EnableWindow(owner, FALSE);
    }

    HWND dialog = ::CreateDialogParamW(ResourceModule(), MAKEINTRESOURCEW(m_templateId), owner,
                                       &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    if (dialog != nullptr) {
        // The templates carry no WS_VISIBLE: the dialog shows once its
        // initialisation has laid it out.
        if (!m_endRequested) {
            ::ShowWindow(dialog, SW_SHOWNORMAL);
        }
        MSG message;
        while (!m_endRequested) {
            const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
            if (got == -1) {
                break;
            }
            if (got == 0) {
                // WM_QUIT ends the run and is left for an outer loop.
                ::PostQuitMessage(static_cast<int>(message.wParam));
                break;
            }
            if (!PreTranslateMessage(&message) && !::IsDialogMessageW(dialog, &message)) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
        }
    }

    // The owner is enabled before the dialog goes, so that it, not some
    // other program, is activated next.
    if (disableOwner) {
        ::EnableWindow(owner, TRUE);
    }
    if (dialog != nullptr) {
        if (owner != nullptr && ::GetActiveWindow() == dialog) {
            ::SetActiveWindow(owner);
        }
        ::DestroyWindow(dialog);
    }
    return m_result;
}

void CDialog::EndDialog(int result)
{
    m_result = result;
    m_endRequested = true;
    // Wakes the loop in case this came from outside any message.
    if (m_hWnd != nullptr) {
        ::PostMessageW(m_hWnd, WM_NULL, 0, 0);
    }
}

BOOL CDialog::OnInitDialog()
{
    DoDataExchange();
    return TRUE;
}

BOOL CDialog::PreTranslateMessage(MSG*)
{
    return FALSE;
}

void CDialog::DoDataExchange() {}

bool CDialog::DDX_Control(int id, CWnd& control)
{
    return control.SubclassDlgItem(id, *this);
}

void CDialog::OnOK()
{
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM, LPARAM lParam)
{
    if (message != WM_INITDIALOG) {
        // Everything else reaches the object through its subclass first;
        // what arrives here is the default processing.
        return FALSE;
    }
    CDialog* self = reinterpret_cast<CDialog*>(lParam);
    if (self == nullptr || !self->SubclassWindow(window)) {
        return TRUE;
    }
    return self->OnInitDialog();
}

}  // namespace NCommon
