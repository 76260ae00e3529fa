#include "features/pathsettings.h"
#include "lobby/roomstate.h"
#include "net/tunnelsession.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QSettings>
#include <QVBoxLayout>

namespace {

const char kPrivateAddressKey[] = "privateAddress";
const char kPortMapKey[] = "openRouterPort";
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

PathSettings::PathSettings(QSettings& settings, TunnelSession& tunnel, const lobby::RoomState& room,
                           QObject* parent)
    : QObject(parent), settings_(settings), tunnel_(tunnel), room_(room)
{
    settingRows = new QWidget;
    settingRows->setStyleSheet(
        QStringLiteral("QWidget { background: transparent; } QLabel { color: #a1a1aa; font-size: 12px; } "
                       "QCheckBox::indicator { width: 12px; height: 12px; border: 1px solid #52525b; "
                       "border-radius: 3px; background: #18181b; } "
                       "QCheckBox::indicator:checked { background: #d32f2f; border-color: #d32f2f; }"));
    privateAddressBox = new QCheckBox;
    privateAddressBox->setToolTip(
        QStringLiteral("Room mates never learn your Internet or LAN address; all your game traffic goes "
                       "through the server, which can add delay."));
    privateAddressBox->setChecked(settings.value(QLatin1String(kPrivateAddressKey), false).toBool());
    connect(privateAddressBox, &QCheckBox::toggled, this, &PathSettings::setAddressPrivate);

    portMapBox = new QCheckBox;
    portMapBox->setToolTip(
        tunnel.canMapPort()
            ? QStringLiteral("While you are in a room, your router forwards one UDP port to this "
                             "computer (named \"Pellora\"), so that more players reach you directly. "
                             "It is removed when you leave the room.")
            : QStringLiteral("This build cannot ask a router to open a port."));
    portMapBox->setChecked(settings.value(QLatin1String(kPortMapKey), true).toBool());
    portMapBox->setEnabled(tunnel.canMapPort() && !addressPrivate());
    connect(portMapBox, &QCheckBox::toggled, this, [this](bool on) {
        settings_.setValue(QLatin1String(kPortMapKey), on);
        portMapChanged();
    });
    connect(&tunnel, &TunnelSession::portMappingChanged, this, &PathSettings::portMapChanged);

    auto* layout = new QVBoxLayout(settingRows);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(settingRow(privateAddressBox, QString::fromUtf8(kText)));
    layout->addWidget(settingRow(portMapBox, QStringLiteral("Open a port on my router")));
}

bool PathSettings::addressPrivate() const
{
    return privateAddressBox->isChecked();
}

void PathSettings::setAddressPrivate(bool on)
{
    settings_.setValue(QLatin1String(kPrivateAddressKey), on);
    if (on)
        tunnel_.endDirectPaths();
    portMapBox->setEnabled(!on && tunnel_.canMapPort());
    wantPortMapped(); // private: no port on the router either
    emit privacyChanged();
}

void PathSettings::wantPortMapped()
{
    tunnel_.wantPortMapped(portMapBox->isChecked() && !addressPrivate() && room_.inRoom());
}

void PathSettings::portMapChanged()
{
    const QString before = tunnel_.mappedCandidate();
    wantPortMapped();
    const QString& mappedCandidate = tunnel_.mappedCandidate();
    if (mappedCandidate == before)
        return;
    if (mappedCandidate.isEmpty())
        qInfo("pellora: the router no longer forwards a port to us");
    else
        qInfo("pellora: the router forwards UDP port %s to us",
              qPrintable(mappedCandidate.section(u':', -1)));
    emit mappingChanged();
}
