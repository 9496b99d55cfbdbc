#include "Dialog.h"

#include <cwchar>

namespace NCommon {
namespace {

// Where the last modal dialog of this process stood when it ended: the next
// one opens over it, so that a window the user dragged aside is followed
// there by its successor.
bool g_hasLastPlace = false;
RECT g_lastPlace = {0, 0, 0, 0};

// Whether the last input any dialog of this process saw was a key: the
// platform's rule for showing focus cues in a window that opens.
bool g_keyboardInUse = false;

bool HasClass(HWND window, const wchar_t* name)
{
    wchar_t found[32] = {};
    return window != nullptr && ::GetClassNameW(window, found, 32) > 0 && _wcsicmp(found, name) == 0;
}

// A drop-down list that is open wants Enter and Esc for itself: they choose
// or dismiss the entry.
bool IsOpenDropDown(HWND focus)
{
    for (HWND window : {focus, focus != nullptr ? ::GetParent(focus) : nullptr}) {
        if (HasClass(window, L"ComboBox")) {
            return ::SendMessageW(window, CB_GETDROPPEDSTATE, 0, 0) != 0;
        }
    }
    return false;
}

bool IsPushButton(HWND window)
{
    if (!HasClass(window, L"Button")) {
        return false;
    }
    const LONG_PTR type = ::GetWindowLongPtrW(window, GWL_STYLE) & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON || type == BS_OWNERDRAW;
}

bool IsNavigationKey(WPARAM key)
{
    return key == VK_TAB || key == VK_LEFT || key == VK_RIGHT || key == VK_UP || key == VK_DOWN;
}

}  // namespace

EnterAction DecideEnter(bool focusTakesEnter, bool focusIsButton, bool mainActionArmed)
{
    if (focusTakesEnter) {
        return EnterAction::LeaveToControl;
    }
    if (focusIsButton) {
        return EnterAction::PressFocusedButton;
    }
    return mainActionArmed ? EnterAction::MainAction : EnterAction::Nothing;
}

POINT CentredPosition(SIZE size, const RECT& over, const RECT& workArea)
{
    LONG left = over.left + ((over.right - over.left) - size.cx) / 2;
    LONG top = over.top + ((over.bottom - over.top) - size.cy) / 2;
    if (left + size.cx > workArea.right) {
        left = workArea.right - size.cx;
    }
    if (top + size.cy > workArea.bottom) {
        top = workArea.bottom - size.cy;
    }
    if (left < workArea.left) {
        left = workArea.left;
    }
    if (top < workArea.top) {
        top = workArea.top;
    }
    return POINT{left, top};
}

BEGIN_MESSAGE_TABLE(CDialog, CWnd)
    ON_COMMAND(IDOK, BN_CLICKED, &CDialog::OnOK)
    ON_COMMAND(IDCANCEL, BN_CLICKED, &CDialog::OnCancel)
    ON_MESSAGE(WM_QUERYUISTATE, &CDialog::OnQueryUiState)
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
        RunMessageLoop(dialog);
    }

    // The owner is enabled before the dialog goes, so that it, not some
    // other program, is activated next.
    if (disableOwner) {
        ::EnableWindow(owner, TRUE);
    }
    if (dialog != nullptr) {
        DestroyAfterRun(dialog, owner);
    }
    return m_result;
}

