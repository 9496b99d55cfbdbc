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

// What a start does while another installer runs in the same session: the
// user who starts it again by hand gets the running one's window back; a
// silent install or an update, which nobody watches, is refused.
enum class SecondStart { Run, BringFirstToFront, Refuse };
SecondStart DecideSecondStart(bool anotherRuns, const StartupOptions& options);

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
