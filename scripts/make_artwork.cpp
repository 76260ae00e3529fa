// Draws the program's artwork: the window icon (resources/logo.ico, and
// resources/pellora.png for desktop menus), the six showcase tiles
// (resources/icons/game_*.png) and the crown and lock that the lists draw
// where no font has them (resources/symbols/*.png). All of it is ours: plain
// geometric motifs in the window's palette, one per game category.
// Build and run through scripts/make_artwork.sh.
#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>
#include <functional>

namespace {

const QColor accent(0xd3, 0x2f, 0x2f);
const QColor accentLight(0xef, 0x53, 0x50);
const QColor ink(0xe4, 0xe4, 0xe7);
const QColor muted(0xa1, 0xa1, 0xaa);
const QColor dim(0x71, 0x71, 0x7a);
const QColor tileTop(0x27, 0x27, 0x2a);
const QColor tileBottom(0x12, 0x12, 0x15);
const QColor tileBorder(0x3f, 0x3f, 0x46);

using Motif = std::function<void(QPainter&)>;

// A transparent square of `size` pixels that `draw` sees as `units` wide.
QImage paint(int size, qreal units, const Motif& draw)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / units, size / units);
    draw(p);
    p.end();
    return image;
}

// Every tile is drawn on a 64-unit canvas.
QImage tile(int size, const Motif& motif)
{
    return paint(size, 64, [&motif](QPainter& p) {
        QLinearGradient fill(0, 0, 0, 64);
        fill.setColorAt(0, tileTop);
        fill.setColorAt(1, tileBottom);
        p.setPen(QPen(tileBorder, 1.0));
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(1.5, 1.5, 61, 61), 13, 13);
        motif(p);
    });
}

