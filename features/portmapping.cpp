// A port on the player's router: while in a room, the tunnel's UDP port is
// forwarded on the router (net/portmap.h) and its public address offered as
// one more candidate. The join never waits for it: the router's answer
// follows in a candidates line of its own. Off with the private address, and
// by its own setting (features/privacy.cpp shows the box).
#include "app/vlanclient.h"
#include "lobby/serveraddress.h"
#include "net/udpsocket.h"

#include <QCheckBox>
#include <QTimer>

namespace {

const char kPortMapKey[] = "openRouterPort";
constexpr int kTickMs = 10000; // renewals are due every half lease, retries after minutes

} // namespace

void VLANClient::startPortKeeper()
{
    std::unique_ptr<portmap::Router> router = portmap::clientRouter();
    if (!router)
        return;
    portKeeper = std::make_unique<portmap::Keeper>(std::move(router), &tunnel::steadyMs, [this] {
        QMetaObject::invokeMethod(
            this, [this] { portMapChanged(); }, Qt::QueuedConnection);
    });
    portMapTimer = new QTimer(this);
    connect(portMapTimer, &QTimer::timeout, this, [this] { portKeeper->tick(); });
}

QString VLANClient::portMapText()
{
    return QStringLiteral("Open a port on my router");
}

QCheckBox* VLANClient::buildPortMapSetting()
{
    portMapBox = new QCheckBox;
    portMapBox->setToolTip(
        portKeeper ? QStringLiteral("While you are in a room, your router forwards one UDP port to this "
                                    "computer (named \"Pellora\"), so that more players reach you directly. "
                                    "It is removed when you leave the room.")
                   : QStringLiteral("This build cannot ask a router to open a port."));
    portMapBox->setChecked(settings.value(QLatin1String(kPortMapKey), true).toBool());
    portMapBox->setEnabled(portKeeper && !addressPrivate());
    connect(portMapBox, &QCheckBox::toggled, this, [this](bool on) {
        settings.setValue(QLatin1String(kPortMapKey), on);
        portMapChanged();
    });
    return portMapBox;
}

void VLANClient::wantPortMapped()
{
    if (!portKeeper)
        return;
    // Only a sealed tunnel offers candidates; the router forwards IPv4 only.
    const bool wanted = portMapBox && portMapBox->isChecked() && !addressPrivate() &&
                        !currentRoomName.isEmpty() && tunnel->sealed() && tunnel->socket() &&
                        udp::families(tunnel->socket()).ipv4;
    portKeeper->want(wanted ? udp::localPort(tunnel->socket()) : 0);
    if (!wanted)
        portMapTimer->stop();
    else if (!portMapTimer->isActive())
        portMapTimer->start(kTickMs);
    const std::optional<portmap::Mapping> mapping = portKeeper->offered();
    mappedCandidate = mapping && mapping->address != 0
                          ? lobby::formatEndpoint({QHostAddress(mapping->address).toString(), mapping->port})
                          : QString();
}

void VLANClient::portMapChanged()
{
    const QString before = mappedCandidate;
    wantPortMapped();
    if (mappedCandidate == before)
        return;
    if (mappedCandidate.isEmpty())
        qInfo("pellora: the router no longer forwards a port to us");
    else
        qInfo("pellora: the router forwards UDP port %s to us",
              qPrintable(mappedCandidate.section(u':', -1)));
    if (!currentRoomName.isEmpty() && controlChannelUp())
        sendCandidates();
}
