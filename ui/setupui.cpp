#include "ui/pages.h"
#include "lobby/roomstate.h"
#include "protocol/controlcodec.h"
#include "ui/symbols.h"
#include "ui/theme.h"

#include <QScrollBar>
#include <QTimer>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSplitter>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {

struct Card {
    QFrame* frame;
    QVBoxLayout* layout;
};

Card makeCard(const QString& title)
{
    auto* frame = new QFrame;
    frame->setObjectName(QStringLiteral("cardPanel"));
    frame->setStyleSheet(theme::cardSheet());
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(12);
    auto* header = new QLabel(title);
    header->setObjectName(QStringLiteral("sectionHeader"));
    layout->addWidget(header);
    return {frame, layout};
}

QLabel* sectionHeader(const QString& title)
{
    auto* header = new QLabel(title);
    header->setObjectName(QStringLiteral("sectionHeader"));
    return header;
}

QPushButton* styledButton(const QString& text, const QString& sheet)
{
    auto* button = new QPushButton(text);
    button->setStyleSheet(sheet);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

QSplitter* pageSplitter(QWidget* page)
{
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(20, 20, 20, 20);
    auto* splitter = new QSplitter(Qt::Horizontal);
    splitter->setStyleSheet(theme::splitterSheet());
    layout->addWidget(splitter);
    return splitter;
}

// A chat line and its send button, side by side.
QHBoxLayout* chatRow(QLineEdit* input, QPushButton* send)
{
    input->setMinimumHeight(45);
    send->setMinimumWidth(90);
    send->setMinimumHeight(45);
    auto* row = new QHBoxLayout;
    row->addWidget(input);
    row->addWidget(send);
    return row;
}

} // namespace

namespace ui {

LobbyPage::LobbyPage(QWidget* settingRows)
{
    QSplitter* splitter = pageSplitter(this);

    Card rooms = makeCard(QStringLiteral("AVAILABLE GAME ROOMS"));
    roomList = new QListWidget;
    symbols::drawSymbols(roomList);
    joinRoomButton = styledButton(QStringLiteral("▶ JOIN SELECTED ROOM"), theme::primaryButtonSheet());
    createRoomButton = styledButton(QStringLiteral("✚ CREATE NEW ROOM"), theme::secondaryButtonSheet());
    rooms.layout->addWidget(roomList);
    rooms.layout->addWidget(joinRoomButton);
    rooms.layout->addWidget(createRoomButton);

    Card chat = makeCard(QStringLiteral("GLOBAL LOBBY CHAT"));
    globalChatView = new QTextEdit;
    globalChatView->setReadOnly(true);
    globalChatInput = new QLineEdit;
    globalChatInput->setPlaceholderText(QStringLiteral("Say hello to the server..."));
    globalSendButton = styledButton(QStringLiteral("➤ SEND"), theme::primaryButtonSheet());
    chat.layout->addWidget(globalChatView);
    chat.layout->addLayout(chatRow(globalChatInput, globalSendButton));

    Card network = makeCard(QStringLiteral("NETWORK ADAPTER MODE"));
    layer2Button = styledButton(QStringLiteral("LAYER 2 (AUTO)"), theme::modeToggleSheet());
    layer3Button = styledButton(QStringLiteral("LAYER 3 (DIRECT)"), theme::modeToggleSheet());
    layer2Button->setCheckable(true);
    layer3Button->setCheckable(true);
    layer3Button->setChecked(true);
    auto* modeRow = new QHBoxLayout;
    modeRow->setSpacing(0);
    modeRow->addWidget(layer2Button);
    modeRow->addWidget(layer3Button);
    adapterModeLabel = new QLabel(QStringLiteral(
        "Maximum speed and lowest ping. Enter the Host's IP manually inside your game to connect."));
    adapterModeLabel->setStyleSheet(QStringLiteral("color: #a1a1aa; font-size: 12px; line-height: 1.4;"));
    adapterModeLabel->setWordWrap(true);
    adapterModeLabel->setMinimumHeight(50);
    adapterModeLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    onlineUserList = new QListWidget;
    symbols::drawSymbols(onlineUserList);
    onlineUserList->setContextMenuPolicy(Qt::CustomContextMenu);
    network.layout->addLayout(modeRow);
    network.layout->addWidget(adapterModeLabel);
    network.layout->addWidget(settingRows);
    network.layout->addWidget(sectionHeader(QStringLiteral("ONLINE PLAYERS")));
    network.layout->addWidget(onlineUserList);

    splitter->addWidget(rooms.frame);
    splitter->addWidget(chat.frame);
    splitter->addWidget(network.frame);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 5);
    splitter->setStretchFactor(2, 3);
}

namespace {

void replaceEntries(QListWidget* list, const QStringList& entries)
{
    list->clear();
    list->addItems(entries);
}

} // namespace

void LobbyPage::showRooms(const QStringList& rooms)
{
    replaceEntries(roomList, rooms);
}

void LobbyPage::showPlayers(const QStringList& users)
{
    replaceEntries(onlineUserList, users);
}

void LobbyPage::showChatLine(const QString& sender, const QString& text)
{
    globalChatView->append(
        QStringLiteral("<b style='color:#00e5ff;'>[%1]:</b> <span style='color:#ffffff;'>%2</span>")
            .arg(control::singleLine(sender).toHtmlEscaped(), control::singleLine(text).toHtmlEscaped()));
    QScrollBar* bar = globalChatView->verticalScrollBar();
    bar->setValue(bar->maximum());
}

