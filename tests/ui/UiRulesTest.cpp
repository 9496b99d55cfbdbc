// The dialog toolkit's rules that need no window: template reading, the
// layout arithmetic, the message tables, and the image button's choices.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <oleacc.h>

#include <cstring>
#include <vector>

#include "Accessibility.h"
#include "AnimatedBitmapButton.h"
#include "DialogTemplate.h"
#include "Dialog.h"
#include "Window.h"
#include "resource.h"

using namespace NCommon;

namespace {

DialogTemplateInfo LoadTemplate(UINT id)
{
    HRSRC resource = ::FindResourceW(nullptr, MAKEINTRESOURCEW(id), RT_DIALOG);
    EXPECT_NE(nullptr, resource) << id;
    const void* bytes = ::LockResource(::LoadResource(nullptr, resource));
    const std::optional<DialogTemplateInfo> info = ParseDialogTemplate(bytes, ::SizeofResource(nullptr, resource));
    EXPECT_TRUE(info.has_value()) << id;
    return info.value_or(DialogTemplateInfo());
}

// Little-endian bytes of a template written by hand.
struct Bytes {
    std::vector<unsigned char> data;
    Bytes& w(unsigned value)
    {
        data.push_back(static_cast<unsigned char>(value & 0xFF));
        data.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
        return *this;
    }
    Bytes& d(unsigned value) { return w(value & 0xFFFF).w(value >> 16); }
    Bytes& s(const wchar_t* text)
    {
        for (; *text; ++text) {
            w(*text);
        }
        return w(0);
    }
    Bytes& align()
    {
        while (data.size() % 4) {
            data.push_back(0);
        }
        return *this;
    }
};

// An extended template with one static item; style and point size chosen.
Bytes ExtendedTemplate(DWORD style, unsigned pointSize)
{
    Bytes b;
    b.w(1).w(0xFFFF).d(0).d(0).d(style).w(1).w(0).w(0).w(186).w(106).w(0).w(0).s(L"");
    if (style & DS_SETFONT) {
        b.w(pointSize).w(700).w(0x0101).s(L"Arial");
    }
    b.align().d(0).d(0).d(WS_CHILD).w(10).w(46).w(164).w(11).d(0xFFFFFFFF).w(0xFFFF).w(0x82).s(L"Text").w(0);
    return b;
}

}  // namespace

TEST(DialogLayout, BaseUnitsAndPixelGeometry)
{
    const DialogBaseUnits units = BaseUnitsFromFont(312, 13);
    EXPECT_EQ(6, units.x);
    EXPECT_EQ(13, units.y);
    EXPECT_EQ(6, BaseUnitsFromFont(311, 13).x);
    EXPECT_EQ(5, BaseUnitsFromFont(285, 13).x);

    DialogTemplateInfo small;
    small.cx = 186;
    small.cy = 106;
    DialogTemplateInfo tall = small;
    tall.cy = 277;
    EXPECT_EQ(279, ClientSizeInPixels(small, units).cx);
    EXPECT_EQ(172, ClientSizeInPixels(small, units).cy);
    EXPECT_EQ(279, ClientSizeInPixels(tall, units).cx);
    EXPECT_EQ(450, ClientSizeInPixels(tall, units).cy);

    DialogItemTemplate help;
    help.x = 154;
    help.y = 5;
    help.cx = 11;
    help.cy = 11;
    const PixelRect r = ControlRectInPixels(help, units);
    EXPECT_EQ((std::vector<int>{231, 8, 17, 18}), (std::vector<int>{r.x, r.y, r.width, r.height}));
}

