#include "protocol/controlcodec.h"
#include "tests/support/rereadline.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestControlCodec : public QObject
{
    Q_OBJECT

private slots:
    void encodesOneCompactLine()
    {
        // Blanks only inside values; an embedded line feed is escaped; UTF-8 as is.
        const QByteArray line = control::encodeLine(
            control::message(u"chat"_s, {{u"message"_s, u"[Mine] héllo 🔒\n"_s}, {u"to"_s, u"k"_s}}));
        QCOMPARE(line, QByteArray("{\"cmd\":\"chat\",\"message\":\"[Mine] h\xc3\xa9llo \xf0\x9f\x94\x92\\n\","
                                  "\"to\":\"k\"}\n"));
        QCOMPARE(control::decodeLine(line).value(u"message"_s).toString(), u"[Mine] héllo 🔒\n"_s);
    }

    void writesWhatEncodeLineWrites()
    {
        // Keys in any order, every kind of escape, surrogates without their other half, nesting.
        const QString text = u"\x01\b\"\\/\x7f\u00e9 \U0001F512"_s + QChar(0xD800) + u"x"_s + QChar(0xDC00);
        control::ArrayWriter list;
        list.add(text).addJson(control::ObjectWriter().addBool("b"_L1, false).object());
        const QByteArray written = control::ObjectWriter()
                                       .add("zz"_L1, text)
                                       .add("a"_L1, qint64{-42})
                                       .addBool("m"_L1, true)
                                       .add("b"_L1, "x\xe9"_L1)
                                       .addJson("list"_L1, list.array())
                                       .line();
        const QJsonObject object{{"zz", text},     {"a", -42},
                                 {"m", true},      {"b", u"x\u00e9"_s},
                                 {"list", QJsonArray{text, QJsonObject{{"b", false}}}}};
        QCOMPARE(written, control::encodeLine(object));
        QCOMPARE(control::line("chat"_L1, {{"to"_L1, u"k"_s}, {"message"_L1, text}}),
                 control::encodeLine(control::message(u"chat"_s, {{u"message"_s, text}, {u"to"_s, u"k"_s}})));
    }

    void decodesLinesLeniently_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("cmd");
        QTest::newRow("crlf") << QByteArray("{\"cmd\":\"room_list\",\"rooms\":[]}\r\n") << "room_list";
        QTest::newRow("blanks") << QByteArray("  \t{\"cmd\":\"error\"}  \n") << "error";
        QTest::newRow("blank line") << QByteArray("   \r\n") << "";
        QTest::newRow("truncated") << QByteArray("{\"cmd\":\"login_ok\"\n") << "";
        QTest::newRow("invalid utf8") << QByteArray("{\"cmd\":\"chat\",\"message\":\"\xff\xfe\"}\n") << "";
    }

    void decodesLinesLeniently()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, cmd);
        QCOMPARE(control::readString(control::decodeLine(line), u"cmd"_s), cmd);
    }

    // What each end reads of the other's lines, as its own writer puts it back: exact where the line was
    // well formed; otherwise missing fields empty, unusable entries left out, lists cut to their limits.
    void typedMessagesKeepWhatTheyMayAndDropTheRest_data()
    {
        QTest::addColumn<bool>("fromServer");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("read"); // empty: the line itself
        const QByteArray key = QByteArray(32, 'k').toBase64();
        const auto peer = [&](const char* pair, const char* side, const QByteArray& k, const char* vip) {
            return "{'cmd':'direct_peers','mapping_port':4000,'peers':[{'birthday':'spray','candidates':"
                   "['192.0.2.1:4000'],'key':'" + k + "','pair':" + pair + ",'side':" + side +
                   ",'username':'bob','vip':'" + vip + "'}]}\n";
        };
        const QByteArray none = "{'cmd':'direct_peers','mapping_port':4000,'peers':[]}\n";
        // Written with ' for ".
        const auto row = [](const char* name, bool fromServer, QByteArray line, QByteArray read = {}) {
            QTest::newRow(name) << fromServer << line.replace('\'', '"') << read.replace('\'', '"');
        };
        row("join_ok", true, "{'cmd':'join_ok','layer':2,'room_name':'Alpha','vip':'10.8.0.5'}\n");
        row("join_ok, nothing", true, "{'cmd':'join_ok'}", "{'cmd':'join_ok','room_name':'','vip':''}\n");
        row("room_update", true, "{'cmd':'room_update','peers':[{'username':'bob','vip':'10.8.0.1'},7]}",
            "{'cmd':'room_update','peers':[{'is_host':false,'username':'bob','vip':'10.8.0.1'},"
            "{'is_host':false,'username':'','vip':''}]}\n");
        row("room_list", true, "{'cmd':'room_list','rooms':['a',3]}",
            "{'cmd':'room_list','rooms':['a','']}\n");
        row("login_ok", true, "{'client_id':'c','cmd':'login_ok','tunnel_index':'3','tunnel_key':'" + key +
            "','tunnel_phase':'1'}\n");
        row("login_ok, short key", true, "{'client_id':'c','cmd':'login_ok','tunnel_key':'a2s='}",
            "{'client_id':'c','cmd':'login_ok'}\n");
        row("chat", true, "{'cmd':'chat','message':'hi','sender':'bob'}\n");
        row("direct_peers", true, peer("'536870911'", "1", key, "10.8.0.3"));
        row("pair 0", true, peer("'0'", "0", key, "10.8.0.3"), none);
        row("pair past 29 bits", true, peer("'536870912'", "0", key, "10.8.0.3"), none);
        row("pair a number", true, peer("7", "0", key, "10.8.0.3"), none);
        row("side 2", true, peer("'7'", "2", key, "10.8.0.3"), none);
        row("side as text", true, peer("'7'", "'1'", key, "10.8.0.3"), none);
        row("short key", true, peer("'7'", "0", QByteArray(31, 'k').toBase64(), "10.8.0.3"), none);
        row("vip not IPv4", true, peer("'7'", "0", key, "::1"), none);
        row("vip of three parts", true, peer("'7'", "0", key, "10.8.3"), none);
        QByteArray ten = peer("'7'", "0", key, "10.8.0.3"), nine = ten;
        ten.replace("['192.0.2.1:4000']", "['a','b','c','d','e','f','g','h','i','j']");
        nine.replace("['192.0.2.1:4000']", "['a','b','c','d','e','f','g','h','i']");
        row("candidates cut to nine", true, ten, nine);
        row("mapping port 70000", true, "{'cmd':'direct_peers','mapping_port':70000}",
            "{'cmd':'direct_peers','peers':[]}\n");
        row("candidates cut to eight", false,
            "{'cmd':'candidates','addresses':['a','b','c','d','e','f','g','h','i']}",
            "{'addresses':['a','b','c','d','e','f','g','h'],'cmd':'candidates','private':false}\n");
        row("rekey", false, "{'cmd':'rekey'}\n");
        row("rekey, pair as text", false, "{'cmd':'rekey','pair':'7'}", "{'cmd':'rekey','pair':7}\n");
        row("rekey, pair out of range", false, "{'cmd':'rekey','pair':1e300}",
            "{'cmd':'rekey','pair':0}\n");
        row("login, no id", false, "{'cmd':'login','username':'a'}\n");
        row("login, private", false, "{'client_id':'','cmd':'login','private':true,'username':'a'}\n");
        row("join_room, layer 4", false, "{'cmd':'join_room','layer':4,'password':'','room_name':'A'}",
            "{'cmd':'join_room','password':'','room_name':'A'}\n");
        row("private_message", false, "{'cmd':'private_message','message':'m','target':'t'}\n");
        row("path_report", false, "{'cmd':'path_report','paths':[{'path':'direct','vip':'10.8.0.2'}]}\n");
        QByteArray long_ = "{'cmd':'path_report','paths':[{}";
        for (int i = 0; i < 254; ++i)
            long_ += ",{}";
        row("path_report longer than a room", false, long_ + "]}", "{'cmd':'path_report','paths':[]}\n");
    }

    void typedMessagesKeepWhatTheyMayAndDropTheRest()
    {
        QFETCH(bool, fromServer);
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, read);
        QCOMPARE(rereadLine(line, fromServer), read.isEmpty() ? line : read);
    }
};

QTEST_APPLESS_MAIN(TestControlCodec)
#include "test_controlcodec.moc"
