#include "ui/pinprompt.h"

#include <QMessageBox>
#include <QPushButton>

namespace ui {

bool acceptChangedKey(QWidget* parent, const QString& server, const QString& pinned, const QString& seen)
{
    QMessageBox box(
        QMessageBox::Warning, QStringLiteral("Server key changed"),
        QStringLiteral("The server %1 shows a different key than the one this computer knows for it, so "
                       "nothing was sent to it.\n\nThis happens when its operator gave it a new key, "
                       "or when someone is intercepting the connection. Accept the new key only if the "
                       "operator says it changed.")
            .arg(server),
        QMessageBox::NoButton, parent);
    box.setDetailedText(QStringLiteral("Known key (SHA-256):\n%1\n\nKey shown now:\n%2").arg(pinned, seen));
    QPushButton* accept = box.addButton(QStringLiteral("Accept the new key"), QMessageBox::AcceptRole);
    box.setDefaultButton(box.addButton(QStringLiteral("Stay disconnected"), QMessageBox::RejectRole));
    box.exec();
    return box.clickedButton() == accept;
}

} // namespace ui