TEST(DialogLayout, FontFromTheTemplateOrTheDefault)
{
    // The system's templates: "MS Shell Dlg" 8 points, weight 0 -> -11 pixels.
    const DialogFontDescription shell = TemplateFont(LoadTemplate(IDD_DESTINATION_DIALOG));
    EXPECT_EQ(L"MS Shell Dlg", shell.face);
    EXPECT_EQ(0, shell.weight);
    EXPECT_EQ(-11, FontHeightForPoints(shell.pointSize, 96.0));

    // Without DS_SETFONT: Tahoma 8 points, weight 400.
    const Bytes plainStyle = ExtendedTemplate(WS_POPUP, 0);
    const auto noFont = ParseDialogTemplate(plainStyle.data.data(), plainStyle.data.size());
    ASSERT_TRUE(noFont.has_value());
    const DialogFontDescription tahoma = TemplateFont(*noFont);
    EXPECT_EQ(L"Tahoma", tahoma.face);
    EXPECT_EQ(400, tahoma.weight);
    EXPECT_FALSE(tahoma.italic);
    EXPECT_EQ(-11, FontHeightForPoints(tahoma.pointSize, 96.0));

    // A point size stored as the 16-bit pattern of -8 is used as 8.
    const Bytes negative = ExtendedTemplate(WS_POPUP | DS_SETFONT, 0xFFF8);
    const auto negativeInfo = ParseDialogTemplate(negative.data.data(), negative.data.size());
    ASSERT_TRUE(negativeInfo.has_value());
    const DialogFontDescription arial = TemplateFont(*negativeInfo);
    EXPECT_EQ(8, arial.pointSize);
    EXPECT_EQ(L"Arial", arial.face);
    EXPECT_EQ(700, arial.weight);
    EXPECT_TRUE(arial.italic);
    EXPECT_EQ(8, NormalizePointSize(-8));
    EXPECT_EQ(12, NormalizePointSize(12));
    EXPECT_EQ(-16, FontHeightForPoints(12, 96.0));
    EXPECT_EQ(-13, FontHeightForPoints(10, 96.0));
}

TEST(DialogTemplates, ReadInFullAndTruncatedOnesRefused)
{
    const Bytes b = ExtendedTemplate(WS_POPUP | DS_SETFONT, 8);
    const auto info = ParseDialogTemplate(b.data.data(), b.data.size());
    ASSERT_TRUE(info.has_value());
    ASSERT_EQ(1u, info->items.size());
    EXPECT_EQ(-1, info->items[0].id);
    EXPECT_EQ(0x82, info->items[0].classOrdinal);
    EXPECT_EQ(L"Text", info->items[0].text);
    for (size_t cut : {size_t(0), size_t(10), size_t(30), b.data.size() - 1}) {
        EXPECT_FALSE(ParseDialogTemplate(b.data.data(), cut).has_value()) << cut;
    }

    // The plain form: a point size and a face only, 16-bit item ids.
    Bytes plain;
    plain.d(WS_POPUP | DS_SETFONT).d(0).w(1).w(0).w(0).w(100).w(50).w(0).w(0).s(L"Title").w(9).s(L"Tahoma");
    plain.align().d(WS_CHILD).d(0).w(1).w(2).w(3).w(4).w(1001).w(0xFFFF).w(0x80).s(L"OK").w(0);
    const auto plainInfo = ParseDialogTemplate(plain.data.data(), plain.data.size());
    ASSERT_TRUE(plainInfo.has_value());
    EXPECT_FALSE(plainInfo->extended);
    EXPECT_EQ(9, plainInfo->pointSize);
    EXPECT_EQ(0, plainInfo->weight);
    EXPECT_EQ(L"Tahoma", plainInfo->face);
    ASSERT_EQ(1u, plainInfo->items.size());
    EXPECT_EQ(1001, plainInfo->items[0].id);
}

