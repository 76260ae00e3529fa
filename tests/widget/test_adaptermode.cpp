// The two adapter-mode buttons and their label, before any room is joined.
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>

using P = ClientProbe;

namespace {

const QString kStartText =
    QStringLiteral("Maximum speed and lowest ping. Enter the Host's IP manually inside your game to connect.");
const QString kLayer2Text =
    QStringLiteral("Host will automatically show up in the in-game LAN list. Best for older games.");
const QString kLayer3Text = QStringLiteral(
    "Maximum speed and lowest ping. You will need to manually type the Host's IP to connect. (10.8.x.x) ");

} // namespace

class TestAdapterMode : public QObject
{
    Q_OBJECT

    std::unique_ptr<VLANClient> client;

    void verifyMode(bool layer2, const QString& text)
    {
        QCOMPARE(P::layer2Mode(*client), layer2);
        QCOMPARE(P::layer2Button(*client)->isChecked(), layer2);
        QCOMPARE(P::layer3Button(*client)->isChecked(), !layer2);
        QCOMPARE(P::adapterModeLabel(*client)->text(), text);
    }

private slots:
    void init()
    {
        qputenv("PELLORA_SERVER", "127.0.0.1:1");
        client = std::make_unique<VLANClient>();
        client->show();
    }

    void cleanup() { client.reset(); }

    void exactlyOneButtonCheckedAfterEveryClick()
    {
        verifyMode(false, kStartText);
        QVERIFY(P::layer2Button(*client)->isEnabled() && P::layer3Button(*client)->isEnabled());
        QTest::mouseClick(P::layer2Button(*client), Qt::LeftButton);
        verifyMode(true, kLayer2Text);
        // The checked button flips itself off first; the slot turns it back on.
        QTest::mouseClick(P::layer2Button(*client), Qt::LeftButton);
        verifyMode(true, kLayer2Text);
        QTest::mouseClick(P::layer3Button(*client), Qt::LeftButton);
        verifyMode(false, kLayer3Text);
        P::adapterModeLabel(*client)->setText(QStringLiteral("scribble"));
        QTest::mouseClick(P::layer3Button(*client), Qt::LeftButton);
        verifyMode(false, kLayer3Text);
        QTest::keyClick(P::layer2Button(*client), Qt::Key_Space);
        verifyMode(true, kLayer2Text);
    }

    void aCallNotFromAButtonChangesNothing()
    {
        QVERIFY(QMetaObject::invokeMethod(client.get(), "onAdapterModeChanged"));
        verifyMode(false, kStartText);

        QTest::mouseClick(P::layer2Button(*client), Qt::LeftButton);
        // Another widget's signal reaching the slot is ignored as well.
        QPushButton stranger;
        QVERIFY(connect(&stranger, SIGNAL(clicked()), client.get(), SLOT(onAdapterModeChanged())));
        stranger.click();
        verifyMode(true, kLayer2Text);
    }
};

PELLORA_TEST_MAIN(TestAdapterMode)
#include "test_adaptermode.moc"
