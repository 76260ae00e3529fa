// Wire format of the control channel: one compact JSON object per line.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace control {

// A line feed ends every line; without one, this much pending data means the
// peer is not speaking our protocol.
constexpr qsizetype kClientMaxPendingLine = 1024 * 1024;

// Compact serialisation followed by exactly one line feed.
QByteArray encodeLine(const QJsonObject& message);

// Trims the line and parses it; anything but a JSON object yields an empty object.
QJsonObject decodeLine(const QByteArray& line);

// Lenient field access: a missing or mistyped value reads as empty / false.
QString readString(const QJsonObject& message, const QString& key);
// The same for a field of the vocabulary, without turning its name into a QString.
QString readString(const QJsonObject& message, QLatin1String key);
QJsonArray readArray(const QJsonObject& message, const QString& key);
bool readBool(const QJsonObject& message, const QString& key);
QString stringAt(const QJsonArray& array, qsizetype index);
QJsonObject objectAt(const QJsonArray& array, qsizetype index);

// Builds {"cmd": cmd, key1: value1, ...} from string pairs.
QJsonObject message(const QString& cmd, std::initializer_list<std::pair<QString, QString>> fields = {});
// The same from the vocabulary's names, which go in as they are (the lobby sends these by the line).
QJsonObject message(QLatin1String cmd, std::initializer_list<std::pair<QLatin1String, QString>> fields = {});

// The plain tunnel heartbeat: {"client_id": clientId}, and "layer" when
// `layer` is not 0 (read back by heartbeat::parse).
QByteArray encodeHeartbeat(const QString& clientId, int layer);

// Chat text shown or relayed as exactly one line: line and paragraph
// separators, other control characters and bidirectional controls become
// spaces, so a line cannot start a forged one or reorder what follows.
QString singleLine(const QString& text);

} // namespace control
