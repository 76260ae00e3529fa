// Making and checking the server's key pair: OpenSSL on the server; the
// client's tests on Windows, which have no OpenSSL, bring a fixed pair.
#pragma once

#include <QByteArray>

namespace tls {

// An ECDSA P-256 key and a self-signed certificate for it, as PEM (key
// first); empty when none could be made.
QByteArray makeIdentityPem();
// Whether the PEM private key belongs to the PEM certificate.
bool keyMatches(const QByteArray& certPem, const QByteArray& keyPem);

} // namespace tls
