#include <gtest/gtest.h>

#include "ProductPaths.h"
#include "Startup.h"

namespace {

std::vector<std::wstring> Args(std::initializer_list<const wchar_t*> rest)
{
    std::vector<std::wstring> arguments{L"C:\\dl\\Installer.exe"};
    arguments.insert(arguments.end(), rest.begin(), rest.end());
    return arguments;
}

StartupOptions Parse(std::initializer_list<const wchar_t*> rest, const std::wstring& raw = L"")
{
    return ParseStartupOptions(Args(rest), raw);
}

}  // namespace

TEST(DriveRoot, OnlyLetterColonBackslashCounts)
{
    EXPECT_TRUE(IsDriveRoot(L"E:\\"));
    EXPECT_TRUE(IsDriveRoot(L"e:\\"));
    EXPECT_TRUE(IsDriveRoot(L"7:\\"));  // not tested to be a letter
    EXPECT_FALSE(IsDriveRoot(L"E:"));
    EXPECT_FALSE(IsDriveRoot(L"E:\\Tools"));
    EXPECT_FALSE(IsDriveRoot(L"E:/"));
    EXPECT_FALSE(IsDriveRoot(L"E;\\"));
    EXPECT_FALSE(IsDriveRoot(L""));
}

TEST(PathOption, FirstDashDashPathEndsTheSearch)
{
    StartupOptions options = Parse({L"--path", L"e:\\"});
    EXPECT_TRUE(options.driveGiven);
    EXPECT_EQ(L'e', options.driveLetter);

    options = Parse({L"--path", L"E:", L"--path", L"F:\\"});
    EXPECT_FALSE(options.driveGiven);
    EXPECT_EQ(0, options.driveLetter);

    options = Parse({L"--path"});
    EXPECT_FALSE(options.driveGiven);

    options = Parse({L"--path", L"E:\\Tools"});
    EXPECT_FALSE(options.driveGiven);

    options = Parse({L"--Path", L"E:\\"});
    EXPECT_FALSE(options.driveGiven) << "comparison is case-sensitive";
}

TEST(PathOption, ProgramPathIsNotAnArgument)
{
    const StartupOptions options = ParseStartupOptions({L"--path", L"E:\\"}, L"");
    EXPECT_FALSE(options.driveGiven);
}

TEST(SilentDestination, LastOneWinsAndSixCharactersAreCut)
{
    EXPECT_EQ(L"F:", Parse({L"/path=E:", L"/path=F:"}).silentDestination);
    EXPECT_EQ(L"=E:", Parse({L"x/path=E:"}).silentDestination);
    EXPECT_EQ(L"", Parse({L"/path="}).silentDestination);
    EXPECT_EQ(L"E:\\Tools", Parse({L"/path=E:\\Tools"}).silentDestination);
    EXPECT_EQ(L"", Parse({L"/PATH=E:"}).silentDestination);
}

TEST(SilentDestination, IgnoredWhenADriveWasGiven)
{
    const StartupOptions options = Parse({L"--path", L"E:\\", L"/path=F:"});
    EXPECT_TRUE(options.driveGiven);
    EXPECT_TRUE(options.silentDestination.empty());

    // An invalid --path leaves the /path= search in place.
    EXPECT_EQ(L"F:", Parse({L"--path", L"E:", L"/path=F:"}).silentDestination);
}

TEST(AppUpdate, CaseSensitiveSubstringOfTheRawCommandLine)
{
    EXPECT_TRUE(Parse({}, L"Installer.exe /AppUpdate").appUpdate);
    EXPECT_TRUE(Parse({}, L"Installer.exe x/AppUpdatey").appUpdate);
    EXPECT_TRUE(Parse({}, L"C:\\x\\/AppUpdate\\Installer.exe").appUpdate)
        << "the program path is part of the raw text";
    EXPECT_FALSE(Parse({}, L"Installer.exe /appupdate").appUpdate);
}

TEST(RunMode, Precedence)
{
    StartupOptions options;
    EXPECT_EQ(RunMode::Interactive, ChooseRunMode(options, false));

    options.appUpdate = true;
    EXPECT_EQ(RunMode::Update, ChooseRunMode(options, false));

    options.silentDestination = L"E:";
    EXPECT_EQ(RunMode::SilentInstall, ChooseRunMode(options, false));

    // The product counts only for a drive given with --path.
    EXPECT_EQ(RunMode::SilentInstall, ChooseRunMode(options, true));

    StartupOptions drive;
    drive.driveGiven = true;
    drive.driveLetter = L'E';
    drive.appUpdate = true;
    EXPECT_EQ(RunMode::Open, ChooseRunMode(drive, true));
    EXPECT_EQ(RunMode::Update, ChooseRunMode(drive, false));
    drive.appUpdate = false;
    EXPECT_EQ(RunMode::Interactive, ChooseRunMode(drive, false));
}

