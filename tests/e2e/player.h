// A driven client (tests/e2e/driver.cpp) in its own network namespace,
// for the end-to-end tests that run pellora-server beside it.
#pragma once

#include "tests/support/netns.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <functional>

namespace e2e {

inline const QString kServerIp = QStringLiteral("10.99.0.1");
constexpr int kPort = 7777;

// One driven client in its namespace.
class Player
{
public:
    QString name;
    QString netns;
    QProcess process;
    bool launched = false;

    bool start(const QString& driver)
    {
        // Answers on stdout; the client's own messages pass through to ours.
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        launched = netns::start(process, netns,
                                {QStringLiteral("env"), QStringLiteral("PELLORA_SERVER=%1:%2").arg(kServerIp).arg(kPort),
                                 QStringLiteral("QT_QPA_PLATFORM=offscreen"),
                                 QStringLiteral("QT_LOGGING_RULES=qt.qpa.*=false"), driver});
        return launched;
    }

    // One command, one JSON answer within `timeoutMs`.
    QJsonObject command(const QString& line, int timeoutMs = 15000)
    {
        process.write(line.toUtf8() + '\n');
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            while (process.canReadLine()) {
                const QJsonObject answer = QJsonDocument::fromJson(process.readLine()).object();
                if (answer.contains(QStringLiteral("ok")))
                    return answer;
            }
            process.waitForReadyRead(100);
        }
        return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), QStringLiteral("no answer to ") + line}};
    }

    QJsonObject status() { return command(QStringLiteral("status")); }

    bool waitForStatus(const std::function<bool(const QJsonObject&)>& condition, int timeoutMs)
    {
        return netns::waitUntil([&] { return condition(status()); }, timeoutMs);
    }

    // True when the client ended by itself and cleanly (sanitizer reports fail it).
    bool stop()
    {
        if (!launched)
            return true;
        if (process.state() == QProcess::NotRunning)
            return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        process.write("quit\n");
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(3000);
            return false;
        }
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
};

inline bool adapterUp(const QJsonObject& s)
{
    return s.value(QStringLiteral("wintun")).toBool() || s.value(QStringLiteral("tap")).toBool();
}

inline bool datagramSeen(const QJsonObject& answer, const QString& text)
{
    for (const QJsonValue& d : answer.value(QStringLiteral("datagrams")).toArray())
        if (d.toObject().value(QStringLiteral("data")).toString() == text)
            return true;
    return false;
}

} // namespace e2e