// The three templates exactly as the dialogs expect them.
TEST(DialogTemplates, TheInstallersTemplates)
{
    const DWORD button = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;
    const DWORD hiddenButton = WS_CHILD | WS_TABSTOP | BS_OWNERDRAW;
    const DWORD logo = WS_CHILD | WS_VISIBLE | BS_OWNERDRAW;
    const DWORD text = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
    struct Item {
        int id;
        const wchar_t* className;  // null: the ordinal below
        WORD ordinal;
        short x, y, cx, cy;
        DWORD style;
        DWORD exStyle;
    };
    struct Expected {
        UINT id;
        short cx, cy;
        std::vector<Item> items;
    };
    const std::vector<Expected> templates = {
        {102, 186, 277,
         {{1007, nullptr, 0x80, 154, 5, 11, 11, hiddenButton, 0},
          {1008, nullptr, 0x80, 168, 5, 11, 11, button, 0},
          {-1, nullptr, 0x82, 8, 51, 171, 68, text, WS_EX_TRANSPARENT},
          {1012, nullptr, 0x80, 78, 36, 24, 10, button, 0},
          {1010, nullptr, 0x80, 116, 15, 30, 16, logo, 0},
          {1005, L"RichEdit20W", 0, 9, 126, 167, 106,
           WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_READONLY | ES_MULTILINE, 0},
          {1002, nullptr, 0x80, 8, 246, 80, 18, button, 0},
          {1001, nullptr, 0x80, 97, 246, 80, 18, button, 0}}},
        {301, 186, 106,
         {{1007, nullptr, 0x80, 154, 5, 11, 11, hiddenButton, 0},
          {1008, nullptr, 0x80, 168, 5, 11, 11, button, 0},
          {1012, nullptr, 0x80, 78, 36, 24, 10, button, 0},
          {1010, nullptr, 0x80, 116, 15, 30, 16, logo, 0},
          {-1, nullptr, 0x82, 10, 46, 164, 11, text, WS_EX_TRANSPARENT},
          {1004, nullptr, 0x80, 10, 61, 15, 12, button, 0},
          {1002, nullptr, 0x85, 30, 59, 146, 30,
           WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_SORT | CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED |
               CBS_HASSTRINGS,
           0},
          {1009, nullptr, 0x80, 94, 79, 82, 20, button, 0}}},
        {302, 186, 106,
         {{1007, nullptr, 0x80, 154, 5, 11, 11, hiddenButton, 0},
          {1008, nullptr, 0x80, 168, 5, 11, 11, button, 0},
          {1012, nullptr, 0x80, 78, 36, 24, 10, button, 0},
          {1010, nullptr, 0x80, 116, 15, 30, 16, logo, 0},
          {-1, nullptr, 0x82, 10, 46, 175, 24, text, WS_EX_TRANSPARENT},
          // A failure's advice, shown only then, where the dialog puts it.
          {1014, nullptr, 0x82, 10, 59, 80, 44, WS_CHILD | WS_GROUP | SS_LEFT | SS_NOPREFIX, WS_EX_TRANSPARENT},
          {1013, nullptr, 0x80, 94, 79, 82, 20, button, 0},
          {1006, L"msctls_progress32", 0, 9, 59, 165, 14, WS_CHILD | WS_VISIBLE | WS_BORDER, 0},
          {1011, nullptr, 0x82, 9, 82, 78, 13, text, WS_EX_TRANSPARENT}}},
    };
    for (const Expected& expected : templates) {
        SCOPED_TRACE(expected.id);
        const DialogTemplateInfo info = LoadTemplate(expected.id);
        EXPECT_TRUE(info.extended);
        EXPECT_EQ(static_cast<DWORD>(WS_POPUP | WS_CLIPCHILDREN | DS_SETFONT | DS_FIXEDSYS), info.style);
        EXPECT_EQ(static_cast<DWORD>(WS_EX_APPWINDOW), info.exStyle);
        EXPECT_FALSE(info.hasMenu);
        EXPECT_EQ(L"", info.title);
        EXPECT_EQ(8, info.pointSize);
        EXPECT_EQ(expected.cx, info.cx);
        EXPECT_EQ(expected.cy, info.cy);
        ASSERT_EQ(expected.items.size(), info.items.size());
        for (size_t i = 0; i < expected.items.size(); ++i) {
            const Item& e = expected.items[i];
            const DialogItemTemplate& a = info.items[i];
            SCOPED_TRACE(e.id);
            EXPECT_EQ(e.id, a.id);
            if (e.className != nullptr) {
                EXPECT_EQ(0, _wcsicmp(e.className, a.className.c_str())) << a.className.c_str();
            } else {
                EXPECT_EQ(e.ordinal, a.classOrdinal);
            }
            EXPECT_EQ((std::vector<int>{e.x, e.y, e.cx, e.cy}), (std::vector<int>{a.x, a.y, a.cx, a.cy}));
            EXPECT_EQ(e.style, a.style);
            EXPECT_EQ(e.exStyle, a.exStyle);
        }
    }
    EXPECT_EQ(L"Install Complete", LoadTemplate(302).items[8].text);
    EXPECT_EQ(L"Pick Your Drive for Installation", LoadTemplate(301).items[4].text);
    // Access keys and names a screen reader reads for image buttons.
    const auto textOf = [](UINT dialog, int id) {
        for (const DialogItemTemplate& item : LoadTemplate(dialog).items) {
            if (item.id == id) {
                return item.text;
            }
        }
        return std::wstring(L"(none)");
    };
    EXPECT_EQ(L"&Accept", textOf(102, IDC_ACCEPT));
    EXPECT_EQ(L"&Decline", textOf(102, IDC_DECLINE));
    EXPECT_EQ(L"Refresh drive list", textOf(301, IDC_REFRESH));
    for (UINT dialog : {102u, 301u, 302u}) {
        EXPECT_EQ(L"Close", textOf(dialog, IDC_CLOSE_BUTTON)) << dialog;
    }
}

