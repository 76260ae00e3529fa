// The create-room dialog, filled in and deployed as a player would, against a
// fake lobby.
#include "tests/widget/test_rooms_support.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

namespace {

struct RoomForm {
    QDialog* dialog = nullptr;
    QLineEdit* name = nullptr;
    QComboBox* game = nullptr;
    QComboBox* access = nullptr;
    QLineEdit* key = nullptr;
    QPushButton* deploy = nullptr;
    QPushButton* cancel = nullptr;

    explicit RoomForm(QWidget* modal) : dialog(qobject_cast<QDialog*>(modal))
    {
        if (!dialog)
            return;
        for (QLineEdit* edit : dialog->findChildren<QLineEdit*>()) {
            if (edit->placeholderText() == QLatin1String("e.g. 3v3 Noobs Only"))
                name = edit;
            else if (edit->placeholderText() == QLatin1String("Access Key (Password)"))
                key = edit;
        }
        const QList<QComboBox*> boxes = dialog->findChildren<QComboBox*>();
        game = boxes.value(0);
        access = boxes.value(1);
        deploy = dialog->findChild<QPushButton*>(QStringLiteral("createBtn"));
        cancel = dialog->findChild<QPushButton*>(QStringLiteral("cancelBtn"));
    }
    bool complete() const { return name && game && access && key && deploy && cancel; }
    static QStringList items(const QComboBox* box)
    {
        QStringList out;
        for (int i = 0; i < box->count(); ++i)
            out << box->itemText(i);
        return out;
    }
};

} // namespace

class TestCreateRoom : public RoomTest
{
    Q_OBJECT

    // Opens the dialog from its button and runs `fill` on it; whatever `fill`
    // leaves open is cancelled so that no test can hang on it.
    void withDialog(const std::function<void(RoomForm&)>& fill)
    {
        bool ran = false;
        testenv::whenModal([&](QWidget* modal) {
            RoomForm form(modal);
            ran = form.complete();
            if (ran)
                fill(form);
            if (QPointer<QDialog> still = form.dialog; still && still->isVisible())
                still->reject();
        });
        P::createRoomButton(*h.client)->click();
        QVERIFY(ran);
    }

