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
        h.lobby->send(control::message(u"private_message"_s, {{u"sender"_s, sender}, {u"message"_s, text}}));
    }

    template <typename W> W* privateWidget(const QString& user)
    {
        return P::privateChatTabs(*h.client).value(user)->findChild<W*>();
    }

private slots:
    void everyChatSendsTrimmedLines()
    {
        QVERIFY(h.loggedIn(u"Alice"_s) && h.joined(u"Alpha"_s, u"10.8.0.2"_s));
        P::openPrivateChat(*h.client, u"Bob"_s);
        const struct
        {
            QString cmd, target, shown; // public lines show once the server sends them back
            QLineEdit* input;
            QPushButton* send;
            QTextEdit* view;
        } chats[] = {
            {u"chat"_s,
             {},
             {},
             P::roomChatInput(*h.client),
             P::roomSendButton(*h.client),
             P::roomChatView(*h.client)},
            {u"global_chat"_s,
             {},
             {},
             P::globalChatInput(*h.client),
             P::globalSendButton(*h.client),
             P::globalChatView(*h.client)},
            {u"private_message"_s, u"Bob"_s, u"Me: hello <b>x</b>"_s, privateWidget<QLineEdit>(u"Bob"_s),
             privateWidget<QPushButton>(u"Bob"_s), privateWidget<QTextEdit>(u"Bob"_s)},
        };
        for (const auto& chat : chats) {
            const qsizetype before = h.settledCount();
            chat.input->setText(u"   "_s);
            QTest::keyClick(chat.input, Qt::Key_Return);
            chat.send->click();
            QCOMPARE(h.settledCount(), before);

            chat.input->setText(u"  hello <b>x</b> "_s);
            QTest::keyClick(chat.input, Qt::Key_Return);
            QTRY_COMPARE(h.lobby->count(chat.cmd), 1);
            QCOMPARE(h.lobby->last(chat.cmd).value(u"message"_s).toString(), u"hello <b>x</b>"_s);
            QCOMPARE(h.lobby->last(chat.cmd).value(u"target"_s).toString(), chat.target);
            QVERIFY(chat.input->text().isEmpty());
            QCOMPARE(chat.view->toPlainText(), chat.shown);
            chat.input->setText(u"again"_s);
            chat.send->click();
            QTRY_COMPARE(h.lobby->count(chat.cmd), 2);
        }

        // While the connection is down nothing goes out and the typed text stays, to go once it is back.
        h.lobby->dropClient();
        QTRY_VERIFY(P::tcpSocket(*h.client)->state() == QAbstractSocket::UnconnectedState);
        for (const auto& chat : chats) {
            chat.input->setText(u"while down"_s);
            QTest::keyClick(chat.input, Qt::Key_Return);
            QCOMPARE(chat.input->text(), u"while down"_s);
        }
        QTRY_COMPARE(h.lobby->count(u"login"_s), 2);
        for (const auto& chat : chats) {
            QTest::keyClick(chat.input, Qt::Key_Return);
            QTRY_COMPARE(h.lobby->last(chat.cmd).value(u"message"_s).toString(), u"while down"_s);
        }
        QCOMPARE(chats[2].view->toPlainText(), u"Me: hello <b>x</b>\nMe: again\nMe: while down"_s);
    }

    void roomChatLinesShowPlayerTextLiterally()
    {
        QVERIFY(h.loggedIn(u"Alice"_s) && h.joined(u"Alpha"_s, u"10.8.0.2"_s));
        // A paragraph separator must not start a line that looks like another player's.
        h.lobby->send(control::message(
            u"chat"_s, {{u"sender"_s, u"<i>Eve</i>"_s}, {u"message"_s, u"<img src=x.png> & <b>hi</b>\u2029bob: forged"_s}}));
        h.lobby->sendRaw("{\"cmd\":\"chat\",\"sender\":\"bob\",\"message\":\"second\"}\n");
        QTRY_COMPARE(P::roomChatView(*h.client)->toPlainText(),
                     u"<i>Eve</i>: <img src=x.png> & <b>hi</b> bob: forged\nbob: second"_s);
    }

    void privateTabsByExactName()
    {
        QVERIFY(h.loggedIn(u"Alice"_s));
        QTabWidget* tabs = P::mainTabs(*h.client);
        // Names that look like a tab title or a shortcut still map back.
        const QStringList users = {u"Bob"_s, u"bob"_s, u"COM: R&D"_s};
        for (const QString& user : users)
            privateFrom(user, u"<u>one</u>"_s);
        QTRY_COMPARE(tabs->count(), 4);
        QCOMPARE(tabs->tabText(3), u"COM: COM: R&&D"_s);
        QCOMPARE(privateWidget<QLineEdit>(u"Bob"_s)->placeholderText(), u"Direct message to Bob..."_s);
        // A new line reuses the sender's tab and brings it to the front; so does opening it from the lobby.
        privateFrom(u"Bob"_s, u"two"_s);
        QTRY_COMPARE(tabs->currentIndex(), 1);
        QCOMPARE(P::privateChatViews(*h.client).value(u"Bob"_s)->toPlainText(),
                 u"Bob: <u>one</u>\nBob: two"_s);
        P::openPrivateChat(*h.client, u"COM: R&D"_s);
        QCOMPARE(tabs->currentIndex(), 3);
        QCOMPARE(tabs->count(), 4);

        for (const QString& user : users) {
            QPointer<QWidget> page = P::privateChatTabs(*h.client).value(user);
            qobject_cast<QAbstractButton*>(tabs->tabBar()->tabButton(tabs->indexOf(page), QTabBar::RightSide))
                ->click();
            QCOMPARE(tabs->indexOf(page), -1); // at once, not only when the page goes
            QVERIFY(!P::privateChatTabs(*h.client).contains(user) &&
                    !P::privateChatViews(*h.client).contains(user));
            QTRY_VERIFY(page.isNull());
        }
        QCOMPARE(tabs->count(), 1);
        privateFrom(u"bob"_s, u"new"_s); // a closed tab comes back empty
        QTRY_COMPARE(tabs->count(), 2);
        QCOMPARE(P::privateChatViews(*h.client).value(u"bob"_s)->toPlainText(), u"bob: new"_s);
    }
};

ROOMS_TEST_MAIN(TestChat)
#include "test_chat.moc"
