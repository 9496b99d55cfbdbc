#pragma once

#include <string>

// Sends every line of the default logger to "Installer.log" in the work
// folder, appending, and creates that folder. First thing of every run.
void ConfigureLog();

// The 8-bit name under which the logging library can open `path`. The library
// opens files through the ANSI code page, so a UTF-8 name only works while
// the path is plain ASCII. In order: the ANSI form when it converts without
// loss; else the ANSI form of the short (8.3) path when the volume has one;
// else UTF-8, which the library may fail to open (the run then goes on
// without a log file).
std::string LogFileNameFor(const std::wstring& path);
