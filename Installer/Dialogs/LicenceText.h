#pragma once

#include <windows.h>

#include <string>

// The licence agreement: an RTF document in the program's resources, handed
// to the rich edit control as it is, or with its sizes scaled.

// A copy of the whole licence resource of `module`; empty when it has none.
std::string LoadLicenceText(HMODULE module);

// The document with every size it gives scaled by numerator / denominator,
// rounded (font sizes up, the others to the nearest): font sizes (\fs), paragraph spacing (\sa, \sb, \sl), indents
// (\li, \ri, \fi) and tab stops (\tx). The rich edit control turns them
// into pixels at the screen's resolution; scaled by the window's layout
// resolution / that one, they come out as many pixels as at the layout's.
// Text, escapes and every other control word stay as they are.
std::string ScaleRtfSizes(const std::string& rtf, int numerator, int denominator);

// Moves the front of `rest` into `buffer`: `wanted` bytes, or all that is
// left when that is less. Returns how many were moved; 0 once `rest` is
// empty (or nothing is wanted), which ends the stream.
long TakeStreamPiece(std::string& rest, char* buffer, long wanted);

// The EDITSTREAM callback for EM_STREAMIN: the cookie is the address of the
// std::string that LoadLicenceText returned, which shrinks as the control
// takes it in. Always 0 (no error).
DWORD CALLBACK StreamLicencePiece(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* given);
