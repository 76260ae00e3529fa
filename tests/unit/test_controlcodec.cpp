#include "protocol/controlcodec.h"

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

    void readsMissingAndMistypedFieldsAsEmpty()
    {
        const QJsonObject m = control::decodeLine(
            "{\"vip\":7,\"peers\":\"x\",\"is_host\":\"true\",\"yes\":true,\"rooms\":[\"a\",3,{\"x\":1}]}");
        QCOMPARE(control::readString(m, u"vip"_s), QString());
        QVERIFY(control::readArray(m, u"peers"_s).isEmpty());
        QCOMPARE(control::readBool(m, u"is_host"_s), false);
        QCOMPARE(control::readBool(m, u"yes"_s), true);
        const QJsonArray rooms = control::readArray(m, u"rooms"_s);
        QCOMPARE(control::stringAt(rooms, 0) + control::stringAt(rooms, 1) + control::stringAt(rooms, 9),
                 u"a"_s);
        QVERIFY(control::objectAt(rooms, 0).isEmpty());
        QCOMPARE(control::objectAt(rooms, 2).value(u"x"_s).toInt(), 1);
    }
};

QTEST_APPLESS_MAIN(TestControlCodec)
#include "test_controlcodec.moc"
