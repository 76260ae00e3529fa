#include "ui/symbols.h"

#include "ui/theme.h"

#include <QAbstractItemView>
#include <QGlyphRun>
#include <QHash>
#include <QIcon>
#include <QPainter>
#include <QTextLayout>

namespace symbols {
namespace {

struct Symbol {
    QString text;     // as it stands in an entry, with its leading blank
    QString resource; // the picture shown where fonts lack the character
};

const Symbol kSymbols[] = {
    {QStringLiteral(" 👑"), QStringLiteral(":/symbols/crown.png")},
    {QStringLiteral(" 🔒"), QStringLiteral(":/symbols/lock.png")},
};

} // namespace

bool fontsDraw(const QString& text, const QFont& font)
{
    static QHash<QString, bool> known; // GUI thread only; fonts do not change while we run
    const QString key = font.key() + QLatin1Char('|') + text;
    const auto hit = known.constFind(key);
    if (hit != known.constEnd())
        return *hit;
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    bool drawn = true;
    for (const QGlyphRun& run : layout.glyphRuns()) {
        for (quint32 glyph : run.glyphIndexes())
            drawn = drawn && glyph != 0; // glyph 0 is the font's "missing" box
    }
    known.insert(key, drawn);
    return drawn;
}

void SymbolDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    for (const Symbol& symbol : kSymbols) {
        if (!option->text.contains(symbol.text) || fontsDraw(symbol.text.trimmed(), option->font))
            continue;
        // Only the shown text changes; the item keeps the character.
        option->text.remove(symbol.text);
        option->icon = QIcon(symbol.resource);
        option->features |= QStyleOptionViewItem::HasDecoration;
        const int side = option->fontMetrics.height();
        option->decorationSize = QSize(side, side);
    }
}

QSize SymbolDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (!index.data(kDetailRole).toString().isEmpty())
        size.rheight() += option.fontMetrics.height();
    return size;
}

void SymbolDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const
{
    const QString detail = index.data(kDetailRole).toString();
    if (detail.isEmpty()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QStyleOptionViewItem top(option);
    top.displayAlignment = Qt::AlignLeft | Qt::AlignTop;
    QStyledItemDelegate::paint(painter, top, index);
    const int line = option.fontMetrics.height();
    QRect below = option.rect.adjusted(line / 2, option.rect.height() - line - 2, 0, 0);
    painter->save();
    painter->setPen(theme::detailText);
    painter->drawText(below, Qt::AlignLeft | Qt::AlignVCenter, detail);
    painter->restore();
}

void drawSymbols(QAbstractItemView* view)
{
    view->setItemDelegate(new SymbolDelegate(view));
}

} // namespace symbols
