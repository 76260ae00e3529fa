// AES-256-GCM and randomness from OpenSSL 3.
#include "protocol/seal.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace seal {

// One context per direction: each is set up once with the key, and only the
// nonce changes per datagram.
struct Cipher::Impl
{
    EVP_CIPHER_CTX* encrypt = nullptr;
    EVP_CIPHER_CTX* decrypt = nullptr;
};

bool randomBytes(std::uint8_t* out, std::size_t length)
{
    return RAND_bytes(out, static_cast<int>(length)) == 1;
}

void wipe(void* data, std::size_t length)
{
    OPENSSL_cleanse(data, length);
}

void Cipher::clear()
{
    if (!impl_)
        return;
    // Freeing a context cleanses its key schedule.
    EVP_CIPHER_CTX_free(impl_->encrypt);
    EVP_CIPHER_CTX_free(impl_->decrypt);
    delete impl_;
    impl_ = nullptr;
}

bool Cipher::setKey(const std::uint8_t key[kKeyBytes])
{
    clear();
    auto* impl = new Impl;
    impl->encrypt = EVP_CIPHER_CTX_new();
    impl->decrypt = EVP_CIPHER_CTX_new();
    const bool ok = impl->encrypt && impl->decrypt &&
                    EVP_EncryptInit_ex(impl->encrypt, EVP_aes_256_gcm(), nullptr, key, nullptr) == 1 &&
                    EVP_DecryptInit_ex(impl->decrypt, EVP_aes_256_gcm(), nullptr, key, nullptr) == 1;
    impl_ = impl;
    if (!ok)
        clear();
    return ok;
}

bool Cipher::encrypt(const std::uint8_t nonce[12], const std::uint8_t* aad, std::size_t aadLength,
                     const std::uint8_t* in, std::size_t length, std::uint8_t* out,
                     std::uint8_t tag[kTagBytes])
{
    if (!impl_)
        return false;
    EVP_CIPHER_CTX* ctx = impl_->encrypt;
    int written = 0;
    int last = 0;
    // The default nonce length of GCM is 12 bytes: no length to set.
    return EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce) == 1 &&
           (aadLength == 0 ||
            EVP_EncryptUpdate(ctx, nullptr, &written, aad, static_cast<int>(aadLength)) == 1) &&
           (length == 0 || EVP_EncryptUpdate(ctx, out, &written, in, static_cast<int>(length)) == 1) &&
           EVP_EncryptFinal_ex(ctx, out + (length ? written : 0), &last) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes), tag) == 1;
}

bool Cipher::decrypt(const std::uint8_t nonce[12], const std::uint8_t* aad, std::size_t aadLength,
                     const std::uint8_t* in, std::size_t length, std::uint8_t* out,
                     const std::uint8_t tag[kTagBytes])
{
    if (!impl_)
        return false;
    EVP_CIPHER_CTX* ctx = impl_->decrypt;
    int written = 0;
    int last = 0;
    const bool ok =
        EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce) == 1 &&
        (aadLength == 0 ||
         EVP_DecryptUpdate(ctx, nullptr, &written, aad, static_cast<int>(aadLength)) == 1) &&
        (length == 0 || EVP_DecryptUpdate(ctx, out, &written, in, static_cast<int>(length)) == 1) &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes),
                            const_cast<std::uint8_t*>(tag)) == 1 &&
        EVP_DecryptFinal_ex(ctx, out + (length ? written : 0), &last) == 1;
    if (!ok && length)
        wipe(out, length); // nothing of a forged datagram is used
    return ok;
}

} // namespace seal
