#include "app/vlanclient.h"
#include "lobby/controlconnection.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "ui/pages.h"

#include <QLineEdit>

namespace {

// The trimmed line, or nothing to send: blank input, or the control channel is
// down. Either way the input keeps its text, so a line typed while the
// connection is lost can be sent once it is back.
QString sendableLine(const QLineEdit* input, bool channelUp)
{
    const QString line = input->text().trimmed();
    return channelUp ? line : QString();
}

} // namespace

void VLANClient::onSendGlobalChat()
{
    const QString line = sendableLine(lobbyPage->globalChatInput, connection->isUp());
    if (line.isEmpty())
        return;
    sendControlMessage(msg::Say{cmd::globalChat, {}, line}.toJson());
    lobbyPage->globalChatInput->clear();
}

// Public chat lines show up when the server echoes them back.
void VLANClient::sendChat()
{
    const QString line = sendableLine(roomPage->roomChatInput, connection->isUp());
    if (line.isEmpty())
        return;
    sendControlMessage(msg::Say{cmd::chat, {}, line}.toJson());
    roomPage->roomChatInput->clear();
}
