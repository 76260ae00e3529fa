// The login page: nickname field, connect paths, the game showcase and the
// pictures of the resource bundle.
#include "lobby/controlcodec.h"
#include "tests/support/clientprobe.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"
#include "ui/showcase.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

using P = ClientProbe;

namespace {

void tick(VLANClient& client, int times)
{
    for (int i = 0; i < times; ++i)
        QMetaObject::invokeMethod(&client, "updateIconScroll", Qt::DirectConnection);
}

QList<QLabel*> showcaseIcons(VLANClient& client)
{
    return P::iconScrollArea(client)->widget()->findChildren<QLabel*>();
}

QStringList pageTexts(QWidget* page)
{
    QStringList texts;
    for (QLabel* label : page->findChildren<QLabel*>()) {
        if (!label->text().isEmpty())
            texts << label->text();
    }
    return texts;
}

} // namespace

class TestLoginPage : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        qputenv("PELLORA_SERVER", "127.0.0.1:1");
        QSettings(QStringLiteral("Zentho"), QStringLiteral("Launcher")).clear();
    }

    void resourceBundle()
    {
        QImageReader logo(QStringLiteral(":/logo.ico"));
        QCOMPARE(logo.imageCount(), 1);
        QCOMPARE(logo.read().size(), QSize(256, 256));
        QCOMPARE(showcase::gameIcons().size(), 6);
        for (const QString& path : showcase::gameIcons()) {
            QImageReader icon(path);
            QCOMPARE(icon.format(), QByteArray("png"));
            QCOMPARE(icon.read().size(), QSize(64, 64));
        }
    }

    void savedNicknameFillsTheFieldAndHasTheFocus()
    {
        QSettings(QStringLiteral("Zentho"), QStringLiteral("Launcher")).setValue(QStringLiteral("username"), "Kestrel");
        VLANClient client;
        client.show();
        QVERIFY(QTest::qWaitForWindowActive(&client));
        QCOMPARE(P::nicknameInput(client)->text(), QStringLiteral("Kestrel"));
        QCOMPARE(QApplication::focusWidget(), P::nicknameInput(client));
    }

    void withoutSavedNicknameThePlaceholderShows()
    {
        VLANClient client;
        QVERIFY(P::nicknameInput(client)->text().isEmpty());
        QCOMPARE(P::nicknameInput(client)->placeholderText(), QStringLiteral("What should we call you?"));
    }

    void returnAndButtonReachTheSameLogin()
    {
        FakeLobby lobby;
        qputenv("PELLORA_SERVER", lobby.endpoint());
        VLANClient client;
        client.show();
        QVERIFY(lobby.waitForClient());
        P::nicknameInput(client)->setText(QStringLiteral("  Kestrel "));
        QTest::mouseClick(P::connectButton(client), Qt::LeftButton);
        QTRY_COMPARE(lobby.count(QStringLiteral("login")), 1);
        QTest::keyClick(P::nicknameInput(client), Qt::Key_Return);
        QTRY_COMPARE(lobby.count(QStringLiteral("login")), 2);
        QCOMPARE(lobby.rawLines.at(0), lobby.rawLines.at(1));
        QCOMPARE(control::readString(lobby.received.at(0), QStringLiteral("username")), QStringLiteral("Kestrel"));
    }

    void pageTextsAndSizes()
    {
        VLANClient client;
        const QStringList texts = pageTexts(P::loginPage(client));
        for (const char* text : {"PLAYER NICKNAME", "BETA 0.4.1  •  SECURE CONNECTION",
                                 "WORKS WITH ANY LAN TITLE, INCLUDING:"})
            QVERIFY2(texts.contains(QString::fromUtf8(text)), text);
        const QString all = texts.join(QLatin1Char('\n'));
        QVERIFY(all.contains(QStringLiteral("PLAY LAN GAMES.<br><span style='color: #d32f2f;'>ANYWHERE.</span>")));
        QVERIFY(all.contains(QStringLiteral("GLOBAL GAMING NETWORK")));
        QVERIFY(all.contains(QStringLiteral("<span style='color: #d32f2f;'>★</span> <b>HOST ANYTHING:</b>")));
        QCOMPARE(P::connectButton(client)->height(), 48);
        QCOMPARE(P::nicknameInput(client)->height(), 48);
        QCOMPARE(P::connectButton(client)->cursor().shape(), Qt::PointingHandCursor);

        client.show();
        QVERIFY(QTest::qWaitForWindowExposed(&client));
        // The side panel keeps 400 pixels; the hero panel takes the rest.
        QWidget* side = P::nicknameInput(client)->parentWidget();
        QCOMPARE(side->width(), 400);
        QCOMPARE(side->geometry().left(), 0);
        QCOMPARE(P::iconScrollArea(client)->height(), 60);
    }

    void showcaseStrip()
    {
        VLANClient client;
        QScrollArea* area = P::iconScrollArea(client);
        QCOMPARE(area->focusPolicy(), Qt::NoFocus);
        QCOMPARE(area->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(area->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        const QList<QLabel*> icons = showcaseIcons(client);
        QCOMPARE(icons.size(), 24);
        QCOMPARE(area->widget()->sizeHint().width(), 2120);
        const QStringList paths = showcase::gameIcons();
        for (int i = 0; i < icons.size(); ++i) {
            QLabel* icon = icons.at(i);
            QCOMPARE(icon->size(), QSize(50, 50));
            auto* effect = qobject_cast<QGraphicsOpacityEffect*>(icon->graphicsEffect());
            QVERIFY(effect);
            QCOMPARE(effect->opacity(), 0.5);
            // The list four times over, each picture scaled once to 50 by 50.
            const QImage expected = QPixmap(paths.at(i % paths.size()))
                                        .scaled(50, 50, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                                        .toImage();
            QCOMPARE(icon->pixmap().toImage(), expected);
        }
    }

    void missingIconKeepsItsPlace()
    {
        QStringList icons;
        for (int i = 0; i < showcase::repeats; ++i)
            icons += showcase::gameIcons();
        icons[3] = QStringLiteral(":/icons/no_such_game.png");
        std::unique_ptr<QWidget> strip(showcase::buildStrip(icons));
        const QList<QLabel*> labels = strip->findChildren<QLabel*>();
        QCOMPARE(labels.size(), 24);
        QVERIFY(labels.at(3)->pixmap().isNull());
        QCOMPARE(labels.at(3)->size(), QSize(50, 50));
        QVERIFY(!labels.at(4)->pixmap().isNull());
        QCOMPARE(strip->sizeHint().width(), 2120); // so the wrap point stays at 1060
        strip->resize(strip->sizeHint());
        strip->layout()->activate();
        QCOMPARE(labels.at(4)->x() - labels.at(3)->x(), 90);
    }

    void showcaseScrollsAndWraps()
    {
        VLANClient client;
        P::iconScrollTimer(client)->stop(); // the test ticks by hand
        client.show();
        QVERIFY(QTest::qWaitForWindowExposed(&client));
        QScrollBar* bar = P::iconScrollArea(client)->horizontalScrollBar();
        QCOMPARE(P::iconScrollOffset(client), 0);
        QVERIFY(bar->maximum() >= 1059);
        tick(client, 1);
        QCOMPARE(P::iconScrollOffset(client), 1);
        QCOMPARE(bar->value(), 1);
        tick(client, 1058);
        QCOMPARE(P::iconScrollOffset(client), 1059);
        QCOMPARE(bar->value(), 1059);
        tick(client, 1); // tick 1060: back to the start
        QCOMPARE(P::iconScrollOffset(client), 0);
        QCOMPARE(bar->value(), 0);
        tick(client, 1060);
        QCOMPARE(P::iconScrollOffset(client), 0);
    }

    void wideWindowRestsAtTheStripEnd()
    {
        VLANClient client;
        client.resize(1900, 720);
        P::iconScrollTimer(client)->stop();
        client.show();
        QVERIFY(QTest::qWaitForWindowExposed(&client));
        QScrollBar* bar = P::iconScrollArea(client)->horizontalScrollBar();
        QTRY_VERIFY(bar->maximum() < 1060);
        tick(client, 1059);
        QCOMPARE(P::iconScrollOffset(client), 1059);
        QCOMPARE(bar->value(), bar->maximum());
        tick(client, 1);
        QCOMPARE(bar->value(), 0);
    }

    void timerTicksEvery25ms()
    {
        VLANClient client;
        client.show();
        QVERIFY(QTest::qWaitForWindowExposed(&client));
        QVERIFY(P::iconScrollTimer(client)->isActive());
        QCOMPARE(P::iconScrollTimer(client)->interval(), 25);
        QVERIFY(!P::iconScrollTimer(client)->isSingleShot());
        QTRY_VERIFY(P::iconScrollOffset(client) >= 3);
        QVERIFY(P::iconScrollArea(client)->horizontalScrollBar()->value() > 0);
    }

    // Only the login page shows the strip; the lobby and rooms do not wake for it.
    void showcaseRestsWhileTheLoginPageIsHidden()
    {
        VLANClient client;
        QVERIFY(P::iconScrollTimer(client)->isActive());
        P::pageStack(client)->setCurrentWidget(P::mainTabs(client));
        QVERIFY(!P::iconScrollTimer(client)->isActive());
        const int offset = P::iconScrollOffset(client);
        QTest::qWait(100);
        QCOMPARE(P::iconScrollOffset(client), offset);
        P::pageStack(client)->setCurrentWidget(P::loginPage(client));
        QVERIFY(P::iconScrollTimer(client)->isActive());
        QCOMPARE(P::iconScrollTimer(client)->interval(), 25);
    }
};

PELLORA_TEST_MAIN(TestLoginPage)
#include "test_loginpage.moc"
