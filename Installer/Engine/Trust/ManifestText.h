#pragma once

// The manifest's text rules that its parser, its member names and the
// version record share.

#include <cstdint>
#include <optional>
#include <string>

namespace PackageManifest {
namespace Text {

// Decimal, no sign, no leading zero (but "0" itself), no overflow.
std::optional<uint64_t> Number(const std::string& text);
// Valid UTF-8 without control characters: a name that prints as what it is.
bool PrintableUtf8(const std::string& text);
// A member name as a clean zip stores it, by the zip layer's own rules.
bool CleanMemberName(const std::string& name);

}  // namespace Text
}  // namespace PackageManifest
