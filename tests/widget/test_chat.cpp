// Room, global and private chat against a fake lobby: what is sent, what is
// shown, private chat tabs, and typing while the connection is down.
#include "tests/widget/test_rooms_support.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTcpSocket>
#include <QTextEdit>

class TestChat : public RoomTest
{
    Q_OBJECT

    void privateFrom(const QString& sender, const QString& text)
    {
        h.lobby->send(control::message(QStringLiteral("private_message"),
                                       {{QStringLiteral("sender"), sender}, {QStringLiteral("message"), text}}));
    }

    QLineEdit* privateInput(const QString& user)
    {
        QWidget* page = P::privateChatTabs(*h.client).value(user);
        return page ? page->findChild<QLineEdit*>() : nullptr;
    }

    void closeTabOf(QWidget* page)
    {
        QTabWidget* tabs = P::mainTabs(*h.client);
        qobject_cast<QAbstractButton*>(tabs->tabBar()->tabButton(tabs->indexOf(page), QTabBar::RightSide))->click();
    }

private slots:
    void publicChatsSendTrimmedLines()
    {
        ROOMS_REQUIRE_ADAPTER();
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QVERIFY(h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.2")));
        struct Chat {
            QLineEdit* input;
            QPushButton* send;
            QTextEdit* view;
            QString cmd;
        };
        const Chat chats[] = {
            {P::roomChatInput(*h.client), P::roomSendButton(*h.client), P::roomChatView(*h.client), QStringLiteral("chat")},
            {P::globalChatInput(*h.client), P::globalSendButton(*h.client), P::globalChatView(*h.client),
             QStringLiteral("global_chat")},
        };
        for (const Chat& chat : chats) {
            const qsizetype before = h.settledCount();
            chat.input->setText(QStringLiteral("   "));
            QTest::keyClick(chat.input, Qt::Key_Return);
            chat.send->click();
            QCOMPARE(h.settledCount(), before);
            QCOMPARE(chat.input->text(), QStringLiteral("   "));

            chat.input->setText(QStringLiteral("  hello <b>x</b> "));
            QTest::keyClick(chat.input, Qt::Key_Return);
            QTRY_COMPARE(h.lobby->count(chat.cmd), 1);
            QCOMPARE(h.last(chat.cmd).value(QStringLiteral("message")).toString(), QStringLiteral("hello <b>x</b>"));
            QVERIFY(chat.input->text().isEmpty());
            // The line shows only once the server sends it back.
            QVERIFY(chat.view->toPlainText().isEmpty());

            chat.input->setText(QStringLiteral("again"));
            chat.send->click();
            QTRY_COMPARE(h.lobby->count(chat.cmd), 2);
        }
    }

    void roomChatLinesShowPlayerTextLiterally()
    {
        ROOMS_REQUIRE_ADAPTER();
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QVERIFY(h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.2")));
        P::mainTabs(*h.client)->setCurrentIndex(0); // lines arrive whether or not the tab is shown
        h.lobby->send(control::message(QStringLiteral("chat"),
                                       {{QStringLiteral("sender"), QStringLiteral("<i>Eve</i>")},
                                        {QStringLiteral("message"), QStringLiteral("<img src=x.png> & <b>hi</b>\u2029bob: forged")}}));
        h.lobby->sendRaw("{\"cmd\":\"chat\",\"sender\":\"bob\",\"message\":\"second\"}\n");
        QTextEdit* view = P::roomChatView(*h.client);
        QTRY_COMPARE(view->toPlainText(), QStringLiteral("<i>Eve</i>: <img src=x.png> & <b>hi</b> bob: forged\nbob: second"));
        QVERIFY(!view->toHtml().contains(QStringLiteral("<img")));
    }

    void privateTabsAreFoundOrCreatedByExactName()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QTabWidget* tabs = P::mainTabs(*h.client);
        privateFrom(QStringLiteral("Bob"), QStringLiteral("<u>one</u>"));
        QTRY_COMPARE(tabs->count(), 2);
        QCOMPARE(tabs->tabText(1), QStringLiteral("COM: Bob"));
        QWidget* bobPage = P::privateChatTabs(*h.client).value(QStringLiteral("Bob"));
        QCOMPARE(tabs->currentWidget(), bobPage);
        QCOMPARE(privateInput(QStringLiteral("Bob"))->placeholderText(), QStringLiteral("Direct message to Bob..."));

        privateFrom(QStringLiteral("bob"), QStringLiteral("lower"));
        QTRY_COMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(2), QStringLiteral("COM: bob"));

        // A new line from Bob reuses his tab and brings it to the front.
        privateFrom(QStringLiteral("Bob"), QStringLiteral("two"));
        QTRY_COMPARE(tabs->currentWidget(), bobPage);
        QCOMPARE(tabs->count(), 3);
        QTextEdit* view = P::privateChatViews(*h.client).value(QStringLiteral("Bob"));
        QCOMPARE(view->toPlainText(), QStringLiteral("Bob: <u>one</u>\nBob: two"));
        QCOMPARE(P::privateChatViews(*h.client).value(QStringLiteral("bob"))->toPlainText(), QStringLiteral("bob: lower"));

        // Opening from the lobby (the online-players menu) switches, creates nothing.
        tabs->setCurrentIndex(0);
        P::openPrivateChat(*h.client, QStringLiteral("Bob"));
        QCOMPARE(tabs->currentWidget(), bobPage);
        QCOMPARE(tabs->count(), 3);
    }

