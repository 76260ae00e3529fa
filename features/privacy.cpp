// The private address: a player who wants room mates never to learn where
// they are offers no addresses, takes no direct peers, and plays through the
// relay only. Beside it, whether a port is opened on the player's router
// (features/portmapping.cpp). Both remembered between runs.
#include "app/vlanclient.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QVBoxLayout>

namespace {

const char kPrivateAddressKey[] = "privateAddress";
const char kText[] = "Keep my address private (play through the server only)";

// The setting's words, wrapped to the card's width (a check box's own text
// cannot wrap); a click on them toggles the box, as on a box's text.
class ToggleLabel : public QLabel
{
public:
    ToggleLabel(QCheckBox* box, const QString& text) : QLabel(text), box_(box)
    {
        setWordWrap(true);
        setCursor(Qt::PointingHandCursor);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
            box_->click();
        QLabel::mouseReleaseEvent(event);
    }

private:
    QCheckBox* box_;
};

// A Qt built without accessibility (ours for Windows) has no accessible names.
#if QT_CONFIG(accessibility)
void nameForReaders(QWidget* widget, const QString& name)
{
    widget->setAccessibleName(name);
}
#else
void nameForReaders(QWidget*, const QString&) {}
#endif

// One setting: its box, and its words beside it.
QWidget* settingRow(QCheckBox* box, const QString& text)
{
    nameForReaders(box, text);
    auto* label = new ToggleLabel(box, text);
    label->setToolTip(box->toolTip());
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 4, 0, 4);
    layout->setSpacing(8);
    layout->addWidget(box, 0, Qt::AlignTop);
    layout->addWidget(label, 1);
    return row;
}

} // namespace

QWidget* VLANClient::buildPrivacySetting()
{
    auto* rows = new QWidget;
    rows->setStyleSheet(
        QStringLiteral("QWidget { background: transparent; } QLabel { color: #a1a1aa; font-size: 12px; } "
                       "QCheckBox::indicator { width: 12px; height: 12px; border: 1px solid #52525b; "
                       "border-radius: 3px; background: #18181b; } "
                       "QCheckBox::indicator:checked { background: #d32f2f; border-color: #d32f2f; }"));
    privateAddressBox = new QCheckBox;
    privateAddressBox->setToolTip(
        QStringLiteral("Room mates never learn your Internet or LAN address; all your game traffic goes "
                       "through the server, which can add delay."));
    privateAddressBox->setChecked(settings.value(QLatin1String(kPrivateAddressKey), false).toBool());
    connect(privateAddressBox, &QCheckBox::toggled, this, &VLANClient::setAddressPrivate);
    auto* layout = new QVBoxLayout(rows);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(settingRow(privateAddressBox, QString::fromUtf8(kText)));
    layout->addWidget(settingRow(buildPortMapSetting(), portMapText()));
    return rows;
}

bool VLANClient::addressPrivate() const
{
    return privateAddressBox && privateAddressBox->isChecked();
}

void VLANClient::setAddressPrivate(bool on)
{
    settings.setValue(QLatin1String(kPrivateAddressKey), on);
    if (on)
        tunnel->endDirectPaths();
    portMapBox->setEnabled(!on && tunnel->canMapPort());
    wantPortMapped(); // private: no port on the router either
    // The server hears of it at once, in a room or not, so that no peer list
    // made meanwhile names us.
    if (roomState.loggedIn())
        sendCandidates();
    showDirectPaths();
}
