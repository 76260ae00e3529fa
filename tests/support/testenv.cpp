#include "tests/support/testenv.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QPointer>

namespace testenv {

namespace {
QTemporaryDir* g_settingsDir = nullptr;
}

void prepare()
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    g_settingsDir = new QTemporaryDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, g_settingsDir->path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, g_settingsDir->path());
    qputenv("XDG_CONFIG_HOME", g_settingsDir->path().toUtf8());
}

void whenModal(std::function<void(QWidget*)> action, int timeoutMs)
{
    auto* poll = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, clock, action, timeoutMs] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal || clock->elapsed() > timeoutMs) {
            poll->stop();
            poll->deleteLater();
            delete clock;
            if (modal)
                action(modal);
        }
    });
    poll->start(10);
}

void acceptNextMessageBox(BoxSeen* seen, int timeoutMs)
{
    whenModal(
        [seen](QWidget* widget) {
            if (auto* box = qobject_cast<QMessageBox*>(widget)) {
                seen->title = box->windowTitle();
                seen->text = box->text();
                seen->seen = true;
                box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->accept();
            } else if (auto* dialog = qobject_cast<QDialog*>(widget)) {
                dialog->reject();
            }
        },
        timeoutMs);
}

} // namespace testenv
