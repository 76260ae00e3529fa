#include "ui/serverdialog.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace ui {
namespace {

// The create-room dialog's look, so both dialogs read as one program.
const char* const kSheet =
    "QDialog { background-color: #121215; }"
    "QLabel { color: #a1a1aa; font-size: 12px; background-color: transparent; }"
    "QLabel#heading { color: #ffffff; font-size: 16px; font-weight: 900; letter-spacing: 1px; }"
    "QLabel#problem { color: #ef5350; }"
    "QLineEdit { background-color: #09090b; border: 1px solid #27272a; border-radius: 6px; color: white; "
    "padding: 10px 12px; font-size: 14px; }"
    "QLineEdit:focus { border: 1px solid #d32f2f; }"
    "QPushButton { background-color: transparent; color: #a1a1aa; border: none; font-weight: 800; font-size: "
    "12px; "
    "padding: 10px 16px; }"
    "QPushButton:hover { color: #ffffff; }"
    "QPushButton:default { background-color: #d32f2f; color: white; border-radius: 6px; }"
    "QPushButton:default:hover { background-color: #f44336; }";

} // namespace

std::optional<lobby::ServerEndpoint> askServer(QWidget* parent, const lobby::ServerEndpoint& current,
                                               const QString& key)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Server"));
    dialog.setStyleSheet(QLatin1String(kSheet));
    dialog.setMinimumWidth(420);
    auto* layout = new QVBoxLayout(&dialog);
    layout->setContentsMargins(25, 20, 25, 20);
    layout->setSpacing(10);

    auto* heading = new QLabel(QStringLiteral("LOBBY SERVER"));
    heading->setObjectName(QStringLiteral("heading"));
    auto* hint = new QLabel(
        QStringLiteral("Address or name and port, for example 203.0.113.7:7777 or play.example.org:7777"));
    hint->setWordWrap(true);
    auto* field = new QLineEdit(lobby::formatEndpoint(current));
    field->setMinimumHeight(40);
    auto* keyLine = new QLabel(key);
    keyLine->setObjectName(QStringLiteral("key"));
    keyLine->setWordWrap(true);
    keyLine->setTextFormat(Qt::PlainText);
    keyLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    keyLine->setVisible(!key.isEmpty());
    auto* problem = new QLabel;
    problem->setObjectName(QStringLiteral("problem"));
    problem->setWordWrap(true);
    problem->setTextFormat(Qt::PlainText);
    problem->hide();

    auto* cancel = new QPushButton(QStringLiteral("CANCEL"));
    cancel->setAutoDefault(false);
    auto* save = new QPushButton(QStringLiteral("SAVE"));
    save->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addWidget(save);
    for (QWidget* widget :
         {static_cast<QWidget*>(heading), static_cast<QWidget*>(hint), static_cast<QWidget*>(field),
          static_cast<QWidget*>(keyLine), static_cast<QWidget*>(problem)})
        layout->addWidget(widget);
    layout->addLayout(buttons);

    std::optional<lobby::ServerEndpoint> chosen;
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    QObject::connect(save, &QPushButton::clicked, &dialog, [&] {
        QString error;
        chosen = lobby::parseServerEndpoint(field->text(), 7777, &error);
        if (chosen) {
            dialog.accept();
            return;
        }
        problem->setText(error.at(0).toUpper() + error.mid(1) + QLatin1Char('.'));
        problem->show();
        dialog.adjustSize();
    });
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return chosen;
}

} // namespace ui