QPen stroke(const QColor& color, qreal width)
{
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// Arena: three lanes between two bases in opposite corners.
void arena(QPainter& p)
{
    const QPointF home(18, 46), enemy(46, 18);
    QPainterPath sideLanes;
    sideLanes.moveTo(home);
    sideLanes.lineTo(18, 22);
    sideLanes.quadTo(18, 18, 22, 18);
    sideLanes.lineTo(enemy);
    sideLanes.moveTo(home);
    sideLanes.lineTo(42, 46);
    sideLanes.quadTo(46, 46, 46, 42);
    sideLanes.lineTo(enemy);
    p.setBrush(Qt::NoBrush);
    p.setPen(stroke(muted, 2.5));
    p.drawPath(sideLanes);
    p.setPen(stroke(ink, 3));
    p.drawLine(home, enemy);
    p.setPen(QPen(tileBottom, 2));
    p.setBrush(accent);
    p.drawEllipse(home, 6, 6);
    p.setBrush(ink);
    p.drawEllipse(enemy, 6, 6);
}

// Strategy: two crossed blades.
void blades(QPainter& p)
{
    auto blade = [&p](bool mirrored) {
        p.save();
        p.translate(32, 32);
        p.rotate(mirrored ? -45 : 45);
        QPainterPath edge;
        edge.moveTo(0, -22);
        edge.lineTo(3, -17);
        edge.lineTo(3, 10);
        edge.lineTo(-3, 10);
        edge.lineTo(-3, -17);
        edge.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(mirrored ? muted : ink);
        p.drawPath(edge);
        p.setBrush(accent);
        p.drawRoundedRect(QRectF(-8, 10, 16, 3.5), 1.5, 1.5);
        p.setBrush(dim);
        p.drawRoundedRect(QRectF(-2, 13.5, 4, 7), 1, 1);
        p.restore();
    };
    blade(true);
    blade(false);
}

// Shooter: a sight with a red centre.
void sight(QPainter& p)
{
    p.setBrush(Qt::NoBrush);
    p.setPen(stroke(ink, 2.5));
    p.drawEllipse(QPointF(32, 32), 15, 15);
    p.setPen(stroke(muted, 2.5));
    p.drawLine(QPointF(32, 10), QPointF(32, 22));
    p.drawLine(QPointF(32, 42), QPointF(32, 54));
    p.drawLine(QPointF(10, 32), QPointF(22, 32));
    p.drawLine(QPointF(42, 32), QPointF(54, 32));
    p.setPen(Qt::NoPen);
    p.setBrush(accent);
    p.drawEllipse(QPointF(32, 32), 3.5, 3.5);
}

// Sandbox: a block seen from above, one face lit.
void block(QPainter& p)
{
    const QPointF top(32, 12), left(14, 22), right(50, 22), centre(32, 32);
    const QPointF bottomLeft(14, 42), bottomRight(50, 42), bottom(32, 52);
    auto face = [&p](const QColor& color, std::initializer_list<QPointF> corners) {
        p.setBrush(color);
        p.drawPolygon(QPolygonF(QVector<QPointF>(corners)));
    };
    p.setPen(QPen(tileBottom, 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    face(accent, {top, right, centre, left});
    face(muted, {left, centre, bottom, bottomLeft});
    face(dim, {centre, right, bottomRight, bottom});
    // A seam across the lit face, so it reads as stacked material.
    p.setPen(stroke(accentLight, 1.2));
    p.drawLine(QPointF(23, 17), QPointF(41, 27));
}

// Survival: a flame over two crossed logs.
void campfire(QPainter& p)
{
    p.setPen(stroke(dim, 5));
    p.drawLine(QPointF(17, 50), QPointF(47, 42));
    p.setPen(stroke(muted, 5));
    p.drawLine(QPointF(17, 42), QPointF(47, 50));
    QPainterPath flame;
    flame.moveTo(32, 11);
    flame.cubicTo(40, 20, 46, 28, 43, 37);
    flame.cubicTo(41, 43, 36, 45, 32, 45);
    flame.cubicTo(27, 45, 22, 43, 21, 37);
    flame.cubicTo(19, 30, 25, 26, 27, 19);
    flame.cubicTo(29, 24, 30, 26, 32, 28);
    flame.cubicTo(33, 22, 33, 16, 32, 11);
    p.setPen(Qt::NoPen);
    p.setBrush(accent);
    p.drawPath(flame);
    QPainterPath core;
    core.moveTo(32, 28);
    core.cubicTo(37, 33, 38, 38, 36, 41);
    core.cubicTo(34, 44, 30, 44, 28, 41);
    core.cubicTo(26, 37, 29, 34, 32, 28);
    p.setBrush(ink);
    p.drawPath(core);
}

// Castle: a keep with battlements, a gate and a pennant.
void keep(QPainter& p)
{
    QPainterPath wall;
    wall.moveTo(16, 52);
    wall.lineTo(16, 24);
    for (int i = 0; i < 4; ++i) { // four merlons of 5 with gaps of 4 span the 32-unit wall
        const qreal x = 16 + i * 9;
        wall.lineTo(x, 20);
        wall.lineTo(x + 5, 20);
        if (i < 3) {
            wall.lineTo(x + 5, 24);
            wall.lineTo(x + 9, 24);
        }
    }
    wall.lineTo(48, 52);
    wall.closeSubpath();
    QPainterPath gate;
    gate.moveTo(27, 52);
    gate.lineTo(27, 42);
    gate.arcTo(QRectF(27, 37, 10, 10), 180, -180);
    gate.lineTo(37, 52);
    gate.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(muted);
    p.drawPath(wall.subtracted(gate));
    p.setBrush(tileBottom);
    p.drawRect(QRectF(21, 29, 3, 5));
    p.drawRect(QRectF(40, 29, 3, 5));
    p.setPen(stroke(ink, 1.8));
    p.drawLine(QPointF(32, 20), QPointF(32, 8));
    p.setPen(Qt::NoPen);
    p.setBrush(accent);
    QPainterPath pennant;
    pennant.moveTo(33, 8);
    pennant.lineTo(43, 11);
    pennant.lineTo(33, 14);
    pennant.closeSubpath();
    p.drawPath(pennant);
}

// The window icon: a Z drawn as a route between four network nodes.
QImage logo(int size)
{
    return paint(size, 256, [](QPainter& p) {
        QLinearGradient fill(0, 0, 256, 256);
        fill.setColorAt(0, QColor(0x1f, 0x1f, 0x23));
        fill.setColorAt(1, QColor(0x09, 0x09, 0x0b));
        p.setPen(QPen(QColor(0x27, 0x27, 0x2a), 4));
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(10, 10, 236, 236), 52, 52);
        QRadialGradient glow(QPointF(128, 128), 110);
        glow.setColorAt(0, QColor(0xd3, 0x2f, 0x2f, 70));
        glow.setColorAt(1, QColor(0xd3, 0x2f, 0x2f, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(glow);
        p.drawRoundedRect(QRectF(12, 12, 232, 232), 50, 50);

        const QPointF nodes[] = {{74, 76}, {182, 76}, {74, 180}, {182, 180}};
        QPainterPath route;
        route.moveTo(nodes[0]);
        route.lineTo(nodes[1]);
        route.lineTo(nodes[2]);
        route.lineTo(nodes[3]);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(accent, 26, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(route);
        for (const QPointF& node : nodes) {
            p.setPen(QPen(accent, 8));
            p.setBrush(ink);
            p.drawEllipse(node, 19, 19);
        }
    });
}

// The symbols are gold, as colour emoji fonts draw them, on a 64-unit canvas.
const QColor gold(0xf5, 0xb9, 0x1e);
const QColor goldDark(0xc7, 0x8a, 0x0c);

void crown(QPainter& p)
{
    QPainterPath body;
    body.moveTo(8, 48);
    body.lineTo(5, 18);
    body.lineTo(20, 32);
    body.lineTo(32, 10);
    body.lineTo(44, 32);
    body.lineTo(59, 18);
    body.lineTo(56, 48);
    body.closeSubpath();
    p.setPen(stroke(goldDark, 2.5));
    p.setBrush(gold);
    p.drawPath(body);
    p.drawRoundedRect(QRectF(8, 50, 48, 8), 2, 2);
    p.setPen(Qt::NoPen);
    p.setBrush(accent);
    p.drawEllipse(QPointF(32, 38), 4.5, 4.5);
}

void lock(QPainter& p)
{
    p.setBrush(Qt::NoBrush);
    p.setPen(stroke(QColor(0x9e, 0x9e, 0xa6), 6));
    p.drawArc(QRectF(18, 6, 28, 32), 0, 180 * 16);
    p.drawLine(QPointF(18, 22), QPointF(18, 30));
    p.drawLine(QPointF(46, 22), QPointF(46, 30));
    p.setPen(stroke(goldDark, 2.5));
    p.setBrush(gold);
    p.drawRoundedRect(QRectF(10, 28, 44, 32), 6, 6);
    p.setPen(Qt::NoPen);
    p.setBrush(goldDark);
    p.drawEllipse(QPointF(32, 41), 4.5, 4.5);
    p.drawRect(QRectF(30, 42, 4, 9));
}

QByteArray png(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// An .ico holding one PNG-compressed 256 by 256 image.
QByteArray ico(const QImage& image)
{
    const QByteArray data = png(image);
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(1);            // reserved, type icon, one image
    out << quint8(0) << quint8(0) << quint8(0) << quint8(0);  // 256 by 256 (stored as 0), no palette
    out << quint16(1) << quint16(32);                         // planes, bits per pixel
    out << quint32(data.size()) << quint32(6 + 16);           // size, offset
    bytes.append(data);
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("resources");
    QDir().mkpath(out + QStringLiteral("/icons"));
    QDir().mkpath(out + QStringLiteral("/symbols"));
    const std::pair<const char*, Motif> games[] = {
        {"dota", arena}, {"wc3", blades},    {"cs", sight},
        {"mc", block},   {"rust", campfire}, {"stronghold", keep},
    };
    bool ok = writeFile(out + QStringLiteral("/logo.ico"), ico(logo(256)));
    ok = writeFile(out + QStringLiteral("/pellora.png"), png(logo(256))) && ok;
    ok = writeFile(out + QStringLiteral("/symbols/crown.png"), png(paint(64, 64, crown))) && ok;
    ok = writeFile(out + QStringLiteral("/symbols/lock.png"), png(paint(64, 64, lock))) && ok;
    for (const auto& [name, motif] : games)
        ok = writeFile(out + QStringLiteral("/icons/game_%1.png").arg(QLatin1String(name)),
                       png(tile(64, motif))) &&
             ok;
    return ok ? 0 : 1;
}
