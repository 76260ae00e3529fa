#include "lobby/controlcodec.h"

#include <QJsonArray>
#include <QTest>

class TestControlCodec : public QObject
{
    Q_OBJECT

private slots:
    void encodesCompactLineWithOneLineFeed()
    {
        QCOMPARE(control::encodeLine(control::message(QStringLiteral("leave_room"))),
                 QByteArray("{\"cmd\":\"leave_room\"}\n"));
        const QByteArray line = control::encodeLine(control::message(
            QStringLiteral("create_room"), {{QStringLiteral("room_name"), QStringLiteral("[Minecraft] Alpha")},
                                            {QStringLiteral("privacy_mode"), QStringLiteral("locked")},
                                            {QStringLiteral("password"), QStringLiteral("k")}}));
        QCOMPARE(line.count('\n'), 1);
        QVERIFY(line.endsWith('\n'));
        QVERIFY(!line.contains(' ') || line.contains("[Minecraft] Alpha"));
        const QJsonObject back = control::decodeLine(line);
        QCOMPARE(back.value(QStringLiteral("room_name")).toString(), QStringLiteral("[Minecraft] Alpha"));
        QCOMPARE(back.value(QStringLiteral("password")).toString(), QStringLiteral("k"));
    }

    void encodesNonAsciiAsUtf8()
    {
        const QByteArray line = control::encodeLine(
            control::message(QStringLiteral("chat"), {{QStringLiteral("message"), QStringLiteral("héllo 🔒\n")}}));
        QCOMPARE(line.count('\n'), 1); // the embedded line feed is escaped
        QCOMPARE(control::decodeLine(line).value(QStringLiteral("message")).toString(), QStringLiteral("héllo 🔒\n"));
    }

    void decodesLinesLeniently_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("cmd");
        QTest::newRow("plain") << QByteArray("{\"cmd\":\"login_ok\",\"client_id\":\"x\"}\n") << "login_ok";
        QTest::newRow("crlf") << QByteArray("{\"cmd\":\"room_list\",\"rooms\":[]}\r\n") << "room_list";
        QTest::newRow("blanks") << QByteArray("  \t{\"cmd\":\"error\"}  \n") << "error";
        QTest::newRow("key order") << QByteArray("{\"message\":\"m\",\"cmd\":\"chat\"}") << "chat";
        QTest::newRow("empty") << QByteArray("\n") << "";
        QTest::newRow("blank line") << QByteArray("   \r\n") << "";
        QTest::newRow("not json") << QByteArray("hello world\n") << "";
        QTest::newRow("truncated") << QByteArray("{\"cmd\":\"login_ok\"\n") << "";
        QTest::newRow("array") << QByteArray("[{\"cmd\":\"login_ok\"}]\n") << "";
        QTest::newRow("string") << QByteArray("\"login_ok\"\n") << "";
        QTest::newRow("cmd not string") << QByteArray("{\"cmd\":5}\n") << "";
        QTest::newRow("mis-cased cmd kept as is") << QByteArray("{\"cmd\":\"LOGIN_OK\"}\n") << "LOGIN_OK";
        QTest::newRow("invalid utf8") << QByteArray("{\"cmd\":\"chat\",\"message\":\"\xff\xfe\"}\n") << "";
    }

    void decodesLinesLeniently()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, cmd);
        QCOMPARE(control::readString(control::decodeLine(line), QStringLiteral("cmd")), cmd);
    }

    void readsMissingAndMistypedFieldsAsEmpty()
    {
        const QJsonObject m = control::decodeLine(
            "{\"cmd\":\"room_update\",\"vip\":7,\"peers\":\"x\",\"is_host\":\"true\",\"rooms\":[\"a\",3,null,\"b\"],"
            "\"users\":[{\"x\":1}]}");
        QCOMPARE(control::readString(m, QStringLiteral("vip")), QString());
        QCOMPARE(control::readString(m, QStringLiteral("missing")), QString());
        QVERIFY(control::readArray(m, QStringLiteral("peers")).isEmpty());
        QVERIFY(control::readArray(m, QStringLiteral("missing")).isEmpty());
        QCOMPARE(control::readBool(m, QStringLiteral("is_host")), false);
        QCOMPARE(control::readBool(m, QStringLiteral("missing")), false);
        QCOMPARE(control::readBool(control::decodeLine("{\"is_host\":true}"), QStringLiteral("is_host")), true);

        const QJsonArray rooms = control::readArray(m, QStringLiteral("rooms"));
        QCOMPARE(rooms.size(), 4);
        QCOMPARE(control::stringAt(rooms, 0), QStringLiteral("a"));
        QCOMPARE(control::stringAt(rooms, 1), QString());
        QCOMPARE(control::stringAt(rooms, 2), QString());
        QCOMPARE(control::stringAt(rooms, 3), QStringLiteral("b"));
        QVERIFY(control::objectAt(rooms, 0).isEmpty());
        QCOMPARE(control::objectAt(control::readArray(m, QStringLiteral("users")), 0).value(QStringLiteral("x")).toInt(),
                 1);
    }
};

QTEST_APPLESS_MAIN(TestControlCodec)
#include "test_controlcodec.moc"
