// The window's title bar, pages and reconnect notice. Each owns its widgets,
// under the names the rest of the client knows them by, and fills them; what
// a click on them means is the window's, which connects them.
#pragma once

#include <QDialog>
#include <QStringList>
#include <QWidget>
#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QScrollArea;
class QTextEdit;
class QTimer;

namespace lobby {
class RoomState;
}

namespace ui {

// The frameless window's own title bar: its label and the three window buttons,
// which minimise, maximise and close `window`.
class TitleBar : public QWidget
{
public:
    explicit TitleBar(QWidget* window);

    QLabel* titleBarLabel = nullptr;
    QPushButton* minimizeButton = nullptr;
    QPushButton* maximizeButton = nullptr;
    QPushButton* closeButton = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override; // the drawn glyphs' hover colour
};

// Maximised and back, as the title bar's button and a double click on it do.
void toggleMaximize(QWidget* window);
// Shown, unminimised, raised and active: as asked for from the tray or by a later start.
void bringToFront(QWidget* window);

// The nickname, the connect button, what the connection is doing and where it
// goes, beside the strip of games that moves while the page is shown.
class LoginPage : public QWidget
{
public:
    LoginPage(const QString& nickname, QWidget* parent);

    // "Server: ADDR:PORT · sealed · change": a long name gives way (elided in
    // its middle, whole in the tooltip), never the link.
    void showServerLine(const QString& full, const QString& serverAddress, const QString& sealing);
    void updateIconScroll(); // the strip's next step

    QLineEdit* nicknameInput = nullptr;
    QPushButton* connectButton = nullptr;
    QLabel* connectionStatusLabel = nullptr; // what the connection is doing
    QLabel* serverLabel = nullptr;           // "Server: ADDR:PORT · change"
    QScrollArea* iconScrollArea = nullptr;
    QTimer* iconScrollTimer = nullptr;

private:
    int iconScrollOffset = 0;
};

// The lobby: rooms, the lobby chat, the adapter mode with the path settings
// (`settingRows`), and who is online.
class LobbyPage : public QWidget
{
public:
    explicit LobbyPage(QWidget* settingRows);

    void showRooms(const QStringList& rooms);
    void showPlayers(const QStringList& users);
    void showChatLine(const QString& sender, const QString& text); // one received line, one shown line

    QListWidget* roomList = nullptr;
    QPushButton* joinRoomButton = nullptr;
    QPushButton* createRoomButton = nullptr;
    QTextEdit* globalChatView = nullptr;
    QLineEdit* globalChatInput = nullptr;
    QPushButton* globalSendButton = nullptr;
    QPushButton* layer2Button = nullptr;
    QPushButton* layer3Button = nullptr;
    QLabel* adapterModeLabel = nullptr;
    QListWidget* onlineUserList = nullptr;
};

// The room: our address, the copy buttons, the members and the room chat. What
// it shows of the room (address, whether we host) comes from `room`.
class RoomPage : public QWidget
{
public:
    explicit RoomPage(const lobby::RoomState& room);

    void showChatLine(const QString& sender, const QString& text);
    // The second line of the member list's entry `row`: how our traffic reaches that member.
    void showPath(int row, const QString& detail);
    // The button says it copied, for two seconds, then what `text` says then.
    void showCopied(QPushButton* button, std::function<QString()> text);

    QLabel* localIpLabel = nullptr;
    QPushButton* copyIpButton = nullptr;
    QPushButton* copyInviteButton = nullptr;
    QListWidget* peerList = nullptr;
    QPushButton* disconnectButton = nullptr;
    QTextEdit* roomChatView = nullptr;
    QLineEdit* roomChatInput = nullptr;
    QPushButton* roomSendButton = nullptr;

private:
    const lobby::RoomState& room_;
};

// "Connection lost. Reconnecting…" while the lobby waits for the server; after
// a refused server key, why nothing is tried, with the way to try again.
class ReconnectDialog : public QDialog
{
public:
    explicit ReconnectDialog(QWidget* window);

    void showReconnecting();
    void showKeyRefused(const QString& server);

    QPushButton* retryButton = nullptr;

private:
    QLabel* text_ = nullptr;
};

} // namespace ui
