// The system tray: the client's state at a glance, a menu, notifications
// while the window is away, and the window's close as "keep running" when chosen.
#include "app/vlanclient.h"
#include "lobby/controlconnection.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

namespace {

const char kKeepInTrayKey[] = "keepInTray";

} // namespace

void VLANClient::buildTray()
{
    trayUsable = QSystemTrayIcon::isSystemTrayAvailable();
    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/logo.ico")), this);
    auto* menu = new QMenu(this);
    showWindowAction = menu->addAction(QStringLiteral("Show window"), this, [this] { bringToFront(); });
    leaveRoomAction =
        menu->addAction(QStringLiteral("Leave room"), this, [this] { roomState.requestLeave(); });
    keepInTrayAction = menu->addAction(QStringLiteral("Keep running in the tray"));
    keepInTrayAction->setCheckable(true);
    keepInTrayAction->setChecked(settings.value(QLatin1String(kKeepInTrayKey), false).toBool());
    connect(keepInTrayAction, &QAction::toggled, this,
            [this](bool keep) { settings.setValue(QLatin1String(kKeepInTrayKey), keep); });
    menu->addSeparator();
    menu->addAction(QStringLiteral("Quit"), qApp, &QCoreApplication::quit);
    trayIcon->setContextMenu(menu);
    connect(trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            bringToFront();
    });
    connect(&roomState, &lobby::RoomState::loginChanged, this, &VLANClient::updateTrayState);
    connect(&roomState, &lobby::RoomState::roomChanged, this, &VLANClient::updateTrayState);
    updateTrayState();
    if (trayUsable)
        trayIcon->show();
}

void VLANClient::updateTrayState()
{
    if (!trayIcon)
        return;
    QString state = QStringLiteral("not connected");
    if (roomState.inRoom())
        state = QStringLiteral("in room %1").arg(roomState.roomName());
    else if (roomState.loggedIn())
        state = QStringLiteral("in the lobby");
    trayIcon->setToolTip(QStringLiteral("Pellora: ") + state);
    leaveRoomAction->setEnabled(roomState.inRoom());
}

// Only while the player is not looking at the window: behind a game, minimised or in the tray.
void VLANClient::notify(const QString& title, const QString& text)
{
    if (isVisible() && isActiveWindow() && !isMinimized())
        return;
    emit notified(title, text);
    if (trayUsable)
        trayIcon->showMessage(title, text);
    else
        QApplication::alert(this);
}

// Closing ends the program, unless the player chose to keep it in the tray
// (and there is a tray to find it in again).
void VLANClient::closeEvent(QCloseEvent* event)
{
    if (trayUsable && keepInTrayAction && keepInTrayAction->isChecked()) {
        hide();
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}
