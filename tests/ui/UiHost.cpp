// Hosts the dialog toolkit on the real templates and images, so that the
// skinned dialog and the image button can be looked at and driven from
// outside before the installer's dialogs exist.
//
//   ui_host.exe --template ID [--skin ID|-1] [options]
//     --frame L,T,R,B          GetFrameRect answers true with this rectangle
//     --no-layout              no DialogFontLayout
//     --apply-twice            Apply the layout twice
//     --restore-unapplied      Restore a never-applied layout before applying
//     --restore                Apply, then Restore
//     --images ID=N[,S[,F[,D]]]  a button's normal, pressed, hover, disabled
//     --caption ID=TEXT        "\n" in TEXT is a line break
//     --caption-offsets ID=X,Y
//     --multi-line ID
//     --caption-font ID=FACE,HEIGHT,WEIGHT
//     --disable ID
//     --region DIAMETER        a rounded window region, as the dialogs have
//     --owner                  run with an owner window; report its state
//     --runs N                 open and close the dialog N times (leak check)
//
// Prints one line per event ("ready", "click ID", "result N", ...) and
// flushes each, so a test can follow it while the dialog is open.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AnimatedBitmapButton.h"
#include "DialogFontLayout.h"
#include "ImageDialog.h"

namespace {

using NCommon::AnimatedBitmapButton;

struct Images {
    UINT normal = 0, selected = 0, focus = 0, disabled = 0;
};

struct CaptionFont {
    std::wstring face;
    int height = 0;
    int weight = 0;
};

struct Options {
    UINT templateId = 0;
    int skinId = -1;
    bool frame = false;
    RECT frameRect = {};
    bool layout = true;
    bool applyTwice = false;
    bool restoreUnapplied = false;
    bool restore = false;
    std::map<int, Images> images;
    std::map<int, std::wstring> captions;
    std::map<int, POINT> offsets;
    std::map<int, bool> multiLine;
    std::map<int, CaptionFont> captionFonts;
    std::vector<int> disabled;
    int region = 0;
    bool owner = false;
    int runs = 0;
    bool checkAlpha = false;
};

void Say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("\n");
    fflush(stdout);
}

std::vector<int> Numbers(const std::wstring& text)
{
    std::vector<int> numbers;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find(L',', start);
        numbers.push_back(_wtoi(text.substr(start, end - start).c_str()));
        if (end == std::wstring::npos) {
            break;
        }
        start = end + 1;
    }
    return numbers;
}

// "ID=REST" into the id and the rest.
std::pair<int, std::wstring> Keyed(const std::wstring& text)
{
    const size_t equals = text.find(L'=');
    return {_wtoi(text.substr(0, equals).c_str()), equals == std::wstring::npos ? L"" : text.substr(equals + 1)};
}

