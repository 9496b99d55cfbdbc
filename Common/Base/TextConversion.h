#pragma once

// Text conversion: every wide text the program logs goes through here,
// never through the logging library's own conversion, which stops at the
// first character outside the C locale.

#include <string>

// UTF-16 to UTF-8; empty for an empty text.
std::string ToUtf8(const std::wstring& text);
