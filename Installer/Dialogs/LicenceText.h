#pragma once

#include <windows.h>

#include <string>

// The licence agreement: an RTF document in the program's resources, handed
// to the rich edit control unchanged.

// A copy of the whole licence resource of `module`; empty when it has none.
std::string LoadLicenceText(HMODULE module);

// Moves the front of `rest` into `buffer`: `wanted` bytes, or all that is
// left when that is less. Returns how many were moved; 0 once `rest` is
// empty (or nothing is wanted), which ends the stream.
long TakeStreamPiece(std::string& rest, char* buffer, long wanted);

// The EDITSTREAM callback for EM_STREAMIN: the cookie is the address of the
// std::string that LoadLicenceText returned, which shrinks as the control
// takes it in. Always 0 (no error).
DWORD CALLBACK StreamLicencePiece(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* given);
