#include "DriveList.h"

#include <algorithm>
#include <vector>

#include "DriveNames.h"
#include "GdiHolders.h"
#include "QuillonDialog.h"
#include "WindowDC.h"

namespace {
// Between an entry's text and the edges of its box, in pixels.
const int kTextInset = 2;
}  // namespace

wchar_t LetterOfEntry(int selected, DWORD_PTR itemData)
{
    return selected < 0 ? L'\0' : static_cast<wchar_t>(LOWORD(itemData));
}

void DriveList::ShowDrives(const FoundDrives& drives, wchar_t keep)
{
    m_drives = drives;
    ResetContent();
    // Inserted at positions, so the list keeps the letters' order even
    // though the control has the sort style.
    int position = 0;
    int selected = 0;
    for (const FoundDrive& drive : m_drives) {
        InsertString(position, DriveEntryText(drive.label, drive.letter));
        SetItemData(position, drive.letter);
        if (keep != L'\0' && drive.letter == keep) {
            selected = position;
        }
        ++position;
    }
    SetCurSel(selected);
    EnableWindow(TRUE);
}

void DriveList::ShowMessage(const std::wstring& text)
{
    m_drives.clear();
    EnableWindow(FALSE);
    ResetContent();
    AddString(text);
    SetCurSel(0);
}

std::optional<FoundDrive> DriveList::SelectedDrive() const
{
    const int selected = GetCurSel();
    const FoundDrive* drive = DriveOf(LetterOfEntry(selected, selected < 0 ? 0 : GetItemData(selected)));
    if (drive == nullptr) {
        return std::nullopt;
    }
    return *drive;
}

const FoundDrive* DriveList::DriveOf(wchar_t letter) const
{
    for (const FoundDrive& drive : m_drives) {
        if (letter != 0 && drive.letter == letter) {
            return &drive;
        }
    }
    return nullptr;
}

void DriveList::FitItemHeight()
{
    // An owner-drawn list keeps the height it was created with; these are
    // the heights the platform gives a plain list for its font.
    TEXTMETRICW metrics = {};
    const WindowDC dc(m_hWnd);
    if (dc.get() == nullptr) {
        return;
    }
    {
        const NCommon::ScopedSelection selected(dc.get(), GetFont());
        ::GetTextMetricsW(dc.get(), &metrics);
    }
    SendMessage(CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), metrics.tmHeight + 2);
    SendMessage(CB_SETITEMHEIGHT, 0, metrics.tmHeight);
}

bool DriveList::OnChildNotify(UINT message, WPARAM, LPARAM lParam, LRESULT* result)
{
    if (message != WM_DRAWITEM) {
        return false;
    }
    DrawEntry(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
    *result = TRUE;
    return true;
}

LONG DriveList::VisibleRight(const DRAWITEMSTRUCT& item) const
{
    COMBOBOXINFO info = {};
    info.cbSize = sizeof(info);
    if (!::GetComboBoxInfo(m_hWnd, &info)) {
        return item.rcItem.right;
    }
    if ((item.itemState & ODS_COMBOBOXEDIT) != 0 || ::WindowFromDC(item.hDC) != info.hwndList) {
        const bool hasButton = info.rcButton.right > info.rcButton.left;
        return hasButton ? std::min(info.rcItem.right, info.rcButton.left) : info.rcItem.right;
    }
    RECT list = {};
    ::GetClientRect(info.hwndList, &list);
    return list.right;
}

std::wstring DriveList::EntryText(int index) const
{
    const LRESULT length = SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(index));
    if (length <= 0) {
        return std::wstring();
    }
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
    SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    return std::wstring(text.data());
}

void DriveList::DrawEntry(const DRAWITEMSTRUCT& item) const
{
    HDC dc = item.hDC;
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    ::FillRect(dc, &item.rcItem, ::GetSysColorBrush(selected && !disabled ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    if (static_cast<int>(item.itemID) >= 0) {
        const NCommon::ScopedSelection font(dc, GetFont());
        ::SetBkMode(dc, TRANSPARENT);
        ::SetTextColor(dc, ::GetSysColor(disabled ? COLOR_GRAYTEXT
                                                  : selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
        RECT box = item.rcItem;
        // The box the platform hands over can run under the drop-down arrow
        // (the closed field) or the list's scroll bar: the text ends where
        // the entry can be seen.
        box.right = std::min(box.right, VisibleRight(item));
        ::InflateRect(&box, -kTextInset, 0);
        const int index = static_cast<int>(item.itemID);
        const FoundDrive* drive = DriveOf(LetterOfEntry(index, item.itemData));
        if (drive != nullptr) {
            const std::wstring shown = FitDriveName(drive->label, drive->letter, box.right - box.left,
                                                    [dc](const std::wstring& text) { return LineWidth(dc, text); });
            ::DrawTextW(dc, shown.c_str(), -1, &box, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
        } else {
            const std::wstring text = EntryText(index);
            ::DrawTextW(dc, text.c_str(), -1, &box, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
        }
    }
    if ((item.itemState & ODS_FOCUS) != 0 && (item.itemState & ODS_NOFOCUSRECT) == 0) {
        ::DrawFocusRect(dc, &item.rcItem);
    }
}
