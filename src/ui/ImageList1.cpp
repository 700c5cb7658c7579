#include "ui/ImageList1.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <array>

namespace quillet {
namespace {

const QColor kRed(200, 30, 30);
const QColor kGreen(30, 150, 40);

void triangle(QPainter& p, qreal x, qreal y, qreal w, qreal h, bool right, const QColor& c)
{
    QPolygonF poly;
    if (right)
        poly << QPointF(x, y) << QPointF(x + w, y + h / 2) << QPointF(x, y + h);
    else
        poly << QPointF(x + w, y) << QPointF(x, y + h / 2) << QPointF(x + w, y + h);
    p.setBrush(c);
    p.setPen(c.darker(140));
    p.drawPolygon(poly);
}

void draw(QPainter& p, int n)
{
    p.setRenderHint(QPainter::Antialiasing, true);
    switch (n) {
    case 1: triangle(p, 4, 2, 10, 12, true, kRed); break;
    case 2:
        p.setPen(Qt::NoPen);
        p.setBrush(kRed);
        p.drawRect(QRectF(3.5, 2.5, 3.5, 11));
        p.drawRect(QRectF(9, 2.5, 3.5, 11));
        break;
    case 3:
        p.setPen(kRed.darker(140));
        p.setBrush(kRed);
        p.drawRect(QRectF(3.5, 3.5, 9, 9));
        break;
    case 4:
        triangle(p, 1, 3, 7, 10, true, kRed);
        triangle(p, 8, 3, 7, 10, true, kRed);
        break;
    case 5:
    case 11:
        triangle(p, 1, 3, 7, 10, false, kRed);
        triangle(p, 8, 3, 7, 10, false, kRed);
        break;
    case 6: {
        QPen pen(kRed, 2, Qt::SolidLine, Qt::RoundCap);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(2.5, 3, 11, 11), 120 * 16, 300 * 16);
        p.drawLine(QPointF(8, 1.5), QPointF(8, 8));
        break;
    }
    case 7: {
        p.setPen(QColor(190, 160, 0));
        p.setBrush(QColor(255, 230, 80));
        p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
        QPen pen(QColor(235, 120, 0), 2.2, Qt::SolidLine, Qt::RoundCap);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(3.5, 3.5, 9, 9), 60 * 16, 270 * 16);
        triangle(p, 9.5, 1.5, 4, 5, true, QColor(235, 120, 0));
        break;
    }
    case 8: {
        p.setPen(QColor(90, 90, 90));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(2.5, 0.5, 11, 15));
        QFont f;
        f.setPixelSize(5);
        f.setBold(true);
        p.setFont(f);
        p.setPen(QColor(0, 0, 160));
        p.drawText(QRectF(3, 2, 10, 6), Qt::AlignCenter, "01");
        p.drawText(QRectF(3, 8, 10, 6), Qt::AlignCenter, "010");
        break;
    }
    case 9: {
        p.setPen(Qt::NoPen);
        p.setBrush(kGreen);
        p.drawRoundedRect(QRectF(0, 0, 16, 16), 3, 3);
        p.setPen(QColor(60, 40, 10));
        p.setBrush(QColor(250, 220, 140));
        QPolygonF glass;
        glass << QPointF(4, 2) << QPointF(12, 2) << QPointF(8, 8) << QPointF(12, 14) << QPointF(4, 14) << QPointF(8, 8);
        p.drawPolygon(glass);
        p.drawLine(QPointF(3, 2), QPointF(13, 2));
        p.drawLine(QPointF(3, 14), QPointF(13, 14));
        break;
    }
    case 10:
        p.setPen(kGreen.darker(160));
        p.setBrush(kGreen);
        p.drawRect(QRectF(1.5, 1.5, 13, 13));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(4.5, 1.5, 7, 5));
        p.setBrush(QColor(40, 40, 40));
        p.drawRect(QRectF(4.5, 9.5, 7, 5));
        break;
    case 12:
        triangle(p, 1, 3, 7, 10, false, kGreen);
        triangle(p, 8, 3, 7, 10, false, kGreen);
        break;
    case 13:
        p.setPen(QColor(160, 120, 0));
        p.setBrush(QColor(250, 205, 70));
        p.drawRect(QRectF(0.5, 4.5, 15, 10));
        p.drawRect(QRectF(0.5, 2.5, 6, 2));
        p.setPen(QColor(40, 40, 40));
        p.setBrush(QColor(120, 190, 240));
        p.drawRect(QRectF(6.5, 7.5, 7, 5));
        break;
    case 14: {
        p.setPen(QColor(80, 80, 80));
        p.setBrush(QColor(160, 160, 170));
        p.drawEllipse(QRectF(1.5, 4.5, 10, 10));
        for (int i = 0; i < 8; ++i) {
            p.save();
            p.translate(6.5, 9.5);
            p.rotate(45.0 * i);
            p.drawRect(QRectF(-1, -6.5, 2, 2.5));
            p.restore();
        }
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(4.5, 7.5, 4, 4));
        QPen pen(QColor(220, 150, 0), 2.2);
        p.setPen(pen);
        p.drawLine(QPointF(9, 8), QPointF(15, 1.5));
        break;
    }
    case 15: {
        QPen pen(kRed, 3, Qt::SolidLine, Qt::RoundCap);
        p.setPen(pen);
        p.drawLine(QPointF(3, 3), QPointF(13, 13));
        p.drawLine(QPointF(13, 3), QPointF(3, 13));
        break;
    }
    default: break;
    }
}

}  // namespace

QPixmap ImageList1::pixmap(int n)
{
    static std::array<QPixmap, kCount> cache;
    if (n < 1 || n > kCount)
        return {};
    QPixmap& pm = cache[static_cast<std::size_t>(n - 1)];
    if (pm.isNull()) {
        pm = QPixmap(kSize, kSize);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        draw(p, n);
    }
    return pm;
}

QIcon ImageList1::icon(int n)
{
    QPixmap pm = pixmap(n);
    return pm.isNull() ? QIcon() : QIcon(pm);
}

}  // namespace quillet