    QJsonObject deployed(const QString& name, const QString& game, const QString& access, const QString& key)
    {
        const qsizetype before = h.settledCount();
        withDialog([&](RoomForm& form) {
            QTest::keyClicks(form.name, name);
            form.game->setCurrentText(game);
            form.access->setCurrentText(access);
            form.key->setText(key);
            form.deploy->click();
        });
        if (!QTest::qWaitFor([&] { return h.lobby->received.size() > before; }))
            return {};
        return h.lobby->received.last();
    }

private slots:
    void dialogOffersGamesAndAccessLevels()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QStringList games;
        QStringList levels;
        QString title;
        bool keyHidden = false;
        withDialog([&](RoomForm& form) {
            title = form.dialog->windowTitle();
            games = RoomForm::items(form.game);
            levels = RoomForm::items(form.access);
            keyHidden = !form.key->isVisible();
        });
        QCOMPARE(title, QStringLiteral("Initialize Sector"));
        QCOMPARE(games.size(), 14);
        QCOMPARE(games.first(), QStringLiteral("Any / Custom Game"));
        QCOMPARE(games.at(9), QStringLiteral("Minecraft"));
        QCOMPARE(games.last(), QStringLiteral("Warcraft III / Dota"));
        QCOMPARE(levels, QStringList({QStringLiteral("Public"), QStringLiteral("Private"), QStringLiteral("Locked")}));
        QVERIFY(keyHidden);
    }

    void deploySendsTheRoom_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("game");
        QTest::addColumn<QString>("access");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("room");
        QTest::newRow("any game, trimmed") << QStringLiteral("  Alpha  ") << QStringLiteral("Any / Custom Game")
                                           << QStringLiteral("Public") << QString() << QStringLiteral("Alpha");
        QTest::newRow("game in brackets") << QStringLiteral("Alpha") << QStringLiteral("Minecraft")
                                          << QStringLiteral("Locked") << QStringLiteral(" k ")
                                          << QStringLiteral("[Minecraft] Alpha");
        QTest::newRow("placeholders stay") << QStringLiteral("100%1 %2") << QStringLiteral("Dota 2")
                                           << QStringLiteral("Private") << QString()
                                           << QStringLiteral("[Dota 2] 100%1 %2");
        QTest::newRow("ampersand game") << QStringLiteral("x") << QStringLiteral("C&C Generals: Zero Hour")
                                        << QStringLiteral("Public") << QString()
                                        << QStringLiteral("[C&C Generals: Zero Hour] x");
    }

    void deploySendsTheRoom()
    {
        QFETCH(QString, name);
        QFETCH(QString, game);
        QFETCH(QString, access);
        QFETCH(QString, key);
        QFETCH(QString, room);
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        const QJsonObject sent = deployed(name, game, access, key);
        QCOMPARE(sent.value(QStringLiteral("cmd")).toString(), QStringLiteral("create_room"));
        QCOMPARE(sent.value(QStringLiteral("room_name")).toString(), room);
        QCOMPARE(sent.value(QStringLiteral("privacy_mode")).toString(), access.toLower());
        QVERIFY(sent.value(QStringLiteral("password")).isString());
        QCOMPARE(sent.value(QStringLiteral("password")).toString(), key);
        QCOMPARE(h.lobby->count(QStringLiteral("create_room")), 1);
    }

    void keyFieldFollowsTheAccessLevel()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QList<bool> shown;
        withDialog([&](RoomForm& form) {
            for (const char* level : {"Private", "Locked", "Public", "Locked"}) {
                form.access->setCurrentText(QLatin1String(level));
                shown << form.key->isVisible();
                if (shown.size() == 2)
                    QTest::keyClicks(form.key, QStringLiteral("s3cret "));
            }
            form.access->setCurrentText(QStringLiteral("Public"));
            QTest::keyClicks(form.name, QStringLiteral("Alpha"));
            form.deploy->click();
        });
        QCOMPARE(shown, QList<bool>({false, true, false, true}));
        // A key typed while "Locked" was chosen is still sent.
        const QJsonObject sent = h.lobby->waitForCommand(QStringLiteral("create_room"));
        QCOMPARE(sent.value(QStringLiteral("privacy_mode")).toString(), QStringLiteral("public"));
        QCOMPARE(sent.value(QStringLiteral("password")).toString(), QStringLiteral("s3cret "));
    }

    void blankNameOrNoConnectionKeepsTheDialogOpen()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        const qsizetype before = h.settledCount();
        bool openAfterBlank = false;
        withDialog([&](RoomForm& form) {
            QTest::keyClicks(form.name, QStringLiteral("   "));
            form.deploy->click();
            openAfterBlank = form.dialog->isVisible();
        });
        QVERIFY(openAfterBlank);

        // With the connection down nothing can be created: the input stays.
        h.lobby->dropClient();
        QTRY_VERIFY(P::tcpSocket(*h.client)->state() == QAbstractSocket::UnconnectedState);
        bool openWhileDown = false;
        QString nameKept;
        withDialog([&](RoomForm& form) {
            QTest::keyClicks(form.name, QStringLiteral("Alpha"));
            form.deploy->click();
            openWhileDown = form.dialog->isVisible();
            nameKept = form.name->text();
        });
        QVERIFY(openWhileDown);
        QCOMPARE(nameKept, QStringLiteral("Alpha"));
        QCOMPARE(h.lobby->count(QStringLiteral("create_room")), 0);
        QCOMPARE(h.lobby->received.size(), before);
    }

    void everyOpeningStartsEmpty()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        withDialog([](RoomForm& form) {
            QTest::keyClicks(form.name, QStringLiteral("Left over"));
            form.game->setCurrentIndex(5);
            form.access->setCurrentText(QStringLiteral("Locked"));
            QTest::keyClicks(form.key, QStringLiteral("k"));
            form.cancel->click();
        });
        QVERIFY(!deployed(QStringLiteral("Alpha"), QStringLiteral("Minecraft"), QStringLiteral("Public"), QString()).isEmpty());

        QStringList seen;
        withDialog([&](RoomForm& form) {
            seen << form.name->text() << form.game->currentText() << form.access->currentText() << form.key->text();
        });
        QCOMPARE(seen, QStringList({QString(), QStringLiteral("Any / Custom Game"), QStringLiteral("Public"), QString()}));
        QCOMPARE(h.lobby->count(QStringLiteral("create_room")), 1);
    }
};

PELLORA_TEST_MAIN(TestCreateRoom)
#include "test_createroom.moc"