    void privateSendEchoesOwnLine()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        P::openPrivateChat(*h.client, QStringLiteral("Bob"));
        QLineEdit* input = privateInput(QStringLiteral("Bob"));
        QTextEdit* view = P::privateChatViews(*h.client).value(QStringLiteral("Bob"));
        QPushButton* send = P::privateChatTabs(*h.client).value(QStringLiteral("Bob"))->findChild<QPushButton*>();
        QCOMPARE(send->text(), QStringLiteral("SEND"));

        const qsizetype before = h.settledCount();
        input->setText(QStringLiteral("  "));
        send->click();
        QCOMPARE(h.settledCount(), before);
        QVERIFY(view->toPlainText().isEmpty());

        input->setText(QStringLiteral("  hi <b>x</b> "));
        QTest::keyClick(input, Qt::Key_Return);
        const QJsonObject sent = h.lobby->waitForCommand(QStringLiteral("private_message"));
        QCOMPARE(sent.value(QStringLiteral("target")).toString(), QStringLiteral("Bob"));
        QCOMPARE(sent.value(QStringLiteral("message")).toString(), QStringLiteral("hi <b>x</b>"));
        QCOMPARE(view->toPlainText(), QStringLiteral("Me: hi <b>x</b>"));
        QVERIFY(input->text().isEmpty());
    }

    void closedTabComesBackEmpty()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QTabWidget* tabs = P::mainTabs(*h.client);
        // Names that look like a tab title or a shortcut still map back.
        const QStringList users = {QStringLiteral("Bob"), QStringLiteral("COM: Eve"), QStringLiteral("R&D")};
        for (const QString& user : users)
            privateFrom(user, QStringLiteral("old"));
        QTRY_COMPARE(tabs->count(), 4);
        QCOMPARE(tabs->tabText(2), QStringLiteral("COM: COM: Eve"));
        QCOMPARE(tabs->tabText(3), QStringLiteral("COM: R&&D"));

        for (const QString& user : users) {
            QPointer<QWidget> page = P::privateChatTabs(*h.client).value(user);
            closeTabOf(page);
            QVERIFY(!P::privateChatTabs(*h.client).contains(user));
            QVERIFY(!P::privateChatViews(*h.client).contains(user));
            QCOMPARE(tabs->indexOf(page), -1);
            QTRY_VERIFY(page.isNull());
        }
        QCOMPARE(tabs->count(), 1);

        privateFrom(QStringLiteral("COM: Eve"), QStringLiteral("new"));
        QTRY_COMPARE(tabs->count(), 2);
        QCOMPARE(P::privateChatViews(*h.client).value(QStringLiteral("COM: Eve"))->toPlainText(),
                 QStringLiteral("COM: Eve: new"));
    }

    void nothingIsSentOrShownWhileDisconnected()
    {
        ROOMS_REQUIRE_ADAPTER();
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QVERIFY(h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.2")));
        P::openPrivateChat(*h.client, QStringLiteral("Bob"));
        QLineEdit* inputs[] = {P::roomChatInput(*h.client), P::globalChatInput(*h.client), privateInput(QStringLiteral("Bob"))};
        QTextEdit* privateView = P::privateChatViews(*h.client).value(QStringLiteral("Bob"));

        h.lobby->dropClient();
        QTRY_VERIFY(P::tcpSocket(*h.client)->state() == QAbstractSocket::UnconnectedState);
        const qsizetype before = h.lobby->received.size();
        for (QLineEdit* input : inputs) {
            input->setText(QStringLiteral("while down"));
            QTest::keyClick(input, Qt::Key_Return);
            QCOMPARE(input->text(), QStringLiteral("while down"));
        }
        QVERIFY(privateView->toPlainText().isEmpty());

        // Back on line, the kept text goes out (and nothing typed earlier does).
        QVERIFY(h.lobby->waitForClient(5000));
        QVERIFY(!h.lobby->waitForCommand(QStringLiteral("login")).isEmpty());
        for (QLineEdit* input : inputs)
            QTest::keyClick(input, Qt::Key_Return);
        QTRY_COMPARE(h.lobby->received.size(), before + 4); // login and the three lines
        QCOMPARE(h.lobby->received.at(before).value(QStringLiteral("cmd")).toString(), QStringLiteral("login"));
        for (const char* cmd : {"chat", "global_chat", "private_message"})
            QCOMPARE(h.last(QLatin1String(cmd)).value(QStringLiteral("message")).toString(), QStringLiteral("while down"));
        QCOMPARE(privateView->toPlainText(), QStringLiteral("Me: while down"));
    }
};

ROOMS_TEST_MAIN(TestChat)
#include "test_chat.moc"
