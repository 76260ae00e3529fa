#include "server/lobby/lobbyrules.h"

#include <QHostAddress>

#include <limits>

namespace lobbyrules {
namespace {

// Control and format characters (line breaks, bidirectional overrides,
// zero-width joiners) let one name pass for another; lone surrogates are
// not text at all.
bool hasHiddenCharacters(const QString& text)
{
    for (const char32_t c : text.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Other_Control || category == QChar::Other_Format ||
            category == QChar::Other_Surrogate || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return true;
    }
    return false;
}

} // namespace

int characterCount(const QString& text)
{
    return static_cast<int>(text.toUcs4().size());
}

QString fold(const QString& name)
{
    return name.toCaseFolded();
}

namespace {

// Length and visible characters, the rules every name shares.
QString checkName(const QString& name, int maxLength, const QString& what)
{
    const int length = characterCount(name);
    if (length < 1 || length > maxLength)
        return QStringLiteral("%1 are 1 to %2 characters long.").arg(what).arg(maxLength);
    if (hasHiddenCharacters(name))
        return QStringLiteral("%1 cannot contain control characters.").arg(what);
    return {};
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
    if (name.contains(QStringLiteral("\U0001F512")) || name.contains(QStringLiteral("[Locked]"), Qt::CaseInsensitive) ||
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

QString formatIpv4(quint32 address)
{
    return QHostAddress(address).toString();
}

} // namespace lobbyrules

RateWindow::RateWindow(int limit, qint64 windowMs)
    : stamps_(static_cast<std::size_t>(qMax(limit, 1)), std::numeric_limits<qint64>::min()), windowMs_(windowMs)
{
}

RateWindow::Verdict RateWindow::admit(qint64 nowMs)
{
    qint64& oldest = stamps_[next_];
    if (oldest != std::numeric_limits<qint64>::min() && nowMs - oldest < windowMs_) {
        if (told_)
            return Verdict::RefusedQuietly;
        told_ = true;
        return Verdict::Refused;
    }
    oldest = nowMs;
    next_ = (next_ + 1) % stamps_.size();
    told_ = false;
    return Verdict::Allowed;
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
