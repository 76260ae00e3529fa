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
