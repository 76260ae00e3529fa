#include "server/lobby/tls.h"
#include "server/lobby/tlskeys.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSslCipher>
#include <QSslSocket>

namespace tls {
namespace {

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

QString linkFingerprint(const QString& fingerprint)
{
    return QString::fromLatin1(QByteArray::fromHex(fingerprint.toLatin1())
                                   .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
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
