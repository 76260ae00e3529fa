// Where the client finds its server: the address forms it reads, and which
// source wins.
#include "lobby/serveraddress.h"

#include <QTest>

class TestServerAddress : public QObject
{
    Q_OBJECT

private slots:
    void parsesNumericAddressesOnly()
    {
        const char* const cases[][2] = {
            // text, formatted back (empty: refused)
            {"127.0.0.1", "127.0.0.1:7777"}, {"  10.1.2.3:9000 ", "10.1.2.3:9000"}, {"::1", "[::1]:7777"},
            {"[fd00::5]:8000", "[fd00::5]:8000"}, {"lobby.example:7777", ""}, {"", ""}, {"127.0.0.1:0", ""},
            {"127.0.0.1:65536", ""}, {"127.0.0.1:abc", ""}, {"[::1", ""}, {"[127.0.0.1]:5", ""}, {"[::1]x", ""},
            {"fe80::1%eth0", ""}};
        for (const auto& [text, parsed] : cases) {
            QString error;
            const auto endpoint = lobby::parseServerEndpoint(QString::fromLatin1(text), 7777, &error);
            QCOMPARE(endpoint ? lobby::formatEndpoint(*endpoint) : QString(), QString::fromLatin1(parsed));
            QCOMPARE(error.isEmpty(), endpoint.has_value());
            QVERIFY(text[0] != 'l' || error.contains(QLatin1String("host names cannot be used")));
        }
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
        QCOMPARE(chosen("bad name", "", "[::1]:3"), QStringLiteral("[::1]:3"));
        QCOMPARE(chosen("", "", "saved.example"), QStringLiteral("127.0.0.1:7777"));
    }
};

QTEST_APPLESS_MAIN(TestServerAddress)
#include "test_serveraddress.moc"
