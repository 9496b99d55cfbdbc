#pragma once

// Where things are: the installer's work folder on this machine and the
// product's place on a drive.

#include <string>

// letter + ":\Quillon.exe"
std::wstring ProductPathFor(wchar_t driveLetter);

// The root of the drive a destination names: "E:" and "E:\folder" give
// "E:\"; a destination without a drive gives "\".
std::wstring DriveRootOf(const std::wstring& destination);
std::wstring DriveRootOf(wchar_t driveLetter);

// The temporary folder + "{502ABB8A-27F4-4A9D-A0B4-C99B926B99EE}\". Not
// created here.
std::wstring GetWorkFolder();