void CDialog::RunMessageLoop(HWND dialog)
{
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
        if (PreTranslateMessage(&message) || HandleDialogKey(message) || ::IsDialogMessageW(dialog, &message)) {
            continue;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void CDialog::DestroyAfterRun(HWND dialog, HWND owner)
{
    if (::IsWindowVisible(dialog)) {
        g_hasLastPlace = ::GetWindowRect(dialog, &g_lastPlace) != FALSE;
    }
    if (owner != nullptr && ::GetActiveWindow() == dialog) {
        ::SetActiveWindow(owner);
    }
    ::DestroyWindow(dialog);
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

int CDialog::ArmedMainAction() const
{
    return 0;
}

bool CDialog::HandleDialogKey(const MSG& message)
{
    if (!NoteInputKind(message) || (message.message != WM_KEYDOWN && message.message != WM_SYSKEYDOWN)) {
        return false;
    }
    HWND focus = ::GetFocus();
    if (focus != m_hWnd && !::IsChild(m_hWnd, focus)) {
        focus = nullptr;
    }
    if (message.message == WM_SYSKEYDOWN) {
        // Alt shows where the access keys are; the dialog manager presses them.
        ShowCuesForNavigation(focus);
        return false;
    }
    if (IsNavigationKey(message.wParam)) {
        ShowCuesForNavigation(focus);
        return false;
    }
    if (message.wParam == VK_ESCAPE) {
        return HandleEscape(focus);
    }
    if (message.wParam == VK_RETURN) {
        return HandleEnter(focus);
    }
    return false;
}

bool CDialog::NoteInputKind(const MSG& message) const
{
    switch (message.message) {
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_NCLBUTTONDOWN:
        g_keyboardInUse = false;
        return false;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
        if (message.hwnd != m_hWnd && !::IsChild(m_hWnd, message.hwnd)) {
            return false;
        }
        g_keyboardInUse = true;
        return true;
    default:
        return false;
    }
}

void CDialog::ShowCuesForNavigation(HWND focus)
{
    // The focus moves where the user cannot see it unless the cues show.
    if (m_hideFocusCues) {
        HideFocusCues(false);
        if (focus != nullptr) {
            ::InvalidateRect(focus, nullptr, TRUE);
        }
    }
}

bool CDialog::HandleEscape(HWND focus)
{
    if (IsOpenDropDown(focus)) {
        return false;
    }
    ::SendMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return true;
}

bool CDialog::HandleEnter(HWND focus)
{
    const bool onButton = focus != nullptr && IsPushButton(focus);
    const int focusId = onButton ? ::GetDlgCtrlID(focus) : 0;
    const int mainAction = ArmedMainAction();
    switch (DecideEnter(IsOpenDropDown(focus), onButton, mainAction != 0)) {
    case EnterAction::LeaveToControl:
        return false;
    case EnterAction::PressFocusedButton:
        ::SendMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(focusId, BN_CLICKED), reinterpret_cast<LPARAM>(focus));
        return true;
    case EnterAction::MainAction:
        ::SendMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(mainAction, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(m_hWnd, mainAction)));
        return true;
    case EnterAction::Nothing:
        return true;
    }
    return true;
}

void CDialog::HideFocusCues(bool hide)
{
    // A user who has the cues shown always keeps them.
    BOOL alwaysShown = FALSE;
    if (!::SystemParametersInfoW(SPI_GETKEYBOARDCUES, 0, &alwaysShown, 0)) {
        alwaysShown = FALSE;
    }
    const bool wasHidden = m_hideFocusCues;
    m_hideFocusCues = hide && !alwaysShown;
    ::SendMessageW(m_hWnd, WM_CHANGEUISTATE,
                   MAKEWPARAM(m_hideFocusCues ? UIS_SET : UIS_CLEAR, UISF_HIDEFOCUS | UISF_HIDEACCEL), 0);
    if (wasHidden != m_hideFocusCues) {
        // Every caption shows or hides its access key's underline at once;
        // Wine passes the change on to no child.
        ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
    }
}

LRESULT CDialog::OnQueryUiState(WPARAM, LPARAM)
{
    LRESULT state = Default() & ~static_cast<LRESULT>(UISF_HIDEFOCUS | UISF_HIDEACCEL);
    if (m_hideFocusCues) {
        state |= UISF_HIDEFOCUS | UISF_HIDEACCEL;
    }
    return state;
}

void CDialog::PlaceAfterInit(POINT before)
{
    // Focus cues follow the last input: hidden after the mouse, shown after
    // the keyboard, as a window that opens gets them on Windows.
    HideFocusCues(!g_keyboardInUse);

    RECT window = {};
    ::GetWindowRect(m_hWnd, &window);
    if (window.left != before.x || window.top != before.y) {
        return;  // the initialisation placed it
    }
    // Over the owner when there is one, as modal dialogs open; else over the
    // dialog that ran before; else in the middle of the work area.
    RECT over = g_lastPlace;
    bool overWindow = g_hasLastPlace;
    HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
    if (owner != nullptr && ::IsWindowVisible(owner) && ::GetWindowRect(owner, &over)) {
        overWindow = true;
    }
    HMONITOR monitor = overWindow ? ::MonitorFromRect(&over, MONITOR_DEFAULTTONEAREST)
                                  : ::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    if (!::GetMonitorInfoW(monitor, &info)) {
        return;
    }
    const POINT place = CentredPosition(SIZE{window.right - window.left, window.bottom - window.top},
                                        overWindow ? over : info.rcWork, info.rcWork);
    ::SetWindowPos(m_hWnd, nullptr, place.x, place.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
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
    RECT before = {};
    ::GetWindowRect(window, &before);
    const BOOL result = self->OnInitDialog();
    if (self->m_hWnd == window) {
        self->PlaceAfterInit(POINT{before.left, before.top});
    }
    return result;
}

}  // namespace NCommon
