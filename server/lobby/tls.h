// The server's TLS side: its identity (the operator's certificate, or one it
// made itself and keeps beside its state), and a TCP server whose sockets can
// turn to TLS when the first byte a client sends opens a handshake.
#pragma once

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>
#include <QTcpServer>

namespace tls {

struct Identity
{
    QSslCertificate certificate;
    QSslKey key;
    QList<QSslCertificate> chain; // the operator's intermediates, if any
    bool isNull() const { return certificate.isNull() || key.isNull(); }
};

// The operator's files when given; otherwise the key and certificate at
// `ownPath` (made there on first use, readable by the owner only); with an
// empty `ownPath`, a fresh pair that lives as long as the process.
Identity loadIdentity(const QString& certPath, const QString& keyPath, const QString& ownPath,
                      QString* error);
// SHA-256 of the certificate's public key (SubjectPublicKeyInfo), as hex pairs with colons.
QString fingerprint(const QSslCertificate& certificate);
// That fingerprint as invite links carry it (?key=): the digest in unpadded URL-safe base64.
QString linkFingerprint(const QString& fingerprint);
// TLS 1.3, and 1.2 with forward-secret AEAD suites only.
QSslConfiguration serverConfiguration(const Identity& identity);

// Whether the first byte of a connection opens a TLS handshake record.
inline bool opensHandshake(char first)
{
    return static_cast<unsigned char>(first) == 0x16;
}

// Accepts QSslSocket objects that start unencrypted: a plain line goes
// through as it is; the caller starts encryption on a handshake.
class Server : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;
    void setConfiguration(const QSslConfiguration& configuration) { configuration_ = configuration; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslConfiguration configuration_;
};

} // namespace tls
