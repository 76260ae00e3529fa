// Pinning a server's TLS key on first use, as SSH does: the first key seen
// for a server is kept beside it, and a later different key is refused
// until the player accepts it.
#pragma once

#include <QSslCertificate>
#include <QString>

namespace pinning {

// SHA-256 of the certificate's public key (SubjectPublicKeyInfo), as hex
// pairs with colons: what the server logs at start.
QString fingerprint(const QSslCertificate& certificate);

// The fingerprint as an invite link carries it: the 32-byte digest in
// unpadded URL-safe base64 (43 characters). Empty when `fingerprint` is not one.
QString linkForm(const QString& fingerprint);
// Back from the link form to the fingerprint; empty unless `text` is exactly
// the link form of one.
QString fromLinkForm(const QString& text);

// The settings key that holds the pin of a server ("ADDR:PORT").
QString settingsKey(const QString& endpoint);

enum class Verdict { FirstUse, Same, Changed };
Verdict compare(const QString& pinned, const QString& seen);

} // namespace pinning
