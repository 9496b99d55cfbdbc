// Feeds arbitrary bytes to every extraction rule and checks the properties
// that keep extraction inside its root; sanitizers catch the rest.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ZipRules.h"

namespace {

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

std::u16string AsUtf16(const uint8_t* data, size_t size)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2) {
        text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    return text;
}

// Bytes read as 8-bit names, so that short inputs reach ".." and ":" easily.
std::u16string AsNarrow(const uint8_t* data, size_t size)
{
    std::u16string text;
    for (size_t i = 0; i < size; ++i) {
        text += static_cast<char16_t>(data[i]);
    }
    return text;
}

void CheckName(const std::u16string& stored)
{
    const std::u16string cleaned = ZipRules::CleanName(stored);
    Require(cleaned.size() <= stored.size());
    Require(stored.find(cleaned) != std::u16string::npos);
    Require(cleaned.empty() || !ZipRules::IsSeparator(cleaned[0]));
    Require(cleaned.size() < 2 || cleaned[1] != u':');
    for (const char16_t* step : {u"\\..\\", u"\\../", u"/../", u"/..\\"}) {
        Require(cleaned.find(step) == std::u16string::npos);
    }
    Require(ZipRules::CleanName(cleaned) == cleaned);

    if (ZipRules::CheckRelativeName(cleaned) == ZipRules::NameProblem::None) {
        Require(cleaned.find(u':') == std::u16string::npos);
        size_t start = 0;
        while (start <= cleaned.size()) {
            size_t end = cleaned.find_first_of(u"\\/", start);
            if (end == std::u16string::npos) {
                end = cleaned.size();
            }
            Require(cleaned.compare(start, end - start, u"..") != 0);
            start = end + 1;
        }
    }

    const ZipRules::SplitPath split = ZipRules::SplitAfterLastSeparator(cleaned);
    Require(split.directory + split.file == cleaned);
    Require(split.file.find_first_of(u"\\/") == std::u16string::npos);
    const std::vector<std::u16string> chain = ZipRules::DirectoriesTopDown(split.directory);
    for (size_t i = 0; i < chain.size(); ++i) {
        Require(split.directory.compare(0, chain[i].size(), chain[i]) == 0);
        Require(i == 0 || chain[i].size() > chain[i - 1].size());
    }
    Require(chain.empty() ? split.directory.empty() : chain.back() == split.directory);

    const std::u16string root = ZipRules::MakeRoot(stored);
    Require(root.size() < ZipRules::kMaxPath);
    Require(root.empty() || ZipRules::IsSeparator(root.back()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const uint8_t mode = data[0];
    const uint8_t* rest = data + 1;
    const size_t restSize = size - 1;

    // The extra field gets a heap copy of exactly its length, so any read
    // past its end is caught.
    std::vector<uint8_t> field(rest, rest + restSize);
    const ZipRules::ExtendedTimes times = ZipRules::ReadExtendedTimestamp(field.data(), field.size());
    if (restSize <= 4) {
        Require(!times.modification && !times.access && !times.creation);
    }

    CheckName(mode & 1 ? AsUtf16(rest, restSize) : AsNarrow(rest, restSize));

    if (restSize >= 4) {
        uint32_t word;
        std::memcpy(&word, rest, sizeof(word));
        const auto calendar = ZipRules::DecodeDosDateTime(word);
        if (calendar) {
            Require(calendar->month >= 1 && calendar->month <= 12);
            Require(calendar->day >= 1 && calendar->day <= 31);
            Require(calendar->hour <= 23 && calendar->minute <= 59 && calendar->second <= 59);
        }
        const uint32_t attributes = ZipRules::MapAttributes(word, mode);
        Require((attributes & ~0x37u) == 0);
    }
    if (restSize >= 12) {
        ZipRules::EmptyPasswordCheckByteMatches(field.data(), 12, mode);
    }
    return 0;
}
