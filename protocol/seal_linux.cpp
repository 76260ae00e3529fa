// AES-256-GCM and randomness from OpenSSL 3.
#include "protocol/seal.h"

#include <cstring>
#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

namespace seal {
namespace {

// The functions of the provider that implements AES-256-GCM, called directly:
// an EVP init asks the provider for the IV length again at every datagram,
// which costs more than sealing a small packet. The context keeps its key
// schedule from setKey on; per datagram only the nonce is set.
struct Gcm
{
    Gcm();
    ~Gcm() { EVP_CIPHER_free(fetched); }
    Gcm(const Gcm&) = delete;
    Gcm& operator=(const Gcm&) = delete;

    bool complete() const
    {
        return provider && newctx && freectx && encryptInit && decryptInit && cipher && getParams &&
               setParams;
    }

    EVP_CIPHER* fetched = nullptr; // held until exit: it keeps the provider, and so the functions, loaded
    void* provider = nullptr;
    OSSL_FUNC_cipher_newctx_fn* newctx = nullptr;
    OSSL_FUNC_cipher_freectx_fn* freectx = nullptr;
    OSSL_FUNC_cipher_encrypt_init_fn* encryptInit = nullptr;
    OSSL_FUNC_cipher_decrypt_init_fn* decryptInit = nullptr;
    OSSL_FUNC_cipher_cipher_fn* cipher = nullptr;
    OSSL_FUNC_cipher_get_ctx_params_fn* getParams = nullptr;
    OSSL_FUNC_cipher_set_ctx_params_fn* setParams = nullptr;
};

// Whether a provider's colon-separated name list holds `name`.
bool named(const char* names, const char* name)
{
    const std::size_t length = std::strlen(name);
    for (const char* at = names; at; at = std::strchr(at, ':')) {
        if (*at == ':')
            ++at;
        if (OPENSSL_strncasecmp(at, name, length) == 0 && (at[length] == ':' || at[length] == '\0'))
            return true;
    }
    return false;
}

Gcm::Gcm()
{
    fetched = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    const OSSL_PROVIDER* found = fetched ? EVP_CIPHER_get0_provider(fetched) : nullptr;
    if (!found)
        return;
    int noCache = 0;
    const OSSL_ALGORITHM* all = OSSL_PROVIDER_query_operation(found, OSSL_OP_CIPHER, &noCache);
    for (const OSSL_ALGORITHM* a = all; a && a->algorithm_names; ++a) {
        if (!named(a->algorithm_names, "AES-256-GCM"))
            continue;
        for (const OSSL_DISPATCH* f = a->implementation; f->function_id != 0; ++f) {
            switch (f->function_id) {
            case OSSL_FUNC_CIPHER_NEWCTX:
                newctx = OSSL_FUNC_cipher_newctx(f);
                break;
            case OSSL_FUNC_CIPHER_FREECTX:
                freectx = OSSL_FUNC_cipher_freectx(f);
                break;
            case OSSL_FUNC_CIPHER_ENCRYPT_INIT:
                encryptInit = OSSL_FUNC_cipher_encrypt_init(f);
                break;
            case OSSL_FUNC_CIPHER_DECRYPT_INIT:
                decryptInit = OSSL_FUNC_cipher_decrypt_init(f);
                break;
            case OSSL_FUNC_CIPHER_CIPHER:
                cipher = OSSL_FUNC_cipher_cipher(f);
                break;
            case OSSL_FUNC_CIPHER_GET_CTX_PARAMS:
                getParams = OSSL_FUNC_cipher_get_ctx_params(f);
                break;
            case OSSL_FUNC_CIPHER_SET_CTX_PARAMS:
                setParams = OSSL_FUNC_cipher_set_ctx_params(f);
                break;
            default:
                break;
            }
        }
        break;
    }
    if (all)
        OSSL_PROVIDER_unquery_operation(found, OSSL_OP_CIPHER, all);
    provider = OSSL_PROVIDER_get0_provider_ctx(found);
}

const Gcm& gcm()
{
    static const Gcm found;
    return found;
}

} // namespace

// One context per direction, each given the key once.
struct Cipher::Impl
{
    const Gcm* gcm = nullptr;
    void* encrypt = nullptr;
    void* decrypt = nullptr;
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
    if (impl_->encrypt)
        impl_->gcm->freectx(impl_->encrypt);
    if (impl_->decrypt)
        impl_->gcm->freectx(impl_->decrypt);
    delete impl_;
    impl_ = nullptr;
}

bool Cipher::setKey(const std::uint8_t key[kKeyBytes])
{
    clear();
    const Gcm& g = gcm();
    if (!g.complete())
        return false;
    auto* impl = new Impl{&g, g.newctx(g.provider), g.newctx(g.provider)};
    const bool ok = impl->encrypt && impl->decrypt &&
                    g.encryptInit(impl->encrypt, key, kKeyBytes, nullptr, 0, nullptr) == 1 &&
                    g.decryptInit(impl->decrypt, key, kKeyBytes, nullptr, 0, nullptr) == 1;
    impl_ = impl;
    if (!ok)
        clear();
    return ok;
}

// The provider's cipher call takes the AAD when `out` is null, the data
// otherwise, and finishes (computing or checking the tag) when `in` is null.
bool Cipher::encrypt(const std::uint8_t nonce[12], const std::uint8_t* aad, std::size_t aadLength,
                     const std::uint8_t* in, std::size_t length, std::uint8_t* out,
                     std::uint8_t tag[kTagBytes])
{
    if (!impl_)
        return false;
    const Gcm& g = *impl_->gcm;
    void* ctx = impl_->encrypt;
    std::size_t written = 0;
    OSSL_PARAM tagParam[] = {OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag, kTagBytes),
                             OSSL_PARAM_construct_end()};
    return g.encryptInit(ctx, nullptr, 0, nonce, 12, nullptr) == 1 &&
           (aadLength == 0 || g.cipher(ctx, nullptr, &written, aadLength, aad, aadLength) == 1) &&
           (length == 0 || g.cipher(ctx, out, &written, length, in, length) == 1) &&
           g.cipher(ctx, nullptr, &written, 0, nullptr, 0) == 1 && g.getParams(ctx, tagParam) == 1;
}

bool Cipher::decrypt(const std::uint8_t nonce[12], const std::uint8_t* aad, std::size_t aadLength,
                     const std::uint8_t* in, std::size_t length, std::uint8_t* out,
                     const std::uint8_t tag[kTagBytes])
{
    if (!impl_)
        return false;
    const Gcm& g = *impl_->gcm;
    void* ctx = impl_->decrypt;
    std::size_t written = 0;
    OSSL_PARAM tagParam[] = {OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG,
                                                               const_cast<std::uint8_t*>(tag), kTagBytes),
                             OSSL_PARAM_construct_end()};
    // The expected tag goes in before the finish, which compares it.
    const bool ok = g.decryptInit(ctx, nullptr, 0, nonce, 12, nullptr) == 1 &&
                    (aadLength == 0 || g.cipher(ctx, nullptr, &written, aadLength, aad, aadLength) == 1) &&
                    (length == 0 || g.cipher(ctx, out, &written, length, in, length) == 1) &&
                    g.setParams(ctx, tagParam) == 1 && g.cipher(ctx, nullptr, &written, 0, nullptr, 0) == 1;
    if (!ok && length)
        wipe(out, length); // nothing of a forged datagram is used
    return ok;
}

} // namespace seal
