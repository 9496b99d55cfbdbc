#pragma once

#include <string>
#include <vector>

// What the command line asks for, gathered before a mode is chosen.
struct StartupOptions {
    wchar_t driveLetter = 0;         // from --path, unchanged (not upper-cased)
    bool driveGiven = false;         // --path carried a valid drive root
    std::wstring silentDestination;  // value of the last /path=
    bool appUpdate = false;          // "/AppUpdate" somewhere in the raw command line
};

enum class RunMode { Open, SilentInstall, Update, Interactive };

// Exactly three units, the second ':' and the third '\'.
bool IsDriveRoot(const std::wstring& value);

// `arguments` are those of CommandLineToArgvW, index 0 the program itself;
// empty when the command line could not be split. `rawCommandLine` is the
// unsplit text, program path included. All comparisons are case-sensitive.
StartupOptions ParseStartupOptions(const std::vector<std::wstring>& arguments,
                                   const std::wstring& rawCommandLine);

// Open beats silent install beats update beats interactive install.
RunMode ChooseRunMode(const StartupOptions& options, bool productExists);

// What kind of run holds the installer's turn in the session, as a second
// start sees it: None when no other installer runs.
enum class OtherRun { None, Interactive, SilentInstall, Update };

// The kind of run these options start, as a second start will see it.
OtherRun KindOfRun(const StartupOptions& options);

// What a second start knows of the run that holds the turn.
struct FirstRun {
    OtherRun kind = OtherRun::None;
    bool windowShown = false;  // one of its windows is on the screen
    bool waitedEnough = false;  // it has been waited for as long as a close may take
};

// What a start does while another installer runs in the same session. A
// silent install or an update, which nobody watches, is refused. A start by
// hand always gets an answer: the running installer's window back, else a
// wait for an installer that is closing (its window gone, its process still
// finishing), else a message that says why nothing opens.
enum class SecondStart { Run, BringFirstToFront, Refuse, WaitForFirst, TellInstalling, TellUpdating, TellStillRunning };
SecondStart DecideSecondStart(const StartupOptions& options, const FirstRun& first);

// The message a start by hand shows for a Tell... decision; empty for the others.
std::wstring SecondStartMessage(SecondStart decision);

// The argument after the first one equal to `name` that has a successor.
std::wstring FindArgumentValue(const std::vector<std::wstring>& arguments, const std::wstring& name);

// --- platform side ---

// CommandLineToArgvW over the given text; empty when it cannot be split.
std::vector<std::wstring> SplitCommandLine(const wchar_t* commandLine);

// FindArgumentValue over the process's own command line, split afresh.
std::wstring GetCommandLineValue(const std::wstring& name);

// Shorter than MAX_PATH and its attributes can be read (a folder counts).
bool ProductExists(const std::wstring& productPath);

// Ends the process with `exitCode` once `milliseconds` have passed, unless it
// has ended by itself before: whatever the way out still waits for (the
// component model's last apartment, a library's detach) cannot keep a run
// that has finished its work and written its last log line alive.
void BoundTheExit(int exitCode, unsigned long milliseconds);
