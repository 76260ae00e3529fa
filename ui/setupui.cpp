#include "app/vlanclient.h"
#include "lobby/controlconnection.h"
#include "ui/symbols.h"
#include "ui/theme.h"

#include <QDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
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

void VLANClient::setupUI()
{
    auto* windowLayout = new QVBoxLayout(this);
    windowLayout->setContentsMargins(0, 0, 0, 0);
    windowLayout->setSpacing(0);

    buildTitleBar();

    pageStack = new QStackedWidget(this);
    windowLayout->addWidget(titleBarWidget);
    windowLayout->addWidget(pageStack);

    buildReconnectDialog();
    buildLoginPage();

    mainTabs = new QTabWidget;
    mainTabs->setTabsClosable(true);
    mainTabs->setDocumentMode(true);
    mainTabs->setStyleSheet(theme::tabSheet());
    // Document mode draws a light base line under the tabs that the dark theme does not want.
    mainTabs->tabBar()->setDrawBase(false);
    connect(mainTabs, &QTabWidget::tabCloseRequested, this, &VLANClient::closeTab);

    buildLobbyPage();
    buildRoomPage();

    pageStack->addWidget(loginPage);
    pageStack->addWidget(mainTabs);

    resize(1080, 720);
    setMinimumSize(900, 550);
}

void VLANClient::buildReconnectDialog()
{
    reconnectDialog = new QDialog(this, Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint);
    reconnectDialog->setWindowTitle(QStringLiteral("System Status"));
    reconnectDialog->setStyleSheet(QStringLiteral(
        "background-color: #0f1115; border: 1px solid #27272f; color: white; border-radius: 8px;"));
    auto* layout = new QVBoxLayout(reconnectDialog);
    auto* label = new QLabel(QStringLiteral("Connection lost.\nReconnecting to network..."));
    label->setObjectName(QStringLiteral("reconnectText"));
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(QStringLiteral("font-size: 14px; font-weight: 500; color: #a1a1aa;"));
    layout->addWidget(label);
    // Shown only after a changed server key was refused: attempts stop until the player asks again.
    auto* retry = new QPushButton(QStringLiteral("Try again"));
    retry->setObjectName(QStringLiteral("retryButton"));
    retry->hide();
    connect(retry, &QPushButton::clicked, this, [this] {
        showKeyRefused(false);
        connection->retry();
    });
    layout->addWidget(retry, 0, Qt::AlignCenter);
    reconnectDialog->setFixedSize(300, 120);
}

void VLANClient::buildLobbyPage()
{
    lobbyPage = new QWidget;
    QSplitter* splitter = pageSplitter(lobbyPage);

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
    network.layout->addWidget(buildPrivacySetting());
    network.layout->addWidget(sectionHeader(QStringLiteral("ONLINE PLAYERS")));
    network.layout->addWidget(onlineUserList);

    splitter->addWidget(rooms.frame);
    splitter->addWidget(chat.frame);
    splitter->addWidget(network.frame);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 5);
    splitter->setStretchFactor(2, 3);

    mainTabs->addTab(lobbyPage, QStringLiteral("Main Menu"));
    mainTabs->tabBar()->setTabButton(0, QTabBar::RightSide, nullptr);

    connect(layer2Button, &QPushButton::clicked, this, &VLANClient::onAdapterModeChanged);
    connect(layer3Button, &QPushButton::clicked, this, &VLANClient::onAdapterModeChanged);
    connect(onlineUserList, &QListWidget::customContextMenuRequested, this,
            &VLANClient::onOnlineUserContextMenu);
    connect(joinRoomButton, &QPushButton::clicked, this, &VLANClient::joinSelectedRoom);
    connect(roomList, &QListWidget::itemDoubleClicked, this, [this] { joinSelectedRoom(); });
    connect(createRoomButton, &QPushButton::clicked, this, &VLANClient::openCreateRoomModal);
    connect(globalSendButton, &QPushButton::clicked, this, &VLANClient::onSendGlobalChat);
    connect(globalChatInput, &QLineEdit::returnPressed, this, &VLANClient::onSendGlobalChat);
}

void VLANClient::buildRoomPage()
{
    roomPage = new QWidget; // no parent until it becomes a tab
    QSplitter* splitter = pageSplitter(roomPage);

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

    connect(peerList, &QListWidget::customContextMenuRequested, this, &VLANClient::onPeerListContextMenu);
    connect(roomSendButton, &QPushButton::clicked, this, &VLANClient::sendChat);
    connect(roomChatInput, &QLineEdit::returnPressed, this, &VLANClient::sendChat);
    connect(copyIpButton, &QPushButton::clicked, [this] { copyHostIp(); });
    connect(copyInviteButton, &QPushButton::clicked, [this] { copyInviteLink(); });
    connect(disconnectButton, &QPushButton::clicked, [this] { leaveRoom(); });
    // Every way out of the room is this button's click, whoever asks for it.
    connect(&roomState, &lobby::RoomState::leaveRequested, disconnectButton, &QPushButton::click);
    // What the page shows of the room comes from the room state.
    connect(&roomState, &lobby::RoomState::roomChanged, this, [this] {
        if (roomState.inRoom())
            localIpLabel->setText(QStringLiteral("Local IP: ") + roomState.myVirtualIp());
    });
    connect(&roomState, &lobby::RoomState::membersChanged, this, [this] {
        for (const lobby::RoomMember& member : roomState.members())
            if (member.name == roomState.user())
                copyIpButton->setText(roomState.isHost() ? QStringLiteral("COPY MY HOST IP")
                                                         : QStringLiteral("COPY GAME HOST IP"));
    });
}
