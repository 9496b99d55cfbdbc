#include "KeptRecord.h"

#include "DeltaPlan.h"

namespace KeptRecord {
namespace {

constexpr char kHeader[] = "quillon-kept 1";

// Decimal digits only, that fit 64 bits.
bool ReadNumber(const std::string& text, uint64_t* value)
{
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (number > (UINT64_MAX - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

// "range <first> <last>" with single spaces.
bool ReadRange(const std::string& line, ByteRange* range)
{
    const std::string word = "range ";
    if (line.compare(0, word.size(), word) != 0) {
        return false;
    }
    const size_t space = line.find(' ', word.size());
    return space != std::string::npos && ReadNumber(line.substr(word.size(), space - word.size()), &range->first) &&
           ReadNumber(line.substr(space + 1), &range->last);
}

}  // namespace

std::string Format(const PackageManifest::Sha256& packageSha256, uint64_t packageSize,
                   const std::vector<ByteRange>& kept)
{
    std::string text = std::string(kHeader) + "\npackage " + PackageManifest::Hex(packageSha256) + " " +
                       std::to_string(packageSize) + "\n";
    for (const ByteRange& range : kept) {
        text += "range " + std::to_string(range.first) + " " + std::to_string(range.last) + "\n";
    }
    return text;
}

std::vector<ByteRange> Parse(const std::string& text, const PackageManifest::Sha256& packageSha256,
                             uint64_t packageSize)
{
    std::vector<ByteRange> kept;
    const std::string package = "package " + PackageManifest::Hex(packageSha256) + " " + std::to_string(packageSize);
    size_t start = 0;
    int line = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
        const std::string each = text.substr(start, end - start);
        if (line == 0 || line == 1) {
            if (each != (line == 0 ? std::string(kHeader) : package)) {
                return {};
            }
            ++line;
            continue;
        }
        ByteRange range;
        if (!ReadRange(each, &range) || range.first > range.last || range.last >= packageSize) {
            break;
        }
        DeltaPlan::AddRange(kept, range);
    }
    return kept;
}

}  // namespace KeptRecord
