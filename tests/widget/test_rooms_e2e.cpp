// Two players in one process against the real lobby server (in process, on
// loopback): a locked room created from the dialog and joined with its key,
// room chat, the host role handed over, a kick. Adapters are left out (each
// client's back-end counts as running); the VLAN end-to-end test covers them.
#include "server/lobby/lobbyserver.h"
#include "server/serverlog.h"
#include "tests/widget/test_rooms_support.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextEdit>

class TestRoomsE2E : public QObject
{
    Q_OBJECT

    std::unique_ptr<LobbyServer> server;

    std::unique_ptr<VLANClient> player(const QString& name)
    {
        qputenv("PELLORA_SERVER", "127.0.0.1:" + QByteArray::number(server->port()));
        auto client = std::make_unique<VLANClient>();
        client->show();
        P::wintunRunning(*client) = true;
        if (!QTest::qWaitFor([&] { return P::tcpSocket(*client)->state() == QAbstractSocket::ConnectedState; }))
            return nullptr;
        P::nicknameInput(*client)->setText(name);
        P::connectButton(*client)->click();
        return QTest::qWaitFor([&] { return P::pageStack(*client)->currentWidget() == static_cast<QWidget*>(P::mainTabs(*client)); })
                   ? std::move(client)
                   : nullptr;
    }

    static bool inRoom(VLANClient& c, const QString& room)
    {
        return QTest::qWaitFor([&] { return P::mainTabs(c)->tabText(P::mainTabs(c)->indexOf(P::roomPage(c))) == QStringLiteral("Sector: ") + room; });
    }

    // Chooses `action` from the member menu of the row starting with `prefix`.
    static bool onMember(VLANClient& c, const QString& prefix, const QString& action)
    {
        P::mainTabs(c)->setCurrentWidget(P::roomPage(c));
        QListWidget* list = P::peerList(c);
        for (int row = 0; row < list->count(); ++row)
            if (list->item(row)->text().startsWith(prefix))
                return rightClickMenu(list, row, action).seen;
        return false;
    }

private slots:
    void twoPlayersThroughALockedRoom()
    {
        serverlog::setLevel(serverlog::Level::Warn);
        QSettings(QStringLiteral("Zentho"), QStringLiteral("Launcher")).clear();
        ServerConfig config;
        config.listen = QHostAddress(QHostAddress::LocalHost);
        config.port = 0;
        config.statsIntervalMs = 0;
        server = std::make_unique<LobbyServer>(config);
        QString error;
        QVERIFY2(server->start(&error), qPrintable(error));
        std::unique_ptr<VLANClient> alice = player(QStringLiteral("Alice"));
        std::unique_ptr<VLANClient> bob = player(QStringLiteral("Bob"));
        QVERIFY(alice && bob);
        const QString room = QStringLiteral("[Minecraft] Alpha");

        // Alice creates a locked room; the server puts her in it as host.
        testenv::whenModal([&](QWidget* modal) {
            const QList<QLineEdit*> edits = modal->findChildren<QLineEdit*>();
            const QList<QComboBox*> boxes = modal->findChildren<QComboBox*>();
            edits.at(0)->setText(QStringLiteral("  Alpha "));
            boxes.at(0)->setCurrentText(QStringLiteral("Minecraft"));
            boxes.at(1)->setCurrentText(QStringLiteral("Locked"));
            edits.at(1)->setText(QStringLiteral(" k 1"));
            modal->findChild<QPushButton*>(QStringLiteral("createBtn"))->click();
        });
        P::createRoomButton(*alice)->click();
        QVERIFY(inRoom(*alice, room));
        QTRY_VERIFY(P::isHost(*alice));
        const QString aliceIp = P::myVirtualIp(*alice);
        QCOMPARE(P::peerList(*alice)->item(0)->text(), QStringLiteral("Alice 👑 - ") + aliceIp);

        // Bob sees it locked; a wrong key is refused, an empty one makes the
        // server ask again.
        QMetaObject::invokeMethod(bob.get(), "refreshRooms");
        QTRY_COMPARE(P::roomList(*bob)->count(), 1);
        QCOMPARE(P::roomList(*bob)->item(0)->text(), room + QStringLiteral(" 🔒"));
        P::roomList(*bob)->setCurrentRow(0);
        PromptSeen wrong, empty, asked;
        answerNextKeyPrompt(&wrong, QStringLiteral("nope"));
        P::joinRoomButton(*bob)->click();
        testenv::BoxSeen refused;
        testenv::acceptNextMessageBox(&refused);
        QTRY_COMPARE(refused.title, QStringLiteral("System Alert"));
        answerNextKeyPrompt(&empty, QString());
        P::joinRoomButton(*bob)->click();
        answerNextKeyPrompt(&asked, QStringLiteral(" k 1"));
        QTRY_COMPARE(asked.label, QStringLiteral("Provide access key for ") + room + QLatin1Char(':'));
        QVERIFY(inRoom(*bob, room));
        QTRY_COMPARE(P::peerList(*alice)->count(), 2);
        QCOMPARE(P::hostVirtualIp(*bob), aliceIp);

        // Room chat, shown to both as typed.
        P::roomChatInput(*alice)->setText(QStringLiteral(" hello <b>bob</b> "));
        QTest::keyClick(P::roomChatInput(*alice), Qt::Key_Return);
        QTRY_COMPARE(P::roomChatView(*bob)->toPlainText(), QStringLiteral("Alice: hello <b>bob</b>"));
        QTRY_COMPARE(P::roomChatView(*alice)->toPlainText(), QStringLiteral("Alice: hello <b>bob</b>"));

        // Alice hands the host role to Bob, who then removes her.
        QVERIFY(onMember(*alice, QStringLiteral("Bob - "), QStringLiteral("Transfer Host")));
        QTRY_VERIFY(P::isHost(*bob) && !P::isHost(*alice));
        QCOMPARE(P::hostVirtualIp(*alice), P::myVirtualIp(*bob));
        testenv::BoxSeen kicked;
        testenv::acceptNextMessageBox(&kicked);
        QVERIFY(onMember(*bob, QStringLiteral("Alice - "), QStringLiteral("Kick Entity")));
        QTRY_COMPARE(kicked.title, QStringLiteral("Connection Terminated"));
        QTRY_COMPARE(P::mainTabs(*alice)->indexOf(P::roomPage(*alice)), -1);
        QTRY_COMPARE(P::peerList(*bob)->count(), 1);
        alice.reset();
        bob.reset();
        server.reset();
    }
};

PELLORA_TEST_MAIN(TestRoomsE2E)
#include "test_rooms_e2e.moc"
