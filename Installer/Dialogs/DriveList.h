#pragma once

#include <optional>
#include <string>

#include "Controls.h"
#include "DriveScan.h"

// The letter an entry carries as its item data (the low 16 bits); 0 when
// nothing is selected or the entry stands for no drive.
wchar_t LetterOfEntry(int selected, DWORD_PTR itemData);

// The drive picker's list: an owner-drawn drop-down list whose entries keep
// the drives' whole texts (for anyone reading the control) but draw a long
// label cut short, so that the drive letter always shows.
class DriveList : public NCommon::CComboBox {
public:
    // One entry per drive in the given order, enabled; the drive `keep`
    // selected where it is among them, else the first.
    void ShowDrives(const FoundDrives& drives, wchar_t keep = L'\0');
    // A single entry that stands for no drive (item data 0); greyed out.
    void ShowMessage(const std::wstring& text);
    // The selected entry's drive, if it is one.
    std::optional<FoundDrive> SelectedDrive() const;
    // The entries' height, for the font the list has now.
    void FitItemHeight();

protected:
    bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

private:
    void DrawEntry(const DRAWITEMSTRUCT& item) const;
    // Where an entry being drawn stops being seen, in its own coordinates.
    LONG VisibleRight(const DRAWITEMSTRUCT& item) const;
    std::wstring EntryText(int index) const;
    const FoundDrive* DriveOf(wchar_t letter) const;

    FoundDrives m_drives;
};
