#include "PackageSignature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "PackageKeys.h"
#include "Sha256Hasher.h"

namespace PackageSignature {
namespace {

struct AlgorithmHandle {
    BCRYPT_ALG_HANDLE handle = nullptr;
    ~AlgorithmHandle()
    {
        if (handle != nullptr) {
            BCryptCloseAlgorithmProvider(handle, 0);
        }
    }
};

struct KeyHandle {
    BCRYPT_KEY_HANDLE handle = nullptr;
    ~KeyHandle()
    {
        if (handle != nullptr) {
            BCryptDestroyKey(handle);
        }
    }
};

const char* StatusWords(NTSTATUS status)
{
    // STATUS_INVALID_SIGNATURE
    return static_cast<uint32_t>(status) == 0xC000A000u ? "the signature does not match the manifest"
                                                        : "the signature could not be checked";
}

}  // namespace

const std::vector<PublicKey>& BuiltInKeys()
{
    static const std::vector<PublicKey> keys = [] {
        std::vector<PublicKey> built;
        for (const auto& point : kPackageKeyPoints) {
            PublicKey key;
            std::memcpy(key.point.data(), point, key.point.size());
            key.id = IdOf(key.point);
            built.push_back(key);
        }
        return built;
    }();
    return keys;
}

PackageManifest::KeyId IdOf(const std::array<uint8_t, 64>& point)
{
    const Sha256Hasher::Digest digest = Sha256Hasher::Of(point.data(), point.size());
    PackageManifest::KeyId id{};
    std::memcpy(id.data(), digest.data(), id.size());
    return id;
}

Verdict Verify(const PackageManifest::Manifest& manifest)
{
    return Verify(manifest, BuiltInKeys());
}

Verdict Verify(const PackageManifest::Manifest& manifest, const std::vector<PublicKey>& keys)
{
    const PublicKey* key = nullptr;
    for (const PublicKey& each : keys) {
        if (each.id == manifest.keyId) {
            key = &each;
        }
    }
    if (key == nullptr) {
        return {false, "it is signed with key " + PackageManifest::Hex(manifest.keyId) +
                           ", which this installer does not trust"};
    }
    AlgorithmHandle algorithm;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (status != 0) {
        return {false, "the system offers no ECDSA P-256 to check the signature"};
    }
    // BCRYPT_ECCKEY_BLOB, then X and Y.
    std::array<uint8_t, sizeof(BCRYPT_ECCKEY_BLOB) + 64> blob{};
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), key->point.data(), key->point.size());
    KeyHandle imported;
    status = BCryptImportKeyPair(algorithm.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &imported.handle, blob.data(),
                                 static_cast<ULONG>(blob.size()), 0);
    if (status != 0) {
        return {false, "the trusted key could not be loaded"};
    }
    Sha256Hasher::Digest digest = Sha256Hasher::Of(manifest.signedText);
    PackageManifest::Signature signature = manifest.signature;
    status = BCryptVerifySignature(imported.handle, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                   signature.data(), static_cast<ULONG>(signature.size()), 0);
    if (status != 0) {
        return {false, StatusWords(status)};
    }
    return {true, std::string()};
}

}  // namespace PackageSignature
