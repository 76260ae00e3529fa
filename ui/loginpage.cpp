#include "lobby/serveraddress.h"
#include "ui/pages.h"
#include "ui/showcase.h"

#include <QFontMetrics>
#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

namespace showcase {

QStringList gameIcons()
{
    return {QStringLiteral(":/icons/game_dota.png"), QStringLiteral(":/icons/game_wc3.png"),
            QStringLiteral(":/icons/game_cs.png"),   QStringLiteral(":/icons/game_mc.png"),
            QStringLiteral(":/icons/game_rust.png"), QStringLiteral(":/icons/game_stronghold.png")};
}

QWidget* buildStrip(const QStringList& icons)
{
    auto* strip = new QWidget;
    strip->setStyleSheet(QStringLiteral("background-color: transparent;"));
    auto* layout = new QHBoxLayout(strip);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(iconSpacing);
    for (const QString& path : icons) {
        auto* icon = new QLabel;
        icon->setStyleSheet(QStringLiteral("background-color: transparent;"));
        const QPixmap image(path);
        if (!image.isNull())
            icon->setPixmap(image.scaled(iconSize, iconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        icon->setFixedSize(iconSize, iconSize);
        auto* opacity = new QGraphicsOpacityEffect(icon);
        opacity->setOpacity(0.5);
        icon->setGraphicsEffect(opacity);
        layout->addWidget(icon);
    }
    return strip;
}

int nextOffset(int offset, int stripWidth)
{
    ++offset;
    if (offset >= stripWidth / 2 && stripWidth > 1)
        offset = 0;
    return offset;
}

} // namespace showcase

namespace {

// The panel sheets select QFrame, which QLabel derives from; without this
// every label would draw the side panel's right border or a gradient of its own.
const char plainLabels[] = " QLabel { background: transparent; border: none; }";

// The side panel's width and margins: its column is what the server line has.
constexpr int kPanelWidth = 400;
constexpr int kPanelMargin = 45;

// "Server: ADDR:PORT · sealed · change" once it is known whether the connection is sealed; the
// last word a link (`link`) or plain text (to measure).
QString serverLine(const QString& server, const QString& sealing, bool link = true)
{
    return QStringLiteral("Server: %1 · %2%3")
        .arg(server, sealing.isEmpty() ? QString() : sealing + QStringLiteral(" · "),
             link ? QStringLiteral("<a href=\"change\" style=\"color: #a1a1aa;\">change</a>")
                  : QStringLiteral("change"));
}

QLabel* sheetLabel(const QString& text, const QString& sheet)
{
    auto* label = new QLabel(text);
    label->setStyleSheet(sheet);
    return label;
}

QFrame* sidePanel(QLineEdit* nicknameInput, QPushButton* connectButton, QLabel* status, QLabel* server)
{
    auto* panel = new QFrame;
    panel->setFixedWidth(kPanelWidth);
    panel->setStyleSheet(
        QStringLiteral("QFrame { background-color: #09090b; border-right: 1px solid #1f1f23; }") +
        QLatin1String(plainLabels));
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(kPanelMargin, 0, kPanelMargin, 0);
    layout->setSpacing(0);

    const QString brand =
        QStringLiteral("color: %1; font-size: 38px; font-weight: 900; letter-spacing: 1px;");
    auto* logo = new QLabel(
        QStringLiteral(
            "<div style='line-height: 1.0;'>"
            "<span style='%1'>ZEN</span><span style='%2'>THO</span><br><br>"
            "<span style='color: #71717a; font-size: 11px; font-weight: 700; letter-spacing: 3px;'>"
            "GLOBAL GAMING NETWORK</span></div>")
            .arg(brand.arg(QStringLiteral("#ffffff")), brand.arg(QStringLiteral("#d32f2f"))));

    layout->addStretch(2);
    layout->addWidget(logo);
    layout->addSpacing(50);
    layout->addWidget(sheetLabel(
        QStringLiteral("PLAYER NICKNAME"),
        QStringLiteral("color: #a1a1aa; font-size: 10px; font-weight: 800; letter-spacing: 1px;")));
    layout->addSpacing(8);
    layout->addWidget(nicknameInput);
    layout->addSpacing(25);
    layout->addWidget(connectButton);
    layout->addSpacing(12);
    layout->addWidget(status);
    layout->addSpacing(4);
    layout->addWidget(server);
    layout->addStretch(3);
    layout->addWidget(sheetLabel(
        QStringLiteral("BETA 0.4.1  •  SECURE CONNECTION"),
        QStringLiteral("color: #52525b; font-size: 10px; font-weight: bold; letter-spacing: 1px;")));
    layout->addSpacing(25);
    return panel;
}

QFrame* heroPanel(QScrollArea* showcaseArea)
{
    auto* panel = new QFrame;
    panel->setStyleSheet(QStringLiteral(
        "QFrame { background: qlineargradient(x1:0, y1:0, x2:1, y2:1, stop:0 #111116, stop:1 #09090b); }") +
                         QLatin1String(plainLabels));
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(70, 70, 70, 70);
    layout->setSpacing(0);

    auto* slogan = new QLabel(
        QStringLiteral("<span style='color: #ffffff; font-size: 46px; font-weight: 900; line-height: 1.1; "
                       "letter-spacing: -1px;'>"
                       "PLAY LAN GAMES.<br><span style='color: #d32f2f;'>ANYWHERE.</span></span>"));
    QLabel* description = sheetLabel(
        QStringLiteral(
            "Turn the Internet into your local game room. Play classic and modern multiplayer games with "
            "friends "
            "anywhere in the world.<br><br><b>Does your game have a 'LAN', 'Local Network', or 'Direct IP' "
            "option?</b><br>Then it works perfectly here. No port forwarding, no matchmaking errors, just "
            "connect "
            "and play.<br><br><span style='color: #d32f2f;'>★</span> <b>HOST ANYTHING:</b> Whether you "
            "select "
            "Dota 2, C&C Generals, or Call of Duty as your lobby category, it's just a label to help friends "
            "find "
            "you. Once they join, you can launch <b>literally any game</b> and it will connect."),
        QStringLiteral("color: #a1a1aa; font-size: 15px; font-weight: 400; line-height: 1.6;"));
    description->setWordWrap(true);

    layout->addStretch(1);
    layout->addWidget(slogan);
    layout->addSpacing(25);
    layout->addWidget(description);
    layout->addSpacing(60);
    layout->addWidget(
        sheetLabel(QStringLiteral("WORKS WITH ANY LAN TITLE, INCLUDING:"),
                   QStringLiteral("color: #71717a; font-size: 11px; font-weight: 800; letter-spacing: 1px; "
                                  "border-bottom: 1px solid #27272a; padding-bottom: 5px;")));
    layout->addSpacing(25);
    layout->addWidget(showcaseArea);
    layout->addStretch(1);
    return panel;
}

} // namespace

namespace ui {

LoginPage::LoginPage(const QString& nickname, QWidget* parent) : QWidget(parent)
{
    nicknameInput = new QLineEdit;
    nicknameInput->setPlaceholderText(QStringLiteral("What should we call you?"));
    nicknameInput->setText(nickname);
    nicknameInput->setFixedHeight(48);
    nicknameInput->setStyleSheet(
        QStringLiteral("QLineEdit { background-color: #18181b; color: #ffffff; border: 1px solid #27272a; "
                       "border-radius: 6px; "
                       "padding: 0 15px; font-size: 14px; font-weight: 600; } "
                       "QLineEdit:focus { border: 1px solid #d32f2f; background-color: #09090b; }"));

    connectButton = new QPushButton(QStringLiteral("CONNECT TO NETWORK"));
    connectButton->setFixedHeight(48);
    connectButton->setCursor(Qt::PointingHandCursor);
    connectButton->setStyleSheet(QStringLiteral(
        "QPushButton { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #e53935, stop:1 #d32f2f); "
        "color: #ffffff; border: none; border-radius: 6px; font-size: 13px; font-weight: 900; "
        "letter-spacing: 1px; } "
        "QPushButton:hover { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #ef5350, stop:1 "
        "#e53935); } "
        "QPushButton:pressed { background-color: #b71c1c; }"));

    iconScrollArea = new QScrollArea;
    iconScrollArea->setFixedHeight(60);
    iconScrollArea->setFocusPolicy(Qt::NoFocus);
    iconScrollArea->setFrameShape(QFrame::NoFrame);
    iconScrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    iconScrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    iconScrollArea->setWidgetResizable(true);
    iconScrollArea->setStyleSheet(QStringLiteral("background-color: transparent; border: none;"));
    QStringList icons;
    for (int i = 0; i < showcase::repeats; ++i)
        icons += showcase::gameIcons();
    iconScrollArea->setWidget(showcase::buildStrip(icons));

    // Parented at once (the window's page stack) so that the focus given to
    // the nickname field below is the window's and survives its first show.
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    // Two discreet lines under the button: what the connection is doing, and
    // where it goes, with the way to change that.
    connectionStatusLabel = sheetLabel(QString(), QStringLiteral("color: #71717a; font-size: 11px;"));
    connectionStatusLabel->setTextFormat(Qt::PlainText);
    serverLabel = sheetLabel(QString(), QStringLiteral("color: #52525b; font-size: 11px;"));
    serverLabel->setTextFormat(Qt::RichText);
    layout->addWidget(sidePanel(nicknameInput, connectButton, connectionStatusLabel, serverLabel));
    layout->addWidget(heroPanel(iconScrollArea));

    iconScrollTimer = new QTimer(this);
    iconScrollTimer->start(25);
    nicknameInput->setFocus(Qt::OtherFocusReason);
}

// The port and the address it was reached at give way too, while they leave
// the name room for a few letters.
void LoginPage::showServerLine(const QString& full, const QString& serverAddress, const QString& sealing)
{
    serverLabel->ensurePolished(); // the sheet's font
    const QFontMetrics metrics(serverLabel->font());
    constexpr int kSlack = 4; // rich text rounds its runs apart
    const auto roomFor = [&](const QString& kept) {
        return kPanelWidth - 2 * kPanelMargin - kSlack -
               metrics.horizontalAdvance(serverLine(kept, sealing, false));
    };
    qsizetype headSize = full.size();
    if (!lobby::isNumericAddress(serverAddress) && full.startsWith(serverAddress) &&
        roomFor(full.mid(serverAddress.size())) >= metrics.horizontalAdvance(QStringLiteral("abc…xyz")))
        headSize = serverAddress.size();
    const QString tail = full.mid(headSize);
    const QString shown = metrics.elidedText(full.left(headSize), Qt::ElideMiddle, roomFor(tail)) + tail;
    serverLabel->setText(serverLine(shown.toHtmlEscaped(), sealing));
    serverLabel->setToolTip(full);
}

void LoginPage::updateIconScroll()
{
    if (!iconScrollArea || !iconScrollArea->widget())
        return;
    iconScrollOffset = showcase::nextOffset(iconScrollOffset, iconScrollArea->widget()->sizeHint().width());
    iconScrollArea->horizontalScrollBar()->setValue(iconScrollOffset);
}

} // namespace ui
