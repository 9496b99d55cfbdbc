#include <gtest/gtest.h>

#include "QuillonDialog.h"
#include "InstallDialog.h"

namespace {

const int kDownloading = IInstallListener::StatusDownloading;
const int kInstalling = IInstallListener::StatusInstalling;

TEST(InstallDialogRules, ReportsFillTheDownloadHalfThenTheExtractionHalfAndNothingElse)
{
    EXPECT_EQ(0, ProgressPosition(kDownloading, ProgressReport(0.0f)));
    EXPECT_EQ(5, ProgressPosition(kDownloading, ProgressReport(0.1f)));
    EXPECT_EQ(49, ProgressPosition(kDownloading, ProgressReport(0.999f)));
    EXPECT_EQ(50, ProgressPosition(kDownloading, ProgressReport(1.0f)));
    EXPECT_EQ(50, ProgressPosition(kInstalling, ProgressReport(0.0f)));
    // One entry of three: 333 reported, 16.65 truncated.
    EXPECT_EQ(66, ProgressPosition(kInstalling, ProgressReport(1.0f / 3.0f)));
    EXPECT_EQ(100, ProgressPosition(kInstalling, ProgressReport(1.0f)));
    for (int other : {int(IInstallListener::StatusSucceeded), int(IInstallListener::StatusFailed), 7}) {
        EXPECT_EQ(0, ProgressPosition(other, 1000)) << other;
    }
}

TEST(InstallDialogRules, TextsEndAtADriveLetterOfZero)
{
    EXPECT_EQ(L"Install to:\nQUILLON (E:)", InstallToCaption(L"QUILLON", L'E'));
    EXPECT_EQ(L"Install to:\nQUILLON (", InstallToCaption(L"QUILLON", L'\0'));
    EXPECT_EQ(L"Check drive ", FailureText(true, IInstallListener::ReasonDriveMissing, L'\0'));
    EXPECT_EQ(L"Not enough drive ", FailureText(false, IInstallListener::ReasonLowFreeSpace, L'\0'));
    EXPECT_EQ(L"Update failed.", FailureText(true, IInstallListener::ReasonNone, L'\0'));
}

}  // namespace
