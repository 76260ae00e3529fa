// The system tray: the client's state at a glance, a menu, notifications
// while the window is away, and the window's close as "keep running" when chosen.
#pragma once

#include <QObject>

class QAction;
class QSettings;
class QSystemTrayIcon;
class QWidget;
namespace lobby {
class RoomState;
}

class Tray : public QObject
{
    Q_OBJECT

public:
    Tray(QWidget* window, QSettings& settings, lobby::RoomState& room);

    // Only while the player is not looking at the window: behind a game, minimised or in the tray.
    void notify(const QString& title, const QString& text);
    // Closing the window hides it: the player chose so, and there is a tray to find it in again.
    bool keepsRunning() const;

    QSystemTrayIcon* trayIcon = nullptr;
    QAction* showWindowAction = nullptr;
    QAction* leaveRoomAction = nullptr;
    QAction* keepInTrayAction = nullptr;
    bool trayUsable = false; // a system tray to keep running in exists

signals:
    void notified(const QString& title, const QString& text);

private:
    void updateTrayState();

    QWidget* window_;
    lobby::RoomState& room_;
};
