#pragma once

// Whether the vendor signed a manifest: ECDSA P-256 over SHA-256 of the
// signed text, checked with the platform's CNG against the public keys
// compiled into this build (the current one and, during a rotation, the
// next). The verdict's text is what the log tells a support desk.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "PackageManifest.h"

namespace PackageSignature {

struct PublicKey {
    PackageManifest::KeyId id{};
    // X then Y, 32 bytes each, big-endian.
    std::array<uint8_t, 64> point{};
};

// The keys this build trusts.
const std::vector<PublicKey>& BuiltInKeys();

struct Verdict {
    bool valid = false;
    std::string problem;
};

Verdict Verify(const PackageManifest::Manifest& manifest);
Verdict Verify(const PackageManifest::Manifest& manifest, const std::vector<PublicKey>& keys);

// The identifier the publishing tool writes for a key: the first 8 bytes
// of the SHA-256 of X and Y.
PackageManifest::KeyId IdOf(const std::array<uint8_t, 64>& point);

}  // namespace PackageSignature
