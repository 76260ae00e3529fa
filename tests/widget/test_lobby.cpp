// The client against a fake lobby server on loopback: connection status,
// login, reconnection, the lobby messages and the create-room dialog.
#include "lobby/controlcodec.h"
#include "tests/support/clientprobe.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"
#include "ui/theme.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <QTextDocument>

using P = ClientProbe;
using namespace Qt::StringLiterals;

class TestLobby : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeLobby> lobby;
    std::unique_ptr<VLANClient> client;
    QSettings settings{u"Zentho"_s, u"Launcher"_s};

    void connected()
    {
        qputenv("PELLORA_SERVER", lobby->endpoint());
        client = std::make_unique<VLANClient>();
        client->show();
        QVERIFY(lobby->waitForClient());
    }

    bool statusReads(const QString& text)
    {
        return QTest::qWaitFor([&] {
            const QList<QLabel*> labels = P::loginPage(*client)->findChildren<QLabel*>();
            return std::any_of(labels.begin(), labels.end(), [&](QLabel* l) { return l->text() == text; });
        });
    }

    // Opens the create-room dialog from its button and runs `fill` on it with
    // the name field, the game box and the access box; cancels what stays open.
    void withDialog(const std::function<void(QDialog*, QLineEdit*, QComboBox*, QComboBox*)>& fill)
    {
        bool ran = false;
        testenv::whenModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QDialog*>(modal);
            const QList<QComboBox*> boxes = dialog->findChildren<QComboBox*>();
            fill(dialog, dialog->findChild<QLineEdit*>(), boxes.value(0), boxes.value(1));
            ran = true;
            if (QPointer<QDialog> still = dialog; still && still->isVisible())
                still->reject();
        });
        P::createRoomButton(*client)->click();
        QVERIFY(ran);
    }

