#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace NCommon {

// What a screen reader reads of a control through MSAA, beyond what the
// platform's own proxy for it knows. The proxy knows nothing of an
// owner-drawn button without text, and under Wine it names no control at
// all; what it does know (position, state, children) it keeps answering.
struct AccessibleDescription {
    std::wstring name;
    long role = 0;  // ROLE_SYSTEM_...; 0 leaves the proxy's own
    bool hasValue = false;
    std::wstring value;
    std::wstring shortcut;  // "Alt+A"; empty for none
};

// What is known of a control when a screen reader asks for it.
struct ControlFacts {
    std::wstring className;
    std::wstring text;
    LONG style = 0;
    std::wstring fixedName;  // given by the dialog; wins over everything else
    std::wstring label;      // the static text that stands before it
    int position = 0;        // a progress bar's
    int low = 0;
    int high = 0;
    std::wstring selection;  // a combo box's selected entry
};

// Text that a caption shows as it is, whatever ampersands it holds (a
// drive's label): each one doubled.
std::wstring CaptionLiteral(const std::wstring& text);
// A caption as it reads aloud: its access-key marks gone ("&&" stays as
// one "&"), its lines joined by a blank.
std::wstring NameFromCaption(const std::wstring& caption);
// The shortcut that a caption's access key gives ("&Accept": "Alt+A");
// empty without one.
std::wstring ShortcutFromCaption(const std::wstring& caption);
// Button: its caption; static text: its text; combo box, edit and rich
// edit: the label before it; progress bar: its position in per cent of
// its range as the value. A fixed name wins over all of them.
AccessibleDescription DescribeControl(const ControlFacts& facts);

// Answers screen readers for every control of `dialog`, with
// DescribeControl read afresh at each question. `fixedNames` names the
// controls (by id) whose text or label does not say what they are.
void ExposeToScreenReaders(HWND dialog, const std::vector<std::pair<int, std::wstring>>& fixedNames);

// Tells screen readers that a control's text changed, as a live region
// does: those that watch the window read the new text out.
void AnnounceTextChange(HWND control);
// Tells screen readers that a control's value changed (a progress bar's).
void AnnounceValueChange(HWND control);

}  // namespace NCommon
