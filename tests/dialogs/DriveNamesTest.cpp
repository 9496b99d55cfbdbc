#include <gtest/gtest.h>

#include "DriveNames.h"
#include "QuillonDialog.h"

namespace {

// Every character one pixel wide but the ellipsis, three, so that a fit
// that forgets it shows.
int Pixels(const std::wstring& text)
{
    int width = 0;
    for (wchar_t c : text) {
        width += c == L'\u2026' ? 3 : 1;
    }
    return width;
}

TEST(DriveNames, ALongLabelIsCutWithAnEllipsisAndTheLetterAlwaysShowsWhole)
{
    const std::wstring label32 = L"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    ASSERT_EQ(32u, label32.size());
    // Labels of 0, 11 and 32 characters where they fit: whole, no stray blank.
    EXPECT_EQ(L"USB Drive (E:)", FitDriveName(L"", L'E', 14, Pixels));
    EXPECT_EQ(L"USB D\u2026 (E:)", FitDriveName(L"", L'E', 13, Pixels));
    EXPECT_EQ(L"FAT32_LABEL (E:)", FitDriveName(L"FAT32_LABEL", L'E', 16, Pixels));
    EXPECT_EQ(label32 + L" (E:)", FitDriveName(label32, L'E', 37, Pixels));
    // One pixel short: as many characters as fit, then the ellipsis.
    EXPECT_EQ(L"ABCDEFGHIJKLMNOPQRSTUVWXYZ01\u2026 (E:)", FitDriveName(label32, L'E', 36, Pixels));
    EXPECT_EQ(L"AB\u2026 (G:)", FitDriveName(label32, L'G', 10, Pixels));
    // No room for a single character: the letter alone, never cut.
    EXPECT_EQ(L"(G:)", FitDriveName(label32, L'G', 8, Pixels));
    EXPECT_EQ(L"(G:)", FitDriveName(label32, L'G', 0, Pixels));
    // Never cut after a blank, nor between the halves of a character
    // outside the basic plane.
    EXPECT_EQ(L"MY\u2026 (E:)", FitDriveName(L"MY  STICK", L'E', 10, Pixels));
    EXPECT_EQ(L"A\u2026 (E:)", FitDriveName(L"A\U0001F600BCDEF", L'E', 10, Pixels));
    EXPECT_EQ(L"A\U0001F600\u2026 (E:)", FitDriveName(L"A\U0001F600BCDEF", L'E', 11, Pixels));
}

TEST(DriveNames, TheInstallCaptionKeepsItsSecondLineOnTheBarAndItsAmpersands)
{
    // The drive picker's button: 122 x 30, caption box from 18, centred at
    // 70: the square ends at 30 and the text keeps 3 pixels from it, so 37
    // on either side of the centre.
    EXPECT_EQ(74, ActionBarLineWidth(122, 30, 18));
    // The progress dialog's grey bar, 123 x 31 from 28: the rounded right
    // end is the nearer edge there.
    EXPECT_EQ(83, ActionBarLineWidth(123, 31, 28));
    EXPECT_EQ(0, ActionBarLineWidth(30, 30, 0));

    EXPECT_EQ(L"Install to:\nR&&D (E:)", FittedInstallCaption(L"R&D", L'E', 8, Pixels));
    EXPECT_EQ(L"Install to:\nUSB Drive (F:)", FittedInstallCaption(L"", L'F', 14, Pixels));
    // A name that does not fit with its letter: the letter goes up, the name
    // has the line to itself, cut only where it does not fit there either.
    EXPECT_EQ(L"Install to E:\nR&&D LAB", FittedInstallCaption(L"R&D LAB", L'E', 10, Pixels));
    EXPECT_EQ(L"Install to E:\nQUILLON_USB", FittedInstallCaption(L"QUILLON_USB", L'E', 11, Pixels));
    EXPECT_EQ(L"Install to E:\nQUILLON\u2026", FittedInstallCaption(L"QUILLON_USB", L'E', 10, Pixels));
    EXPECT_EQ(L"Install to G:\nUSB D\u2026", FittedInstallCaption(L"", L'G', 8, Pixels));
    EXPECT_EQ(L"Install to:\nUSB Drive (E:)", InstallToCaption(L"", L'E'));
}

}  // namespace
