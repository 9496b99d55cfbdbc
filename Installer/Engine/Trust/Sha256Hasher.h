#pragma once

// SHA-256 through the platform's own CNG: no crypto of ours. One object a
// stream of bytes; Finish gives the digest and starts afresh.

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256Hasher {
public:
    using Digest = std::array<uint8_t, 32>;

    // Raises MessageError when CNG has no SHA-256 to give.
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    void Update(const void* bytes, size_t count);
    Digest Finish();

    static Digest Of(const void* bytes, size_t count);
    static Digest Of(const std::string& bytes) { return Of(bytes.data(), bytes.size()); }

private:
    void Open();

    void* m_hash = nullptr;  // BCRYPT_HASH_HANDLE
};
