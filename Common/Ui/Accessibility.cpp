#include "Accessibility.h"

#include <commctrl.h>
#include <oleacc.h>

#include <atomic>
#include <cwchar>
#include <memory>
#include <new>

#include "ScopedHandles.h"

namespace NCommon {
namespace {

constexpr UINT_PTR kAccessibleSubclassId = 0x51414343;
// Raised for a live region's change since Windows 8; screen readers read
// the region's new text without it having the focus.
constexpr DWORD kEventLiveRegionChanged = 0x8019;

bool IsClass(const std::wstring& className, const wchar_t* name)
{
    return _wcsicmp(className.c_str(), name) == 0;
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    return name;
}

std::wstring TextOf(HWND window)
{
    const int length = ::GetWindowTextLengthW(window);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(window, &text[0], length + 1)));
    return text;
}

// The static text nearest before the control in the window order, passing
// over buttons (a refresh icon between a list and its label).
std::wstring LabelBefore(HWND control)
{
    for (HWND before = ::GetWindow(control, GW_HWNDPREV); before != nullptr;
         before = ::GetWindow(before, GW_HWNDPREV)) {
        const std::wstring className = ClassOf(before);
        if (IsClass(className, L"Static")) {
            return TextOf(before);
        }
        if (!IsClass(className, L"Button")) {
            break;
        }
    }
    return std::wstring();
}

ControlFacts ReadFacts(HWND control, const std::wstring& fixedName)
{
    ControlFacts facts;
    facts.className = ClassOf(control);
    facts.text = TextOf(control);
    facts.style = static_cast<LONG>(::GetWindowLongW(control, GWL_STYLE));
    facts.fixedName = fixedName;
    facts.label = LabelBefore(control);
    if (IsClass(facts.className, PROGRESS_CLASSW)) {
        facts.position = static_cast<int>(::SendMessageW(control, PBM_GETPOS, 0, 0));
        facts.low = static_cast<int>(::SendMessageW(control, PBM_GETRANGE, TRUE, 0));
        facts.high = static_cast<int>(::SendMessageW(control, PBM_GETRANGE, FALSE, 0));
    } else if (IsClass(facts.className, L"ComboBox")) {
        const LRESULT selected = ::SendMessageW(control, CB_GETCURSEL, 0, 0);
        const LRESULT length = selected == CB_ERR ? CB_ERR : ::SendMessageW(control, CB_GETLBTEXTLEN, selected, 0);
        if (length != CB_ERR) {
            std::wstring entry(static_cast<size_t>(length) + 1, L'\0');
            ::SendMessageW(control, CB_GETLBTEXT, selected, reinterpret_cast<LPARAM>(&entry[0]));
            entry.resize(static_cast<size_t>(length));
            facts.selection = entry;
        }
    }
    return facts;
}

