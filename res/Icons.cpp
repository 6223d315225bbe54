#include "res/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

constexpr int kSize = 32; // drawn large, shown at 16 x 15

QPixmap Canvas()
{
    QPixmap pixmap(kSize, kSize);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void Cylinder(QPainter& p)
{
    const QColor body(0xf2, 0xc4, 0x1b), edge(0x80, 0x60, 0x00);
    p.setPen(QPen(edge, 1.5));
    p.setBrush(body);
    QPainterPath path;
    path.moveTo(5, 8);
    path.lineTo(5, 25);
    path.arcTo(5, 21, 22, 8, 180, 180);
    path.lineTo(27, 8);
    path.closeSubpath();
    p.drawPath(path);
    p.setBrush(body.lighter(125));
    p.drawEllipse(QRectF(5, 4, 22, 8));
}

void Cross(QPainter& p)
{
    p.setPen(QPen(QColor(0xd0, 0x10, 0x10), 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(14, 14, 28, 28);
    p.drawLine(28, 14, 14, 28);
}

void Book(QPainter& p)
{
    p.setPen(QPen(Qt::black, 1.2));
    p.setBrush(QColor(0x30, 0x50, 0xa0));
    p.drawRect(4, 4, 22, 25);
    p.setBrush(Qt::white);
    p.drawRect(7, 6, 17, 21);
    const QColor tabs[] = {Qt::red, Qt::green, Qt::blue, QColor(0xff, 0xa0, 0x00)};
    for (int i = 0; i < 4; ++i) {
        p.setBrush(tabs[i]);
        p.drawRect(26, 6 + i * 6, 4, 4);
    }
}

void Printer(QPainter& p)
{
    p.setPen(QPen(Qt::black, 1.2));
    p.setBrush(Qt::white);
    p.drawRect(9, 3, 14, 10);
    p.setBrush(QColor(0xb0, 0xb0, 0xb0));
    p.drawRoundedRect(3, 12, 26, 12, 2, 2);
    p.setBrush(Qt::white);
    p.drawRect(8, 20, 16, 9);
    p.setBrush(Qt::green);
    p.drawEllipse(24, 15, 3, 3);
}

void Preview(QPainter& p)
{
    p.setPen(QPen(Qt::black, 1.2));
    p.setBrush(Qt::white);
    p.drawRect(4, 2, 18, 24);
    for (int y = 7; y < 22; y += 4)
        p.drawLine(7, y, 19, y);
    p.setBrush(QColor(0xc0, 0xe0, 0xff, 180));
    p.setPen(QPen(Qt::black, 2));
    p.drawEllipse(14, 14, 11, 11);
    p.setPen(QPen(Qt::black, 3.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(24, 24, 29, 29);
}

void Grid(QPainter& p)
{
    p.setPen(QPen(Qt::black, 1.2));
    p.setBrush(Qt::white);
    p.drawRect(3, 5, 26, 22);
    p.setBrush(QColor(0x40, 0x70, 0xc0));
    p.drawRect(3, 5, 26, 5);
    for (int y = 15; y < 27; y += 5)
        p.drawLine(3, y, 29, y);
    p.drawLine(12, 5, 12, 27);
}

// A property-type picture: a rounded tag in the type's colour with a short
// sign on it, so the types tell apart by colour and by letter.
QIcon TypeTag(const QColor& colour, const QString& strSign)
{
    QPixmap pixmap = Canvas();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colour.darker(160), 1.5));
    p.setBrush(colour);
    p.drawRoundedRect(QRectF(2, 4, 28, 24), 5, 5);
    p.setPen(Qt::white);
    QFont font;
    font.setPixelSize(strSign.size() > 2 ? 12 : 16);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRect(2, 4, 28, 24), Qt::AlignCenter, strSign);
    p.end();
    return QIcon(pixmap);
}

} // namespace

QIcon DravikPropTypeIcon(int nImage)
{
    switch (nImage) {
    case 0: return TypeTag(QColor(0x2e, 0x7d, 0x32), QStringLiteral("ab"));   // PT_STRING8
    case 1: return TypeTag(QColor(0x60, 0x60, 0x60), QStringLiteral("#"));    // every other type
    case 2: return TypeTag(QColor(0x15, 0x65, 0xc0), QStringLiteral("dt"));  // dates and times
    case 3: return TypeTag(QColor(0x8e, 0x24, 0xaa), QStringLiteral("{}"));   // PT_OBJECT
    case 4: return TypeTag(QColor(0x00, 0x89, 0x7b), QStringLiteral("U")); // PT_UNICODE
    case 5: return TypeTag(QColor(0x4e, 0x34, 0x2e), QStringLiteral("01"));   // PT_BINARY
    case 6: return TypeTag(QColor(0xf5, 0x7c, 0x00), QStringLiteral("t/f"));  // PT_BOOLEAN
    case 7: return TypeTag(QColor(0xc0, 0x9d, 0x00), QStringLiteral("$"));    // PT_CURRENCY
    case 8: return TypeTag(QColor(0xc6, 0x28, 0x28), QStringLiteral("!"));    // PT_ERROR
    default: return QIcon();
    }
}

QIcon DravikCommandIcon(int nCommandId)
{
    QPixmap pixmap = Canvas();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (nCommandId) {
    case 131: Cylinder(p); break;
    case 132: Cylinder(p); Cross(p); break;
    case 130: Book(p); break;
    case 57607: Printer(p); break;
    case 57609: Preview(p); break;
    case 32776: Grid(p); break;
    default: return QIcon();
    }
    p.end();
    return QIcon(pixmap);
}

QIcon DravikAppIcon()
{
    QPixmap pixmap = Canvas();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    Cylinder(p);
    p.setPen(QPen(QColor(0x20, 0x20, 0x60), 1));
    QFont font;
    font.setPixelSize(13);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRect(5, 10, 22, 16), Qt::AlignCenter, QStringLiteral("D"));
    p.end();
    return QIcon(pixmap);
}
