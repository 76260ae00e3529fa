// AES-256-GCM and randomness from BCrypt.
#include "protocol/seal.h"

#include <windows.h>
// bcrypt.h needs the types of windows.h first.
#include <bcrypt.h>

namespace seal {
namespace {

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

// The provider is opened once for the process and never closed.
BCRYPT_ALG_HANDLE gcmProvider()
{
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        if (!succeeded(BCryptOpenAlgorithmProvider(&handle, BCRYPT_AES_ALGORITHM, nullptr, 0)))
            return BCRYPT_ALG_HANDLE{};
        if (!succeeded(BCryptSetProperty(handle, BCRYPT_CHAINING_MODE, (PUCHAR)BCRYPT_CHAIN_MODE_GCM,
                                         sizeof(BCRYPT_CHAIN_MODE_GCM), 0))) {
            BCryptCloseAlgorithmProvider(handle, 0);
            return BCRYPT_ALG_HANDLE{};
        }
        return handle;
    }();
    return provider;
}

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO modeInfo(const std::uint8_t* nonce, const std::uint8_t* aad,
                                               std::size_t aadLength, std::uint8_t* tag)
{
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(nonce);
    info.cbNonce = 12;
    info.pbAuthData = const_cast<PUCHAR>(aad);
    info.cbAuthData = static_cast<ULONG>(aadLength);
    info.pbTag = tag;
    info.cbTag = static_cast<ULONG>(kTagBytes);
    return info;
}

} // namespace

struct Cipher::Impl
{
    BCRYPT_KEY_HANDLE key = nullptr;
};

bool randomBytes(std::uint8_t* out, std::size_t length)
{
    return succeeded(
        BCryptGenRandom(nullptr, out, static_cast<ULONG>(length), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

void wipe(void* data, std::size_t length)
{
    SecureZeroMemory(data, length);
}

void Cipher::clear()
{
    if (!impl_)
        return;
    // Destroying the key object wipes the key schedule BCrypt keeps.
    BCryptDestroyKey(impl_->key);
    delete impl_;
    impl_ = nullptr;
}

bool Cipher::setKey(const std::uint8_t key[kKeyBytes])
{
    clear();
    BCRYPT_ALG_HANDLE provider = gcmProvider();
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!provider ||
        !succeeded(BCryptGenerateSymmetricKey(provider, &handle, nullptr, 0, const_cast<PUCHAR>(key),
                                              static_cast<ULONG>(kKeyBytes), 0)))
        return false;
    impl_ = new Impl{handle};
    return true;
}

bool Cipher::encrypt(const std::uint8_t nonce[12], const std::uint8_t* aad, std::size_t aadLength,
                     const std::uint8_t* in, std::size_t length, std::uint8_t* out,
                     std::uint8_t tag[kTagBytes])
{
    if (!impl_)
        return false;
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = modeInfo(nonce, aad, aadLength, tag);
    ULONG written = 0;
    return succeeded(BCryptEncrypt(impl_->key, const_cast<PUCHAR>(in), static_cast<ULONG>(length), &info,
                                   nullptr, 0, out, static_cast<ULONG>(length), &written, 0)) &&
           written == length;
}

bool Cipher::decrypt(const std::uint8_t nonce[12], const std::uint8_t* aad, std::size_t aadLength,
                     const std::uint8_t* in, std::size_t length, std::uint8_t* out,
                     const std::uint8_t tag[kTagBytes])
{
    if (!impl_)
        return false;
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info =
        modeInfo(nonce, aad, aadLength, const_cast<std::uint8_t*>(tag));
    ULONG written = 0;
    const bool ok =
        succeeded(BCryptDecrypt(impl_->key, const_cast<PUCHAR>(in), static_cast<ULONG>(length), &info,
                                nullptr, 0, out, static_cast<ULONG>(length), &written, 0)) &&
        written == length;
    if (!ok && length)
        wipe(out, length); // nothing of a forged datagram is used
    return ok;
}

} // namespace seal
