// The crown (room host) and the lock (restricted room) stay in the list texts,
// where other code and the server rely on them. Where no installed font has
// them, a delegate shows them from the resource bundle instead of a box.
#pragma once

#include <QStyledItemDelegate>

class QAbstractItemView;

namespace symbols {

// True when the fonts reachable from `font` (its fallbacks included) draw
// every character of `text` without the missing-glyph box.
bool fontsDraw(const QString& text, const QFont& font);

// An entry may carry a second, dimmer line under its text (empty: none), so
// that extra facts never change the entry's own text.
constexpr int kDetailRole = Qt::UserRole + 8;

class SymbolDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

// Gives `view` the delegate; it owns it.
void drawSymbols(QAbstractItemView* view);

} // namespace symbols
