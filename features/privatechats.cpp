#include "features/privatechats.h"
#include "features/roomname.h"
#include "protocol/controlcodec.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

PrivateChats::PrivateChats(QTabWidget* tabs, Send send, QObject* parent)
    : QObject(parent), tabs_(tabs), send_(std::move(send))
{
}

void PrivateChats::openPrivateChat(const QString& user)
{
    if (QWidget* page = privateChatTabs.value(user)) {
        tabs_->setCurrentWidget(page);
        return;
    }
    QWidget* page = createPrivateChatPage(user);
    privateChatTabs.insert(user, page);
    tabs_->setCurrentIndex(tabs_->addTab(page, rooms::tabTitle(QStringLiteral("COM: "), user)));
}

// The theme styles the page through the card's object name and the widget
// types; nothing here carries a sheet of its own.
QWidget* PrivateChats::createPrivateChatPage(const QString& user)
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
    // The server does not echo private messages, so the own line is written
    // here, but only for a message that actually went out; a line not sent
    // stays in the input.
    const auto sendLine = [this, user, input, view] {
        const QString line = input->text().trimmed();
        if (line.isEmpty() || !send_(user, line))
            return;
        view->append(QStringLiteral("<b style='color:#d32f2f;'>Me:</b> ") +
                     control::singleLine(line).toHtmlEscaped());
        input->clear();
    };
    connect(send, &QPushButton::clicked, page, sendLine);
    connect(input, &QLineEdit::returnPressed, page, sendLine);
    return page;
}

void PrivateChats::showMessage(const QString& sender, const QString& text)
{
    if (QTextEdit* view = privateChatViews.value(sender))
        view->append(QStringLiteral("<b style='color:#a0a0a0;'>") +
                     control::singleLine(sender).toHtmlEscaped() +
                     QStringLiteral(":</b> <span style='color:#ffffff;'>") +
                     control::singleLine(text).toHtmlEscaped() + QStringLiteral("</span>"));
}

// The page itself names its user; a tab title could be read back wrongly.
bool PrivateChats::closeTab(QWidget* page)
{
    const QString user = privateChatTabs.key(page);
    if (user.isNull())
        return false;
    tabs_->removeTab(tabs_->indexOf(page));
    privateChatTabs.remove(user);
    privateChatViews.remove(user);
    page->deleteLater();
    return true;
}
