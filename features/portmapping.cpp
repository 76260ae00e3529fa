// A port on the player's router: while in a room, the tunnel's UDP port is
// forwarded on the router (the tunnel session keeps it) and its public address offered as
// one more candidate. The join never waits for it: the router's answer
// follows in a candidates line of its own. Off with the private address, and
// by its own setting (features/privacy.cpp shows the box).
#include "app/vlanclient.h"

#include <QCheckBox>

namespace {

const char kPortMapKey[] = "openRouterPort";

} // namespace

QString VLANClient::portMapText()
{
    return QStringLiteral("Open a port on my router");
}

QCheckBox* VLANClient::buildPortMapSetting()
{
    portMapBox = new QCheckBox;
    portMapBox->setToolTip(
        tunnel->canMapPort()
            ? QStringLiteral("While you are in a room, your router forwards one UDP port to this "
                             "computer (named \"Pellora\"), so that more players reach you directly. "
                             "It is removed when you leave the room.")
            : QStringLiteral("This build cannot ask a router to open a port."));
    portMapBox->setChecked(settings.value(QLatin1String(kPortMapKey), true).toBool());
    portMapBox->setEnabled(tunnel->canMapPort() && !addressPrivate());
    connect(portMapBox, &QCheckBox::toggled, this, [this](bool on) {
        settings.setValue(QLatin1String(kPortMapKey), on);
        portMapChanged();
    });
    return portMapBox;
}

void VLANClient::wantPortMapped()
{
    tunnel->wantPortMapped(portMapBox && portMapBox->isChecked() && !addressPrivate() && roomState.inRoom());
}

void VLANClient::portMapChanged()
{
    const QString before = tunnel->mappedCandidate();
    wantPortMapped();
    const QString& mappedCandidate = tunnel->mappedCandidate();
    if (mappedCandidate == before)
        return;
    if (mappedCandidate.isEmpty())
        qInfo("pellora: the router no longer forwards a port to us");
    else
        qInfo("pellora: the router forwards UDP port %s to us",
              qPrintable(mappedCandidate.section(u':', -1)));
    if (roomState.inRoom() && controlChannelUp())
        sendCandidates();
}