// The platform's proxy for a control, with what DescribeControl says in
// place of its name, role, value and shortcut. Made afresh for each
// question, so it tells what the control shows at that moment.
class DescribedAccessible final : public IAccessible {
public:
    DescribedAccessible(IAccessible* proxy, AccessibleDescription description)
        : m_proxy(proxy), m_description(std::move(description))
    {
        m_proxy->AddRef();
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IDispatch) || IsEqualIID(id, IID_IAccessible)) {
            *object = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --m_references;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // IDispatch: the proxy's.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return m_proxy->GetTypeInfoCount(count); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override
    {
        return m_proxy->GetTypeInfo(index, locale, info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID id, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* ids) override
    {
        return m_proxy->GetIDsOfNames(id, names, count, locale, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID id, LCID locale, WORD flags, DISPPARAMS* parameters,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argument) override
    {
        return m_proxy->Invoke(member, id, locale, flags, parameters, result, exception, argument);
    }

    // IAccessible: the description's answers for the control itself.
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override
    {
        if (!IsSelf(child) || m_description.name.empty()) {
            return m_proxy->get_accName(child, name);
        }
        return Answer(m_description.name, name);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override
    {
        if (!IsSelf(child) || !m_description.hasValue) {
            return m_proxy->get_accValue(child, value);
        }
        return Answer(m_description.value, value);
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override
    {
        if (!IsSelf(child) || m_description.role == 0 || role == nullptr) {
            return m_proxy->get_accRole(child, role);
        }
        ::VariantInit(role);
        role->vt = VT_I4;
        role->lVal = m_description.role;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) override
    {
        if (!IsSelf(child) || m_description.role == 0) {
            return m_proxy->get_accKeyboardShortcut(child, shortcut);
        }
        // Ours, also when there is none: the proxy would take one from a
        // text that has no access key (a drive's label with an "&").
        if (m_description.shortcut.empty()) {
            if (shortcut != nullptr) {
                *shortcut = nullptr;
            }
            return S_FALSE;
        }
        return Answer(m_description.shortcut, shortcut);
    }

    // The rest: the proxy's.
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override { return m_proxy->get_accParent(parent); }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override { return m_proxy->get_accChildCount(count); }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override
    {
        return m_proxy->get_accChild(child, object);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) override
    {
        return m_proxy->get_accDescription(child, description);
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override
    {
        return m_proxy->get_accState(child, state);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) override { return m_proxy->get_accHelp(child, help); }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override
    {
        return m_proxy->get_accHelpTopic(file, child, topic);
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override { return m_proxy->get_accFocus(focus); }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override
    {
        return m_proxy->get_accSelection(selection);
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override
    {
        return m_proxy->get_accDefaultAction(child, action);
    }
    HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override { return m_proxy->accSelect(flags, child); }
    HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height, VARIANT child) override
    {
        return m_proxy->accLocation(left, top, width, height, child);
    }
    HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override
    {
        return m_proxy->accNavigate(direction, start, end);
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long left, long top, VARIANT* child) override
    {
        return m_proxy->accHitTest(left, top, child);
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override { return m_proxy->accDoDefaultAction(child); }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override { return m_proxy->put_accName(child, name); }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override
    {
        return m_proxy->put_accValue(child, value);
    }

private:
    ~DescribedAccessible() { m_proxy->Release(); }

    static bool IsSelf(const VARIANT& child) { return child.vt == VT_I4 && child.lVal == CHILDID_SELF; }

    static HRESULT Answer(const std::wstring& text, BSTR* out)
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    std::atomic<ULONG> m_references{1};
    IAccessible* m_proxy;
    const AccessibleDescription m_description;
};

// Owned by the control's subclass, gone with the control.
struct ExposedControl {
    std::wstring fixedName;
};

LRESULT AnswerScreenReader(HWND control, WPARAM wParam, const ExposedControl& exposed)
{
    ComPtr<IAccessible> proxy;
    if (FAILED(::CreateStdAccessibleObject(control, static_cast<LONG>(OBJID_CLIENT), IID_IAccessible,
                                           proxy.put_void())) ||
        !proxy) {
        return 0;
    }
    try {
        auto* described =
            new DescribedAccessible(proxy.get(), DescribeControl(ReadFacts(control, exposed.fixedName)));
        const LRESULT result = ::LresultFromObject(IID_IAccessible, wParam, described);
        described->Release();
        return result;
    } catch (const std::bad_alloc&) {
        return 0;  // nothing of ours: the platform answers as it would have
    }
}

LRESULT CALLBACK AccessibleControlProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                       DWORD_PTR data)
{
    auto* exposed = reinterpret_cast<ExposedControl*>(data);
    if (message == WM_GETOBJECT && static_cast<LONG>(lParam) == static_cast<LONG>(OBJID_CLIENT)) {
        if (const LRESULT answer = AnswerScreenReader(control, wParam, *exposed)) {
            return answer;
        }
    } else if (message == WM_NCDESTROY) {
        ::RemoveWindowSubclass(control, &AccessibleControlProc, kAccessibleSubclassId);
        delete exposed;
    }
    return ::DefSubclassProc(control, message, wParam, lParam);
}

}  // namespace

std::wstring CaptionLiteral(const std::wstring& text)
{
    std::wstring literal;
    for (const wchar_t c : text) {
        literal += c;
        if (c == L'&') {
            literal += L'&';
        }
    }
    return literal;
}

std::wstring NameFromCaption(const std::wstring& caption)
{
    std::wstring name;
    for (size_t i = 0; i < caption.size(); ++i) {
        const wchar_t c = caption[i];
        if (c == L'&') {
            if (i + 1 < caption.size() && caption[i + 1] == L'&') {
                name += L'&';
                ++i;
            }
        } else if (c == L'\n' || c == L'\r') {
            const bool blankFollows = i + 1 < caption.size() && caption[i + 1] == L' ';
            if (!name.empty() && name.back() != L' ' && !blankFollows) {
                name += L' ';
            }
        } else {
            name += c;
        }
    }
    while (!name.empty() && name.back() == L' ') {
        name.pop_back();
    }
    return name;
}

std::wstring ShortcutFromCaption(const std::wstring& caption)
{
    for (size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != L'&') {
            continue;
        }
        if (caption[i + 1] == L'&') {
            ++i;
            continue;
        }
        return std::wstring(L"Alt+") + caption[i + 1];
    }
    return std::wstring();
}

AccessibleDescription DescribeControl(const ControlFacts& facts)
{
    AccessibleDescription description;
    const std::wstring& kind = facts.className;
    if (IsClass(kind, L"Button")) {
        description.role = ROLE_SYSTEM_PUSHBUTTON;
        description.name = NameFromCaption(facts.text);
        description.shortcut = ShortcutFromCaption(facts.text);
    } else if (IsClass(kind, L"Static")) {
        description.role = ROLE_SYSTEM_STATICTEXT;
        // Static texts show an ampersand as it is unless told otherwise.
        description.name = (facts.style & SS_NOPREFIX) != 0 ? facts.text : NameFromCaption(facts.text);
    } else if (IsClass(kind, L"ComboBox")) {
        description.role = ROLE_SYSTEM_COMBOBOX;
        description.name = NameFromCaption(facts.label);
        // A list's access key is its label's, never one in an entry.
        description.shortcut = ShortcutFromCaption(facts.label);
        description.hasValue = true;
        description.value = facts.selection;
    } else if (IsClass(kind, PROGRESS_CLASSW)) {
        description.role = ROLE_SYSTEM_PROGRESSBAR;
        description.name = NameFromCaption(facts.label);
        const int span = facts.high - facts.low;
        const int percent = span > 0 ? ((facts.position - facts.low) * 100 + span / 2) / span : 0;
        description.hasValue = true;
        description.value = std::to_wstring(percent) + L"%";
    } else if (IsClass(kind, L"Edit") || IsClass(kind, L"RichEdit20W") || IsClass(kind, L"RICHEDIT50W")) {
        description.role = ROLE_SYSTEM_TEXT;
        description.name = NameFromCaption(facts.label);
    }
    if (!facts.fixedName.empty()) {
        description.name = facts.fixedName;
    }
    return description;
}

void ExposeToScreenReaders(HWND dialog, const std::vector<std::pair<int, std::wstring>>& fixedNames)
{
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        auto exposed = std::make_unique<ExposedControl>();
        const int id = ::GetDlgCtrlID(child);
        for (const auto& fixed : fixedNames) {
            if (fixed.first == id) {
                exposed->fixedName = fixed.second;
            }
        }
        // From here on the subclass owns it, and frees it with the control.
        if (::SetWindowSubclass(child, &AccessibleControlProc, kAccessibleSubclassId,
                                reinterpret_cast<DWORD_PTR>(exposed.get()))) {
            exposed.release();
        }
    }
}

void AnnounceTextChange(HWND control)
{
    ::NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, control, OBJID_CLIENT, CHILDID_SELF);
    ::NotifyWinEvent(kEventLiveRegionChanged, control, OBJID_CLIENT, CHILDID_SELF);
}

void AnnounceValueChange(HWND control)
{
    ::NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, control, OBJID_CLIENT, CHILDID_SELF);
}

}  // namespace NCommon
