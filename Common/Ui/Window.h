#pragma once

#include <windows.h>

#include <climits>
#include <string>

#include "GdiHolders.h"

namespace NCommon {

class CWnd;

// One row of a message table: which message (and, for WM_COMMAND and
// WM_NOTIFY, which control and notification code) goes to which handler.
struct MessageEntry {
    UINT message;
    int controlId;
    UINT code;
    LRESULT (*invoke)(CWnd& window, UINT message, WPARAM wParam, LPARAM lParam);
};

// A class's table, chained to its base class's table. The most derived
// class's rows are looked at first, so a derived class can take a message
// over from its base.
struct MessageTable {
    const MessageTable* (*base)();
    const MessageEntry* entries;
};

constexpr int kAnyControl = INT_MIN;
constexpr UINT kAnyCode = 0xFFFFFFFFu;
// Stands for all seven WM_CTLCOLOR* messages in one row.
constexpr UINT kCtlColorMessages = 0xFFFFFFF0u;

// Whether a row takes a message; pure, so that the table's rules are tested
// without windows.
bool MessageEntryMatches(const MessageEntry& entry, UINT message, WPARAM wParam, LPARAM lParam);

namespace detail {
template <typename Method>
struct MethodClass;
template <typename Class, typename Result, typename... Args>
struct MethodClass<Result (Class::*)(Args...)> {
    using Type = Class;
};

// LRESULT Handler(WPARAM, LPARAM)
template <auto Handler>
LRESULT InvokeMessage(CWnd& window, UINT, WPARAM wParam, LPARAM lParam)
{
    using Class = typename MethodClass<decltype(Handler)>::Type;
    return (static_cast<Class&>(window).*Handler)(wParam, lParam);
}
// void Handler()
template <auto Handler>
LRESULT InvokeCommand(CWnd& window, UINT, WPARAM, LPARAM)
{
    using Class = typename MethodClass<decltype(Handler)>::Type;
    (static_cast<Class&>(window).*Handler)();
    return 0;
}
// LRESULT Handler(NMHDR*)
template <auto Handler>
LRESULT InvokeNotify(CWnd& window, UINT, WPARAM, LPARAM lParam)
{
    using Class = typename MethodClass<decltype(Handler)>::Type;
    return (static_cast<Class&>(window).*Handler)(reinterpret_cast<NMHDR*>(lParam));
}
// HBRUSH Handler(HDC dc, HWND control, UINT kind), kind as CTLCOLOR_BTN, ...
template <auto Handler>
LRESULT InvokeCtlColor(CWnd& window, UINT message, WPARAM wParam, LPARAM lParam)
{
    using Class = typename MethodClass<decltype(Handler)>::Type;
    return reinterpret_cast<LRESULT>((static_cast<Class&>(window).*Handler)(
        reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), message - WM_CTLCOLORMSGBOX));
}
}  // namespace detail

// In a class: declares its table and the hook that returns it.
#define DECLARE_MESSAGE_TABLE()                                   \
public:                                                           \
    static const ::NCommon::MessageTable* ThisMessageTable();     \
    const ::NCommon::MessageTable* GetMessageTable() const override;

// In a source file, one row per line:
//   BEGIN_MESSAGE_TABLE(ImageDialog, CDialog)
//       ON_MESSAGE(WM_ERASEBKGND, &ImageDialog::OnEraseBkgnd)
//       ON_COMMAND(1008, BN_CLICKED, &EULADialog::OnCancel)
//   END_MESSAGE_TABLE()
#define BEGIN_MESSAGE_TABLE(Class, Base)                                            \
    const ::NCommon::MessageTable* Class::GetMessageTable() const { return ThisMessageTable(); } \
    const ::NCommon::MessageTable* Class::ThisMessageTable()                        \
    {                                                                               \
        static const ::NCommon::MessageTable* (*const base)() = &Base::ThisMessageTable; \
        static const ::NCommon::MessageEntry entries[] = {

#define END_MESSAGE_TABLE()                                  \
            {0, 0, 0, nullptr}};                             \
        static const ::NCommon::MessageTable table = {base, entries}; \
        return &table;                                       \
    }

// LRESULT Handler(WPARAM, LPARAM): any message.
#define ON_MESSAGE(message, handler) \
    {message, ::NCommon::kAnyControl, ::NCommon::kAnyCode, &::NCommon::detail::InvokeMessage<handler>},
// void Handler(): WM_COMMAND from a control (or menu/accelerator) id with a
// notification code (BN_CLICKED, CBN_SELENDOK, ...).
#define ON_COMMAND(id, code, handler) \
    {WM_COMMAND, id, code, &::NCommon::detail::InvokeCommand<handler>},
// LRESULT Handler(NMHDR*): WM_NOTIFY from a control id with a code.
#define ON_NOTIFY(id, code, handler) \
    {WM_NOTIFY, id, code, &::NCommon::detail::InvokeNotify<handler>},
// HBRUSH Handler(HDC, HWND, UINT kind): every control colour query.
#define ON_CTLCOLOR(handler) \
    {::NCommon::kCtlColorMessages, ::NCommon::kAnyControl, ::NCommon::kAnyCode, &::NCommon::detail::InvokeCtlColor<handler>},

// A window seen through our code. It owns no window unless it made one
// (Create... of a derived class); one that it was attached to by
// subclassing stays the property of whoever created it, and the object lets
// go of it when it is destroyed. While attached, every message passes
// through the class's message table first; what no row takes goes on to the
// window's own procedure.
class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;

    // Attaches this object to an existing window; false if it cannot.
    bool SubclassWindow(HWND window);
    bool SubclassDlgItem(int id, CWnd& parent);
    HWND UnsubclassWindow();
    // The object attached to a window by SubclassWindow, or null.
    static CWnd* FromHandlePermanent(HWND window);

    // The message table hook: the most derived class's table.
    static const MessageTable* ThisMessageTable();
    virtual const MessageTable* GetMessageTable() const;

    // Looks a message up in the table chain; true when a row took it.
    bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

    // Thin calls on the attached window.
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    void SetWindowText(const std::wstring& text);
    BOOL ShowWindow(int command);
    BOOL EnableWindow(BOOL enable = TRUE);
    BOOL IsWindowEnabled() const;
    void SetFont(HFONT font, BOOL redraw = TRUE);
    HFONT GetFont() const;
    BOOL RedrawWindow(UINT flags = RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    void GetClientRect(RECT* rect) const;
    void GetWindowRect(RECT* rect) const;
    void MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE);
    BOOL SetWindowPos(HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
    HWND GetDlgItem(int id) const;
    HWND GetParent() const;
    BOOL ModifyStyleEx(DWORD remove, DWORD add);
    // Gives the window a region; the window owns it from then on, so the
    // holder lets go of it only when the call succeeds.
    int SetWindowRgn(ScopedRegion region, BOOL redraw);

protected:
    // The window's own handling of the message being dispatched: what a
    // handler calls for "the default processing".
    LRESULT Default();
    // The whole dispatch of one message: reflection to a child object, the
    // table, then Default. Derived classes rarely need more.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // A message the parent got about this control (WM_DRAWITEM), handed to
    // the control's object; true when handled.
    virtual bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

private:
    static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR self);
    bool ReflectToChild(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

    struct CurrentMessage {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    CurrentMessage m_current = {0, 0, 0};
};

}  // namespace NCommon