TEST(DialogLayout, ControlsMatchedInOrderUntilTheFirstMissingOne)
{
    using Pairs = std::vector<std::pair<size_t, size_t>>;
    // Extra children are skipped; the search goes on after the last match.
    EXPECT_EQ((Pairs{{0, 0}, {1, 2}, {2, 3}}), MatchTemplateItems({1007, 99, 1008, -1}, {1007, 1008, -1}));
    // An item missing (or only before the last match) ends the walk.
    EXPECT_EQ((Pairs{{0, 0}}), MatchTemplateItems({1007, 1008, -1}, {1007, 5, 1008}));
    EXPECT_EQ((Pairs{{0, 1}}), MatchTemplateItems({1008, 1007}, {1007, 1008}));
    EXPECT_EQ(Pairs{}, MatchTemplateItems({}, {1007}));
}

TEST(AnimatedBitmapButton, ImageByStateWithFallBackToNormal)
{
    const UINT pressed = ODS_SELECTED;
    const UINT disabled = ODS_DISABLED;
    // all images loaded: disabled > pressed > hover > normal
    EXPECT_EQ(ButtonImage::Disabled, ChooseButtonImage(disabled | pressed, true, true, true, true));
    EXPECT_EQ(ButtonImage::Selected, ChooseButtonImage(pressed, true, true, true, true));
    EXPECT_EQ(ButtonImage::Focus, ChooseButtonImage(ODS_FOCUS, true, true, true, true));
    EXPECT_EQ(ButtonImage::Normal, ChooseButtonImage(ODS_FOCUS, false, true, true, true));
    // a missing image falls back to the normal one, not to the next state
    EXPECT_EQ(ButtonImage::Normal, ChooseButtonImage(disabled, true, true, true, false));
    EXPECT_EQ(ButtonImage::Normal, ChooseButtonImage(pressed, true, false, true, true));
    EXPECT_EQ(ButtonImage::Normal, ChooseButtonImage(0, true, true, false, true));
}

