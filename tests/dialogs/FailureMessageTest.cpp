#include <gtest/gtest.h>

#include <windows.h>

#include <dbt.h>

#include <set>

#include "DriveWatch.h"
#include "FailureMessage.h"
#include "IInstallListener.h"

namespace {

InstallFailure Kind(FailureKind kind)
{
    InstallFailure failure;
    failure.kind = kind;
    return failure;
}

TEST(FailureMessage, EachCauseHasItsOwnAdviceUnderTheHeadlinesThatStay)
{
    const int none = IInstallListener::ReasonNone;
    const auto advice = [&](FailureKind kind) { return DescribeFailure(false, none, Kind(kind), L'E').advice; };
    EXPECT_NE(std::wstring::npos, advice(FailureKind::NoConnection).find(L"internet connection or the proxy"));
    EXPECT_NE(std::wstring::npos, advice(FailureKind::ServerError).find(L"answered with an error"));
    EXPECT_NE(std::wstring::npos, advice(FailureKind::PackageRefused).find(L"nothing was installed"));
    EXPECT_NE(std::wstring::npos, advice(FailureKind::DriveMissing).find(L"pulled out"));
    EXPECT_NE(std::wstring::npos, advice(FailureKind::WriteProtected).find(L"write-protected"));
    EXPECT_NE(std::wstring::npos, advice(FailureKind::CommitHeld).find(L"Task Manager"));
    std::set<std::wstring> seen;
    for (FailureKind kind : {FailureKind::Cancelled, FailureKind::DriveMissing, FailureKind::LowFreeSpace,
                             FailureKind::NoConnection, FailureKind::ServerError, FailureKind::PackageRefused,
                             FailureKind::WriteProtected, FailureKind::WriteFailed, FailureKind::CommitHeld,
                             FailureKind::Internal}) {
        EXPECT_TRUE(seen.insert(advice(kind)).second) << static_cast<int>(kind);
    }

    // The headlines: the reason's, and the drive's two also from the kind alone.
    EXPECT_EQ(L"Installation failed.", DescribeFailure(false, none, Kind(FailureKind::ServerError), L'E').headline);
    EXPECT_EQ(L"Update failed.", DescribeFailure(true, none, Kind(FailureKind::NoConnection), L'E').headline);
    EXPECT_EQ(L"Check drive E is connected", DescribeFailure(false, none, Kind(FailureKind::DriveMissing), L'E').headline);
    EXPECT_EQ(L"Check drive G is connected",
              DescribeFailure(true, IInstallListener::ReasonDriveMissing, InstallFailure(), L'G').headline);
    EXPECT_EQ(advice(FailureKind::DriveMissing),
              DescribeFailure(true, IInstallListener::ReasonDriveMissing, InstallFailure(), L'G').advice);
    EXPECT_NE(DescribeFailure(false, none, Kind(FailureKind::Cancelled), L'E').advice,
              DescribeFailure(true, none, Kind(FailureKind::Cancelled), L'E').advice);

    // Full: the headline keeps the threshold, the advice how much to free, rounded up.
    InstallFailure full = Kind(FailureKind::LowFreeSpace);
    full.bytesFree = 80ull * 1024 * 1024;
    full.bytesNeeded = 150ull * 1024 * 1024 + 1;
    const FailureMessage low = DescribeFailure(false, none, full, L'E');
    EXPECT_EQ(L"Not enough drive E free space.\nAt least 150MB required.", low.headline);
    EXPECT_EQ(L"Free 71 MB more on the stick, then Try again.", low.advice);
    full.bytesNeeded = 0;
    EXPECT_EQ(L"Make room on the stick, then Try again.", DescribeFailure(false, none, full, L'E').advice);

    EXPECT_EQ(L"Drive E is still missing. Plug the stick in: setup goes on by itself once it is back.",
              StillMissingAdvice(L'E'));
    // A letter 0 ends the texts there.
    EXPECT_EQ(L"Check drive ", DescribeFailure(true, none, Kind(FailureKind::DriveMissing), L'\0').headline);
    EXPECT_EQ(L"Drive ", StillMissingAdvice(L'\0'));
}

TEST(DriveWatch, OnlyAVolumeThatArrivedOrWentNamesItsLetters)
{
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = (1u << ('E' - 'A')) | (1u << ('G' - 'A'));
    const LPARAM data = reinterpret_cast<LPARAM>(&volume);
    EXPECT_EQ(volume.dbcv_unitmask, ArrivedVolumes(DBT_DEVICEARRIVAL, data));
    EXPECT_EQ(0u, RemovedVolumes(DBT_DEVICEARRIVAL, data));
    EXPECT_EQ(volume.dbcv_unitmask, RemovedVolumes(DBT_DEVICEREMOVECOMPLETE, data));
    EXPECT_EQ(0u, ArrivedVolumes(DBT_DEVICEQUERYREMOVE, data));
    EXPECT_EQ(0u, ArrivedVolumes(DBT_DEVICEARRIVAL, 0));
    DEV_BROADCAST_HDR port = {};
    port.dbch_size = sizeof(port);
    port.dbch_devicetype = DBT_DEVTYP_PORT;
    EXPECT_EQ(0u, ArrivedVolumes(DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&port)));

    EXPECT_TRUE(NamesDrive(volume.dbcv_unitmask, L'E'));
    EXPECT_TRUE(NamesDrive(volume.dbcv_unitmask, L'g'));
    EXPECT_FALSE(NamesDrive(volume.dbcv_unitmask, L'F'));
    EXPECT_FALSE(NamesDrive(0xFFFFFFFFu, L'\0'));
}

}  // namespace
