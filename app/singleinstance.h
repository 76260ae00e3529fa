// One client per user: a later start finds the running client under a name of
// the user's own, hands it its arguments and ends.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

class QLocalServer;

namespace singleinstance {

// A hand-over larger than this is refused: arguments are a link or two.
inline constexpr int kMaxMessage = 64 * 1024;

// The local socket (Unix, in the user's runtime folder) or pipe (Windows)
// name, one per user and settings store.
QString instanceName();

// One line: the arguments as a compact JSON array of strings.
QByteArray encodeArguments(const QStringList& arguments);
// Nothing when `line` is not such an array.
std::optional<QStringList> decodeArguments(const QByteArray& line);

// True when a running client took the arguments (it answers once it has them).
bool handOver(const QString& name, const QStringList& arguments, int timeoutMs = 3000);

// The running client's end: later starts connect under `name` and hand over
// their arguments, which `argumentsHanded` reports.
class Listener : public QObject
{
    Q_OBJECT

public:
    explicit Listener(QObject* parent);
    bool listen(const QString& name); // false when the name cannot be taken

signals:
    void argumentsHanded(const QStringList& arguments);

private:
    void onOtherStart();

    QLocalServer* server_;
};

} // namespace singleinstance