RoomPage::RoomPage(const lobby::RoomState& room) : room_(room)
{
    QSplitter* splitter = pageSplitter(this);

    Card diagnostics = makeCard(QStringLiteral("ROOM DIAGNOSTICS"));
    localIpLabel = new QLabel(QStringLiteral("Local IP: Pending..."));
    localIpLabel->setStyleSheet(
        QStringLiteral("color: #4ade80; font-size: 15px; font-weight: bold; padding: 5px 0;"));
    copyIpButton = styledButton(QStringLiteral("COPY GAME HOST IP"), theme::secondaryButtonSheet());
    copyInviteButton = styledButton(QStringLiteral("COPY INVITE LINK"), theme::secondaryButtonSheet());
    peerList = new QListWidget;
    symbols::drawSymbols(peerList);
    peerList->setContextMenuPolicy(Qt::CustomContextMenu);
    disconnectButton = styledButton(QStringLiteral("✖ DISCONNECT"), theme::secondaryButtonSheet());
    diagnostics.layout->addWidget(localIpLabel);
    diagnostics.layout->addWidget(copyIpButton);
    diagnostics.layout->addWidget(copyInviteButton);
    diagnostics.layout->addSpacing(10);
    diagnostics.layout->addWidget(sectionHeader(QStringLiteral("CONNECTED PLAYERS")));
    diagnostics.layout->addWidget(peerList);
    diagnostics.layout->addWidget(disconnectButton);

    Card chat = makeCard(QStringLiteral("ROOM CHAT"));
    roomChatView = new QTextEdit;
    roomChatView->setReadOnly(true);
    roomChatInput = new QLineEdit;
    roomChatInput->setPlaceholderText(QStringLiteral("Message the room..."));
    roomSendButton = styledButton(QStringLiteral("➤ SEND"), theme::primaryButtonSheet());
    chat.layout->addWidget(roomChatView);
    chat.layout->addLayout(chatRow(roomChatInput, roomSendButton));

    splitter->addWidget(diagnostics.frame);
    splitter->addWidget(chat.frame);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 7);

    // What the page shows of the room comes from the room state.
    connect(&room, &lobby::RoomState::roomChanged, this, [this] {
        if (room_.inRoom())
            localIpLabel->setText(QStringLiteral("Local IP: ") + room_.myVirtualIp());
    });
    connect(&room, &lobby::RoomState::membersChanged, this, [this] {
        for (const lobby::RoomMember& member : room_.members())
            if (member.name == room_.user())
                copyIpButton->setText(room_.isHost() ? QStringLiteral("COPY MY HOST IP")
                                                     : QStringLiteral("COPY GAME HOST IP"));
    });
}

void RoomPage::showChatLine(const QString& sender, const QString& text)
{
    roomChatView->append(QStringLiteral("<b style='color:#a0a0a0;'>") +
                         control::singleLine(sender).toHtmlEscaped() +
                         QStringLiteral(":</b> <span style='color:#ffffff;'>") +
                         control::singleLine(text).toHtmlEscaped() + QStringLiteral("</span>"));
}

void RoomPage::showPath(int row, const QString& detail)
{
    // The list shows the members in the room's order, one entry each.
    if (QListWidgetItem* item = peerList->item(row);
        item && item->data(symbols::kDetailRole).toString() != detail)
        item->setData(symbols::kDetailRole, detail);
}

void RoomPage::showCopied(QPushButton* button, std::function<QString()> text)
{
    button->setText(QStringLiteral("✔ COPIED TO CLIPBOARD"));
    button->setStyleSheet(theme::copiedButtonSheet());
    QTimer::singleShot(2000, button, [button, text = std::move(text)] {
        button->setText(text());
        button->setStyleSheet(theme::secondaryButtonSheet());
    });
}

ReconnectDialog::ReconnectDialog(QWidget* window)
    : QDialog(window, Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint)
{
    setWindowTitle(QStringLiteral("System Status"));
    setStyleSheet(QStringLiteral(
        "background-color: #0f1115; border: 1px solid #27272f; color: white; border-radius: 8px;"));
    auto* layout = new QVBoxLayout(this);
    text_ = new QLabel;
    text_->setObjectName(QStringLiteral("reconnectText"));
    text_->setAlignment(Qt::AlignCenter);
    text_->setStyleSheet(QStringLiteral("font-size: 14px; font-weight: 500; color: #a1a1aa;"));
    layout->addWidget(text_);
    // Shown only after a changed server key was refused: attempts stop until the player asks again.
    retryButton = new QPushButton(QStringLiteral("Try again"));
    retryButton->setObjectName(QStringLiteral("retryButton"));
    layout->addWidget(retryButton, 0, Qt::AlignCenter);
    setFixedSize(300, 120);
    showReconnecting();
}

void ReconnectDialog::showReconnecting()
{
    text_->setText(QStringLiteral("Connection lost.\nReconnecting to network..."));
    retryButton->hide();
}

void ReconnectDialog::showKeyRefused(const QString& server)
{
    text_->setText(QStringLiteral("The key of %1 changed.\nNot connected.").arg(server));
    retryButton->show();
}

} // namespace ui
