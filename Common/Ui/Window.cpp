#include "Window.h"

#include <commctrl.h>

#include "CompressedBitmap.h"

namespace NCommon {
namespace {
// Our subclass among the others a window may have (comctl32 keeps them apart
// by procedure and id).
constexpr UINT_PTR kSubclassId = 0x51554C4E;
// The object attached to a window is found again through a window property
// rather than GetWindowSubclass: Debian's x86_64 import library for comctl32
// lacks that function, and the property works the same on every architecture.
constexpr wchar_t kObjectProperty[] = L"NCommon.CWnd";
}  // namespace

std::atomic<long>& LiveGdiObjectsForTesting()
{
    static std::atomic<long> count(0);
    return count;
}

HINSTANCE ResourceModule()
{
    return ::GetModuleHandleW(nullptr);
}

HBITMAP LoadBitmapResource(HINSTANCE module, UINT id)
{
    if (HBITMAP bitmap = ::LoadBitmapW(module, MAKEINTRESOURCEW(id))) {
        return bitmap;
    }
    return LoadCompressedBitmap(module, id);
}

bool MessageEntryMatches(const MessageEntry& entry, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (entry.message == kCtlColorMessages) {
        return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC;
    }
    if (entry.message != message) {
        return false;
    }
    int id = 0;
    UINT code = 0;
    if (message == WM_COMMAND) {
        id = static_cast<int>(static_cast<short>(LOWORD(wParam)));
        code = HIWORD(wParam);
    } else if (message == WM_NOTIFY) {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header == nullptr) {
            return false;
        }
        id = static_cast<int>(static_cast<short>(LOWORD(header->idFrom)));
        code = header->code;
    } else {
        return true;
    }
    const bool idMatches = entry.controlId == kAnyControl ||
                           static_cast<short>(LOWORD(entry.controlId)) == static_cast<short>(id);
    const bool codeMatches = entry.code == kAnyCode || entry.code == code;
    return idMatches && codeMatches;
}

CWnd::~CWnd()
{
    UnsubclassWindow();
}

const MessageTable* CWnd::ThisMessageTable()
{
    static const MessageEntry entries[] = {{0, 0, 0, nullptr}};
    static const MessageTable table = {nullptr, entries};
    return &table;
}

const MessageTable* CWnd::GetMessageTable() const
{
    return ThisMessageTable();
}

bool CWnd::SubclassWindow(HWND window)
{
    if (m_hWnd != nullptr || window == nullptr || FromHandlePermanent(window) != nullptr) {
        return false;
    }
    if (!::SetPropW(window, kObjectProperty, this)) {
        return false;
    }
    if (!::SetWindowSubclass(window, &CWnd::SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this))) {
        ::RemovePropW(window, kObjectProperty);
        return false;
    }
    m_hWnd = window;
    return true;
}

bool CWnd::SubclassDlgItem(int id, CWnd& parent)
{
    return SubclassWindow(::GetDlgItem(parent.m_hWnd, id));
}

HWND CWnd::UnsubclassWindow()
{
    HWND window = m_hWnd;
    if (window != nullptr) {
        ::RemoveWindowSubclass(window, &CWnd::SubclassProc, kSubclassId);
        ::RemovePropW(window, kObjectProperty);
        m_hWnd = nullptr;
    }
    return window;
}

CWnd* CWnd::FromHandlePermanent(HWND window)
{
    if (window == nullptr) {
        return nullptr;
    }
    return static_cast<CWnd*>(::GetPropW(window, kObjectProperty));
}

