#include "lobby/controlcodec.h"

#include <QJsonDocument>

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
    QJsonObject object{{QStringLiteral("cmd"), cmd}};
    for (const auto& [key, value] : fields)
        object.insert(key, value);
    return object;
}

} // namespace control
