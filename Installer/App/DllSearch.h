#pragma once

#include <windows.h>

// Where the installer's DLLs come from: the system folder only. Users start
// Installer.exe from the folder their browser saved it to, and a DLL that
// anyone dropped there would otherwise be loaded into the installer, which
// Windows searches first for every DLL that is not one of its known DLLs.
//
// Installer.exe imports only kernel32 and the C runtime at start; every
// other DLL it uses is delay-loaded on first use through LoadSystemLibrary
// (see cmake/DelayImports.cmake).

// The first step of the program, before anything can load a DLL: makes the
// system folder the only place from which this process loads DLLs by bare
// name, its own and those that Windows' DLLs load on its behalf.
void RestrictDllSearchToSystemFolder();

// `name`, a bare file name such as L"riched20.dll", from the system folder
// (comctl32.dll from the version 6 assembly that the manifest names); null
// when it cannot be loaded.
HMODULE LoadSystemLibrary(const wchar_t* name);
