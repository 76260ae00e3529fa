#include "ui/titlebar.h"
#include "ui/pages.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QWindow>

namespace chrome {

HitZone zoneAt(const QWidget* window, const QWidget* titleBar, const QPoint& pos)
{
    HitQuery query;
    query.x = pos.x();
    query.y = pos.y();
    query.width = window->width();
    query.height = window->height();
    query.titleBarHeight = titleBar->height();
    query.overButton = qobject_cast<const QPushButton*>(window->childAt(pos)) != nullptr;
    query.maximized = window->isMaximized();
    return hitZone(query);
}

QString titleGlyphFamily(const QStringList& families)
{
    for (const QString& wanted :
         {QStringLiteral("Segoe Fluent Icons"), QStringLiteral("Segoe MDL2 Assets")}) {
        if (families.contains(wanted, Qt::CaseInsensitive))
            return wanted;
    }
    return {};
}

QIcon titleGlyphIcon(TitleGlyph glyph, const QColor& color, qreal devicePixelRatio)
{
    const qreal dpr = qMax<qreal>(1.0, devicePixelRatio);
    QPixmap pixmap(QSize(titleGlyphSize, titleGlyphSize) * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);

    // Half-pixel offsets keep the one-pixel strokes on whole pixels.
    const qreal lo = 0.5;
    const qreal hi = titleGlyphSize - 0.5;
    QPainterPath path;
    switch (glyph) {
    case TitleGlyph::Minimize:
        path.moveTo(0, titleGlyphSize / 2 + 0.5);
        path.lineTo(titleGlyphSize, titleGlyphSize / 2 + 0.5);
        break;
    case TitleGlyph::Maximize:
        path.addRect(QRectF(QPointF(lo, lo), QPointF(hi, hi)));
        break;
    case TitleGlyph::Close:
        path.moveTo(lo, lo);
        path.lineTo(hi, hi);
        path.moveTo(hi, lo);
        path.lineTo(lo, hi);
        break;
    }
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, glyph == TitleGlyph::Close);
    painter.setPen(QPen(color, 1.0, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    painter.drawPath(path);
    painter.end();
    return QIcon(pixmap);
}

} // namespace chrome

namespace {

// Colours of the glyphs, the same as the button sheets give the font glyphs.
const QColor glyphColor(0x88, 0x88, 0x88);
const QColor glyphHoverColor(Qt::white);

// Which glyph a button draws, when it draws one.
const char glyphProperty[] = "titleGlyph";

void paintGlyph(QPushButton* button, bool hovered)
{
    const auto glyph = static_cast<chrome::TitleGlyph>(button->property(glyphProperty).toInt());
    button->setIcon(
        chrome::titleGlyphIcon(glyph, hovered ? glyphHoverColor : glyphColor, qApp->devicePixelRatio()));
}

// The buttons show only a glyph: the pointer gets a tooltip, screen readers
// the same word (a Qt built without accessibility has no such property).
#if QT_CONFIG(accessibility)
void nameButton(QPushButton* button, const QString& name)
{
    button->setToolTip(name);
    button->setAccessibleName(name);
}
#else
void nameButton(QPushButton* button, const QString& name)
{
    button->setToolTip(name);
}
#endif

} // namespace

namespace ui {

TitleBar::TitleBar(QWidget* window) : QWidget(window)
{
    setObjectName(QStringLiteral("titleBarWidget"));
    setFixedHeight(40);
    setStyleSheet(QStringLiteral("background-color: #09090b; border-bottom: 1px solid #1a1a20;"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(15, 0, 0, 0);
    layout->setSpacing(0);

    titleBarLabel = new QLabel(QStringLiteral("ZENTHO // GAMING NETWORK beta 0.4"), this);
    titleBarLabel->setStyleSheet(
        QStringLiteral("color: #888888; font-size: 11px; font-weight: 800; letter-spacing: 1px;"));

    // The glyphs are private-use characters of the Windows icon fonts; where
    // neither font exists they would show as boxes, so they are drawn instead.
    // Radius and padding are reset because the window theme rounds and pads
    // every push button, and window buttons are square and hold only a glyph.
    const QString family = chrome::titleGlyphFamily(QFontDatabase::families());
    const QString font = family.isEmpty() ? QString() : QStringLiteral("font-family: '%1'; ").arg(family);
    auto buttonSheet = [&font](const QString& hoverBackground) {
        return QStringLiteral(
                   "QPushButton { background: transparent; color: #888; border: none; border-radius: 0px; "
                   "padding: 0px; %1font-size: 12px; } "
                   "QPushButton:hover { background-color: %2; color: white; }")
            .arg(font, hoverBackground);
    };
    minimizeButton = new QPushButton(QString(QChar(0xE921)), this);
    maximizeButton = new QPushButton(QString(QChar(0xE922)), this);
    closeButton = new QPushButton(QString(QChar(0xE8BB)), this);
    nameButton(minimizeButton, QStringLiteral("Minimize"));
    nameButton(maximizeButton, QStringLiteral("Maximize"));
    nameButton(closeButton, QStringLiteral("Close"));
    const std::pair<QPushButton*, chrome::TitleGlyph> buttons[] = {
        {minimizeButton, chrome::TitleGlyph::Minimize},
        {maximizeButton, chrome::TitleGlyph::Maximize},
        {closeButton, chrome::TitleGlyph::Close}};
    for (const auto& [button, glyph] : buttons) {
        button->setFixedSize(45, 40);
        button->setFocusPolicy(Qt::NoFocus); // window buttons are no tab stops
        button->setStyleSheet(
            buttonSheet(button == closeButton ? QStringLiteral("#d32f2f") : QStringLiteral("#1f1f23")));
        if (family.isEmpty()) {
            button->setText(QString());
            button->setIconSize(QSize(chrome::titleGlyphSize, chrome::titleGlyphSize));
            button->setProperty(glyphProperty, static_cast<int>(glyph));
            paintGlyph(button, false);
            button->installEventFilter(this); // hover colour, see eventFilter
        }
    }

    layout->addWidget(titleBarLabel);
    layout->addStretch();
    layout->addWidget(minimizeButton);
    layout->addWidget(maximizeButton);
    layout->addWidget(closeButton);

    connect(minimizeButton, &QPushButton::clicked, window, &QWidget::showMinimized);
    connect(maximizeButton, &QPushButton::clicked, [window] { toggleMaximize(window); });
    connect(closeButton, &QPushButton::clicked, window, &QWidget::close);
}

void toggleMaximize(QWidget* window)
{
    if (window->isMaximized())
        window->showNormal();
    else
        window->showMaximized();
}

void bringToFront(QWidget* window)
{
    if (window->isMinimized())
        window->showNormal();
    else
        window->show();
    window->raise();
    window->activateWindow();
}

bool TitleBar::eventFilter(QObject* watched, QEvent* event)
{
    const bool enter = event->type() == QEvent::Enter;
    if ((enter || event->type() == QEvent::Leave) && watched->property(glyphProperty).isValid())
        paintGlyph(static_cast<QPushButton*>(watched), enter);
    return QWidget::eventFilter(watched, event);
}

} // namespace ui