LRESULT CALLBACK CWnd::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                    UINT_PTR, DWORD_PTR selfValue)
{
    CWnd* self = reinterpret_cast<CWnd*>(selfValue);
    if (message == WM_NCDESTROY) {
        // The window goes away: the object lets go of it and lives on
        // (a dialog's members are reused if it runs again).
        const LRESULT result = ::DefSubclassProc(window, message, wParam, lParam);
        if (self->m_hWnd == window) {
            self->UnsubclassWindow();
        }
        return result;
    }
    return self->WindowProc(message, wParam, lParam);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    const CurrentMessage saved = m_current;
    m_current = {message, wParam, lParam};
    LRESULT result = 0;
    if (!ReflectToChild(message, wParam, lParam, &result) && !OnWndMsg(message, wParam, lParam, &result)) {
        result = Default();
    }
    m_current = saved;
    return result;
}

bool CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    for (const MessageTable* table = GetMessageTable(); table != nullptr;
         table = table->base != nullptr ? table->base() : nullptr) {
        for (const MessageEntry* entry = table->entries; entry->invoke != nullptr; ++entry) {
            if (MessageEntryMatches(*entry, message, wParam, lParam)) {
                *result = entry->invoke(*this, message, wParam, lParam);
                return true;
            }
        }
    }
    return false;
}

bool CWnd::ReflectToChild(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    if (message != WM_DRAWITEM) {
        return false;
    }
    const DRAWITEMSTRUCT* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    if (item == nullptr || item->CtlType == ODT_MENU) {
        return false;
    }
    CWnd* child = FromHandlePermanent(item->hwndItem);
    return child != nullptr && child->OnChildNotify(message, wParam, lParam, result);
}

bool CWnd::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT*)
{
    return false;
}

LRESULT CWnd::Default()
{
    return ::DefSubclassProc(m_hWnd, m_current.message, m_current.wParam, m_current.lParam);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::SendMessageW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::PostMessageW(m_hWnd, message, wParam, lParam);
}

void CWnd::SetWindowText(const std::wstring& text)
{
    ::SetWindowTextW(m_hWnd, text.c_str());
}

BOOL CWnd::ShowWindow(int command)
{
    return ::ShowWindow(m_hWnd, command);
}

BOOL CWnd::EnableWindow(BOOL enable)
{
    return ::EnableWindow(m_hWnd, enable);
}

BOOL CWnd::IsWindowEnabled() const
{
    return ::IsWindowEnabled(m_hWnd);
}

void CWnd::SetFont(HFONT font, BOOL redraw)
{
    ::SendMessageW(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), MAKELPARAM(redraw, 0));
}

HFONT CWnd::GetFont() const
{
    return reinterpret_cast<HFONT>(::SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
}

BOOL CWnd::RedrawWindow(UINT flags)
{
    return ::RedrawWindow(m_hWnd, nullptr, nullptr, flags);
}

void CWnd::GetClientRect(RECT* rect) const
{
    ::GetClientRect(m_hWnd, rect);
}

void CWnd::GetWindowRect(RECT* rect) const
{
    ::GetWindowRect(m_hWnd, rect);
}

void CWnd::MoveWindow(int x, int y, int width, int height, BOOL repaint)
{
    ::MoveWindow(m_hWnd, x, y, width, height, repaint);
}

BOOL CWnd::SetWindowPos(HWND insertAfter, int x, int y, int cx, int cy, UINT flags)
{
    return ::SetWindowPos(m_hWnd, insertAfter, x, y, cx, cy, flags);
}

HWND CWnd::GetDlgItem(int id) const
{
    return ::GetDlgItem(m_hWnd, id);
}

HWND CWnd::GetParent() const
{
    return ::GetParent(m_hWnd);
}

BOOL CWnd::ModifyStyleEx(DWORD remove, DWORD add)
{
    const LONG_PTR style = ::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE);
    const LONG_PTR changed = (style & ~static_cast<LONG_PTR>(remove)) | static_cast<LONG_PTR>(add);
    if (changed == style) {
        return FALSE;
    }
    ::SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, changed);
    return TRUE;
}

int CWnd::SetWindowRgn(ScopedRegion region, BOOL redraw)
{
    const int result = ::SetWindowRgn(m_hWnd, region.get(), redraw);
    if (result != 0) {
        region.release();
    }
    return result;
}

}  // namespace NCommon
