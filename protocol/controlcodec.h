// Wire format of the control channel: one compact JSON object per line.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QVarLengthArray>

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

// Builds {"cmd": cmd, key1: value1, ...} from string pairs.
QJsonObject message(const QString& cmd, std::initializer_list<std::pair<QString, QString>> fields = {});
// The same from the vocabulary's names, which go in as they are (the lobby sends these by the line).
QJsonObject message(QLatin1String cmd, std::initializer_list<std::pair<QLatin1String, QString>> fields = {});

// Appends `text` as a JSON string, escaped as encodeLine escapes it.
void appendString(QByteArray& out, QStringView text);

// A compact JSON object written as encodeLine writes the same QJsonObject (keys in order,
// the same escapes), without building one: the lobby sends its lines this way. Each key once.
class ObjectWriter
{
public:
    ObjectWriter& add(QLatin1String key, QStringView value);
    ObjectWriter& add(QLatin1String key, QLatin1String value);
    ObjectWriter& add(QLatin1String key, qint64 value);
    ObjectWriter& addBool(QLatin1String key, bool value);
    // An array or object already written.
    ObjectWriter& addJson(QLatin1String key, QByteArrayView json);
    // Both take what was written: the writer is empty again.
    QByteArray object();
    // The object and its line feed.
    QByteArray line();

private:
    // Starts the field `key` at the end of the text; finish() moves it into place.
    void start(QLatin1String key);
    void finish();
    QByteArray text_; // '{', then every field followed by a comma, in key order
    QVarLengthArray<std::pair<QLatin1String, qsizetype>, 8> fields_; // key, where its field starts
    qsizetype pending_ = 0;
};

// The line of {"cmd": cmd, key1: value1, ...}, as encodeLine writes message() of the same.
QByteArray line(QLatin1String cmd, std::initializer_list<std::pair<QLatin1String, QStringView>> fields = {});

// A compact JSON array, elements in order.
class ArrayWriter
{
public:
    ArrayWriter& add(QStringView value);
    ArrayWriter& addJson(QByteArrayView json);
    // Takes what was written: the writer is empty again.
    QByteArray array();

private:
    QByteArray text_; // '[', then every element followed by a comma
};

// The plain tunnel heartbeat: {"client_id": clientId}, and "layer" when
// `layer` is not 0 (read back by heartbeat::parse).
QByteArray encodeHeartbeat(const QString& clientId, int layer);

// Chat text shown or relayed as exactly one line: line and paragraph
// separators, other control characters and bidirectional controls become
// spaces, so a line cannot start a forged one or reorder what follows.
QString singleLine(const QString& text);

} // namespace control
