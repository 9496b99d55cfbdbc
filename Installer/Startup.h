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

// letter + ":\Quillon.exe"
std::wstring ProductPathFor(wchar_t driveLetter);

// --- platform side ---

// CommandLineToArgvW over the given text; empty when it cannot be split.
std::vector<std::wstring> SplitCommandLine(const wchar_t* commandLine);

// FindArgumentValue over the process's own command line, split afresh.
std::wstring GetCommandLineValue(const std::wstring& name);

// The temporary folder + "{502ABB8A-27F4-4A9D-A0B4-C99B926B99EE}\". Not
// created here.
std::wstring GetWorkFolder();

// Shorter than MAX_PATH and its attributes can be read (a folder counts).
bool ProductExists(const std::wstring& productPath);