TEST(AnimatedBitmapButton, CaptionBoxFormatAndBlendExtent)
{
    const RECT box = CaptionBox(RECT{0, 0, 122, 30}, 18, 0);
    EXPECT_EQ(70, (box.left + box.right) / 2);
    EXPECT_EQ((std::vector<LONG>{18, 0, 122, 30}), (std::vector<LONG>{box.left, box.top, box.right, box.bottom}));
    const RECT lower = CaptionBox(RECT{0, 0, 122, 30}, 28, 2);
    EXPECT_EQ(2, lower.top);
    EXPECT_EQ(30, lower.bottom);

    EXPECT_EQ(static_cast<UINT>(DT_CENTER | DT_VCENTER | DT_SINGLELINE), CaptionFormat(false));
    EXPECT_EQ(0u, CaptionFormat(true) & DT_SINGLELINE);
    EXPECT_NE(0u, CaptionFormat(true) & DT_CENTER);

    const SIZE smaller = BlendExtent(RECT{0, 0, 122, 30}, SIZE{16, 16});
    const SIZE larger = BlendExtent(RECT{0, 0, 122, 30}, SIZE{123, 31});
    EXPECT_EQ((std::vector<LONG>{16, 16, 122, 30}), (std::vector<LONG>{smaller.cx, smaller.cy, larger.cx, larger.cy}));
}

// ---- message tables -------------------------------------------------------

namespace {
std::vector<std::string> g_calls;

class BaseWindow : public CWnd {
public:
    LRESULT OnPaintMessage(WPARAM, LPARAM)
    {
        g_calls.push_back("base paint");
        return 1;
    }
    void OnClose() { g_calls.push_back("base close"); }
    void OnList() { g_calls.push_back("base list"); }
    DECLARE_MESSAGE_TABLE()
};
BEGIN_MESSAGE_TABLE(BaseWindow, CWnd)
    ON_MESSAGE(WM_PAINT, &BaseWindow::OnPaintMessage)
    ON_COMMAND(1008, BN_CLICKED, &BaseWindow::OnClose)
    ON_COMMAND(1002, CBN_SELENDOK, &BaseWindow::OnList)
END_MESSAGE_TABLE()

class DerivedWindow : public BaseWindow {
public:
    void OnCloseHere() { g_calls.push_back("derived close"); }
    void OnStatic() { g_calls.push_back("static"); }
    HBRUSH OnCtlColor(HDC, HWND, UINT kind)
    {
        g_calls.push_back("colour " + std::to_string(kind));
        return static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
    }
    LRESULT OnNotifyDrop(NMHDR* header)
    {
        g_calls.push_back("notify " + std::to_string(header->idFrom));
        return 7;
    }
    DECLARE_MESSAGE_TABLE()
};
BEGIN_MESSAGE_TABLE(DerivedWindow, BaseWindow)
    ON_COMMAND(1008, BN_CLICKED, &DerivedWindow::OnCloseHere)
    ON_COMMAND(-1, kAnyCode, &DerivedWindow::OnStatic)
    ON_CTLCOLOR(&DerivedWindow::OnCtlColor)
    ON_NOTIFY(1002, CBEN_ENDEDITW, &DerivedWindow::OnNotifyDrop)
END_MESSAGE_TABLE()
}  // namespace