private slots:
    void init()
    {
        settings.clear();
        lobby = std::make_unique<FakeLobby>();
    }

    void cleanup() { client.reset(); }

    // Server down: the page says so and retries; a nickname typed meanwhile logs in once it is up.
    void loginWaitsForTheServer()
    {
        const quint16 port = lobby->port();
        const QString server = u"127.0.0.1:%1"_s.arg(port);
        lobby->server.close();
        qputenv("PELLORA_SERVER", server.toLatin1());
        client = std::make_unique<VLANClient>();
        QVERIFY(statusReads(u"Cannot reach %1 — retrying every 3 s"_s.arg(server)));
        P::nicknameInput(*client)->setText(u"   "_s);
        P::connectButton(*client)->click();
        QVERIFY(!settings.contains(u"username"_s));
        P::nicknameInput(*client)->setText(u"  Bob "_s);
        QTest::keyClick(P::nicknameInput(*client), Qt::Key_Return);
        QCOMPARE(settings.value(u"username"_s).toString(), u"Bob"_s);
        QVERIFY(!P::reconnectDialog(*client)->isVisible());

        QVERIFY(lobby->server.listen(QHostAddress::LocalHost, port));
        QVERIFY(lobby->waitForClient(5000));
        QCOMPARE(lobby->waitForCommand(u"login"_s).value(u"username"_s).toString(), u"Bob"_s);
        QVERIFY(statusReads(u"Connected to %1"_s.arg(server)));
        P::connectButton(*client)->click(); // each press logs in again
        QTRY_COMPARE(lobby->count(u"login"_s), 2);
        QCOMPARE(P::pageStack(*client)->currentWidget(), P::loginPage(*client));
    }

    void lobbyMessages()
    {
        QVERIFY((client = lobby->loggedInClient(u"Alice"_s)));
        QListWidget* rooms = P::roomList(*client);
        QVERIFY(P::heartbeatTimer(*client)->interval() == 2000 &&
                P::refreshTimer(*client)->interval() == 5000);
        QVERIFY(P::heartbeatTimer(*client)->isActive() && P::clientId(*client) == "c1"_L1);
        // Two lines in one segment, in order; junk and mis-cased commands change nothing.
        lobby->sendRaw(
            "{\"cmd\":\"room_list\",\"rooms\":[\"A\",\"B\",\"C\"]}\n{\"cmd\":\"room_list\",\"rooms\":"
            "[\"D\",\"E 🔒\"]}\r\ngarbage\n[1]\n{\"cmd\":\"ROOM_LIST\",\"rooms\":[]}\n\n");
        QTRY_COMPARE(rooms->count(), 2);
        QCOMPARE(rooms->item(1)->text(), u"E 🔒"_s);
        rooms->setCurrentRow(1);
        // Half a line waits for its line feed; lists are replaced wholesale.
        lobby->sendRaw("{\"cmd\":\"room_list\",\"ro");
        QTest::qWait(100);
        lobby->sendRaw("oms\":[\"X\"]}\n{\"cmd\":\"online_users\",\"users\":[\"Alice\",7,\"Bob\"]}\n");
        QTRY_COMPARE(P::onlineUserList(*client)->count(), 3);
        QCOMPARE(rooms->count(), 1);
        QCOMPARE(rooms->currentItem(), nullptr);
        QCOMPARE(P::onlineUserList(*client)->item(1)->text(), QString());
        // An error box holds back the lines behind it until it is closed.
        int listedWhileOpen = -1;
        testenv::whenModal([&](QWidget* box) {
            QTest::qWait(200);
            listedWhileOpen = rooms->count();
            qobject_cast<QMessageBox*>(box)->accept();
        });
        lobby->sendRaw("{\"cmd\":\"error\",\"message\":\"first\"}\n{\"cmd\":\"room_list\"}\n");
        QTRY_COMPARE(rooms->count(), 0);
        QCOMPARE(listedWhileOpen, 1);

        // A lost connection shows the notice until it is back (within one 3 s
        // retry) and logs in again; an endless line is cut off, not buffered.
        lobby->dropClient();
        QTRY_VERIFY(P::reconnectDialog(*client)->isVisible());
        QVERIFY(lobby->waitForClient(4500));
        QTRY_COMPARE(lobby->count(u"login"_s), 2);
        QTRY_VERIFY(!P::reconnectDialog(*client)->isVisible());
        QCOMPARE(P::clientId(*client), u"c1"_s); // kept while down
        for (int i = 0; i < 18 && lobby->client; ++i) {
            lobby->sendRaw(QByteArray(64 * 1024, 'a'));
            QTest::qWait(5);
        }
        QTRY_VERIFY_WITH_TIMEOUT(lobby->connections > 2, 5000);
        QTRY_COMPARE(lobby->count(u"login"_s), 3);
    }

    // Enter in the name field deploys (a CANCEL made default once closed the
    // dialog instead). Every opening starts afresh; a key typed while
    // "Locked" was chosen is still sent.
    void createRoomEnterDeploysWhatWasChosen()
    {
        connected();
        const struct
        {
            const char *name, *game, *access, *room;
        } rooms[] = {{"  100%1 ", "Minecraft", "Public", "[Minecraft] 100%1"},
                     {"Alpha", "Any / Custom Game", "Private", "Alpha"}};
        QList<bool> keyShown;
        for (const auto& r : rooms) {
            withDialog([&](QDialog* dialog, QLineEdit* name, QComboBox* game, QComboBox* access) {
                QVERIFY(name->text().isEmpty() && game->currentIndex() == 0 && game->count() == 14);
                QLineEdit* key = dialog->findChildren<QLineEdit*>().value(1);
                access->setCurrentText(u"Locked"_s);
                keyShown << key->isVisible();
                key->setText(u" k "_s);
                access->setCurrentText(QLatin1String(r.access));
                keyShown << key->isVisible();
                game->setCurrentText(QLatin1String(r.game));
                QTest::keyClicks(name, QLatin1String(r.name));
                QTest::keyClick(name, Qt::Key_Return);
            });
            QTRY_VERIFY(!lobby->received.isEmpty());
            const QJsonObject sent = lobby->received.takeFirst();
            QCOMPARE(sent.value(u"cmd"_s).toString(), u"create_room"_s);
            QCOMPARE(sent.value(u"room_name"_s).toString(), QLatin1String(r.room));
            QCOMPARE(sent.value(u"privacy_mode"_s).toString(), QString::fromLatin1(r.access).toLower());
            QCOMPARE(sent.value(u"password"_s).toString(), u" k "_s);
        }
        QCOMPARE(keyShown, QList<bool>({true, false, true, false}));
    }

    // The info text starts with its star, the labels sit on the dialog's own
    // surface, and the drop-down list is dark from edge to edge.
    void createRoomLooksRightOnTheDarkTheme()
    {
        connected();
        withDialog([](QDialog* dialog, QLineEdit*, QComboBox*, QComboBox* access) {
            QTextDocument info;
            info.setHtml(dialog->findChildren<QLabel*>().value(4)->text());
            QVERIFY2(info.toPlainText().startsWith(u"★ TOTAL FREEDOM:"_s), qPrintable(info.toPlainText()));
            const QImage face = dialog->grab().toImage();
            const QColor surface(0x12, 0x12, 0x15);
            QCOMPARE(face.pixelColor(dialog->width() / 2, 8), surface);
            for (QLabel* label : dialog->findChildren<QLabel*>(u"fieldLabel"_s))
                QCOMPARE(face.pixelColor(label->mapTo(dialog, QPoint(label->width() - 3, 5))), surface);
            access->showPopup();
            QWidget* popup = access->view()->window();
            QTRY_VERIFY(popup->isVisible());
            QCOMPARE(popup->palette().color(QPalette::Window), theme::popupSurface);
            const QImage list = popup->grab().toImage();
            for (int y : {2, list.height() - 3})
                QVERIFY2(list.pixelColor(list.width() - 3, y).lightness() < 60,
                         qPrintable(QString::number(y)));
            access->hidePopup();
        });
    }
};

PELLORA_TEST_MAIN(TestLobby)
#include "test_lobby.moc"
