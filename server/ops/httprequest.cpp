#include "server/ops/httprequest.h"

#include <QList>

namespace http {

namespace {

bool isToken(const QByteArray& text)
{
    if (text.isEmpty() || text.size() > 16)
        return false;
    for (char c : text)
        if (c < 'A' || c > 'Z')
            return false;
    return true;
}

// Printable ASCII without blanks, starting at the root.
bool isPath(const QByteArray& text)
{
    if (!text.startsWith('/') || text.size() > 1024)
        return false;
    for (char c : text)
        if (c <= ' ' || c >= 127)
            return false;
    return true;
}

} // namespace

Parse parseRequest(const QByteArray& data, Request* out)
{
    const QByteArray head = data.left(kMaxRequestBytes);
    qsizetype end = head.indexOf("\r\n\r\n");
    const qsizetype bare = head.indexOf("\n\n");
    if (end < 0 || (bare >= 0 && bare < end))
        end = bare;
    if (end < 0)
        return data.size() >= kMaxRequestBytes ? Parse::TooLarge : Parse::Incomplete;
    const QList<QByteArray> lines = head.left(end).split('\n');
    const QList<QByteArray> parts = lines.first().trimmed().split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || !isPath(parts[1]) ||
        (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0"))
        return Parse::Bad;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        // A header is a name, a colon and a value; a folded line is not taken.
        if (line.isEmpty() || lines[i].startsWith(' ') || lines[i].startsWith('\t') || line.indexOf(':') <= 0)
            return Parse::Bad;
    }
    out->method = parts[0];
    const qsizetype query = parts[1].indexOf('?');
    out->path = query < 0 ? parts[1] : parts[1].left(query);
    return Parse::Done;
}

} // namespace http
