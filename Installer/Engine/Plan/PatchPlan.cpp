#include "PatchPlan.h"

#include "PatchDecoder.h"

namespace PatchPlan {

std::vector<Choice> Choose(const std::vector<PackageManifest::Member>& members,
                           const std::vector<size_t>& manifestIndex, const std::vector<bool>& write,
                           const std::vector<ByteRange>& spans, const std::vector<DriveFile>& driveFiles,
                           const PatchList::List& list)
{
    std::vector<Choice> choices(manifestIndex.size());
    for (size_t i = 0; i < manifestIndex.size() && i < write.size() && i < spans.size(); ++i) {
        const size_t m = manifestIndex[i];
        if (!write[i] || m >= members.size() || m >= driveFiles.size() || !driveFiles[m].hashed) {
            continue;
        }
        const PackageManifest::Member& member = members[m];
        const PatchList::Patch* patch = PatchList::Find(list, driveFiles[m].sha256, member.sha256);
        if (patch == nullptr) {
            continue;
        }
        Choice& choice = choices[i];
        if (!PatchDecoder::WithinBound(driveFiles[m].size, member.size)) {
            choice.whyNot = "its file on the drive (" + std::to_string(driveFiles[m].size) +
                            " bytes) or the member is larger than the patch decoder takes (" +
                            std::to_string(PatchDecoder::kMaxFileBytes) + " bytes)";
        } else if (patch->size >= spans[i].Size()) {
            choice.whyNot = "the patch (" + std::to_string(patch->size) + " bytes) is no smaller than the member (" +
                            std::to_string(spans[i].Size()) + " bytes)";
        } else {
            choice.patch = patch;
        }
    }
    return choices;
}

ByteRange LocalHeaderOf(const ByteRange& span, uint64_t nameBytes)
{
    const uint64_t length = 30 + nameBytes + kLocalExtraAllowance;
    return {span.first, span.Size() <= length ? span.last : span.first + length - 1};
}

bool WorthAsking(const std::vector<size_t>& manifestIndex, const std::vector<bool>& write,
                 const std::vector<DriveFile>& driveFiles)
{
    for (size_t i = 0; i < manifestIndex.size() && i < write.size(); ++i) {
        if (write[i] && manifestIndex[i] < driveFiles.size() && driveFiles[manifestIndex[i]].hashed) {
            return true;
        }
    }
    return false;
}

}  // namespace PatchPlan
