// Private chats: a tab per user among the window's tabs, opened from the
// players' menu or by a message that arrives.
#pragma once

#include <QMap>
#include <QObject>
#include <functional>

class QTabWidget;
class QTextEdit;
class QWidget;

class PrivateChats : public QObject
{
public:
    // `send` puts a line to `user` on the wire and says whether it went out.
    using Send = std::function<bool(const QString& user, const QString& line)>;
    PrivateChats(QTabWidget* tabs, Send send, QObject* parent);

    void openPrivateChat(const QString& user); // its tab, made if needed, comes to the front
    void showMessage(const QString& sender, const QString& text); // in the sender's open chat
    // True when `page` was a private chat's tab, which is then gone.
    bool closeTab(QWidget* page);

    QMap<QString, QWidget*> privateChatTabs;
    QMap<QString, QTextEdit*> privateChatViews;

private:
    QWidget* createPrivateChatPage(const QString& user);

    QTabWidget* tabs_;
    Send send_;
};