std::wstring Unescape(const std::wstring& text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'n') {
            out.push_back(L'\n');
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The images and captions the installer's dialogs give their buttons.
Images DefaultImages(int id)
{
    switch (id) {
    case 1007: return {303, 304, 305, 0};
    case 1008: return {306, 307, 308, 0};
    case 1012: return {317, 318, 319, 0};
    case 1010: return {316, 0, 0, 0};
    case 1004: return {311, 311, 311, 0};
    case 1009: return {309, 0, 0, 0};
    case 1013: return {315, 0, 0, 0};
    case 1001: return {309, 0, 0, 0};
    case 1002: return {310, 0, 0, 0};
    default: return {};
    }
}

class HostDialog : public NCommon::ImageDialog {
public:
    explicit HostDialog(const Options& options)
        : ImageDialog(options.skinId, options.templateId), m_options(options)
    {
    }

    BOOL OnInitDialog() override
    {
        ImageDialog::OnInitDialog();
        HINSTANCE module = NCommon::ResourceModule();
        if (m_options.restoreUnapplied) {
            m_layout.Restore();
        }
        if (m_options.layout) {
            m_layout.Apply(module, m_hWnd, m_options.templateId, 96.0);
            if (m_options.applyTwice) {
                m_layout.Apply(module, m_hWnd, m_options.templateId, 96.0);
            }
            if (m_options.runs == 0) {
                const NCommon::DialogBaseUnits units = m_layout.GetBaseUnitsForTesting();
                Say("layout units %d %d font %lu", units.x, units.y,
                    static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(m_layout.GetCreatedFontForTesting())));
            }
        }
        for (auto& [id, button] : m_buttons) {
            Images images = DefaultImages(id);
            if (auto found = m_options.images.find(id); found != m_options.images.end()) {
                images = found->second;
            }
            button->LoadBitmaps(images.normal, images.selected, images.focus, images.disabled);
            button->SizeToContent();
            if (auto found = m_options.captions.find(id); found != m_options.captions.end()) {
                button->m_caption = found->second;
            }
            if (auto found = m_options.offsets.find(id); found != m_options.offsets.end()) {
                button->m_captionOffsetX = found->second.x;
                button->m_captionOffsetY = found->second.y;
            }
            button->m_multiLineCaption = m_options.multiLine.count(id) != 0;
            if (auto found = m_options.captionFonts.find(id); found != m_options.captionFonts.end()) {
                m_fonts.emplace_back(::CreateFontW(found->second.height, 0, 0, 0, found->second.weight, FALSE,
                                                   FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                                   CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH,
                                                   found->second.face.c_str()));
                button->m_captionFont = m_fonts.back().get();
            }
        }
        for (int id : m_options.disabled) {
            ::EnableWindow(GetDlgItem(id), FALSE);
        }
        SetWindowText(L"Quillon Setup");
        if (m_options.region > 0) {
            RECT window = {};
            GetWindowRect(&window);
            SetWindowRgn(NCommon::ScopedRegion(::CreateRoundRectRgn(0, 0, window.right - window.left,
                                                                    window.bottom - window.top + 1,
                                                                    m_options.region, m_options.region)),
                         FALSE);
        }
        if (m_options.restore) {
            m_layout.Restore();
        }
        if (m_options.runs > 0) {
            // The leak check: close as soon as the first paint is done.
            PostMessage(WM_COMMAND, IDCANCEL, 0);
        } else {
            // The template's items in dialog units, for the test to compute
            // where the layout must have put them.
            HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(m_options.templateId), RT_DIALOG);
            if (const auto info = NCommon::ParseDialogTemplate(::LockResource(::LoadResource(module, resource)),
                                                              ::SizeofResource(module, resource))) {
                for (const NCommon::DialogItemTemplate& item : info->items) {
                    Say("item %d %d %d %d %d", item.id, item.x, item.y, item.cx, item.cy);
                }
            }
            Say("ready %lu", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(m_hWnd)));
        }
        return TRUE;
    }

    bool GetFrameRect(RECT& rect) override
    {
        if (!m_options.frame) {
            return false;
        }
        rect = m_options.frameRect;
        return true;
    }

protected:
    void DoDataExchange() override
    {
        // Every owner-drawn button of the template becomes an image button.
        for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
            wchar_t className[32] = {};
            ::GetClassNameW(child, className, 32);
            const LONG_PTR style = ::GetWindowLongPtrW(child, GWL_STYLE);
            if (_wcsicmp(className, L"Button") == 0 && (style & BS_TYPEMASK) == BS_OWNERDRAW) {
                const int id = ::GetDlgCtrlID(child);
                auto button = std::make_unique<AnimatedBitmapButton>();
                if (DDX_Control(id, *button)) {
                    m_buttons.emplace(id, std::move(button));
                }
            }
        }
    }

    LRESULT OnCommand(WPARAM wParam, LPARAM)
    {
        const int id = static_cast<short>(LOWORD(wParam));
        if (HIWORD(wParam) == BN_CLICKED && m_options.runs == 0) {
            Say("click %d", id);
        }
        if (id == IDCANCEL || id == 1008) {
            OnCancel();
        } else if (id == IDOK) {
            OnOK();
        }
        return 0;
    }

    HBRUSH OnCtlColor(HDC dc, HWND, UINT kind)
    {
        if (kind == CTLCOLOR_BTN) {
            ::SetTextColor(dc, RGB(70, 70, 70));
        } else if (kind == CTLCOLOR_STATIC) {
            ::SetTextColor(dc, RGB(0, 61, 61));
        } else {
            return reinterpret_cast<HBRUSH>(Default());
        }
        ::SetBkMode(dc, TRANSPARENT);
        return static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
    }

    DECLARE_MESSAGE_TABLE()

