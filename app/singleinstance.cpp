#include "app/singleinstance.h"
#include "app/vlanclient.h"
#include "features/invitelink.h"
#include "ui/pages.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

namespace singleinstance {
namespace {

#ifdef Q_OS_WIN
// Pipe names share one namespace per machine; the hash in the name tells users apart.
QString place(const QString& name)
{
    return name;
}
#else
// A socket in the user's own runtime folder (mode 0700): no other user can
// put one there first and catch our links.
QString place(const QString& name)
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)).filePath(name);
}
#endif

} // namespace

QString instanceName()
{
    // The settings store and home folder tell users (and test runs) apart;
    // the hash keeps the name short enough for a socket path.
    const QSettings store(QStringLiteral("Zentho"), QStringLiteral("Launcher"));
    const QByteArray who = (QDir::homePath() + QLatin1Char('\n') + store.fileName()).toUtf8();
    return place(
        QStringLiteral("pellora-") +
        QString::fromLatin1(QCryptographicHash::hash(who, QCryptographicHash::Sha256).toHex().left(24)));
}

QByteArray encodeArguments(const QStringList& arguments)
{
    return QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<QStringList> decodeArguments(const QByteArray& line)
{
    if (line.size() > kMaxMessage)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(line.trimmed());
    if (!document.isArray())
        return std::nullopt;
    QStringList arguments;
    for (const QJsonValue& value : document.array()) {
        if (!value.isString())
            return std::nullopt;
        arguments << value.toString();
    }
    return arguments;
}

bool handOver(const QString& name, const QStringList& arguments, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs))
        return false; // nobody there, or a socket left by a client that crashed
    socket.write(encodeArguments(arguments));
    socket.waitForBytesWritten(timeoutMs);
    while (!socket.canReadLine() && socket.waitForReadyRead(timeoutMs)) {
    }
    // A client that does not answer still holds the name: a second one beside
    // it would fight over the adapter and the settings.
    return true;
}

} // namespace singleinstance

namespace singleinstance {

Listener::Listener(QObject* parent) : QObject(parent), server_(new QLocalServer(this))
{
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &Listener::onOtherStart);
}

bool Listener::listen(const QString& name)
{
    if (server_->listen(name))
        return true;
    // Nobody answered under this name (see handOver): what is left is a dead client's socket.
    QLocalServer::removeServer(name);
    return server_->listen(name);
}

void Listener::onOtherStart()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        socket->setReadBufferSize(kMaxMessage + 1);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(5000, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxMessage)
                    socket->abort();
                return;
            }
            const std::optional<QStringList> arguments = decodeArguments(socket->readLine(kMaxMessage + 1));
            socket->write("ok\n");
            socket->disconnectFromServer();
            if (arguments)
                emit argumentsHanded(*arguments);
        });
    }
}

} // namespace singleinstance

bool VLANClient::acceptOtherStarts(const QString& name)
{
    delete instanceServer;
    instanceServer = new singleinstance::Listener(this);
    connect(instanceServer, &singleinstance::Listener::argumentsHanded, this,
            [this](const QStringList& arguments) {
                ui::bringToFront(this);
                // After this handler: a link may ask a question in a dialog of its own.
                for (const QString& argument : arguments) {
                    if (invite::looksLikeLink(argument))
                        QTimer::singleShot(0, this, [this, argument] { openInviteLink(argument); });
                }
            });
    return instanceServer->listen(name);
}
