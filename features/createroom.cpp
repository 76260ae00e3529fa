#include "app/vlanclient.h"
#include "lobby/controlconnection.h"
#include "features/roomname.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "ui/theme.h"

#include <QComboBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// Labels are transparent: the window's theme would otherwise paint each on
// a band of the window colour, darker than the dialog behind it.
const char* const kDialogSheet =
    "QDialog { background-color: #121215; border: 1px solid #27272a; border-radius: 8px; }"
    "QLabel { color: #ffffff; font-family: 'Segoe UI', sans-serif; background-color: transparent; }"
    "QLabel#sectionHeader { font-size: 22px; font-weight: 900; letter-spacing: 1px; color: #ffffff; }"
    "QLabel#fieldLabel { color: #a1a1aa; font-size: 10px; font-weight: 800; letter-spacing: 1px; margin-top: "
    "5px; }"
    "QLineEdit, QComboBox { background-color: #09090b; border: 1px solid #27272a; border-radius: 6px; color: "
    "white; "
    "padding: 10px 12px; font-size: 14px; }"
    "QLineEdit:focus, QComboBox:focus { border: 1px solid #d32f2f; }"
    "QComboBox::drop-down { border: none; }"
    "QComboBox QAbstractItemView { background-color: #18181b; color: white; selection-background-color: "
    "#27272a; "
    "border: 1px solid #27272a; outline: none; }"
    "QPushButton#createBtn { background-color: #d32f2f; color: white; border: none; border-radius: 6px; "
    "font-weight: 800; font-size: 13px; padding: 12px; letter-spacing: 1px; }"
    "QPushButton#createBtn:hover { background-color: #f44336; }"
    "QPushButton#cancelBtn { background-color: transparent; color: #a1a1aa; border: none; font-weight: 800; "
    "font-size: 12px; padding: 12px; }"
    "QPushButton#cancelBtn:hover { color: #ffffff; }";

const char* const kInfoText =
    "<span style='color: #d32f2f; font-size: 14px;'>★</span> <b>TOTAL FREEDOM:</b><br><br>Categories just "
    "help "
    "players find you. Because <i>you</i> are the host, <b>the category doesn't limit you</b>. You can "
    "launch "
    "<b>any game</b> that supports LAN/Direct IP, and players in this room will connect.";

const char* const kInfoSheet =
    "color: #a1a1aa; font-size: 12px; line-height: 1.4; background-color: #09090b; padding: 12px; "
    "border-radius: 6px; border-left: 3px solid #d32f2f; margin-top: 10px;";

QStringList gameList()
{
    return {rooms::kAnyGame,
            QStringLiteral("Age of Empires 3"),
            QStringLiteral("C&C Generals: Zero Hour"),
            QStringLiteral("Call of Duty 4 / MW2"),
            QStringLiteral("Counter-Strike 1.6 / Source"),
            QStringLiteral("Deadlock"),
            QStringLiteral("Dota 2"),
            QStringLiteral("Elden Ring"),
            QStringLiteral("Left 4 Dead"),
            QStringLiteral("Minecraft"),
            QStringLiteral("Need for Speed: Underground 2"),
            QStringLiteral("Red Alert 2"),
            QStringLiteral("Stronghold Crusader"),
            QStringLiteral("Warcraft III / Dota")};
}

QLabel* fieldLabel(const QString& text)
{
    auto* label = new QLabel(text);
    label->setObjectName(QStringLiteral("fieldLabel"));
    return label;
}

template <typename Field>
Field* tallField(Field* field)
{
    field->setMinimumHeight(42);
    return field;
}

QComboBox* choiceBox(const QStringList& items)
{
    auto* box = tallField(new QComboBox);
    box->addItems(items);
    box->setCursor(Qt::PointingHandCursor);
    theme::darkPopup(box);
    return box;
}

} // namespace

// Built afresh on every opening, so no input survives a previous one.
void VLANClient::openCreateRoomModal()
{
    QPointer<QDialog> dialog = new QDialog(this);
    dialog->setWindowTitle(QStringLiteral("Initialize Sector"));
    dialog->setFixedSize(480, 640);
    dialog->setStyleSheet(QLatin1String(kDialogSheet));

    auto* layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(35, 30, 35, 30);
    layout->setSpacing(10);

    auto* heading = new QLabel(QStringLiteral("CONFIGURE NEW ROOM"));
    heading->setObjectName(QStringLiteral("sectionHeader"));
    layout->addWidget(heading);

    auto* nameField = tallField(new QLineEdit);
    nameField->setPlaceholderText(QStringLiteral("e.g. 3v3 Noobs Only"));
    QComboBox* gameBox = choiceBox(gameList());
    QComboBox* accessBox =
        choiceBox({QStringLiteral("Public"), QStringLiteral("Private"), QStringLiteral("Locked")});
    auto* keyField = tallField(new QLineEdit);
    keyField->setPlaceholderText(QStringLiteral("Access Key (Password)"));
    keyField->setEchoMode(QLineEdit::Password);
    keyField->hide();
    connect(accessBox, &QComboBox::currentTextChanged, keyField,
            [keyField](const QString& level) { keyField->setVisible(level == QLatin1String("Locked")); });

    layout->addWidget(fieldLabel(QStringLiteral("DESIGNATION")));
    layout->addWidget(nameField);
    layout->addWidget(fieldLabel(QStringLiteral("PRIMARY GAME")));
    layout->addWidget(gameBox);
    layout->addWidget(fieldLabel(QStringLiteral("ACCESS LEVEL")));
    layout->addWidget(accessBox);
    layout->addWidget(keyField);

    auto* info = new QLabel(QString::fromUtf8(kInfoText));
    info->setWordWrap(true);
    info->setStyleSheet(QLatin1String(kInfoSheet));
    layout->addWidget(info);
    layout->addStretch();

    auto* cancel = new QPushButton(QStringLiteral("CANCEL"));
    cancel->setObjectName(QStringLiteral("cancelBtn"));
    cancel->setCursor(Qt::PointingHandCursor);
    auto* deploy = new QPushButton(QStringLiteral("DEPLOY ROOM"));
    deploy->setObjectName(QStringLiteral("createBtn"));
    deploy->setMinimumHeight(45);
    deploy->setCursor(Qt::PointingHandCursor);
    // Enter in a field deploys; it never cancels.
    cancel->setAutoDefault(false);
    deploy->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cancel);
    buttons->addWidget(deploy);
    layout->addLayout(buttons);

    connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    connect(deploy, &QPushButton::clicked, dialog, [this, dialog, nameField, gameBox, accessBox, keyField] {
        const QString name = nameField->text().trimmed();
        // Nothing typed, or nowhere to send it: the dialog stays open with its
        // input rather than closing as if the room had been created.
        if (name.isEmpty() || !connection->isUp())
            return;
        sendControlMessage(msg::CreateRoom{rooms::composeRoomName(gameBox->currentText(), name),
                                           accessBox->currentText().toLower(), keyField->text(),
                                           layer2Mode ? 2 : 3}
                               .toJson());
        dialog->accept();
    });

    dialog->exec();
    delete dialog;
}
