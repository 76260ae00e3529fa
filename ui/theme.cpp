#include "ui/theme.h"

#include <QAbstractItemView>
#include <QComboBox>

namespace theme {

QString windowSheet()
{
    return QStringLiteral(
        "* { outline: none; font-family: 'Segoe UI', 'Roboto', sans-serif; font-size: 14px; }"
        "QWidget { background-color: #0b0c10; color: #c5c6c7; }"
        "QFrame#cardPanel { background-color: #12141a; border: 1px solid #1f2229; border-radius: 8px; }"
        "QLineEdit, QTextEdit, QComboBox { background-color: #08090b; border: 1px solid #1f2229; "
        "border-radius: 6px; padding: 10px; color: #ffffff; selection-background-color: #d32f2f; }"
        "QLineEdit:focus, QTextEdit:focus, QComboBox:focus { border: 1px solid #d32f2f; background-color: "
        "#0d0f14; }"
        "QListWidget { background-color: #08090b; border: 1px solid #1f2229; border-radius: 6px; padding: "
        "6px; }"
        "QListWidget:focus { border: 1px solid #4a4d54; }"
        "QListWidget::item { padding: 8px 12px; border-radius: 6px; margin: 2px 4px; "
        "background-color: transparent; color: #8a8d91; }"
        "QListWidget::item:hover { background-color: #1a1c23; color: #ffffff; }"
        "QListWidget::item:selected { background-color: rgba(211, 47, 47, 0.15); color: #d32f2f; "
        "font-weight: bold; border: 1px solid rgba(211, 47, 47, 0.3); }"
        "QListWidget::item:selected:!active { background-color: transparent; color: #c5c6c7; "
        "font-weight: normal; border: 1px solid transparent; }"
        "QLabel { color: #c5c6c7; }"
        "QLabel#sectionHeader { font-size: 12px; font-weight: bold; text-transform: uppercase; color: "
        "#8a8d91; "
        "padding-bottom: 4px; }"
        "QPushButton { background-color: #d32f2f; color: #ffffff; border: none; border-radius: 6px; "
        "padding: 10px 20px; font-weight: bold; font-size: 13px; text-transform: uppercase; letter-spacing: "
        "0.5px; }"
        "QPushButton:hover { background-color: #e63946; }"
        "QPushButton:pressed { background-color: #9b2226; }"
        "QPushButton:disabled { background-color: #1f2229; color: #555; }"
        "QTabWidget::pane { border: 1px solid #1f2229; border-radius: 8px; background: #12141a; top: -1px; }"
        "QTabBar::tab { background: #0b0c10; border: 1px solid transparent; padding: 10px 22px; "
        "margin-right: 4px; "
        "color: #8a8d91; font-weight: 600; border-top-left-radius: 6px; border-top-right-radius: 6px; }"
        "QTabBar::tab:selected { background: #12141a; color: #ffffff; border: 1px solid #1f2229; "
        "border-bottom-color: #12141a; border-top: 2px solid #d32f2f; }"
        "QTabBar::tab:hover:!selected { color: #d32f2f; }"
        "QScrollBar:vertical { background: #08090b; width: 8px; margin: 0px; border-radius: 4px; }"
        "QScrollBar::handle:vertical { background: #2a2c33; min-height: 20px; border-radius: 4px; }"
        "QScrollBar::handle:vertical:hover { background: #4a4d54; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0px; }"
        "QSplitter::handle { background-color: transparent; }"
        "QSplitter::handle:horizontal { width: 4px; }"
        "QSplitter::handle:hover { background-color: #1f2229; }"
        "QWidget#titleBarWidget { background-color: #0b0c10; border-bottom: 1px solid #1f2229; }");
}

QString cardSheet()
{
    return QStringLiteral(
        "QFrame#cardPanel { background-color: #121215; border: 1px solid #1f1f23; border-radius: 8px; }"
        "QLabel#sectionHeader { color: #ffffff; font-size: 13px; font-weight: 800; letter-spacing: 1px; "
        "border-bottom: 1px solid #1f1f23; padding-bottom: 8px; }"
        "QTextEdit { background-color: #09090b; border: 1px solid #1f1f23; border-radius: 6px; color: "
        "#e4e4e7; "
        "padding: 10px; font-size: 13px; }"
        "QListWidget { background-color: #09090b; border: 1px solid #1f1f23; border-radius: 6px; outline: 0; "
        "padding: 5px; }"
        "QListWidget::item { color: #a1a1aa; padding: 10px; border-radius: 4px; margin-bottom: 2px; "
        "font-size: 13px; font-weight: 500; }"
        "QListWidget::item:selected { background-color: #1f1f23; border-left: 3px solid #d32f2f; color: "
        "#ffffff; "
        "font-weight: 700; }"
        "QListWidget::item:hover:!selected { background-color: #18181b; color: #e4e4e7; }"
        "QLineEdit { background-color: #09090b; border: 1px solid #1f1f23; border-radius: 6px; color: white; "
        "padding: 0 15px; font-size: 13px; font-weight: 500; }"
        "QLineEdit:focus { border: 1px solid #d32f2f; background-color: #121215; }"
        // Labels sit on the card's surface, not on the window colour.
        "QLabel { background-color: transparent; }");
}

QString primaryButtonSheet()
{
    return QStringLiteral(
        "QPushButton { background-color: #d32f2f; color: white; border: none; border-radius: 6px; "
        "font-weight: 800; font-size: 12px; padding: 12px; letter-spacing: 1px; }"
        "QPushButton:hover { background-color: #f44336; }");
}

QString secondaryButtonSheet()
{
    return QStringLiteral(
        "QPushButton { background-color: #18181b; color: #e4e4e7; border: 1px solid #27272a; border-radius: "
        "6px; "
        "font-weight: 800; font-size: 12px; padding: 12px; letter-spacing: 1px; }"
        "QPushButton:hover { background-color: #27272a; color: white; border-color: #d32f2f; }");
}

QString modeToggleSheet()
{
    return QStringLiteral(
        "QPushButton { background-color: #09090b; color: #a1a1aa; border: 1px solid #27272a; "
        "font-weight: bold; font-size: 11px; padding: 8px; }"
        "QPushButton:checked { background-color: #d32f2f; color: white; border: 1px solid #d32f2f; }");
}

QString splitterSheet()
{
    return QStringLiteral("QSplitter::handle { background: transparent; width: 10px; }");
}

QString tabSheet()
{
    return QStringLiteral(
        "QTabBar::tab { background: #18181b; color: #a1a1aa; padding: 12px 24px; border-right: 1px solid "
        "#27272a; "
        "font-weight: 700; font-size: 13px; }"
        "QTabBar::tab:selected { background: #27272a; color: #ffffff; border-bottom: 2px solid #d32f2f; }"
        "QTabBar::tab:hover:!selected { background: #1f1f23; color: #ffffff; }"
        "QTabWidget::pane { border-top: 1px solid #27272a; background-color: #09090b; }");
}

QString copiedButtonSheet()
{
    return QStringLiteral("QPushButton { background-color: #1b5e20; color: #ffffff; border: 1px solid "
                          "#2e7d32; border-radius: 6px; "
                          "font-weight: 800; font-size: 12px; padding: 12px; letter-spacing: 1px;}");
}

void darkPopup(QComboBox* box)
{
    // The list opens in a window of its own. A sheet on the item view does
    // not reach that window's frame, and Qt hands it the platform's light
    // palette, which showed as white bars above and below the items.
    box->view()->parentWidget()->setStyleSheet(
        QStringLiteral("QFrame { background-color: %1; color: %2; border: 1px solid #27272a; }")
            .arg(popupSurface.name(), popupText.name()));
}

} // namespace theme
