// Where the client finds its server: the address forms it reads, and which
// source wins.
#include "lobby/serveraddress.h"

#include <QTest>

class TestServerAddress : public QObject
{
    Q_OBJECT

private slots:
    void parsesNumericAddressesOnly_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("parsed"); // formatted back; empty when refused
        QTest::newRow("ipv4") << "127.0.0.1" << "127.0.0.1:7777";
        QTest::newRow("ipv4 port, blanks") << "  10.1.2.3:9000 " << "10.1.2.3:9000";
        QTest::newRow("ipv6 bare") << "::1" << "[::1]:7777";
        QTest::newRow("ipv6 port") << "[fd00::5]:8000" << "[fd00::5]:8000";
        QTest::newRow("host name") << "lobby.example:7777" << "";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("port zero") << "127.0.0.1:0" << "";
        QTest::newRow("port too big") << "127.0.0.1:65536" << "";
        QTest::newRow("port text") << "127.0.0.1:abc" << "";
        QTest::newRow("open bracket") << "[::1" << "";
        QTest::newRow("ipv4 in brackets") << "[127.0.0.1]:5" << "";
        QTest::newRow("junk after bracket") << "[::1]x" << "";
        QTest::newRow("scoped") << "fe80::1%eth0" << "";
    }

    void parsesNumericAddressesOnly()
    {
        QFETCH(QString, text);
        QFETCH(QString, parsed);
        QString error;
        const auto endpoint = lobby::parseServerEndpoint(text, 7777, &error);
        QCOMPARE(endpoint ? lobby::formatEndpoint(*endpoint) : QString(), parsed);
        QCOMPARE(error.isEmpty(), endpoint.has_value());
        if (text.startsWith(QLatin1String("lobby")))
            QVERIFY2(error.contains(QLatin1String("host names cannot be used")), qPrintable(error));
    }

    // --server, then PELLORA_SERVER, then the saved server, then the build
    // default; a source that does not parse is passed over.
    void firstUsableSourceWins()
    {
        auto chosen = [](const char* environment, const QString& option, const QString& saved) {
            qputenv("PELLORA_SERVER", environment);
            return lobby::formatEndpoint(lobby::configuredServerEndpoint(option, saved));
        };
        QCOMPARE(chosen("127.0.0.2:2", "127.0.0.1:1", "127.0.0.3:3"), QStringLiteral("127.0.0.1:1"));
        QCOMPARE(chosen("127.0.0.2:2", "", "127.0.0.3:3"), QStringLiteral("127.0.0.2:2"));
        QCOMPARE(chosen("", "", "127.0.0.3:3"), QStringLiteral("127.0.0.3:3"));
        QCOMPARE(chosen("bad name", "", "[::1]:3"), QStringLiteral("[::1]:3"));
        QCOMPARE(chosen("", "", ""), QStringLiteral("127.0.0.1:7777"));
        QCOMPARE(chosen("", "", "saved.example"), QStringLiteral("127.0.0.1:7777"));
        qunsetenv("PELLORA_SERVER");
    }
};

QTEST_APPLESS_MAIN(TestServerAddress)
#include "test_serveraddress.moc"
