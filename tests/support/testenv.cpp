#include "tests/support/testenv.h"

#include "net/portmap.h"

#include <QDeadlineTimer>
#include <QSslSocket>

namespace testenv {

void prepare()
{
    // Offscreen unless a platform was chosen (the Windows build's tests run on a real display under wine).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QTemporaryDir settingsDir; // kept for the whole run, removed at exit
    const QString dir = settingsDir.path();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir);
    qputenv("XDG_CONFIG_HOME", dir.toUtf8());
    // A run as on a system whose TLS back-end is missing or cannot make sockets.
    // No test asks the real router, except inside network namespaces of its own.
    if (qEnvironmentVariable("PELLORA_TEST_ROUTER") != QLatin1String("system"))
        portmap::replaceSystemRouter([] { return nullptr; });
    if (const QString backend = qEnvironmentVariable("PELLORA_TEST_TLS_BACKEND"); !backend.isEmpty())
        QSslSocket::setActiveBackend(backend);
}
void whenModal(std::function<void(QWidget*)> action, int timeoutMs, QObject* owner)
{
    auto* poll = new QTimer(owner);
    QObject::connect(poll, &QTimer::timeout, [poll, action, deadline = QDeadlineTimer(timeoutMs)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal && !deadline.hasExpired())
            return;
        poll->stop();
        poll->deleteLater();
        if (modal)
            action(modal);
    });
    poll->start(10);
}

} // namespace testenv
