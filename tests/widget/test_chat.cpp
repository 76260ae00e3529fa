// Room, global and private chat against the fake lobby: what is sent, what is
// shown, private chat tabs, and typing while the connection is down.
#include "tests/widget/test_rooms_support.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTextEdit>

class TestChat : public RoomTest
{
    Q_OBJECT

    void privateFrom(const QString& sender, const QString& text)
    {
        h.lobby->send(control::message(QStringLiteral("private_message"), {{QStringLiteral("sender"), sender}, {QStringLiteral("message"), text}}));
    }

    template <typename W> W* privateWidget(const QString& user) { return P::privateChatTabs(*h.client).value(user)->findChild<W*>(); }

private slots:
    void publicChatsSendTrimmedLines()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")) && h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.2")));
        const struct {
            QLineEdit* input;
            QPushButton* send;
            QTextEdit* view;
            QString cmd;
        } chats[] = {
            {P::roomChatInput(*h.client), P::roomSendButton(*h.client), P::roomChatView(*h.client), QStringLiteral("chat")},
            {P::globalChatInput(*h.client), P::globalSendButton(*h.client), P::globalChatView(*h.client), QStringLiteral("global_chat")},
        };
        for (const auto& chat : chats) {
            const qsizetype before = h.settledCount();
            chat.input->setText(QStringLiteral("   "));
            QTest::keyClick(chat.input, Qt::Key_Return);
            chat.send->click();
            QCOMPARE(h.settledCount(), before);

            chat.input->setText(QStringLiteral("  hello <b>x</b> "));
            QTest::keyClick(chat.input, Qt::Key_Return);
            QTRY_COMPARE(h.lobby->count(chat.cmd), 1);
            QCOMPARE(h.lobby->last(chat.cmd).value(QStringLiteral("message")).toString(), QStringLiteral("hello <b>x</b>"));
            QVERIFY(chat.input->text().isEmpty());
            QVERIFY(chat.view->toPlainText().isEmpty()); // shown only once the server sends it back
            chat.input->setText(QStringLiteral("again"));
            chat.send->click();
            QTRY_COMPARE(h.lobby->count(chat.cmd), 2);
        }
    }

    void roomChatLinesShowPlayerTextLiterally()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")) && h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.2")));
        h.lobby->send(control::message(QStringLiteral("chat"), {{QStringLiteral("sender"), QStringLiteral("<i>Eve</i>")},
                                                               {QStringLiteral("message"), QStringLiteral("<img src=x.png> & <b>hi</b>")}}));
        h.lobby->sendRaw("{\"cmd\":\"chat\",\"sender\":\"bob\",\"message\":\"second\"}\n");
        QTRY_COMPARE(P::roomChatView(*h.client)->toPlainText(), QStringLiteral("<i>Eve</i>: <img src=x.png> & <b>hi</b>\nbob: second"));
    }

    void privateTabsByExactName()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QTabWidget* tabs = P::mainTabs(*h.client);
        // Names that look like a tab title or a shortcut still map back.
        const QStringList users = {QStringLiteral("Bob"), QStringLiteral("bob"), QStringLiteral("COM: R&D")};
        for (const QString& user : users)
            privateFrom(user, QStringLiteral("<u>one</u>"));
        QTRY_COMPARE(tabs->count(), 4);
        QCOMPARE(tabs->tabText(3), QStringLiteral("COM: COM: R&&D"));
        QCOMPARE(privateWidget<QLineEdit>(QStringLiteral("Bob"))->placeholderText(), QStringLiteral("Direct message to Bob..."));
        // A new line reuses the sender's tab and brings it to the front; so does opening it from the lobby.
        privateFrom(QStringLiteral("Bob"), QStringLiteral("two"));
        QTRY_COMPARE(tabs->currentIndex(), 1);
        QCOMPARE(P::privateChatViews(*h.client).value(QStringLiteral("Bob"))->toPlainText(), QStringLiteral("Bob: <u>one</u>\nBob: two"));
        P::openPrivateChat(*h.client, QStringLiteral("COM: R&D"));
        QCOMPARE(tabs->currentIndex(), 3);
        QCOMPARE(tabs->count(), 4);

        for (const QString& user : users) {
            QPointer<QWidget> page = P::privateChatTabs(*h.client).value(user);
            qobject_cast<QAbstractButton*>(tabs->tabBar()->tabButton(tabs->indexOf(page), QTabBar::RightSide))->click();
            QVERIFY(!P::privateChatTabs(*h.client).contains(user) && !P::privateChatViews(*h.client).contains(user));
            QTRY_VERIFY(page.isNull());
        }
        QCOMPARE(tabs->count(), 1);
        privateFrom(QStringLiteral("bob"), QStringLiteral("new")); // a closed tab comes back empty
        QTRY_COMPARE(tabs->count(), 2);
        QCOMPARE(P::privateChatViews(*h.client).value(QStringLiteral("bob"))->toPlainText(), QStringLiteral("bob: new"));
    }

    void privateSendEchoesOwnLine()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        P::openPrivateChat(*h.client, QStringLiteral("Bob"));
        QLineEdit* input = privateWidget<QLineEdit>(QStringLiteral("Bob"));
        QTextEdit* view = privateWidget<QTextEdit>(QStringLiteral("Bob"));
        const qsizetype before = h.settledCount();
        input->setText(QStringLiteral("  "));
        privateWidget<QPushButton>(QStringLiteral("Bob"))->click();
        QCOMPARE(h.settledCount(), before);

        input->setText(QStringLiteral("  hi <b>x</b> "));
        QTest::keyClick(input, Qt::Key_Return);
        QCOMPARE(h.lobby->waitForCommand(QStringLiteral("private_message")),
                 control::message(QStringLiteral("private_message"), {{QStringLiteral("target"), QStringLiteral("Bob")},
                                                                      {QStringLiteral("message"), QStringLiteral("hi <b>x</b>")}}));
        QCOMPARE(view->toPlainText(), QStringLiteral("Me: hi <b>x</b>"));
        QVERIFY(input->text().isEmpty());
    }

    void nothingIsSentOrShownWhileDisconnected()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")) && h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.2")));
        P::openPrivateChat(*h.client, QStringLiteral("Bob"));
        QLineEdit* inputs[] = {P::roomChatInput(*h.client), P::globalChatInput(*h.client), privateWidget<QLineEdit>(QStringLiteral("Bob"))};
        QTextEdit* privateView = privateWidget<QTextEdit>(QStringLiteral("Bob"));

        h.lobby->dropClient();
        QTRY_VERIFY(P::tcpSocket(*h.client)->state() == QAbstractSocket::UnconnectedState);
        const qsizetype before = h.lobby->received.size();
        for (QLineEdit* input : inputs) {
            input->setText(QStringLiteral("while down"));
            QTest::keyClick(input, Qt::Key_Return);
            QCOMPARE(input->text(), QStringLiteral("while down"));
        }
        QVERIFY(privateView->toPlainText().isEmpty());

        // Back on line, the kept text goes out.
        QTRY_COMPARE(h.lobby->count(QStringLiteral("login")), 2);
        for (QLineEdit* input : inputs)
            QTest::keyClick(input, Qt::Key_Return);
        QTRY_COMPARE(h.lobby->received.size(), before + 4); // login and the three lines
        for (const char* cmd : {"chat", "global_chat", "private_message"})
            QCOMPARE(h.lobby->last(QLatin1String(cmd)).value(QStringLiteral("message")).toString(), QStringLiteral("while down"));
        QCOMPARE(privateView->toPlainText(), QStringLiteral("Me: while down"));
    }
};

ROOMS_TEST_MAIN(TestChat)
#include "test_chat.moc"
