#include "lobby/pinning.h"

#include <QCryptographicHash>
#include <QSslKey>

namespace pinning {

QString fingerprint(const QSslCertificate& certificate)
{
    const QByteArray key = certificate.publicKey().toDer();
    return key.isEmpty()
               ? QString()
               : QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex(':'));
}

namespace {

constexpr int kDigestBytes = 32;
constexpr auto kLinkEncoding = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

} // namespace

QString linkForm(const QString& fingerprint)
{
    if (fingerprint.size() != kDigestBytes * 3 - 1)
        return {};
    const QByteArray digest = QByteArray::fromHex(fingerprint.toLatin1());
    // fromHex skips what is not hex: only the exact form we write counts.
    if (QString::fromLatin1(digest.toHex(':')).compare(fingerprint, Qt::CaseInsensitive) != 0)
        return {};
    return QString::fromLatin1(digest.toBase64(kLinkEncoding));
}

QString fromLinkForm(const QString& text)
{
    // 43 characters hold 32 bytes; anything else is not ours.
    if (text.size() != (kDigestBytes * 4 + 2) / 3)
        return {};
    const auto decoded = QByteArray::fromBase64Encoding(
        text.toLatin1(), kLinkEncoding | QByteArray::AbortOnBase64DecodingErrors);
    // Only the one spelling a digest has: no stray bits in the last character.
    if (!decoded || decoded.decoded.size() != kDigestBytes ||
        QString::fromLatin1(decoded.decoded.toBase64(kLinkEncoding)) != text)
        return {};
    return QString::fromLatin1(decoded.decoded.toHex(':'));
}

QString settingsKey(const QString& endpoint)
{
    return QStringLiteral("pins/") + endpoint;
}

Verdict compare(const QString& pinned, const QString& seen)
{
    if (pinned.isEmpty())
        return Verdict::FirstUse;
    return pinned.compare(seen, Qt::CaseInsensitive) == 0 ? Verdict::Same : Verdict::Changed;
}

} // namespace pinning
