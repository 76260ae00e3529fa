// The create-room dialog, filled in as a player would, against a fake lobby:
// what it sends, Enter, and how it looks on the dark theme.
#include "lobby/controlcodec.h"
#include "tests/support/clientprobe.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"
#include "ui/theme.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTextDocument>

using P = ClientProbe;

class TestCreateRoom : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeLobby> lobby;
    std::unique_ptr<VLANClient> client;

    // Opens the dialog from its button and runs `fill` on it with the name
    // field, the game box and the access box; whatever stays open is cancelled.
    void withDialog(const std::function<void(QDialog*, QLineEdit*, QComboBox*, QComboBox*)>& fill)
    {
        bool ran = false;
        testenv::whenModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QDialog*>(modal);
            const QList<QComboBox*> boxes = dialog->findChildren<QComboBox*>();
            ran = boxes.size() == 2;
            fill(dialog, dialog->findChild<QLineEdit*>(), boxes.value(0), boxes.value(1));
            if (QPointer<QDialog> still = dialog; still && still->isVisible())
                still->reject();
        });
        P::createRoomButton(*client)->click();
        QVERIFY(ran);
    }

private slots:
    void init()
    {
        lobby = std::make_unique<FakeLobby>();
        qputenv("PELLORA_SERVER", lobby->endpoint());
        client = std::make_unique<VLANClient>();
        client->show();
        QVERIFY(lobby->waitForClient());
        P::nicknameInput(*client)->setText(QStringLiteral("Alice"));
        P::connectButton(*client)->click();
        QVERIFY(!lobby->waitForCommand(QStringLiteral("login")).isEmpty());
        lobby->send(control::message(QStringLiteral("login_ok"), {{QStringLiteral("client_id"), QStringLiteral("c1")}}));
        QTRY_COMPARE(P::pageStack(*client)->currentWidget(), static_cast<QWidget*>(P::mainTabs(*client)));
    }

    void cleanup()
    {
        client.reset();
        lobby.reset();
    }

    // Enter in the name field deploys (a CANCEL made default once closed the
    // dialog instead); the key typed while "Locked" was chosen is still sent.
    void enterDeploysWhatWasChosen()
    {
        withDialog([](QDialog* dialog, QLineEdit* name, QComboBox* game, QComboBox* access) {
            auto* key = dialog->findChildren<QLineEdit*>().value(1);
            QCOMPARE(game->count(), 14);
            QCOMPARE(game->itemText(13), QStringLiteral("Warcraft III / Dota"));
            QList<bool> shown;
            for (const char* level : {"Private", "Locked", "Public"}) {
                access->setCurrentText(QLatin1String(level));
                shown << key->isVisible();
            }
            QCOMPARE(shown, QList<bool>({false, true, false}));
            key->setText(QStringLiteral(" k "));
            game->setCurrentText(QStringLiteral("Minecraft"));
            QTest::keyClicks(name, QStringLiteral("  100%1 "));
            QTest::keyClick(name, Qt::Key_Return);
            QVERIFY(!dialog->isVisible());
        });
        const QJsonObject sent = lobby->waitForCommand(QStringLiteral("create_room"));
        QCOMPARE(sent.value(QStringLiteral("room_name")).toString(), QStringLiteral("[Minecraft] 100%1"));
        QCOMPARE(sent.value(QStringLiteral("privacy_mode")).toString(), QStringLiteral("public"));
        QCOMPARE(sent.value(QStringLiteral("password")).toString(), QStringLiteral(" k "));

        // The next opening starts afresh; "Any / Custom Game" adds no brackets.
        withDialog([](QDialog*, QLineEdit* name, QComboBox* game, QComboBox* access) {
            QVERIFY(name->text().isEmpty());
            QCOMPARE(game->currentIndex(), 0);
            access->setCurrentText(QStringLiteral("Private"));
            QTest::keyClicks(name, QStringLiteral("Alpha"));
            QTest::keyClick(name, Qt::Key_Enter);
        });
        QTRY_COMPARE(lobby->count(QStringLiteral("create_room")), 2);
        QCOMPARE(lobby->received.last().value(QStringLiteral("room_name")).toString(), QStringLiteral("Alpha"));
        QCOMPARE(lobby->received.last().value(QStringLiteral("privacy_mode")).toString(), QStringLiteral("private"));
    }

    void blankNameOrNoConnectionKeepsTheDialogOpen()
    {
        QList<bool> open;
        withDialog([&](QDialog* dialog, QLineEdit* name, QComboBox*, QComboBox*) {
            QTest::keyClicks(name, QStringLiteral("   "));
            dialog->findChild<QPushButton*>(QStringLiteral("createBtn"))->click();
            open << dialog->isVisible();
        });
        lobby->dropClient();
        QTRY_COMPARE(P::tcpSocket(*client)->state(), QAbstractSocket::UnconnectedState);
        withDialog([&](QDialog* dialog, QLineEdit* name, QComboBox*, QComboBox*) {
            QTest::keyClicks(name, QStringLiteral("Alpha"));
            QTest::keyClick(name, Qt::Key_Return);
            open << (dialog->isVisible() && name->text() == QLatin1String("Alpha"));
        });
        QCOMPARE(open, QList<bool>({true, true}));
        QCOMPARE(lobby->count(QStringLiteral("create_room")), 0);
    }

    // The info text starts with its star, the labels sit on the dialog's own
    // surface, and the drop-down list is dark from edge to edge.
    void looksRightOnTheDarkTheme()
    {
        withDialog([](QDialog* dialog, QLineEdit*, QComboBox*, QComboBox* access) {
            QTextDocument info;
            for (QLabel* label : dialog->findChildren<QLabel*>()) {
                if (label->wordWrap())
                    info.setHtml(label->text());
            }
            QVERIFY(info.toPlainText().startsWith(QStringLiteral("★ TOTAL FREEDOM:")));

            const QImage face = dialog->grab().toImage();
            const QColor surface = face.pixelColor(dialog->width() / 2, 8);
            QCOMPARE(surface, QColor(0x12, 0x12, 0x15));
            for (QLabel* label : dialog->findChildren<QLabel*>(QStringLiteral("fieldLabel"))) {
                const QPoint blank = label->mapTo(dialog, QPoint(label->width() - 3, label->height() / 2));
                QCOMPARE(face.pixelColor(blank), surface);
            }

            access->showPopup();
            QWidget* popup = access->view()->window();
            QTRY_VERIFY(popup->isVisible());
            QCOMPARE(popup->palette().color(QPalette::Window), theme::popupSurface);
            const QImage list = popup->grab().toImage();
            for (int y : {2, list.height() - 3})
                QVERIFY2(list.pixelColor(list.width() - 3, y).lightness() < 60, qPrintable(QString::number(y)));
            access->hidePopup();
        });
    }
};

PELLORA_TEST_MAIN(TestCreateRoom)
#include "test_createroom.moc"
