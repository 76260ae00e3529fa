// The login page: the nickname field, the game showcase, and the server line
// with its dialog.
#include "tests/support/clientprobe.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"
#include "ui/showcase.h"

#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

using P = ClientProbe;

class TestLoginPage : public QObject
{
    Q_OBJECT

    QSettings settings{QStringLiteral("Zentho"), QStringLiteral("Launcher")};

private slots:
    void init()
    {
        qputenv("PELLORA_SERVER", "127.0.0.1:1");
        settings.clear();
    }

    void savedNicknameFillsTheFieldAndHasTheFocus()
    {
        QVERIFY(VLANClient().findChild<QLineEdit*>()->text().isEmpty());
        settings.setValue(QStringLiteral("username"), "Kestrel");
        VLANClient client;
        client.show();
        QVERIFY(QTest::qWaitForWindowActive(&client));
        QCOMPARE(P::nicknameInput(client)->text(), QStringLiteral("Kestrel"));
        QCOMPARE(QApplication::focusWidget(), P::nicknameInput(client));
    }

    // The six pictures four times over, each shrunk to 50 by 50 and half
    // transparent, a missing one still in its place; the strip scrolls.
    void showcase()
    {
        std::unique_ptr<QWidget> strip(showcase::buildStrip({QStringLiteral(":/icons/none.png")}));
        QVERIFY(strip->findChild<QLabel*>()->pixmap().isNull() && strip->sizeHint().width() == 50);
        VLANClient client;
        const QList<QLabel*> icons = P::iconScrollArea(client)->widget()->findChildren<QLabel*>();
        QCOMPARE(icons.size(), 24);
        QCOMPARE(P::iconScrollArea(client)->widget()->sizeHint().width(), 2120);
        for (int i = 0; i < icons.size(); ++i) {
            const QImage image = icons.at(i)->pixmap().toImage();
            QCOMPARE(image.size(), QSize(50, 50));
            QCOMPARE(qobject_cast<QGraphicsOpacityEffect*>(icons.at(i)->graphicsEffect())->opacity(), 0.5);
            QVERIFY(image == icons.at((i + 6) % 24)->pixmap().toImage());
            QVERIFY(image != icons.at((i + 1) % 24)->pixmap().toImage());
        }
        // One pixel per 25 ms tick, back to the start after 1060, on the login page only.
        client.show();
        QVERIFY(QTest::qWaitForWindowExposed(&client));
        QTimer* timer = P::iconScrollTimer(client);
        QCOMPARE(timer->interval(), 25);
        QTRY_VERIFY(P::iconScrollOffset(client) >= 2);
        P::pageStack(client)->setCurrentWidget(P::mainTabs(client));
        QVERIFY(!timer->isActive());
        P::pageStack(client)->setCurrentWidget(P::loginPage(client));
        QVERIFY(timer->isActive());
        timer->stop();
        QScrollBar* bar = P::iconScrollArea(client)->horizontalScrollBar();
        P::iconScrollOffset(client) = 1058;
        QMetaObject::invokeMethod(&client, "updateIconScroll", Qt::DirectConnection);
        QCOMPARE(bar->value(), 1059);
        QMetaObject::invokeMethod(&client, "updateIconScroll", Qt::DirectConnection);
        QCOMPARE(bar->value(), 0);
    }

    // "change" opens the server dialog: a host name is refused, a numeric
    // address is saved and used at once and at the next start.
    void serverLineChangesTheServer()
    {
        FakeLobby lobby;
        VLANClient client;
        QLabel* line = nullptr;
        for (QLabel* label : P::loginPage(client)->findChildren<QLabel*>())
            line = label->text().startsWith(QStringLiteral("Server: 127.0.0.1:1 · <a")) ? label : line;
        QVERIFY(line);
        QString refusal;
        testenv::whenModal([&](QWidget* dialog) {
            auto* field = dialog->findChild<QLineEdit*>();
            field->setText(QStringLiteral("lobby.example:7777"));
            QTest::keyClick(field, Qt::Key_Return);
            for (QLabel* label : dialog->findChildren<QLabel*>())
                refusal += label->isVisible() ? label->text() : QString();
            field->setText(QString::fromLatin1(lobby.endpoint()));
            QTest::keyClick(field, Qt::Key_Return);
        });
        emit line->linkActivated(QStringLiteral("change"));
        QVERIFY2(refusal.contains(QLatin1String("host names cannot be used")), qPrintable(refusal));
        QCOMPARE(settings.value(QStringLiteral("server")).toString(), QString::fromLatin1(lobby.endpoint()));
        QVERIFY(line->text().contains(QString::fromLatin1(lobby.endpoint())));
        QVERIFY(lobby.waitForClient());
        QCOMPARE(P::relayAddress(client), QHostAddress(QHostAddress::LocalHost));
        qunsetenv("PELLORA_SERVER");
        VLANClient next;
        QTRY_COMPARE(lobby.connections, 2);
    }
};

PELLORA_TEST_MAIN(TestLoginPage)
#include "test_loginpage.moc"
