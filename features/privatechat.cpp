#include "app/vlanclient.h"
#include "features/roomname.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

void VLANClient::openPrivateChat(const QString& user)
{
    if (QWidget* page = privateChatTabs.value(user)) {
        mainTabs->setCurrentWidget(page);
        return;
    }
    QWidget* page = createPrivateChatPage(user);
    privateChatTabs.insert(user, page);
    mainTabs->setCurrentIndex(mainTabs->addTab(page, rooms::tabTitle(QStringLiteral("COM: "), user)));
}

// The theme styles the page through the card's object name and the widget
// types; nothing here carries a sheet of its own.
QWidget* VLANClient::createPrivateChatPage(const QString& user)
{
    auto* page = new QWidget;
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(20, 20, 20, 20);
    auto* card = new QFrame;
    card->setObjectName(QStringLiteral("cardPanel"));
    pageLayout->addWidget(card);

    auto* cardLayout = new QVBoxLayout(card);
    auto* view = new QTextEdit;
    view->setReadOnly(true);
    auto* input = new QLineEdit;
    input->setPlaceholderText(QStringLiteral("Direct message to ") + user + QStringLiteral("..."));
    input->setMinimumHeight(40);
    auto* send = new QPushButton(QStringLiteral("SEND"));
    send->setMinimumHeight(40);
    auto* row = new QHBoxLayout;
    row->addWidget(input);
    row->addWidget(send);
    cardLayout->addWidget(view);
    cardLayout->addLayout(row);

    privateChatViews.insert(user, view);
    const auto sendLine = [this, user, input, view] { sendPrivateMessage(user, input, view); };
    connect(send, &QPushButton::clicked, page, sendLine);
    connect(input, &QLineEdit::returnPressed, page, sendLine);
    return page;
}

void VLANClient::closeTab(int index)
{
    QWidget* page = mainTabs->widget(index);
    if (!page || page == lobbyPage)
        return;
    if (page == roomPage) {
        roomState.requestLeave();
        return;
    }
    // The page itself names its user; a tab title could be read back wrongly.
    for (auto it = privateChatTabs.cbegin(); it != privateChatTabs.cend(); ++it) {
        if (it.value() != page)
            continue;
        const QString user = it.key();
        mainTabs->removeTab(index);
        privateChatTabs.remove(user);
        privateChatViews.remove(user);
        page->deleteLater();
        return;
    }
}
