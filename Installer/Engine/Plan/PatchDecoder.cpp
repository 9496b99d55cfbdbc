#include "PatchDecoder.h"

#include <memory>

// The frame header's window size is in the static-linking part of the
// API; the decoder is linked in statically.
#define ZSTD_STATIC_LINKING_ONLY
#include "zstd.h"

namespace PatchDecoder {
namespace {

struct FreeContext {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

Decoded Refuse(std::string problem)
{
    Decoded decoded;
    decoded.problem = std::move(problem);
    return decoded;
}

}  // namespace

bool WithinBound(uint64_t oldSize, uint64_t newSize)
{
    return oldSize <= kMaxFileBytes && newSize <= kMaxFileBytes;
}

Decoded Apply(const std::string& old, const std::string& patch, uint64_t newSize)
{
    if (!WithinBound(old.size(), newSize)) {
        return Refuse("the old file or the result is larger than the decoder's bound of " +
                      std::to_string(kMaxFileBytes) + " bytes");
    }
    // One frame, exactly the whole patch, that says the size it decodes to.
    const size_t frameBytes = ZSTD_findFrameCompressedSize(patch.data(), patch.size());
    if (ZSTD_isError(frameBytes) || frameBytes != patch.size()) {
        return Refuse("the patch is not one whole zstd frame");
    }
    const unsigned long long contentSize = ZSTD_getFrameContentSize(patch.data(), patch.size());
    if (contentSize == ZSTD_CONTENTSIZE_ERROR || contentSize == ZSTD_CONTENTSIZE_UNKNOWN ||
        contentSize != newSize) {
        return Refuse("the patch does not decode to the member's size");
    }
    ZSTD_frameHeader header{};
    if (ZSTD_getFrameHeader(&header, patch.data(), patch.size()) != 0 ||
        header.windowSize > (1ull << kMaxWindowLog)) {
        return Refuse("the patch asks for a window larger than the decoder's bound");
    }
    const std::unique_ptr<ZSTD_DCtx, FreeContext> context(ZSTD_createDCtx());
    if (!context) {
        return Refuse("no memory for the decoder");
    }
    size_t status = ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, static_cast<int>(kMaxWindowLog));
    if (!ZSTD_isError(status)) {
        // The old file is referenced where it lies, not copied.
        status = ZSTD_DCtx_refPrefix(context.get(), old.data(), old.size());
    }
    if (ZSTD_isError(status)) {
        return Refuse(std::string("the decoder cannot take the old file: ") + ZSTD_getErrorName(status));
    }
    Decoded decoded;
    try {
        decoded.bytes.resize(static_cast<size_t>(newSize));
    } catch (const std::bad_alloc&) {
        return Refuse("no memory for the result");
    }
    const size_t written = ZSTD_decompressDCtx(context.get(), decoded.bytes.data(), decoded.bytes.size(), patch.data(),
                                               patch.size());
    if (ZSTD_isError(written)) {
        return Refuse(std::string("the patch does not decode: ") + ZSTD_getErrorName(written));
    }
    if (written != newSize) {
        return Refuse("the patch decodes to " + std::to_string(written) + " bytes, not " + std::to_string(newSize));
    }
    decoded.ok = true;
    return decoded;
}

}  // namespace PatchDecoder