private:
    const Options& m_options;
    std::map<int, std::unique_ptr<AnimatedBitmapButton>> m_buttons;
    std::vector<NCommon::ScopedFont> m_fonts;
    NCommon::DialogFontLayout m_layout;
};

BEGIN_MESSAGE_TABLE(HostDialog, ImageDialog)
    ON_CTLCOLOR(&HostDialog::OnCtlColor)
    ON_MESSAGE(WM_COMMAND, &HostDialog::OnCommand)
END_MESSAGE_TABLE()

bool ParseOptions(int argc, wchar_t** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        const bool hasValue = i + 1 < argc;
        const std::wstring value = hasValue ? argv[i + 1] : L"";
        auto take = [&]() {
            ++i;
            return hasValue;
        };
        if (name == L"--template" && take()) {
            options.templateId = static_cast<UINT>(_wtoi(value.c_str()));
        } else if (name == L"--skin" && take()) {
            options.skinId = _wtoi(value.c_str());
        } else if (name == L"--frame" && take()) {
            const std::vector<int> n = Numbers(value);
            options.frame = n.size() == 4;
            if (options.frame) {
                options.frameRect = {n[0], n[1], n[2], n[3]};
            }
        } else if (name == L"--no-layout") {
            options.layout = false;
        } else if (name == L"--apply-twice") {
            options.applyTwice = true;
        } else if (name == L"--restore-unapplied") {
            options.restoreUnapplied = true;
        } else if (name == L"--restore") {
            options.restore = true;
        } else if (name == L"--images" && take()) {
            const auto [id, rest] = Keyed(value);
            std::vector<int> n = Numbers(rest);
            n.resize(4, 0);
            options.images[id] = Images{static_cast<UINT>(n[0]), static_cast<UINT>(n[1]), static_cast<UINT>(n[2]),
                                        static_cast<UINT>(n[3])};
        } else if (name == L"--caption" && take()) {
            const auto [id, rest] = Keyed(value);
            options.captions[id] = Unescape(rest);
        } else if (name == L"--caption-offsets" && take()) {
            const auto [id, rest] = Keyed(value);
            std::vector<int> n = Numbers(rest);
            n.resize(2, 0);
            options.offsets[id] = POINT{n[0], n[1]};
        } else if (name == L"--multi-line" && take()) {
            options.multiLine[_wtoi(value.c_str())] = true;
        } else if (name == L"--caption-font" && take()) {
            const auto [id, rest] = Keyed(value);
            const size_t comma = rest.find(L',');
            const std::vector<int> n = Numbers(rest.substr(comma + 1));
            options.captionFonts[id] = CaptionFont{rest.substr(0, comma), n.size() > 0 ? n[0] : 0,
                                                   n.size() > 1 ? n[1] : 0};
        } else if (name == L"--disable" && take()) {
            options.disabled.push_back(_wtoi(value.c_str()));
        } else if (name == L"--region" && take()) {
            options.region = _wtoi(value.c_str());
        } else if (name == L"--check-alpha") {
            options.checkAlpha = true;
        } else if (name == L"--owner") {
            options.owner = true;
        } else if (name == L"--runs" && take()) {
            options.runs = _wtoi(value.c_str());
        } else {
            fwprintf(stderr, L"ui_host: unknown or incomplete option %ls\n", name.c_str());
            return false;
        }
    }
    return options.templateId != 0 || options.checkAlpha;
}

// Windows of this thread, top-level and their children. (Enumeration
// callbacks are stdcall in a 32-bit process: no lambdas here.)
BOOL CALLBACK CountChild(HWND, LPARAM counter)
{
    ++*reinterpret_cast<int*>(counter);
    return TRUE;
}