TEST(MessageTable, DerivedRowsFirstThenTheBaseChainByIdAndCode)
{
    DerivedWindow window;
    LRESULT result = 0;
    g_calls.clear();
    EXPECT_TRUE(window.OnWndMsg(WM_COMMAND, MAKEWPARAM(1008, BN_CLICKED), 0, &result));
    EXPECT_TRUE(window.OnWndMsg(WM_COMMAND, MAKEWPARAM(1002, CBN_SELENDOK), 0, &result));
    EXPECT_FALSE(window.OnWndMsg(WM_COMMAND, MAKEWPARAM(1002, CBN_SELCHANGE), 0, &result));
    EXPECT_FALSE(window.OnWndMsg(WM_COMMAND, MAKEWPARAM(1009, BN_CLICKED), 0, &result));
    EXPECT_TRUE(window.OnWndMsg(WM_COMMAND, MAKEWPARAM(0xFFFF, STN_CLICKED), 0, &result));
    EXPECT_TRUE(window.OnWndMsg(WM_PAINT, 0, 0, &result));
    EXPECT_EQ(1, result);
    EXPECT_TRUE(window.OnWndMsg(WM_CTLCOLORBTN, 0, 0, &result));
    EXPECT_TRUE(window.OnWndMsg(WM_CTLCOLORSTATIC, 0, 0, &result));
    EXPECT_EQ(reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH)), result);
    EXPECT_FALSE(window.OnWndMsg(WM_ERASEBKGND, 0, 0, &result));
    NMHDR header = {nullptr, 1002, static_cast<UINT>(CBEN_ENDEDITW)};
    EXPECT_TRUE(window.OnWndMsg(WM_NOTIFY, 1002, reinterpret_cast<LPARAM>(&header), &result));
    EXPECT_EQ(7, result);
    header.idFrom = 1003;
    EXPECT_FALSE(window.OnWndMsg(WM_NOTIFY, 1003, reinterpret_cast<LPARAM>(&header), &result));

    EXPECT_EQ((std::vector<std::string>{"derived close", "base list", "static", "base paint", "colour 3",
                                        "colour 6", "notify 1002"}),
              g_calls);

    BaseWindow base;
    g_calls.clear();
    EXPECT_TRUE(base.OnWndMsg(WM_COMMAND, MAKEWPARAM(1008, BN_CLICKED), 0, &result));
    EXPECT_FALSE(base.OnWndMsg(WM_CTLCOLORBTN, 0, 0, &result));
    EXPECT_EQ((std::vector<std::string>{"base close"}), g_calls);
}

TEST(DialogKeyboard, EnterPressesTheFocusedButtonElseTheArmedMainAction)
{
    // (focus takes Enter, focus is a button, main action armed)
    EXPECT_EQ(EnterAction::LeaveToControl, DecideEnter(true, false, true));
    // Any focused button is pressed, as Space presses it: Decline or close,
    // also while the install runs; the armed Accept is not.
    EXPECT_EQ(EnterAction::PressFocusedButton, DecideEnter(false, true, true));
    EXPECT_EQ(EnterAction::PressFocusedButton, DecideEnter(false, true, false));
    EXPECT_EQ(EnterAction::MainAction, DecideEnter(false, false, true));
    EXPECT_EQ(EnterAction::Nothing, DecideEnter(false, false, false));

    // The cue: on focus only, and not where the keyboard-cue rules hide it.
    EXPECT_TRUE(ShowsFocusCue(ODS_FOCUS, 0));
    EXPECT_TRUE(ShowsFocusCue(ODS_FOCUS | ODS_SELECTED, UISF_HIDEACCEL));
    EXPECT_FALSE(ShowsFocusCue(0, 0));
    EXPECT_FALSE(ShowsFocusCue(ODS_FOCUS | ODS_NOFOCUSRECT, 0));
    EXPECT_FALSE(ShowsFocusCue(ODS_FOCUS, UISF_HIDEFOCUS));
}

