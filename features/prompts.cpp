#include "features/prompts.h"

#include <QInputDialog>
#include <QLabel>
#include <QPointer>

namespace prompts {

std::optional<QString> askAccessKey(QWidget* parent, const QString& title, const QString& label)
{
    // On the heap and guarded: the parent may go away while the dialog runs.
    QPointer<QInputDialog> dialog = new QInputDialog(parent);
    dialog->setWindowTitle(title);
    dialog->setInputMode(QInputDialog::TextInput);
    dialog->setTextEchoMode(QLineEdit::Password);
    dialog->setLabelText(label);
    for (QLabel* text : dialog->findChildren<QLabel*>())
        text->setTextFormat(Qt::PlainText);

    const int result = dialog->exec();
    if (!dialog)
        return std::nullopt;
    const QString key = dialog->textValue();
    delete dialog;
    if (result != QDialog::Accepted)
        return std::nullopt;
    return key;
}

} // namespace prompts
