#include "server/lobby/lobbyrules.h"

#include "server/lobby/names.h"

#include <QCryptographicHash>
#include <QHostAddress>

#include <openssl/crypto.h>


namespace lobbyrules {

int characterCount(const QString& text)
{
    return static_cast<int>(text.toUcs4().size());
}

namespace {

// Length and visible characters, the rules every name shares.
QString checkName(const QString& name, int maxLength, const QString& what)
{
    const int length = name.size() > maxUnits(maxLength) ? maxLength + 1 : characterCount(name);
    if (length < 1 || length > maxLength)
        return QStringLiteral("%1 are 1 to %2 characters long.").arg(what, QString::number(maxLength));
    return names::characterProblem(name);
}

} // namespace

QString checkUserName(const QString& name)
{
    if (QString problem = checkName(name, kMaxUserName, QStringLiteral("Names")); !problem.isEmpty())
        return problem;
    // The client's member list reads "name 👑 - address" and takes the name
    // as the text before the first " - "; names that contain either would
    // be misread there (a fake crown, or the wrong kick target).
    if (name.contains(QStringLiteral(" - ")) || name.contains(QStringLiteral("\U0001F451")))
        return QStringLiteral("Names cannot contain \" - \" or the crown symbol.");
    return {};
}

QString checkRoomName(const QString& name)
{
    if (QString problem = checkName(name, kMaxRoomName, QStringLiteral("Room names")); !problem.isEmpty())
        return problem;
    // Clients strip these markers from list entries before joining; a room
    // named with one could not be joined by name.
    if (name.contains(QStringLiteral("\U0001F512")) ||
        name.contains(QStringLiteral("[Locked]"), Qt::CaseInsensitive) ||
        name.contains(QStringLiteral("[Private]"), Qt::CaseInsensitive))
        return QStringLiteral("Room names cannot contain the lock symbol, [Locked] or [Private].");
    return {};
}

QString checkChat(const QString& text)
{
    const int length = characterCount(text);
    if (length < 1 || length > kMaxChat)
        return QStringLiteral("Messages are 1 to %1 characters long.").arg(kMaxChat);
    return {};
}

QString shown(const QString& name, int maxCharacters)
{
    if (name.size() <= maxUnits(maxCharacters))
        return name;
    qsizetype end = maxUnits(maxCharacters);
    if (name.at(end - 1).isHighSurrogate())
        --end;
    return name.left(end) + QChar(0x2026);
}

QString formatIpv4(quint32 address)
{
    return QHostAddress(address).toString();
}

bool sameSecret(const QString& given, const QString& kept)
{
    // Digests of equal length, compared by the platform's constant-time routine.
    const QByteArray a = QCryptographicHash::hash(given.toUtf8(), QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(kept.toUtf8(), QCryptographicHash::Sha256);
    return CRYPTO_memcmp(a.constData(), b.constData(), static_cast<std::size_t>(a.size())) == 0 &&
           !kept.isEmpty();
}

} // namespace lobbyrules

TokenBucket::TokenBucket(int limit, qint64 windowMs)
    : tokens_(qMax(limit, 1)), capacity_(qMax(limit, 1)),
      perMs_(capacity_ / static_cast<double>(qMax<qint64>(windowMs, 1)))
{
}

bool TokenBucket::admit(qint64 nowMs)
{
    if (nowMs > last_) {
        tokens_ = qMin(capacity_, tokens_ + static_cast<double>(nowMs - last_) * perMs_);
        last_ = nowMs;
    }
    if (tokens_ < 1.0)
        return false;
    tokens_ -= 1.0;
    return true;
}

bool TokenBucket::full(qint64 nowMs) const
{
    return tokens_ + static_cast<double>(qMax<qint64>(nowMs - last_, 0)) * perMs_ >= capacity_;
}

bool LineReader::feed(const QByteArray& bytes, QList<QByteArray>& lines)
{
    pending_.append(bytes);
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = pending_.indexOf('\n', start);
        if (end < 0)
            break;
        if (end - start > lobbyrules::kMaxLineBytes)
            return false;
        lines.append(pending_.mid(start, end - start));
        start = end + 1;
    }
    pending_.remove(0, start);
    return pending_.size() <= lobbyrules::kMaxLineBytes;
}

AddressPlan::AddressPlan(quint32 base, int prefix)
    : base_(base & ~((prefix >= 32 ? 0u : 0xFFFFFFFFu >> prefix))),
      used_(prefix <= 24 ? std::size_t{1} << (24 - prefix) : 0, false)
{
}

int AddressPlan::take()
{
    for (std::size_t i = 0; i < used_.size(); ++i) {
        if (!used_[i]) {
            used_[i] = true;
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool AddressPlan::takeNetwork(quint32 net)
{
    const quint32 offset = net - base_;
    const std::size_t index = offset >> 8;
    if ((offset & 0xFFu) != 0 || net < base_ || index >= used_.size() || used_[index])
        return false;
    used_[index] = true;
    return true;
}

void AddressPlan::release(int index)
{
    if (index >= 0 && static_cast<std::size_t>(index) < used_.size())
        used_[static_cast<std::size_t>(index)] = false;
}
