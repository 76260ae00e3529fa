#include "features/tray.h"
#include "lobby/roomstate.h"
#include "ui/pages.h"

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QSettings>
#include <QSystemTrayIcon>

namespace {

const char kKeepInTrayKey[] = "keepInTray";

} // namespace

Tray::Tray(QWidget* window, QSettings& settings, lobby::RoomState& room)
    : QObject(window), window_(window), room_(room)
{
    trayUsable = QSystemTrayIcon::isSystemTrayAvailable();
    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/logo.ico")), this);
    auto* menu = new QMenu(window);
    showWindowAction =
        menu->addAction(QStringLiteral("Show window"), this, [window] { ui::bringToFront(window); });
    leaveRoomAction = menu->addAction(QStringLiteral("Leave room"), this, [this] { room_.requestLeave(); });
    keepInTrayAction = menu->addAction(QStringLiteral("Keep running in the tray"));
    keepInTrayAction->setCheckable(true);
    keepInTrayAction->setChecked(settings.value(QLatin1String(kKeepInTrayKey), false).toBool());
    connect(keepInTrayAction, &QAction::toggled, this,
            [&settings](bool keep) { settings.setValue(QLatin1String(kKeepInTrayKey), keep); });
    menu->addSeparator();
    menu->addAction(QStringLiteral("Quit"), qApp, &QCoreApplication::quit);
    trayIcon->setContextMenu(menu);
    connect(trayIcon, &QSystemTrayIcon::activated, this, [window](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            ui::bringToFront(window);
    });
    connect(&room, &lobby::RoomState::loginChanged, this, &Tray::updateTrayState);
    connect(&room, &lobby::RoomState::roomChanged, this, &Tray::updateTrayState);
    updateTrayState();
    if (trayUsable)
        trayIcon->show();
}

void Tray::updateTrayState()
{
    QString state = QStringLiteral("not connected");
    if (room_.inRoom())
        state = QStringLiteral("in room %1").arg(room_.roomName());
    else if (room_.loggedIn())
        state = QStringLiteral("in the lobby");
    trayIcon->setToolTip(QStringLiteral("Pellora: ") + state);
    leaveRoomAction->setEnabled(room_.inRoom());
}

void Tray::notify(const QString& title, const QString& text)
{
    if (window_->isVisible() && window_->isActiveWindow() && !window_->isMinimized())
        return;
    emit notified(title, text);
    if (trayUsable)
        trayIcon->showMessage(title, text);
    else
        QApplication::alert(window_);
}

bool Tray::keepsRunning() const
{
    return trayUsable && keepInTrayAction->isChecked();
}
