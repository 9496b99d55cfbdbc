#include "PackageManifest.h"

#include <unordered_map>

#include "ManifestText.h"
#include "ZipRules.h"

namespace PackageManifest {
namespace {

// UTF-16 of a text that PrintableUtf8 took.
std::u16string Utf16Of(const std::string& text)
{
    std::u16string wide;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        uint32_t point = length == 1 ? lead : lead & (0x7Fu >> length);
        for (size_t k = 1; k < length; ++k) {
            point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        if (point >= 0x10000) {
            wide += static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10));
            wide += static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            wide += static_cast<char16_t>(point);
        }
        i += length;
    }
    return wide;
}

}  // namespace

namespace Text {

bool PrintableUtf8(const std::string& text)
{
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = 1;
        uint32_t point = lead;
        if (lead < 0x20 || lead == 0x7F) {
            return false;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07u;
        } else if (lead >= 0xF5) {
            return false;
        } else if (lead >= 0xE0) {
            length = 3;
            point = lead & 0x0Fu;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            point = lead & 0x1Fu;
        } else if (lead >= 0x80) {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u) {
                return false;
            }
            point = (point << 6) | (next & 0x3Fu);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF) ||
            (point >= 0x80 && point < 0xA0)) {
            return false;
        }
        i += length;
    }
    return true;
}

// A member name as a clean zip stores it: relative, "/" between folders, no
// empty, "." or ".." step, no drive, nothing a Windows name cannot hold, and
// nothing that Windows takes for a way up or a device (".. ", "nul.txt"),
// by the zip layer's own rules.
bool CleanMemberName(const std::string& name)
{
    if (name.empty() || name.size() > 1024 || !PrintableUtf8(name) || name[0] == '/' ||
        ZipRules::CheckRelativeName(Utf16Of(name)) != ZipRules::NameProblem::None) {
        return false;
    }
    size_t start = 0;
    while (start < name.size()) {
        size_t end = name.find('/', start);
        const bool last = end == std::string::npos;
        if (last) {
            end = name.size();
        }
        const std::string step = name.substr(start, end - start);
        // "." stays where it is, and some zip writers store "./" itself.
        if (step.empty() || step == "..") {
            return false;
        }
        if (step.find_first_of("\\:*?\"<>|") != std::string::npos) {
            return false;
        }
        start = end + 1;
        if (last) {
            break;
        }
    }
    return true;
}

}  // namespace Text

std::string DriveKey(const std::string& name)
{
    std::string folded = name;
    for (char& c : folded) {
        if (c == '\\') {
            c = '/';
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    // "./a" and "a" are one file; "a/" and "a" one name.
    std::string key;
    size_t start = 0;
    while (start <= folded.size()) {
        size_t end = folded.find('/', start);
        if (end == std::string::npos) {
            end = folded.size();
        }
        const std::string step = folded.substr(start, end - start);
        if (!step.empty() && step != ".") {
            key += (key.empty() ? "" : "/") + step;
        }
        start = end + 1;
    }
    return key;
}

MemberMatch MatchMembers(const Manifest& manifest, const std::vector<std::string>& zipNames)
{
    MemberMatch match;
    std::unordered_map<std::string, size_t> listed;
    for (size_t i = 0; i < manifest.members.size(); ++i) {
        if (!listed.emplace(manifest.members[i].name, i).second) {
            match.problem = "the manifest lists \"" + manifest.members[i].name + "\" twice";
            return match;
        }
    }
    std::unordered_map<std::string, std::string> onDrive;
    std::vector<bool> seen(manifest.members.size(), false);
    for (const std::string& name : zipNames) {
        const auto entry = listed.find(name);
        if (entry == listed.end()) {
            match.problem = "the package holds \"" + name + "\", which the manifest does not list";
            match.manifestIndex.clear();
            return match;
        }
        // Two members that land on one file would let the second replace a
        // verified first, whatever each one's hash says.
        const auto placed = onDrive.emplace(DriveKey(name), name);
        if (!placed.second) {
            match.problem = "the package holds \"" + placed.first->second + "\" and \"" + name +
                            "\", which are one file on the drive";
            match.manifestIndex.clear();
            return match;
        }
        seen[entry->second] = true;
        match.manifestIndex.push_back(entry->second);
    }
    for (size_t i = 0; i < seen.size(); ++i) {
        if (!seen[i]) {
            match.problem = "the manifest lists \"" + manifest.members[i].name + "\", which the package lacks";
            match.manifestIndex.clear();
            return match;
        }
    }
    return match;
}

}  // namespace PackageManifest
