// The private address: a player who wants room mates never to learn where
// they are offers no addresses, takes no direct peers, and plays through the
// relay only. Remembered between runs.
#include "app/vlanclient.h"

#include <QCheckBox>

namespace {

const char kPrivateAddressKey[] = "privateAddress";

} // namespace

QCheckBox* VLANClient::buildPrivacySetting()
{
    privateAddressBox =
        new QCheckBox(QStringLiteral("Keep my address private (play through the server only)"));
    privateAddressBox->setToolTip(
        QStringLiteral("Room mates never learn your Internet or LAN address; all your game traffic goes "
                       "through the server, which can add delay."));
    privateAddressBox->setChecked(settings.value(QLatin1String(kPrivateAddressKey), false).toBool());
    connect(privateAddressBox, &QCheckBox::toggled, this, &VLANClient::setAddressPrivate);
    return privateAddressBox;
}

bool VLANClient::addressPrivate() const
{
    return privateAddressBox && privateAddressBox->isChecked();
}

void VLANClient::setAddressPrivate(bool on)
{
    settings.setValue(QLatin1String(kPrivateAddressKey), on);
    if (on)
        endDirectPaths();
    // The server hears of it at once; it then sends us, and others about us, new peer lists.
    if (!currentRoomName.isEmpty())
        sendCandidates();
    showDirectPaths();
}
