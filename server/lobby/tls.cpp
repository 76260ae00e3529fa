#include "server/lobby/tls.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSslCipher>
#include <QSslSocket>
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

Identity fromPem(const QByteArray& keyPem, const QByteArray& certPem)
{
    Identity identity;
    const QList<QSslCertificate> certs = QSslCertificate::fromData(certPem, QSsl::Pem);
    if (!certs.isEmpty()) {
        identity.certificate = certs.first();
        identity.chain = certs.mid(1);
    }
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Ec, QSsl::Rsa, QSsl::Dsa}) {
        identity.key = QSslKey(keyPem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!identity.key.isNull())
            break;
    }
    return identity;
}

QByteArray readFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return {};
    }
    return file.readAll();
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

} // namespace

Identity loadIdentity(const QString& certPath, const QString& keyPath, const QString& ownPath, QString* error)
{
    if (!certPath.isEmpty() || !keyPath.isEmpty()) {
        if (certPath.isEmpty() || keyPath.isEmpty()) {
            *error = QStringLiteral("--tls-cert and --tls-key go together");
            return Identity();
        }
        const QByteArray certPem = readFile(certPath, error);
        const QByteArray keyPem = certPem.isEmpty() ? QByteArray() : readFile(keyPath, error);
        if (keyPem.isEmpty())
            return Identity();
        Identity identity = fromPem(keyPem, certPem);
        if (identity.isNull())
            *error = QStringLiteral("no certificate in %1 or no private key in %2").arg(certPath, keyPath);
        else if (!keyMatches(certPem, keyPem))
            *error = QStringLiteral("the key in %1 does not belong to the certificate in %2")
                         .arg(keyPath, certPath);
        return error->isEmpty() ? identity : Identity();
    }
    QByteArray pem;
    if (!ownPath.isEmpty() && QFile::exists(ownPath)) {
        pem = readFile(ownPath, error);
        if (pem.isEmpty())
            return Identity();
    } else {
        pem = makeIdentityPem();
        if (pem.isEmpty()) {
            *error = QStringLiteral("cannot make a TLS key");
            return Identity();
        }
        if (!ownPath.isEmpty()) {
            QFile file(ownPath);
            // Created readable by the owner only, before the key is written.
            if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                           QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
                file.write(pem) != pem.size() || !file.flush()) {
                *error = QStringLiteral("cannot write %1: %2").arg(ownPath, file.errorString());
                return Identity();
            }
        }
    }
    const Identity identity = fromPem(pem, pem);
    if (identity.isNull())
        *error = QStringLiteral("no key and certificate in %1").arg(ownPath);
    return identity;
}

QString fingerprint(const QSslCertificate& certificate)
{
    const QByteArray digest =
        QCryptographicHash::hash(certificate.publicKey().toDer(), QCryptographicHash::Sha256);
    return QString::fromLatin1(digest.toHex(':'));
}

QSslConfiguration serverConfiguration(const Identity& identity)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(identity.certificate);
    configuration.setLocalCertificateChain(QList<QSslCertificate>{identity.certificate} + identity.chain);
    configuration.setPrivateKey(identity.key);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    // TLS 1.3 suites are all AEAD with ephemeral keys; of 1.2 only ECDHE with GCM or ChaCha20.
    QList<QSslCipher> ciphers;
    for (const QSslCipher& cipher : QSslConfiguration::supportedCiphers()) {
        const QString name = cipher.name();
        if (cipher.protocol() == QSsl::TlsV1_3 ||
            (name.startsWith(QLatin1String("ECDHE-")) &&
             (name.contains(QLatin1String("GCM")) || name.contains(QLatin1String("CHACHA20")))))
            ciphers.append(cipher);
    }
    configuration.setCiphers(ciphers);
    return configuration;
}

void Server::incomingConnection(qintptr descriptor)
{
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setSslConfiguration(configuration_);
    addPendingConnection(socket);
}

} // namespace tls
