#include "PackageManifest.h"

#include <cctype>
#include <cstdio>
#include <unordered_map>

#include "ManifestText.h"

namespace PackageManifest {

using Text::CleanMemberName;
using Text::Number;

namespace {

const char kSignaturePrefix[] = "signature ";

// The text as lines, each without its "\n". Every line must end in "\n":
// a manifest cut short in the middle of a line is no manifest.
std::optional<std::vector<std::string>> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            return std::nullopt;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Fields split at single spaces; `limit` fields at most, the last one takes
// the rest of the line (a member's name may hold spaces).
std::vector<std::string> Fields(const std::string& line, size_t limit)
{
    std::vector<std::string> fields;
    size_t start = 0;
    while (fields.size() + 1 < limit) {
        const size_t space = line.find(' ', start);
        if (space == std::string::npos) {
            break;
        }
        fields.push_back(line.substr(start, space - start));
        start = space + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

}  // namespace

namespace Text {

std::optional<uint64_t> Number(const std::string& text)
{
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace Text

namespace {

// Lower-case hex of exactly N bytes.
template <size_t N>
std::optional<std::array<uint8_t, N>> HexBytes(const std::string& text)
{
    if (text.size() != N * 2) {
        return std::nullopt;
    }
    std::array<uint8_t, N> bytes{};
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int nibble = 0;
        if (c >= '0' && c <= '9') {
            nibble = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            nibble = c - 'a' + 10;
        } else {
            return std::nullopt;
        }
        bytes[i / 2] = static_cast<uint8_t>((bytes[i / 2] << 4) | nibble);
    }
    return bytes;
}

bool CleanPackagePath(const std::string& path)
{
    const std::string folder = kPackageFolder;
    if (path.size() <= folder.size() || path.size() > 200 || path.compare(0, folder.size(), folder) != 0) {
        return false;
    }
    const std::string name = path.substr(folder.size());
    if (name[0] == '.') {
        return false;
    }
    for (const char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') {
            return false;
        }
    }
    return name.find("..") == std::string::npos;
}

// The days of the proleptic Gregorian calendar from 1970-01-01.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

class Parser {
public:
    explicit Parser(const std::vector<std::string>& lines) : m_lines(lines) {}

    // The next line split into `count` fields, the first of which must be
    // `label`; empty when it is not that line.
    std::optional<std::vector<std::string>> Line(const char* label, size_t count)
    {
        if (m_next >= m_lines.size()) {
            m_problem = std::string("the line \"") + label + "\" is missing";
            return std::nullopt;
        }
        std::vector<std::string> fields = Fields(m_lines[m_next], count);
        if (fields.size() != count || fields[0] != label) {
            m_problem = "line " + std::to_string(m_next + 1) + " is not the expected \"" + label + "\" line";
            return std::nullopt;
        }
        ++m_next;
        return fields;
    }
    bool AtLabel(const char* label) const
    {
        return m_next < m_lines.size() && m_lines[m_next].rfind(std::string(label) + " ", 0) == 0;
    }
    bool Fail(const std::string& problem)
    {
        m_problem = "line " + std::to_string(m_next) + ": " + problem;
        return false;
    }
    size_t Next() const { return m_next; }
    const std::string& Problem() const { return m_problem; }

private:
    const std::vector<std::string>& m_lines;
    size_t m_next = 0;
    std::string m_problem;
};

bool ParseHead(Parser& parser, Manifest& manifest)
{
    const auto format = parser.Line("quillon-manifest", 2);
    if (!format) {
        return false;
    }
    if ((*format)[1] != std::to_string(kFormat)) {
        return parser.Fail("format " + (*format)[1] + " is not one this installer knows");
    }
    const auto key = parser.Line("key", 2);
    if (!key) {
        return false;
    }
    const auto keyId = HexBytes<8>((*key)[1]);
    if (!keyId) {
        return parser.Fail("the key identifier is not 16 hex digits");
    }
    manifest.keyId = *keyId;
    const auto version = parser.Line("version", 2);
    if (!version) {
        return false;
    }
    const auto number = Number((*version)[1]);
    if (!number) {
        return parser.Fail("the version is not a number");
    }
    manifest.version = *number;
    const auto issued = parser.Line("issued", 2);
    if (!issued) {
        return false;
    }
    const auto issuedTime = ParseTime((*issued)[1]);
    if (!issuedTime) {
        return parser.Fail("the issue time is not of the form 2026-12-10T04:00:00Z");
    }
    const auto expires = parser.Line("expires", 2);
    if (!expires) {
        return false;
    }
    const auto expiryTime = ParseTime((*expires)[1]);
    if (!expiryTime || *expiryTime <= *issuedTime) {
        return parser.Fail("the expiry time is not a time after the issue time");
    }
    manifest.issued = *issuedTime;
    manifest.expires = *expiryTime;
    return true;
}

bool ParsePackage(Parser& parser, Manifest& manifest)
{
    const auto package = parser.Line("package", 4);
    if (!package) {
        return false;
    }
    const auto size = Number((*package)[2]);
    const auto sha = HexBytes<32>((*package)[3]);
    if (!CleanPackagePath((*package)[1])) {
        return parser.Fail("the package address is not a plain name in " + std::string(kPackageFolder));
    }
    if (!size || *size == 0 || *size > kMaxPackageBytes || !sha) {
        return parser.Fail("the package size or SHA-256 is not valid");
    }
    manifest.packagePath = (*package)[1];
    manifest.packageSize = *size;
    manifest.packageSha256 = *sha;
    const auto tail = parser.Line("tail", 4);
    if (!tail) {
        return false;
    }
    const auto offset = Number((*tail)[1]);
    const auto length = Number((*tail)[2]);
    const auto tailSha = HexBytes<32>((*tail)[3]);
    // The end record alone is 22 bytes.
    if (!offset || !length || !tailSha || *length < 22 || *offset >= manifest.packageSize ||
        *length != manifest.packageSize - *offset) {
        return parser.Fail("the package's directory is not where the package ends");
    }
    manifest.tailOffset = *offset;
    manifest.tailSize = *length;
    manifest.tailSha256 = *tailSha;
    return true;
}

bool ParseMembers(Parser& parser, Manifest& manifest)
{
    // Two entries that are one file on the drive would make every later
    // step (the match, the inventory, the version record) pick one of them.
    std::unordered_map<std::string, std::string> onDrive;
    while (parser.AtLabel("member")) {
        const auto member = parser.Line("member", 4);
        if (!member) {
            return false;
        }
        const auto size = Number((*member)[1]);
        const auto sha = HexBytes<32>((*member)[2]);
        // A zip without zip64 holds no member of 4 GiB or more.
        if (!size || !sha || *size >= 0xFFFFFFFFull) {
            return parser.Fail("a member's size or SHA-256 is not valid");
        }
        if (!CleanMemberName((*member)[3])) {
            return parser.Fail("a member's name is not a clean relative name");
        }
        if ((*member)[3].back() == '/' && *size != 0) {
            return parser.Fail("a folder member has a size");
        }
        if (manifest.members.size() == kMaxMembers) {
            return parser.Fail("more than " + std::to_string(kMaxMembers) + " members");
        }
        const auto placed = onDrive.emplace(DriveKey((*member)[3]), (*member)[3]);
        if (!placed.second) {
            return parser.Fail("\"" + placed.first->second + "\" and \"" + (*member)[3] +
                               "\" are one file on the drive");
        }
        manifest.members.push_back({(*member)[3], *size, *sha});
    }
    if (manifest.members.empty()) {
        return parser.Fail("no member is listed");
    }
    return true;
}

}  // namespace

std::optional<int64_t> ParseTime(const std::string& text)
{
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z') {
        return std::nullopt;
    }
    auto digits = [&text](size_t at, size_t count) -> std::optional<unsigned> {
        unsigned value = 0;
        for (size_t i = at; i < at + count; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return std::nullopt;
            }
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
        }
        return value;
    };
    const auto year = digits(0, 4);
    const auto month = digits(5, 2);
    const auto day = digits(8, 2);
    const auto hour = digits(11, 2);
    const auto minute = digits(14, 2);
    const auto second = digits(17, 2);
    if (!year || !month || !day || !hour || !minute || !second || *year < 1970 || *month < 1 ||
        *month > 12 || *day < 1 || *hour > 23 || *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
    const unsigned monthDays[] = {31, leap ? 29u : 28u, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (*day > monthDays[*month - 1]) {
        return std::nullopt;
    }
    return DaysFromCivil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second;
}

std::string FormatTime(int64_t seconds)
{
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const int64_t rest = seconds - days * 86400;
    // Civil from days, the inverse of DaysFromCivil.
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    char text[32];
    std::snprintf(text, sizeof(text), "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
                  month, day, static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                  static_cast<long long>(rest % 60));
    return text;
}

std::string Hex(const uint8_t* bytes, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

ParseResult Parse(const std::string& bytes)
{
    ParseResult result;
    if (bytes.empty()) {
        result.problem = "the manifest is empty";
        return result;
    }
    if (bytes.size() > kMaxBytes) {
        result.problem = "the manifest is larger than " + std::to_string(kMaxBytes) + " bytes";
        return result;
    }
    const size_t signatureAt = bytes.rfind(std::string("\n") + kSignaturePrefix);
    if (signatureAt == std::string::npos) {
        result.problem = "the manifest has no signature line";
        return result;
    }
    const auto lines = SplitLines(bytes);
    if (!lines) {
        result.problem = "the manifest's last line is cut short";
        return result;
    }
    Manifest manifest;
    manifest.signedText = bytes.substr(0, signatureAt + 1);
    const std::string signatureLine = bytes.substr(signatureAt + 1);
    Parser parser(*lines);
    if (!ParseHead(parser, manifest) || !ParsePackage(parser, manifest) || !ParseMembers(parser, manifest)) {
        result.problem = parser.Problem();
        return result;
    }
    // The signature line is the last line, and what it signs is everything
    // before it: nothing may stand between the members and the signature.
    if (parser.Next() + 1 != lines->size() || signatureLine != (*lines)[parser.Next()] + "\n") {
        result.problem = "line " + std::to_string(parser.Next() + 1) + " is neither a member nor the signature";
        return result;
    }
    const auto signature = HexBytes<64>(signatureLine.substr(sizeof(kSignaturePrefix) - 1, 128));
    if (signatureLine.size() != sizeof(kSignaturePrefix) - 1 + 128 + 1 || !signature) {
        result.problem = "the signature is not 128 hex digits";
        return result;
    }
    manifest.signature = *signature;
    result.manifest = std::move(manifest);
    return result;
}

VersionVerdict CompareVersions(std::optional<uint64_t> installed, uint64_t offered)
{
    if (!installed) {
        return VersionVerdict::Fresh;
    }
    if (offered > *installed) {
        return VersionVerdict::Newer;
    }
    return offered == *installed ? VersionVerdict::Same : VersionVerdict::Older;
}

}  // namespace PackageManifest
