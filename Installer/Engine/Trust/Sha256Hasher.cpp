#include "Sha256Hasher.h"

#include <bcrypt.h>

#include <climits>

#include "MessageError.h"

namespace {

// Opening a provider is the slow part; one for the process serves every
// hash, and a reusable hash object saves creating one per member.
BCRYPT_ALG_HANDLE Provider()
{
    struct Holder {
        BCRYPT_ALG_HANDLE handle = nullptr;
        NTSTATUS status;
        Holder() : status(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) {}
        ~Holder()
        {
            if (handle != nullptr) {
                BCryptCloseAlgorithmProvider(handle, 0);
            }
        }
    };
    static const Holder holder;
    if (holder.status != 0) {
        throw MessageError("BCryptOpenAlgorithmProvider SHA256 failed", static_cast<DWORD>(holder.status));
    }
    return holder.handle;
}

}  // namespace

Sha256Hasher::Sha256Hasher()
{
    Open();
}

Sha256Hasher::~Sha256Hasher()
{
    if (m_hash != nullptr) {
        BCryptDestroyHash(m_hash);
    }
}

void Sha256Hasher::Open()
{
    BCRYPT_HASH_HANDLE hash = nullptr;
    const NTSTATUS status = BCryptCreateHash(Provider(), &hash, nullptr, 0, nullptr, 0, 0);
    if (status != 0) {
        throw MessageError("BCryptCreateHash failed", static_cast<DWORD>(status));
    }
    m_hash = hash;
}

void Sha256Hasher::Update(const void* bytes, size_t count)
{
    auto* next = static_cast<PUCHAR>(const_cast<void*>(bytes));
    while (count > 0) {
        const ULONG chunk = count > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(count);
        const NTSTATUS status = BCryptHashData(m_hash, next, chunk, 0);
        if (status != 0) {
            throw MessageError("BCryptHashData failed", static_cast<DWORD>(status));
        }
        next += chunk;
        count -= chunk;
    }
}

Sha256Hasher::Digest Sha256Hasher::Finish()
{
    Digest digest{};
    const NTSTATUS status = BCryptFinishHash(m_hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    // A finished CNG hash object takes no more data: the next stream gets a
    // new one.
    BCryptDestroyHash(m_hash);
    m_hash = nullptr;
    if (status != 0) {
        throw MessageError("BCryptFinishHash failed", static_cast<DWORD>(status));
    }
    Open();
    return digest;
}

Sha256Hasher::Digest Sha256Hasher::Of(const void* bytes, size_t count)
{
    Sha256Hasher hasher;
    hasher.Update(bytes, count);
    return hasher.Finish();
}
