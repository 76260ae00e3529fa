#include "protocol/controlcodec.h"
#include "protocol/names.h"

#include <QJsonDocument>
#include <QList>

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

QJsonArray readArray(const QJsonObject& message, const QString& key)
{
    return message.value(key).toArray();
}

bool readBool(const QJsonObject& message, const QString& key)
{
    return message.value(key).toBool(false);
}

QString stringAt(const QJsonArray& array, qsizetype index)
{
    return array.at(index).toString();
}

QJsonObject objectAt(const QJsonArray& array, qsizetype index)
{
    return array.at(index).toObject();
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