TEST(CommandLineValue, FirstOccurrenceWithAFollowerCounts)
{
    const auto arguments = Args({L"--drivePath", L"--exePath", L"X"});
    EXPECT_EQ(L"--exePath", FindArgumentValue(arguments, L"--drivePath"));
    EXPECT_EQ(L"X", FindArgumentValue(arguments, L"--exePath"));

    EXPECT_EQ(L"E:\\", FindArgumentValue(Args({L"--drivePath", L"E:\\", L"--drivePath", L"F:\\"}),
                                        L"--drivePath"));
    EXPECT_EQ(L"", FindArgumentValue(Args({L"--exePath"}), L"--exePath"));
    EXPECT_EQ(L"", FindArgumentValue(Args({L"--exepath", L"X"}), L"--exePath"));
}

TEST(CommandLineSplit, QuotedArgumentsStayWhole)
{
    const auto arguments =
        SplitCommandLine(L"\"C:\\Program Files\\Installer.exe\" --exePath \"E:\\Quillon Tools\\Q.exe\"");
    ASSERT_EQ(3u, arguments.size());
    EXPECT_EQ(L"C:\\Program Files\\Installer.exe", arguments[0]);
    EXPECT_EQ(L"E:\\Quillon Tools\\Q.exe", arguments[2]);
}

TEST(ProductPath, LetterColonBackslashQuillon)
{
    EXPECT_EQ(L"E:\\Quillon.exe", ProductPathFor(L'E'));
    EXPECT_EQ(L"e:\\Quillon.exe", ProductPathFor(L'e'));
}

TEST(SecondStart, ByHandAlwaysGetsAnAnswerUnwatchedOnesAreRefused)
{
    const StartupOptions byHand = Parse({});
    const StartupOptions silent = Parse({L"/path=E:"});
    const StartupOptions update = Parse({L"/AppUpdate", L"--drivePath", L"E:\\"}, L"I.exe /AppUpdate");
    const auto first = [](OtherRun kind, bool windowShown, bool waitedEnough) {
        FirstRun run;
        run.kind = kind;
        run.windowShown = windowShown;
        run.waitedEnough = waitedEnough;
        return run;
    };
    const FirstRun none;
    EXPECT_EQ(SecondStart::Run, DecideSecondStart(silent, none));
    EXPECT_EQ(SecondStart::Run, DecideSecondStart(byHand, none));

    // A window to bring back; a closing installer waited for, then named.
    EXPECT_EQ(SecondStart::BringFirstToFront, DecideSecondStart(byHand, first(OtherRun::Interactive, true, true)));
    EXPECT_EQ(SecondStart::BringFirstToFront,
              DecideSecondStart(Parse({L"--path", L"E:\\"}), first(OtherRun::Interactive, true, false)));
    EXPECT_EQ(SecondStart::WaitForFirst, DecideSecondStart(byHand, first(OtherRun::Interactive, false, false)));
    EXPECT_EQ(SecondStart::TellStillRunning, DecideSecondStart(byHand, first(OtherRun::Interactive, false, true)));

    // An unwatched run going on: said so at once, its window or not.
    EXPECT_EQ(SecondStart::TellInstalling, DecideSecondStart(byHand, first(OtherRun::SilentInstall, false, false)));
    EXPECT_EQ(SecondStart::TellUpdating, DecideSecondStart(byHand, first(OtherRun::Update, true, false)));
    EXPECT_EQ(L"Quillon is being installed on a USB drive from this PC. Try again when it has finished.",
              SecondStartMessage(SecondStart::TellInstalling));
    EXPECT_EQ(L"", SecondStartMessage(SecondStart::BringFirstToFront));

    // The silent install beats the update here too; the unwatched are never kept waiting.
    EXPECT_EQ(OtherRun::SilentInstall, KindOfRun(Parse({L"/path=E:", L"/AppUpdate"}, L"I.exe /path=E: /AppUpdate")));
    EXPECT_EQ(OtherRun::Update, KindOfRun(update));
    EXPECT_EQ(OtherRun::Interactive, KindOfRun(byHand));
    for (const StartupOptions& unwatched : {silent, update}) {
        EXPECT_EQ(SecondStart::Refuse, DecideSecondStart(unwatched, first(OtherRun::Interactive, true, false)));
        EXPECT_EQ(SecondStart::Refuse, DecideSecondStart(unwatched, first(OtherRun::Interactive, false, false)));
        EXPECT_EQ(SecondStart::Refuse, DecideSecondStart(unwatched, first(OtherRun::SilentInstall, false, false)));
    }
}
