// The hand-over's decisions, without processes: which copies run from the
// target drive, and what the end of a run starts.
#include <gtest/gtest.h>

#include "ProductHandOver.h"
#include "UpdateHandOver.h"

namespace {

TEST(HandOverRules, ACopyRunsFromTheDriveItsProgramFileIsOn)
{
    EXPECT_TRUE(IsOnDrive(L"E:\\Quillon.exe", L'E'));
    EXPECT_TRUE(IsOnDrive(L"e:\\Tools\\Quillon.exe", L'E'));
    EXPECT_TRUE(IsOnDrive(L"E:\\Quillon.exe", L'e'));
    EXPECT_TRUE(IsOnDrive(L"\\\\?\\E:\\Quillon.exe", L'E'));
    EXPECT_FALSE(IsOnDrive(L"G:\\Quillon.exe", L'E'));
    EXPECT_FALSE(IsOnDrive(L"E:Quillon.exe", L'E'));
    EXPECT_FALSE(IsOnDrive(L"\\\\server\\E:\\Quillon.exe", L'E'));
    EXPECT_FALSE(IsOnDrive(L"", L'E'));
    EXPECT_FALSE(IsOnDrive(L"E:\\Quillon.exe", L'\0'));
}

TEST(HandOverRules, WhatAsksToQuitRunsAgainWhateverTheEnd)
{
    struct Case {
        const char* what;
        HandOverMoment moment;
        ProgramStart start;
    };
    auto moment = [](bool update, bool completed, bool asked) {
        HandOverMoment m;
        m.updateMode = update;
        m.completed = completed;
        m.askedToQuit = asked;
        return m;
    };
    auto with = [](HandOverMoment m, bool HandOverMoment::*field) {
        m.*field = true;
        return m;
    };
    const Case cases[] = {
        {"update committed", moment(true, true, true), ProgramStart::Notified},
        {"update committed, nothing was running", moment(true, true, false), ProgramStart::Notified},
        {"update committed, started already", with(moment(true, true, true), &HandOverMoment::notified),
         ProgramStart::None},
        {"update failed after the ask", moment(true, false, true), ProgramStart::Again},
        {"update failed before any ask", moment(true, false, false), ProgramStart::None},
        {"update failed, a copy still runs", with(moment(true, false, true), &HandOverMoment::copyStillRunning),
         ProgramStart::None},
        {"window gone while the commit runs", with(with(moment(true, false, true), &HandOverMoment::commitUnderway),
                                                    &HandOverMoment::dialogEnding),
         ProgramStart::None},
        {"install failed after the ask", moment(false, false, true), ProgramStart::Again},
        {"install completed, Run Quillon still offered", moment(false, true, true), ProgramStart::None},
        {"install completed, the dialog goes", with(moment(false, true, true), &HandOverMoment::dialogEnding),
         ProgramStart::Again},
        {"install completed, nothing was running", with(moment(false, true, false), &HandOverMoment::dialogEnding),
         ProgramStart::None},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.start, ChooseProgramStart(c.moment)) << c.what;
    }
}

}  // namespace
