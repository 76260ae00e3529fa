// A control line as the other end takes it: read by the typed reader of its
// command, then written again by the same type's writer. Empty for a command
// that does not go that way.
#pragma once

#include "protocol/messages.h"

#include <initializer_list>

inline QByteArray rereadLine(const QByteArray& line, bool fromServer)
{
    const QJsonObject m = control::decodeLine(line);
    const QString c = control::readString(m, field::cmd);
    const auto one = [&c](std::initializer_list<QLatin1String> names) {
        for (const QLatin1String name : names)
            if (c == name)
                return name;
        return QLatin1String();
    };
    const auto json = [](const QJsonObject& object) { return control::encodeLine(object); };
    const QLatin1String chat = one({cmd::chat, cmd::globalChat, cmd::privateMessage});
    if (fromServer) {
        if (const QLatin1String notice = one({cmd::error, cmd::kicked}); !notice.isEmpty())
            return msg::Notice{notice, msg::Notice::parse(m).message}.line();
        if (!chat.isEmpty()) {
            const msg::Said said = msg::Said::parse(m);
            return msg::Said{chat, said.sender, said.message}.line();
        }
        return c == cmd::loginOk            ? msg::LoginOk::parse(m).line()
               : c == cmd::tunnelKey        ? msg::TunnelKey::parse(m).line()
               : c == cmd::roomList         ? msg::RoomList::parse(m).line()
               : c == cmd::onlineUsers      ? msg::OnlineUsers::parse(m).line()
               : c == cmd::joinOk           ? msg::JoinOk::parse(m).line()
               : c == cmd::passwordRequired ? msg::PasswordRequired::parse(m).line()
               : c == cmd::roomUpdate       ? msg::RoomUpdate::parse(m).line()
               : c == cmd::directPeers      ? msg::DirectPeers::parse(m).line()
                                            : QByteArray();
    }
    if (const QLatin1String said = one({cmd::chat, cmd::globalChat, cmd::privateMessage, cmd::kickPlayer,
                                        cmd::transferHost, cmd::invite});
        !said.isEmpty()) {
        const msg::Say say = msg::Say::parse(m);
        return json(msg::Say{said, say.target, say.message}.toJson());
    }
    return c == cmd::login        ? json(msg::Login::parse(m).toJson())
           : c == cmd::createRoom ? json(msg::CreateRoom::parse(m).toJson())
           : c == cmd::joinRoom   ? json(msg::JoinRoom::parse(m).toJson())
           : c == cmd::candidates ? json(msg::Candidates::parse(m).toJson())
           : c == cmd::rekey      ? json(msg::Rekey::parse(m).toJson())
           : c == cmd::pathReport ? json(msg::PathReport::parse(m).toJson())
                                  : QByteArray();
}
