// Invite links: what is read as a link, what is refused and why, and that a written link reads back.
#include "features/invitelink.h"

#include <QTest>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

// A digest whose link form uses both URL-safe characters.
const QString kFingerprint = u"fb:ff:bf:00:01:02:03:04:05:06:07:08:09:0a:0b:0c:0d:0e:0f:10:11:12:13:14:15:16:"
                             u"17:18:19:1a:1b:1c"_s;
const QString kLinkKey = u"-_-_AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxw"_s;

} // namespace

class TestInviteLink : public QObject
{
    Q_OBJECT

private slots:
    void readsLinks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("server"); // empty: refused
        QTest::addColumn<QString>("roomOrReason");
        QTest::addColumn<QString>("key");
        const auto row = [](const char* name, const QString& text, const QString& server,
                            const QString& result, const QString& key = QString()) {
            QTest::newRow(name) << text << server << result << key;
        };
        row("number and port", u"pellora://203.0.113.7:7000/Alpha"_s, u"203.0.113.7:7000"_s, u"Alpha"_s);
        row("name, default port", u"  PELLORA://Play.Example.org/Den "_s, u"play.example.org:7777"_s,
            u"Den"_s);
        row("IPv6", u"pellora://[2001:db8::1]:7777/R%26D%20%F0%9F%8E%AE"_s, u"[2001:db8::1]:7777"_s,
            u"R&D 🎮"_s);
        row("no server", u"pellora:///Den"_s, QString(), u"it names no server"_s);
        row("other scheme", u"http://h.example/Den"_s, QString(), u"it does not start with pellora://"_s);
        row("no room", u"pellora://h.example:7777/"_s, QString(), u"it names no room"_s);
        row("user part", u"pellora://me@h.example/Den"_s, QString(), u"it carries a user name"_s);
        row("bad port", u"pellora://h.example:99999/Den"_s, QString(), u"\"99999\" is not a port number"_s);
        row("bad host", u"pellora://h_x.example/Den"_s, QString(),
            u"\"h_x.example\" is neither an IPv4 or IPv6 address nor a host name"_s);
        row("raw separator", u"pellora://h.example/a/b"_s, QString(), u"the room name is not encoded"_s);
        row("control character", u"pellora://h.example/a%0Ab"_s, QString(),
            u"the room name holds characters a room cannot have"_s);
        row("too long", u"pellora://h.example/"_s + QString(3000, u'a'), QString(),
            u"the link is too long"_s);
        row("server key", u"pellora://h.example/Den?key="_s + kLinkKey, u"h.example:7777"_s, u"Den"_s,
            kFingerprint);
        row("server key among later parameters", u"pellora://h.example/Den?v=2&key="_s + kLinkKey + u"&x"_s,
            u"h.example:7777"_s, u"Den"_s, kFingerprint);
        const QString badKey = u"the server key it names is not a key fingerprint"_s;
        row("empty key", u"pellora://h.example/Den?key="_s, QString(), badKey);
        row("key cut short", u"pellora://h.example/Den?key="_s + kLinkKey.chopped(1), QString(), badKey);
        row("key too long", u"pellora://h.example/Den?key="_s + kLinkKey + u"AAAA"_s, QString(), badKey);
        row("key with stray bits", u"pellora://h.example/Den?key="_s + kLinkKey.chopped(1) + u'x', QString(),
            badKey);
        row("key in plain base64", u"pellora://h.example/Den?key=+/"_s + kLinkKey.mid(2), QString(), badKey);
        row("key as hex", u"pellora://h.example/Den?key="_s + kFingerprint, QString(), badKey);
        row("key and fragment", u"pellora://h.example/Den?key="_s + kLinkKey + u"#x"_s, QString(), badKey);
        row("key twice", u"pellora://h.example/Den?key="_s + kLinkKey + u"&key="_s + kLinkKey, QString(),
            u"it names the server key twice"_s);
    }
    void readsLinks()
    {
        QFETCH(QString, text);
        QFETCH(QString, server);
        QFETCH(QString, roomOrReason);
        QFETCH(QString, key);
        QString error;
        const std::optional<invite::Link> link = invite::parseLink(text, &error);
        QCOMPARE(link ? lobby::formatEndpoint(link->server) : QString(), server);
        QCOMPARE(link ? link->room : error, roomOrReason);
        QCOMPARE(link ? link->key : QString(), key);
    }

    void writtenLinksReadBack()
    {
        for (const QString& key : {QString(), kFingerprint, kFingerprint.toUpper()}) {
            for (const QString& room : {u"Alpha"_s, u"R&D 🎮"_s, u"a/b?c#d %"_s, u"a?key=x"_s}) {
                const QString text = invite::formatLink({u"::1"_s, 7001}, room, key);
                QVERIFY2(!text.contains(u' ') && text.startsWith(u"pellora://[::1]:7001/"_s),
                         qPrintable(text));
                QVERIFY2(text.endsWith(key.isEmpty() ? QString::fromLatin1(QUrl::toPercentEncoding(room))
                                                     : u"?key="_s + kLinkKey),
                         qPrintable(text));
                QString error;
                const std::optional<invite::Link> link = invite::parseLink(text, &error);
                QVERIFY2(link && link->room == room && link->server.port == 7001, qPrintable(error));
                QCOMPARE(link->key, key.toLower());
            }
        }
    }
};

QTEST_APPLESS_MAIN(TestInviteLink)
#include "test_invitelink.moc"
