// The create-room dialog, filled in as a player would, against a fake lobby:
// what it sends, Enter, and how it looks on the dark theme.
#include "tests/support/clientprobe.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"
#include "ui/theme.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
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
        lobby = std::make_unique<FakeLobby>();
        qputenv("PELLORA_SERVER", lobby->endpoint());
        client = std::make_unique<VLANClient>();
        client->show();
        QVERIFY(lobby->waitForClient()); // the dialog sends only on a live connection
    }

    void cleanup() { client.reset(); }

    // Enter in the name field deploys (a CANCEL made default once closed the
    // dialog instead). Every opening starts afresh; a key typed while
    // "Locked" was chosen is still sent.
    void enterDeploysWhatWasChosen()
    {
        const struct { const char *name, *game, *access, *room; } rooms[] = {
            {"  100%1 ", "Minecraft", "Public", "[Minecraft] 100%1"}, {"Alpha", "Any / Custom Game", "Private", "Alpha"}};
        QList<bool> keyShown;
        for (const auto& r : rooms) {
            withDialog([&](QDialog* dialog, QLineEdit* name, QComboBox* game, QComboBox* access) {
                QVERIFY(name->text().isEmpty() && game->currentIndex() == 0 && game->count() == 14);
                QLineEdit* key = dialog->findChildren<QLineEdit*>().value(1);
                access->setCurrentText(QStringLiteral("Locked"));
                keyShown << key->isVisible();
                key->setText(QStringLiteral(" k "));
                access->setCurrentText(QLatin1String(r.access));
                keyShown << key->isVisible();
                game->setCurrentText(QLatin1String(r.game));
                QTest::keyClicks(name, QLatin1String(r.name));
                QTest::keyClick(name, Qt::Key_Return);
            });
            QTRY_VERIFY(!lobby->received.isEmpty());
            const QJsonObject sent = lobby->received.takeFirst();
            QCOMPARE(sent.value(QStringLiteral("room_name")).toString(), QLatin1String(r.room));
            QCOMPARE(sent.value(QStringLiteral("privacy_mode")).toString(), QString::fromLatin1(r.access).toLower());
            QCOMPARE(sent.value(QStringLiteral("password")).toString(), QStringLiteral(" k "));
        }
        QCOMPARE(keyShown, QList<bool>({true, false, true, false}));
    }

    // A blank name, or no connection to send it on, leaves the dialog open.
    void nothingToSendKeepsTheDialogOpen()
    {
        for (const char* name : {"   ", "Alpha"}) {
            bool open = false;
            withDialog([&](QDialog* dialog, QLineEdit* field, QComboBox*, QComboBox*) {
                QTest::keyClicks(field, QLatin1String(name));
                dialog->findChild<QPushButton*>(QStringLiteral("createBtn"))->click();
                open = dialog->isVisible() && field->text() == QLatin1String(name);
            });
            QVERIFY(open);
            lobby->dropClient();
            QTRY_COMPARE(P::tcpSocket(*client)->state(), QAbstractSocket::UnconnectedState);
        }
        QCOMPARE(lobby->count(QStringLiteral("create_room")), 0);
    }

    // The info text starts with its star, the labels sit on the dialog's own
    // surface, and the drop-down list is dark from edge to edge.
    void looksRightOnTheDarkTheme()
    {
        withDialog([](QDialog* dialog, QLineEdit*, QComboBox*, QComboBox* access) {
            QTextDocument info;
            info.setHtml(dialog->findChildren<QLabel*>().value(4)->text());
            QVERIFY2(info.toPlainText().startsWith(QStringLiteral("★ TOTAL FREEDOM:")), qPrintable(info.toPlainText()));
            const QImage face = dialog->grab().toImage();
            QCOMPARE(face.pixelColor(dialog->width() / 2, 8), QColor(0x12, 0x12, 0x15));
            for (QLabel* label : dialog->findChildren<QLabel*>(QStringLiteral("fieldLabel")))
                QCOMPARE(face.pixelColor(label->mapTo(dialog, QPoint(label->width() - 3, 5))), QColor(0x12, 0x12, 0x15));
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
