#include "server/lobby/lobbyrules.h"

#include "server/lobby/names.h"

#include <QCryptographicHash>
#include <QHostAddress>

#include <openssl/crypto.h>

#include <cstring>


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

namespace {

// Plain decimal of 1 to `maxDigits` digits without a leading zero; -1 otherwise.
int decimal(QStringView text, int maxDigits)
{
    if (text.isEmpty() || text.size() > maxDigits || (text.size() > 1 && text.front() == QLatin1Char('0')))
        return -1;
    int value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

bool reachable(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) // not 0/8, 127/8, 169.254/16, multicast, reserved 240/4 or broadcast
        return (v4 >> 24) != 0 && (v4 >> 24) != 127 && (v4 >> 28) < 0xE && (v4 >> 16) != 0xA9FE;
    const Q_IPV6ADDR a = address.toIPv6Address();
    static const Q_IPV6ADDR zero{};
    // Not ::/96 (unspecified, loopback, the old IPv4-compatible form), multicast or link-local.
    return std::memcmp(a.c, zero.c, 12) != 0 && a.c[0] != 0xFF &&
           !(a.c[0] == 0xFE && (a.c[1] & 0xC0) == 0x80);
}

bool privateRange(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return (v4 >> 24) == 10 || (v4 >> 20) == 0xAC1 || (v4 >> 16) == 0xC0A8 || (v4 >> 22) == 0x191;
    return (address.toIPv6Address().c[0] & 0xFE) == 0xFC;
}

} // namespace

Candidate candidate(const QString& text)
{
    if (text.size() > directlimits::kCandidateChars)
        return {};
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    const int port = colon < 0 ? -1 : decimal(QStringView(text).mid(colon + 1), 5);
    if (port < 1 || port > 65535)
        return {};
    const QStringView host = QStringView(text).left(colon);
    QHostAddress address;
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        const QStringView inner = host.mid(1, host.size() - 2);
        if (!inner.contains(QLatin1Char(':')) || inner.contains(QLatin1Char('%')) ||
            !address.setAddress(inner.toString()) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return {};
    } else {
        // Four decimal parts exactly: the looser forms inet_aton reads are no address here.
        quint32 v4 = 0;
        int parts = 0;
        for (const QStringView part : host.split(QLatin1Char('.'))) {
            const int value = decimal(part, 3);
            if (value < 0 || value > 255 || ++parts > 4)
                return {};
            v4 = v4 << 8 | static_cast<quint32>(value);
        }
        if (parts != 4)
            return {};
        address.setAddress(v4);
    }
    if (!reachable(address))
        return {};
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        address.setAddress(v4);
    return {endpointText(address, static_cast<quint16>(port)), address, privateRange(address)};
}

QString endpointText(const QHostAddress& address, quint16 port)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    const QString host = isV4 ? formatIpv4(v4) : QLatin1Char('[') + address.toString() + QLatin1Char(']');
    return host + QLatin1Char(':') + QString::number(port);
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
