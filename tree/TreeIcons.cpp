#include "tree/TreeIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>

#include <cmath>

namespace {

// Icon resource of each image kind; 0: no image.
constexpr int kResource[32] = {137, 135, 156, 138, 159, 145, 157, 178, 158, 176, 173, 138, 138, 175, 156, 180,
                               0,   184, 134, 136, 139, 140, 141, 142, 144, 145, 146, 147, 177, 137, 138, 179};

const QColor kInk(0x30, 0x30, 0x30);
const QColor kFolder(0xf0, 0xc0, 0x40);
const QColor kPaper(0xff, 0xff, 0xff);

void Pen(QPainter& p, const QColor& c, qreal w = 1.0)
{
    p.setPen(QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
}

void ClosedFolder(QPainter& p)
{
    Pen(p, QColor(0x80, 0x60, 0x10));
    p.setBrush(kFolder);
    QPainterPath path;
    path.moveTo(1.5, 4.5);
    path.lineTo(6, 4.5);
    path.lineTo(7.5, 6);
    path.lineTo(14.5, 6);
    path.lineTo(14.5, 13.5);
    path.lineTo(1.5, 13.5);
    path.closeSubpath();
    p.drawPath(path);
}

void OpenFolder(QPainter& p)
{
    ClosedFolder(p);
    p.setBrush(kFolder.lighter(120));
    p.drawPolygon(QPolygonF({{3.5, 8}, {15.5, 8}, {13.5, 13.5}, {1.5, 13.5}}));
}

void Cylinder(QPainter& p)
{
    Pen(p, QColor(0x80, 0x60, 0x00));
    p.setBrush(QColor(0xf2, 0xc4, 0x1b));
    QPainterPath body;
    body.moveTo(2.5, 4);
    body.lineTo(2.5, 12);
    body.arcTo(2.5, 10, 11, 4, 180, 180);
    body.lineTo(13.5, 4);
    body.closeSubpath();
    p.drawPath(body);
    p.setBrush(QColor(0xf8, 0xdc, 0x70));
    p.drawEllipse(QRectF(2.5, 2, 11, 4));
}

void Page(QPainter& p, const QRectF& r)
{
    Pen(p, kInk);
    p.setBrush(kPaper);
    p.drawRect(r);
}

void Lines(QPainter& p, const QColor& c, qreal x0, qreal x1, qreal y0, int n, qreal step = 2)
{
    Pen(p, c);
    for (int i = 0; i < n; ++i)
        p.drawLine(QPointF(x0, y0 + i * step), QPointF(x1, y0 + i * step));
}

void OpenBook(QPainter& p, bool bTabs)
{
    Pen(p, kInk);
    p.setBrush(QColor(0x30, 0x50, 0xa0));
    p.drawRect(QRectF(1.5, 3.5, 13, 10));
    p.setBrush(kPaper);
    p.drawRect(QRectF(2.5, 2.5, 5.5, 10));
    p.drawRect(QRectF(8, 2.5, 5.5, 10));
    Lines(p, QColor(0x90, 0x90, 0x90), 3.5, 7, 5, 3);
    Lines(p, QColor(0x90, 0x90, 0x90), 9, 12.5, 5, 3);
    if (bTabs) {
        const QColor tabs[] = {Qt::red, QColor(0x20, 0xa0, 0x20), Qt::blue};
        p.setPen(Qt::NoPen);
        for (int i = 0; i < 3; ++i) {
            p.setBrush(tabs[i]);
            p.drawRect(QRectF(13.5, 3.5 + i * 3, 2, 2));
        }
    }
}

void Envelope(QPainter& p)
{
    Pen(p, kInk);
    p.setBrush(QColor(0xf4, 0xf0, 0xd8));
    p.drawRect(QRectF(1.5, 6.5, 13, 8));
    p.setBrush(kPaper);
    p.drawPolygon(QPolygonF({{1.5, 6.5}, {8, 1.5}, {14.5, 6.5}}));
    p.drawPolyline(QPolygonF({{1.5, 6.5}, {8, 11}, {14.5, 6.5}}));
}

void Card(QPainter& p, const QColor& lines)
{
    Page(p, QRectF(1.5, 3.5, 13, 9));
    Lines(p, lines, 3.5, 12.5, 6, 3);
}

void Head(QPainter& p, qreal x, qreal y, const QColor& c)
{
    Pen(p, kInk);
    p.setBrush(c);
    p.drawEllipse(QRectF(x - 2.5, y - 2.5, 5, 5));
    p.drawChord(QRectF(x - 4.5, y + 3, 9, 8), 0, 180 * 16);
}

void Clip(QPainter& p)
{
    Pen(p, QColor(0x50, 0x50, 0x60), 1.3);
    p.setBrush(Qt::NoBrush);
    QPainterPath path;
    path.moveTo(10, 5);
    path.lineTo(10, 12);
    path.arcTo(5, 10, 5, 5, 0, -180);
    path.lineTo(5, 3.5);
    path.arcTo(5, 1, 4, 4, 180, -180);
    path.lineTo(9, 11);
    path.arcTo(6.5, 10, 2.5, 2.5, 0, -180);
    path.lineTo(6.5, 5);
    p.drawPath(path);
}

void Profile(QPainter& p)
{
    Pen(p, kInk);
    p.setBrush(QColor(0xe8, 0xb8, 0x90));
    QPainterPath path;
    path.moveTo(5, 14.5);
    path.lineTo(5, 11);
    path.cubicTo(2, 9, 2.5, 2, 8, 1.8);
    path.cubicTo(12, 1.8, 13.5, 5, 13, 7);
    path.lineTo(14.5, 9.5);
    path.lineTo(13, 10);
    path.lineTo(12.5, 12.5);
    path.lineTo(10, 12.5);
    path.lineTo(10, 14.5);
    path.closeSubpath();
    p.drawPath(path);
}

void Grid(QPainter& p)
{
    Page(p, QRectF(1.5, 2.5, 13, 11));
    p.setBrush(QColor(0x40, 0x70, 0xc0));
    p.drawRect(QRectF(1.5, 2.5, 13, 2.5));
    Pen(p, QColor(0x80, 0x80, 0x80));
    for (qreal y : {7.5, 10.5})
        p.drawLine(QPointF(1.5, y), QPointF(14.5, y));
    for (qreal x : {5.5, 10.0})
        p.drawLine(QPointF(x, 5), QPointF(x, 13.5));
}

void Gear(QPainter& p)
{
    Pen(p, QColor(0x40, 0x40, 0x50));
    p.setBrush(QColor(0xa0, 0xa8, 0xb8));
    QPolygonF teeth;
    for (int i = 0; i < 16; ++i) {
        const qreal a = i * M_PI / 8;
        const qreal r = (i % 2 == 0) ? 7 : 5;
        teeth << QPointF(8 + r * std::cos(a), 8 + r * std::sin(a));
    }
    p.drawPolygon(teeth);
    p.setBrush(kPaper);
    p.drawEllipse(QRectF(5.5, 5.5, 5, 5));
}

void Question(QPainter& p)
{
    QFont font;
    font.setBold(true);
    font.setPixelSize(15);
    p.setFont(font);
    p.setPen(QColor(0x80, 0x60, 0x00));
    p.drawText(QRectF(1, 1, 15, 15), Qt::AlignCenter, QStringLiteral("?"));
    p.setPen(QColor(0xf0, 0xc0, 0x00));
    p.drawText(QRectF(0, 0, 15, 15), Qt::AlignCenter, QStringLiteral("?"));
}

void Calendar(QPainter& p, bool bGrid)
{
    Page(p, QRectF(1.5, 2.5, 13, 12));
    p.setBrush(QColor(0xc0, 0x30, 0x30));
    p.drawRect(QRectF(1.5, 2.5, 13, 3));
    if (bGrid) {
        Pen(p, QColor(0x80, 0x80, 0x80));
        for (qreal y : {8.5, 11.5})
            p.drawLine(QPointF(1.5, y), QPointF(14.5, y));
        for (qreal x : {4.5, 8.0, 11.5})
            p.drawLine(QPointF(x, 5.5), QPointF(x, 14.5));
    } else {
        QFont font;
        font.setPixelSize(7);
        p.setFont(font);
        p.setPen(kInk);
        p.drawText(QRectF(1.5, 5.5, 13, 9), Qt::AlignCenter, QStringLiteral("31"));
    }
}

void Note(QPainter& p, bool bTick)
{
    Pen(p, QColor(0x90, 0x80, 0x20));
    p.setBrush(QColor(0xff, 0xf0, 0x80));
    p.drawPolygon(QPolygonF({{2.5, 2.5}, {13.5, 2.5}, {13.5, 10}, {10, 13.5}, {2.5, 13.5}}));
    Lines(p, QColor(0xb0, 0xa0, 0x40), 4, 11, 5, 3);
    if (bTick) {
        Pen(p, QColor(0xd0, 0x10, 0x10), 1.8);
        p.drawPolyline(QPolygonF({{5, 9}, {7.5, 12}, {14.5, 4}}));
    }
}

void Clock(QPainter& p, const QPointF& c, qreal r)
{
    Pen(p, kInk);
    p.setBrush(kPaper);
    p.drawEllipse(c, r, r);
    p.drawLine(c, c + QPointF(0, -r + 1));
    p.drawLine(c, c + QPointF(r - 1.5, 0));
}

void Hand(QPainter& p)
{
    Pen(p, kInk);
    p.setBrush(QColor(0xe8, 0xb8, 0x90));
    QPainterPath path;
    path.moveTo(15, 11);
    path.lineTo(9.5, 11);
    path.lineTo(9.5, 9);
    path.lineTo(6.5, 9);
    path.lineTo(6.5, 15);
    path.lineTo(11, 15);
    path.lineTo(11, 12.5);
    path.lineTo(15, 12.5);
    path.closeSubpath();
    p.drawPath(path);
}

void Window(QPainter& p)
{
    Page(p, QRectF(1.5, 2.5, 13, 11));
    p.setBrush(QColor(0x20, 0x40, 0x90));
    p.drawRect(QRectF(1.5, 2.5, 13, 2.5));
    p.setPen(Qt::NoPen);
    const QColor c[] = {Qt::red, QColor(0x20, 0xa0, 0x20), Qt::blue, QColor(0xf0, 0xa0, 0x00)};
    for (int i = 0; i < 4; ++i) {
        p.setBrush(c[i]);
        p.drawRect(QRectF(3 + (i % 2) * 5.5, 6.5 + (i / 2) * 3.5, 3, 2.5));
    }
}

void House(QPainter& p)
{
    Pen(p, kInk);
    p.setBrush(QColor(0xc0, 0x40, 0x30));
    p.drawPolygon(QPolygonF({{1, 7.5}, {8, 1.5}, {15, 7.5}}));
    p.setBrush(QColor(0xf0, 0xe0, 0xc0));
    p.drawRect(QRectF(3, 7.5, 10, 7));
    Clock(p, QPointF(6, 10.5), 2);
    p.setBrush(kPaper);
    p.drawRect(QRectF(9, 9.5, 3.5, 2.5));
}

void Draw(QPainter& p, int nResource)
{
    switch (nResource) {
    case 134: House(p); break;
    case 135: Cylinder(p); break;
    case 136: Calendar(p, false); break;
    case 137: ClosedFolder(p); break;
    case 138: OpenFolder(p); break;
    case 139:
        Card(p, QColor(0x90, 0x90, 0x90));
        Head(p, 4.5, 6, QColor(0x60, 0x90, 0xd0));
        break;
    case 140:
        ClosedFolder(p);
        Pen(p, kInk);
        p.setBrush(kPaper);
        p.drawRect(QRectF(5.5, 8, 7, 4.5));
        p.drawPolyline(QPolygonF({{5.5, 8}, {9, 10.5}, {12.5, 8}}));
        break;
    case 141: Note(p, false); break;
    case 142:
        OpenBook(p, false);
        Clock(p, QPointF(11.5, 11.5), 3.5);
        break;
    case 144: Note(p, true); break;
    case 145: Envelope(p); break;
    case 146: Calendar(p, true); break;
    case 147:
        Card(p, QColor(0x90, 0x90, 0x90));
        Head(p, 11.5, 6, QColor(0xd0, 0x90, 0x60));
        break;
    case 156: OpenBook(p, false); break;
    case 157: Card(p, QColor(0x20, 0xa0, 0x40)); break;
    case 158:
        Card(p, QColor(0x90, 0x90, 0x90));
        Head(p, 5, 5.5, QColor(0x40, 0x80, 0xd0));
        break;
    case 159: OpenBook(p, true); break;
    case 173: Grid(p); break;
    case 175:
        Head(p, 5.5, 4.5, QColor(0x40, 0x80, 0xd0));
        Head(p, 10.5, 5.5, QColor(0x30, 0xa0, 0x50));
        break;
    case 176: Profile(p); break;
    case 177: Gear(p); break;
    case 178: Clip(p); break;
    case 179: Window(p); break;
    case 180: Question(p); break;
    case 184:
        Page(p, QRectF(2.5, 1.5, 10, 13));
        Lines(p, QColor(0x90, 0x90, 0x90), 4.5, 10.5, 4, 3);
        Hand(p);
        break;
    default: break;
    }
}

QPixmap Render(int nResource, int nScale)
{
    QPixmap pixmap(16 * nScale, 16 * nScale);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(nScale, nScale);
    Draw(p, nResource);
    p.end();
    return pixmap;
}

}  // namespace

int TreeIconResource(int nImageKind)
{
    return nImageKind >= 0 && nImageKind < 32 ? kResource[nImageKind] : 0;
}

QIcon TreeImage(int nImageKind)
{
    const int nResource = TreeIconResource(nImageKind);
    if (nResource == 0)
        return {};
    QIcon icon;
    icon.addPixmap(Render(nResource, 1));
    icon.addPixmap(Render(nResource, 2));
    return icon;
}