TEST(ScreenReaders, CaptionsNamesRolesValuesAndAccessKeys)
{
    EXPECT_EQ(L"Accept", NameFromCaption(L"&Accept"));
    EXPECT_EQ(L"Alt+A", ShortcutFromCaption(L"&Accept"));
    EXPECT_EQ(L"Install to: A&B (E:)", NameFromCaption(L"&Install to:\n" + CaptionLiteral(L"A&B") + L" (E:)"));
    EXPECT_EQ(L"Alt+I", ShortcutFromCaption(L"&Install to:\nA&&B (E:)"));
    EXPECT_EQ(L"", ShortcutFromCaption(L"Tom && Jerry"));
    EXPECT_EQ(L"Close", NameFromCaption(L"Close\n"));
    EXPECT_EQ(L"Install to: (E:)", NameFromCaption(L"Install to:\n (E:)"));

    ControlFacts facts;
    facts.className = L"Button";
    facts.text = L"&Run Quillon";
    AccessibleDescription described = DescribeControl(facts);
    EXPECT_EQ((std::vector<std::wstring>{L"Run Quillon", L"Alt+R"}),
              (std::vector<std::wstring>{described.name, described.shortcut}));
    EXPECT_EQ(ROLE_SYSTEM_PUSHBUTTON, described.role);
    facts.fixedName = L"Quillon partners";
    EXPECT_EQ(L"Quillon partners", DescribeControl(facts).name);

    // The drive list by its label; its value the chosen entry.
    facts = ControlFacts();
    facts.className = L"ComboBox";
    facts.label = L"Pick Your Drive for Installation";
    facts.selection = L"STICK (E:)";
    described = DescribeControl(facts);
    EXPECT_EQ(ROLE_SYSTEM_COMBOBOX, described.role);
    EXPECT_EQ((std::vector<std::wstring>{L"Pick Your Drive for Installation", L"STICK (E:)"}),
              (std::vector<std::wstring>{described.name, described.value}));

    // The bar's value in per cent of its range, rounded.
    facts = ControlFacts();
    facts.className = L"msctls_progress32";
    facts.high = 200;
    facts.position = 101;
    described = DescribeControl(facts);
    EXPECT_EQ(ROLE_SYSTEM_PROGRESSBAR, described.role);
    EXPECT_TRUE(described.hasValue);
    EXPECT_EQ(L"51%", described.value);

    facts = ControlFacts();
    facts.className = L"Static";
    facts.text = L"Tom & Jerry";
    facts.style = SS_NOPREFIX;
    EXPECT_EQ(L"Tom & Jerry", DescribeControl(facts).name);

    // Underlines with the keyboard cues only.
    EXPECT_TRUE(ShowsAccessKeys(UISF_HIDEFOCUS));
    EXPECT_FALSE(ShowsAccessKeys(UISF_HIDEACCEL));
    EXPECT_EQ(L"Install to:\nA&B (E:)", WithoutAccessMarks(L"&Install to:\nA&&B (E:)"));
}

TEST(DialogPlacement, CentredOverTheWindowBeforeAndKeptInsideTheWorkArea)
{
    const RECT screen = {0, 0, 1280, 1024};
    const auto at = [](POINT p) { return std::vector<long>{p.x, p.y}; };
    EXPECT_EQ((std::vector<long>{500, 287}), at(CentredPosition(SIZE{279, 450}, screen, screen)));
    // A work area that does not start at the screen's corner (a task bar
    // at the top or left).
    EXPECT_EQ((std::vector<long>{540, 327}), at(CentredPosition(SIZE{279, 450}, RECT{80, 80, 1280, 1024},
                                                                RECT{80, 80, 1280, 1024})));
    // Over the licence window the user left at (100, 200): the picker's
    // centre is the licence's centre.
    EXPECT_EQ((std::vector<long>{100, 339}),
              at(CentredPosition(SIZE{279, 172}, RECT{100, 200, 379, 650}, screen)));
    // Dragged half off the screen: moved back just inside, on each side.
    EXPECT_EQ((std::vector<long>{0, 852}), at(CentredPosition(SIZE{279, 172}, RECT{-200, 900, 79, 1350}, screen)));
    EXPECT_EQ((std::vector<long>{1001, 0}), at(CentredPosition(SIZE{279, 172}, RECT{1200, -300, 1479, 150}, screen)));
    // Larger than the work area: its top-left corner stays in view.
    EXPECT_EQ((std::vector<long>{0, 0}), at(CentredPosition(SIZE{1400, 1100}, screen, screen)));
}
