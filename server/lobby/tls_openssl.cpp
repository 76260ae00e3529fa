// The server's key and certificate made and checked with OpenSSL.
#include "server/lobby/tlskeys.h"

#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace tls {
namespace {

template <typename T, void (*Free)(T*)> struct Deleter
{
    void operator()(T* p) const { Free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

QByteArray drain(BIO* bio)
{
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<qsizetype>(length));
}

} // namespace

// An ECDSA P-256 key and a self-signed certificate for it, as PEM (key first).
// Clients pin the key, not a name, so the name says only what it is.
QByteArray makeIdentityPem()
{
    Pkey key(EVP_EC_gen("P-256"));
    Cert cert(X509_new());
    if (!key || !cert)
        return {};
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 100L * 365 * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("pellora-server"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
        return {};
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_X509(bio.get(), cert.get()) != 1)
        return {};
    return drain(bio.get());
}

// A mismatched pair would fail every handshake; say so at start instead.
bool keyMatches(const QByteArray& certPem, const QByteArray& keyPem)
{
    Bio certBio(BIO_new_mem_buf(certPem.constData(), static_cast<int>(certPem.size())));
    Bio keyBio(BIO_new_mem_buf(keyPem.constData(), static_cast<int>(keyPem.size())));
    const Cert cert(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
    const Pkey key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
    return cert && key && X509_check_private_key(cert.get(), key.get()) == 1;
}

} // namespace tls
