#include "lobby/serveraddress.h"

#include <QTest>

class TestServerAddress : public QObject
{
    Q_OBJECT

private slots:
    void acceptsNumericAddresses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("port");
        QTest::newRow("ipv4") << "127.0.0.1" << "127.0.0.1" << 7777;
        QTest::newRow("ipv4 port") << "10.1.2.3:9000" << "10.1.2.3" << 9000;
        QTest::newRow("ipv6 bare") << "::1" << "::1" << 7777;
        QTest::newRow("ipv6 bracketed") << "[::1]" << "::1" << 7777;
        QTest::newRow("ipv6 port") << "[fd00::5]:8000" << "fd00::5" << 8000;
        QTest::newRow("blanks") << "  127.0.0.1:1  " << "127.0.0.1" << 1;
    }

    void acceptsNumericAddresses()
    {
        QFETCH(QString, text);
        QFETCH(QString, address);
        QFETCH(int, port);
        QString error;
        const auto endpoint = lobby::parseServerEndpoint(text, 7777, &error);
        QVERIFY2(endpoint.has_value(), qPrintable(error));
        QCOMPARE(endpoint->address, address);
        QCOMPARE(int(endpoint->port), port);
    }

    void refusesEverythingElse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("host name") << "lobby.example";
        QTest::newRow("localhost") << "localhost";
        QTest::newRow("empty") << "";
        QTest::newRow("port zero") << "127.0.0.1:0";
        QTest::newRow("port too big") << "127.0.0.1:70000";
        QTest::newRow("port text") << "127.0.0.1:abc";
        QTest::newRow("open bracket") << "[::1";
        QTest::newRow("ipv4 in brackets") << "[127.0.0.1]:5";
        QTest::newRow("junk after bracket") << "[::1]x";
        QTest::newRow("scoped") << "fe80::1%eth0";
    }

    void refusesEverythingElse()
    {
        QFETCH(QString, text);
        QString error;
        QVERIFY(!lobby::parseServerEndpoint(text, 7777, &error).has_value());
        QVERIFY(!error.isEmpty());
    }

    void environmentOverridesOnceAndBadValuesFallBack()
    {
        qputenv("PELLORA_SERVER", "127.0.0.2:1234");
        auto endpoint = lobby::configuredServerEndpoint();
        QCOMPARE(endpoint.address, QStringLiteral("127.0.0.2"));
        QCOMPARE(int(endpoint.port), 1234);

        qputenv("PELLORA_SERVER", "not-an-address");
        endpoint = lobby::configuredServerEndpoint();
        QCOMPARE(endpoint.address, QStringLiteral("127.0.0.1"));
        QCOMPARE(int(endpoint.port), 7777);
        qunsetenv("PELLORA_SERVER");
    }
};

QTEST_APPLESS_MAIN(TestServerAddress)
#include "test_serveraddress.moc"
