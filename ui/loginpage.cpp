#include "app/vlanclient.h"

#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

void VLANClient::buildLoginPage()
{
    loginPage = new QWidget;
    auto* layout = new QVBoxLayout(loginPage);
    nicknameInput = new QLineEdit;
    nicknameInput->setPlaceholderText(QStringLiteral("What should we call you?"));
    nicknameInput->setText(settings.value(QStringLiteral("username"), QString()).toString());
    nicknameInput->setFixedHeight(48);
    connectButton = new QPushButton(QStringLiteral("CONNECT TO NETWORK"));
    connectButton->setFixedHeight(48);
    connectButton->setCursor(Qt::PointingHandCursor);
    layout->addStretch(2);
    layout->addWidget(nicknameInput);
    layout->addWidget(connectButton);
    layout->addStretch(3);

    connect(connectButton, &QPushButton::clicked, this, &VLANClient::doLogin);
    connect(nicknameInput, &QLineEdit::returnPressed, this, &VLANClient::doLogin);

    iconScrollTimer = new QTimer(this);
    connect(iconScrollTimer, &QTimer::timeout, this, &VLANClient::updateIconScroll);
    iconScrollTimer->start(25);
    nicknameInput->setFocus(Qt::OtherFocusReason);
}

void VLANClient::updateIconScroll()
{
    if (!iconScrollArea || !iconScrollArea->widget())
        return;
    ++iconScrollOffset;
    const int width = iconScrollArea->widget()->sizeHint().width();
    if (iconScrollOffset >= width / 2 && width > 1)
        iconScrollOffset = 0;
    iconScrollArea->horizontalScrollBar()->setValue(iconScrollOffset);
}
