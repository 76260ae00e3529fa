#include "app/vlanclient.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

void VLANClient::buildTitleBar()
{
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setWindowTitle(QStringLiteral("Zentho - Pellora Beta 0.4"));

    titleBarWidget = new QWidget(this);
    titleBarWidget->setObjectName(QStringLiteral("titleBarWidget"));
    titleBarWidget->setFixedHeight(40);
    titleBarWidget->setStyleSheet(QStringLiteral("background-color: #09090b; border-bottom: 1px solid #1a1a20;"));
    auto* layout = new QHBoxLayout(titleBarWidget);
    layout->setContentsMargins(15, 0, 0, 0);
    layout->setSpacing(0);

    titleBarLabel = new QLabel(QStringLiteral("ZENTHO // GAMING NETWORK beta 0.4"), titleBarWidget);
    titleBarLabel->setStyleSheet(
        QStringLiteral("color: #888888; font-size: 11px; font-weight: 800; letter-spacing: 1px;"));

    const QString buttonSheet = QStringLiteral(
        "QPushButton { background: transparent; color: #888; border: none; font-size: 12px; } "
        "QPushButton:hover { background-color: #1f1f23; color: white; }");
    const QString closeSheet = QStringLiteral(
        "QPushButton { background: transparent; color: #888; border: none; font-size: 12px; } "
        "QPushButton:hover { background-color: #d32f2f; color: white; }");
    minimizeButton = new QPushButton(QString(QChar(0xE921)), titleBarWidget);
    maximizeButton = new QPushButton(QString(QChar(0xE922)), titleBarWidget);
    closeButton = new QPushButton(QString(QChar(0xE8BB)), titleBarWidget);
    for (QPushButton* button : {minimizeButton, maximizeButton, closeButton}) {
        button->setFixedSize(45, 40);
        button->setStyleSheet(button == closeButton ? closeSheet : buttonSheet);
    }

    layout->addWidget(titleBarLabel);
    layout->addStretch();
    layout->addWidget(minimizeButton);
    layout->addWidget(maximizeButton);
    layout->addWidget(closeButton);

    connect(minimizeButton, &QPushButton::clicked, this, &QWidget::showMinimized);
    connect(maximizeButton, &QPushButton::clicked, [this] { toggleMaximize(); });
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);
}

void VLANClient::toggleMaximize()
{
    if (isMaximized())
        showNormal();
    else
        showMaximized();
}

bool VLANClient::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
    return QWidget::nativeEvent(eventType, message, result);
}

bool VLANClient::eventFilter(QObject* watched, QEvent* event)
{
    return QWidget::eventFilter(watched, event);
}
