#pragma once

// Text conversion: every wide text the program logs goes through here,
// never through the logging library's own conversion, which stops at the
// first character outside the C locale.

#include <string>

// UTF-16 to UTF-8; empty for an empty text.
std::string ToUtf8(const std::wstring& text);

// UTF-8 to UTF-16; empty for an empty text or one that is not UTF-8.
std::wstring FromUtf8(const std::string& text);
