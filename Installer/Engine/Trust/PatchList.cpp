#include "PatchList.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <utility>

namespace PatchList {
namespace {

const char kSignatureLabel[] = "signature";

// A line's fields, split at single spaces; exactly `count` of them.
std::optional<std::vector<std::string>> FieldsOf(const std::string& line, size_t count)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t space = line.find(' ', start);
        fields.push_back(line.substr(start, space == std::string::npos ? std::string::npos : space - start));
        if (space == std::string::npos) {
            break;
        }
        start = space + 1;
    }
    if (fields.size() != count || std::any_of(fields.begin(), fields.end(), [](const std::string& f) {
            return f.empty();
        })) {
        return std::nullopt;
    }
    return fields;
}

// Decimal digits without a leading zero (but "0"), below 2^53: no sign, no
// overflow, one way to write each value.
std::optional<uint64_t> Decimal(const std::string& text)
{
    if (text.empty() || text.size() > 15 || (text[0] == '0' && text.size() > 1) ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::stoull(text);
}

// Exactly N bytes in lower-case hex.
template <size_t N>
std::optional<std::array<uint8_t, N>> LowerHex(const std::string& text)
{
    if (text.size() != 2 * N) {
        return std::nullopt;
    }
    std::array<uint8_t, N> bytes{};
    for (size_t i = 0; i < 2 * N; ++i) {
        const char c = text[i];
        const int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (value < 0) {
            return std::nullopt;
        }
        bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] * 16 + value);
    }
    return bytes;
}

// A plain name in the patch folder: letters, digits, ".", "-" and "_", not
// starting with ".", so that a list can never send the installer elsewhere.
bool CleanPatchPath(const std::string& path)
{
    const std::string folder = kPatchFolder;
    if (path.size() <= folder.size() || path.size() > 240 || path.compare(0, folder.size(), folder) != 0) {
        return false;
    }
    const std::string name = path.substr(folder.size());
    return name[0] != '.' && std::all_of(name.begin(), name.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
           });
}

ParseResult Refuse(size_t line, const std::string& problem)
{
    ParseResult result;
    result.problem = line > 0 ? "line " + std::to_string(line) + ": " + problem : problem;
    return result;
}

}  // namespace

ParseResult Parse(const std::string& bytes)
{
    if (bytes.empty()) {
        return Refuse(0, "the patch list is empty");
    }
    if (bytes.size() > kMaxBytes) {
        return Refuse(0, "the patch list is larger than " + std::to_string(kMaxBytes) + " bytes");
    }
    if (bytes.back() != '\n') {
        return Refuse(0, "the patch list's last line is cut short");
    }
    std::vector<std::string> lines;
    for (size_t start = 0; start < bytes.size();) {
        const size_t end = bytes.find('\n', start);
        lines.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    const char* const heads[] = {"quillon-patches", "key", "version", "manifest"};
    if (lines.size() < 5) {
        return Refuse(0, "the patch list has fewer lines than its head and signature");
    }
    std::vector<std::string> head;
    for (size_t i = 0; i < 4; ++i) {
        const auto fields = FieldsOf(lines[i], 2);
        if (!fields || (*fields)[0] != heads[i]) {
            return Refuse(i + 1, std::string("not the expected \"") + heads[i] + "\" line");
        }
        head.push_back((*fields)[1]);
    }
    if (head[0] != std::to_string(kFormat)) {
        return Refuse(1, "format " + head[0] + " is not one this installer knows");
    }
    List list;
    const auto keyId = LowerHex<8>(head[1]);
    const auto version = Decimal(head[2]);
    const auto manifestSha = LowerHex<32>(head[3]);
    if (!keyId) {
        return Refuse(2, "the key identifier is not 16 hex digits");
    }
    if (!version) {
        return Refuse(3, "the version is not a number");
    }
    if (!manifestSha) {
        return Refuse(4, "the manifest's SHA-256 is not 64 hex digits");
    }
    list.keyId = *keyId;
    list.version = *version;
    list.manifestSha256 = *manifestSha;

    std::set<std::pair<PackageManifest::Sha256, PackageManifest::Sha256>> seen;
    const size_t last = lines.size() - 1;
    for (size_t i = 4; i < last; ++i) {
        const auto fields = FieldsOf(lines[i], 6);
        if (!fields || (*fields)[0] != "patch") {
            return Refuse(i + 1, "neither a patch nor the signature");
        }
        Patch patch;
        const auto oldSha = LowerHex<32>((*fields)[1]);
        const auto newSha = LowerHex<32>((*fields)[2]);
        const auto size = Decimal((*fields)[3]);
        const auto sha = LowerHex<32>((*fields)[4]);
        if (!oldSha || !newSha || !sha) {
            return Refuse(i + 1, "a SHA-256 is not 64 hex digits");
        }
        if (!size || *size == 0 || *size > PackageManifest::kMaxPackageBytes) {
            return Refuse(i + 1, "the patch's size is not valid");
        }
        if (*oldSha == *newSha) {
            return Refuse(i + 1, "a patch from a file to itself");
        }
        if (!CleanPatchPath((*fields)[5])) {
            return Refuse(i + 1, "the patch's address is not a plain name in " + std::string(kPatchFolder));
        }
        if (!seen.emplace(*oldSha, *newSha).second) {
            return Refuse(i + 1, "a second patch for the same two files");
        }
        if (list.patches.size() == kMaxPatches) {
            return Refuse(i + 1, "more than " + std::to_string(kMaxPatches) + " patches");
        }
        patch.oldSha256 = *oldSha;
        patch.newSha256 = *newSha;
        patch.size = *size;
        patch.sha256 = *sha;
        patch.path = (*fields)[5];
        list.patches.push_back(std::move(patch));
    }
    const auto signature = FieldsOf(lines[last], 2);
    if (!signature || (*signature)[0] != kSignatureLabel) {
        return Refuse(last + 1, "the last line is not the signature");
    }
    const auto raw = LowerHex<64>((*signature)[1]);
    if (!raw) {
        return Refuse(last + 1, "the signature is not 128 hex digits");
    }
    list.signature = *raw;
    list.signedText = bytes.substr(0, bytes.size() - lines[last].size() - 1);
    ParseResult result;
    result.list = std::move(list);
    return result;
}

std::string CheckBinding(const List& list, const PackageManifest::Manifest& manifest,
                         const PackageManifest::Sha256& manifestSha256)
{
    if (list.version != manifest.version) {
        return "the patch list is for version " + std::to_string(list.version) + ", the manifest is version " +
               std::to_string(manifest.version);
    }
    if (list.manifestSha256 != manifestSha256) {
        return "the patch list names another manifest";
    }
    return std::string();
}

const Patch* Find(const List& list, const PackageManifest::Sha256& oldSha256,
                  const PackageManifest::Sha256& newSha256)
{
    for (const Patch& patch : list.patches) {
        if (patch.oldSha256 == oldSha256 && patch.newSha256 == newSha256) {
            return &patch;
        }
    }
    return nullptr;
}

}  // namespace PatchList