BOOL CALLBACK CountTopLevel(HWND window, LPARAM counter)
{
    ++*reinterpret_cast<int*>(counter);
    ::EnumChildWindows(window, &CountChild, counter);
    return TRUE;
}

int CountThreadWindows()
{
    int count = 0;
    ::EnumThreadWindows(::GetCurrentThreadId(), &CountTopLevel, reinterpret_cast<LPARAM>(&count));
    return count;
}

void ReportCounts(const char* when)
{
    HANDLE process = ::GetCurrentProcess();
    Say("%s gdi=%lu user=%lu holders=%ld windows=%d", when, ::GetGuiResources(process, GR_GDIOBJECTS),
        ::GetGuiResources(process, GR_USEROBJECTS), NCommon::LiveGdiObjectsForTesting().load(), CountThreadWindows());
}

// A plain framework dialog with an owner window: the owner is disabled for
// the run and enabled again after it. (ImageDialog's dialogs have none.)
class OwnedDialog : public NCommon::CDialog {
public:
    OwnedDialog(UINT templateId, NCommon::CWnd& owner) : CDialog(templateId, &owner), m_owner(owner) {}
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        SetWindowText(L"Quillon Setup");
        Say("owner enabled during run %d", m_owner.IsWindowEnabled() ? 1 : 0);
        Say("ready %lu", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(m_hWnd)));
        return TRUE;
    }

private:
    NCommon::CWnd& m_owner;
};

// The alpha bytes of the close button's image (306) as LoadBitmapW gives
// them back: a fully transparent corner and an opaque centre.
int CheckAlpha()
{
    HDC screen = ::GetDC(nullptr);
    auto alphaOf = [screen](HBITMAP bitmap, const char* how) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = 16;
        info.bmiHeader.biHeight = -16;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        std::vector<unsigned char> pixels(16 * 16 * 4);
        BITMAP header = {};
        ::GetObjectW(bitmap, sizeof(header), &header);
        ::GetDIBits(screen, bitmap, 0, 16, pixels.data(), &info, DIB_RGB_COLORS);
        Say("%s bits=%d corner=%u centre=%u", how, header.bmBitsPixel, pixels[3], pixels[(8 * 16 + 8) * 4 + 3]);
    };
    NCommon::ScopedBitmap loaded(NCommon::LoadBitmapResource(::GetModuleHandleW(nullptr), 306));
    alphaOf(loaded.get(), "LoadBitmapW");
    ::ReleaseDC(nullptr, screen);
    return 0;
}

int RunOwned(const Options& options)
{
    NCommon::CWnd owner;
    owner.SubclassWindow(::CreateWindowExW(0, L"STATIC", L"Quillon owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                           200, 100, nullptr, nullptr, nullptr, nullptr));
    INT_PTR result = 0;
    {
        OwnedDialog dialog(options.templateId, owner);
        result = dialog.DoModal();
    }
    Say("result %d", static_cast<int>(result));
    Say("owner enabled after run %d", owner.IsWindowEnabled() ? 1 : 0);
    ::DestroyWindow(owner.UnsubclassWindow());
    return static_cast<int>(result);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return 2;
    }
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&controls);
    NCommon::ScopedLibrary richEdit(::LoadLibraryW(L"RICHED20.DLL"));

    if (options.runs > 0) {
        // One run first, so that what the platform keeps for the process
        // (classes, caches) is counted in the baseline.
        { HostDialog(options).DoModal(); }
        ReportCounts("before");
        for (int run = 0; run < options.runs; ++run) {
            HostDialog dialog(options);
            dialog.DoModal();
        }
        ReportCounts("after");
        return 0;
    }

    if (options.owner) {
        return RunOwned(options);
    }
    if (options.checkAlpha) {
        return CheckAlpha();
    }
    INT_PTR result = 0;
    {
        HostDialog dialog(options);
        result = dialog.DoModal();
    }
    Say("result %d", static_cast<int>(result));
    return static_cast<int>(result);
}
