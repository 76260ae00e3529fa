// Where the client finds its server: the address forms it reads, and which source wins.
#include "lobby/serveraddress.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestServerAddress : public QObject
{
    Q_OBJECT

private slots:
    void parsesAddressesAndHostNames()
    {
        const auto parsed = [](const char* text) { // formatted back; empty when refused, with a reason
            QString error;
            const auto endpoint = lobby::parseServerEndpoint(QString::fromUtf8(text), 7777, &error);
            return endpoint && error.isEmpty() ? lobby::formatEndpoint(*endpoint)
                   : endpoint || error.isEmpty() ? u"no reason"_s
                                                 : QString();
        };
        const char* const good[][2] = {{"127.0.0.1", "127.0.0.1:7777"}, {"  10.1.2.3:9000 ", "10.1.2.3:9000"},
                                       {"::1", "[::1]:7777"}, {"[fd00::5]:8000", "[fd00::5]:8000"},
                                       {"Lobby.Example:7000", "lobby.example:7000"},
                                       {"play.example.org.", "play.example.org:7777"},
                                       {"localhost", "localhost:7777"},
                                       {"b\xc3\xbc" "cher.example", "xn--bcher-kva.example:7777"}};
        for (const auto& [text, formatted] : good)
            QCOMPARE(parsed(text), QString::fromLatin1(formatted));
        for (const char* bad : {"lobby example", "lobby_x.example", "-lobby.example", "lobby..example",
                                "[lobby.example]:7", "10.1.2.300", "", "127.0.0.1:0", "127.0.0.1:65536",
                                "127.0.0.1:abc", "[::1", "[127.0.0.1]:5", "[::1]x", "fe80::1%eth0",
                                "10.0.0.1\x7f"})
            QVERIFY2(parsed(bad).isEmpty(), bad);
        QString error; // a NUL inside: read no further than a parser would stop
        QVERIFY(!lobby::parseServerEndpoint(u"2\0\0[00z:1]:00"_s, 7777, &error) && !error.isEmpty());
    }

    // The address reached goes beside a name only: a number, or a name not reached yet, shows itself.
    void reachedAddressShowsOnlyBesideAName()
    {
        const lobby::ServerEndpoint named{u"play.example.org"_s, 7777};
        QCOMPARE(lobby::describeEndpoint(named, QString()), u"play.example.org:7777"_s);
        QCOMPARE(lobby::describeEndpoint({u"::1"_s, 7}, u"::1"_s), u"[::1]:7"_s);
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
        QCOMPARE(chosen("", "", "saved.example"), QStringLiteral("saved.example:7777"));
        QCOMPARE(chosen("", "", "saved example"), QStringLiteral("127.0.0.1:7777"));
    }
};

QTEST_APPLESS_MAIN(TestServerAddress)
#include "test_serveraddress.moc"
