#include "protocol/controlcodec.h"
#include "protocol/names.h"

#include <QJsonDocument>
#include <QList>

#include <algorithm>

namespace control {

QByteArray encodeLine(const QJsonObject& message)
{
    QByteArray line = QJsonDocument(message).toJson(QJsonDocument::Compact);
    line.append('\n');
    return line;
}

QJsonObject decodeLine(const QByteArray& line)
{
    const QByteArray trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(trimmed);
    return document.isObject() ? document.object() : QJsonObject();
}

QString readString(const QJsonObject& message, const QString& key)
{
    return message.value(key).toString();
}

QString readString(const QJsonObject& message, QLatin1String key)
{
    return message.value(key).toString();
}

QJsonObject message(const QString& cmd, std::initializer_list<std::pair<QString, QString>> fields)
{
    QJsonObject object{{field::cmd, cmd}};
    for (const auto& [key, value] : fields)
        object.insert(key, value);
    return object;
}

QJsonObject message(QLatin1String cmd, std::initializer_list<std::pair<QLatin1String, QString>> fields)
{
    QJsonObject object;
    object.insert(field::cmd, QJsonValue(cmd));
    for (const auto& [key, value] : fields)
        object.insert(key, value);
    return object;
}

QByteArray encodeHeartbeat(const QString& clientId, int layer)
{
    QJsonObject heartbeat{{field::clientId, clientId}};
    if (layer != 0)
        heartbeat.insert(field::layer, layer);
    return QJsonDocument(heartbeat).toJson(QJsonDocument::Compact);
}

namespace {

template <typename View> void appendEscaped(QByteArray& out, View text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    const auto escape = [&out](char16_t u) {
        const char e[] = {'\\', 'u', kHex[u >> 12], kHex[(u >> 8) & 15], kHex[(u >> 4) & 15], kHex[u & 15]};
        out.append(e, 6);
    };
    out.append('"');
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = char16_t(text[i].unicode());
        if (u >= 0x80) {
            // UTF-8; a surrogate without its other half is written as an escape.
            if (QChar::isHighSurrogate(u) && i + 1 < text.size() &&
                QChar::isLowSurrogate(text[i + 1].unicode())) {
                const char32_t c = QChar::surrogateToUcs4(u, char16_t(text[++i].unicode()));
                const char b[] = {char(0xF0 | (c >> 18)), char(0x80 | ((c >> 12) & 0x3F)),
                                  char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
                out.append(b, 4);
            } else if (QChar::isSurrogate(u)) {
                escape(u);
            } else if (u >= 0x800) {
                const char b[] = {char(0xE0 | (u >> 12)), char(0x80 | ((u >> 6) & 0x3F)),
                                  char(0x80 | (u & 0x3F))};
                out.append(b, 3);
            } else {
                const char b[] = {char(0xC0 | (u >> 6)), char(0x80 | (u & 0x3F))};
                out.append(b, 2);
            }
            continue;
        }
        const char c = static_cast<char>(u);
        const char* const named = c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\b' ? "\\b"
                                : c == '\f' ? "\\f" : c == '\n' ? "\\n" : c == '\r' ? "\\r"
                                : c == '\t' ? "\\t" : nullptr;
        if (named)
            out.append(named, 2);
        else if (u < 0x20)
            escape(u);
        else
            out.append(c);
    }
    out.append('"');
}

// Room for a whole line of the lobby's in one allocation.
constexpr qsizetype kLineReserve = 256;

// `text` is the opening and every element followed by a comma: the last comma closes it.
QByteArray closed(QByteArray& text, const char* empty, char close)
{
    if (text.isEmpty())
        return QByteArray(empty);
    QByteArray out = std::move(text);
    out.back() = close;
    return out;
}

} // namespace

void appendString(QByteArray& out, QStringView text)
{
    appendEscaped(out, text);
}

void ObjectWriter::start(QLatin1String key)
{
    if (text_.isEmpty()) {
        text_.reserve(kLineReserve);
        text_.append('{');
    }
    pending_ = text_.size();
    text_.append('"').append(key.data(), key.size()).append("\":");
    fields_.append({key, pending_});
}

void ObjectWriter::finish()
{
    // Keys in QJsonObject's order: the new field goes before the first greater key.
    text_.append(',');
    const QLatin1String key = fields_.back().first;
    const auto at = std::upper_bound(fields_.begin(), fields_.end() - 1, key,
                                     [](QLatin1String k, const auto& f) { return k < f.first; });
    if (at == fields_.end() - 1)
        return;
    const qsizetype from = at->second, length = text_.size() - pending_;
    std::rotate(text_.begin() + from, text_.begin() + pending_, text_.end());
    for (auto f = at; f != fields_.end() - 1; ++f)
        f->second += length;
    std::rotate(at, fields_.end() - 1, fields_.end());
    at->second = from;
}

ObjectWriter& ObjectWriter::add(QLatin1String key, QStringView value)
{
    start(key);
    appendString(text_, value);
    finish();
    return *this;
}

ObjectWriter& ObjectWriter::add(QLatin1String key, QLatin1String value)
{
    start(key);
    appendEscaped(text_, value);
    finish();
    return *this;
}

ObjectWriter& ObjectWriter::add(QLatin1String key, qint64 value)
{
    start(key);
    text_.append(QByteArray::number(value));
    finish();
    return *this;
}

ObjectWriter& ObjectWriter::addBool(QLatin1String key, bool value)
{
    start(key);
    text_.append(value ? "true" : "false");
    finish();
    return *this;
}

ObjectWriter& ObjectWriter::addJson(QLatin1String key, QByteArrayView json)
{
    start(key);
    text_.append(json);
    finish();
    return *this;
}

QByteArray ObjectWriter::object()
{
    fields_.clear();
    return closed(text_, "{}", '}');
}

QByteArray ObjectWriter::line()
{
    return object().append('\n');
}

QByteArray line(QLatin1String cmd, std::initializer_list<std::pair<QLatin1String, QStringView>> fields)
{
    ObjectWriter writer;
    writer.add(field::cmd, cmd);
    for (const auto& [key, value] : fields)
        writer.add(key, value);
    return writer.line();
}

QByteArray ArrayWriter::array()
{
    return closed(text_, "[]", ']');
}

ArrayWriter& ArrayWriter::add(QStringView value)
{
    if (text_.isEmpty()) {
        text_.reserve(kLineReserve);
        text_.append('[');
    }
    appendString(text_, value);
    text_.append(',');
    return *this;
}

ArrayWriter& ArrayWriter::addJson(QByteArrayView json)
{
    if (text_.isEmpty()) {
        text_.reserve(kLineReserve);
        text_.append('[');
    }
    text_.append(json).append(',');
    return *this;
}

QString singleLine(const QString& text)
{
    QString out;
    out.reserve(text.size());
    // Code point by code point, as toUcs4() reads them (a lone surrogate is U+FFFD), without a copy.
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar unit = text.at(i);
        const bool pair = unit.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(unit, text.at(i + 1))
                                : unit.isSurrogate() ? char32_t{0xFFFD} : unit.unicode();
        const bool bidi = c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                          (c >= 0x2066 && c <= 0x2069);
        if (bidi || QChar::category(c) == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            out.append(QLatin1Char(' '));
        else if (pair)
            out.append(text.constData() + i, 2);
        else
            out.append(QChar(static_cast<char16_t>(c)));
        i += pair ? 1 : 0;
    }
    return out;
}

} // namespace control
