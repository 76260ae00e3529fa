#include "ui/messages.h"

#include <QMessageBox>

namespace ui {
namespace {

void showBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::NoButton);
    box.exec();
}

} // namespace

void showWarning(QWidget* parent, const QString& title, const QString& text)
{
    showBox(parent, QMessageBox::Warning, title, text);
}

void showCritical(QWidget* parent, const QString& title, const QString& text)
{
    showBox(parent, QMessageBox::Critical, title, text);
}

} // namespace ui
