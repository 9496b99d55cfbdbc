// The kept download's record on the PC's disk: whatever it says, the ranges
// taken from it are in order, apart, and inside the package.
#include "FuzzRequire.h"
#include "KeptRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 33) {
        return 0;
    }
    PackageManifest::Sha256 sha{};
    for (size_t i = 0; i < sha.size(); ++i) {
        sha[i] = data[i];
    }
    const uint64_t packageSize = 1 + data[32] * 4099ull;
    std::string text = AsText(data + 33, size - 33);
    // Half the inputs start as a record of this very package, so that the
    // ranges are reached.
    if (data[32] & 1) {
        text = KeptRecord::Format(sha, packageSize, {}) + text;
    }
    const std::vector<ByteRange> kept = KeptRecord::Parse(text, sha, packageSize);
    for (size_t i = 0; i < kept.size(); ++i) {
        Require(kept[i].first <= kept[i].last && kept[i].last < packageSize);
        Require(i == 0 || kept[i - 1].last + 1 < kept[i].first);
    }
    Require(KeptRecord::Parse(KeptRecord::Format(sha, packageSize, kept), sha, packageSize) == kept);
    return 0;
}
