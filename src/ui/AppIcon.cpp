#include "ui/AppIcon.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace velbrook {

namespace {

// A rounded tile with an arrow coming down onto a bar: something arrives.
QPixmap DrawIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);

    QLinearGradient tile(0, 0, 0, 64);
    tile.setColorAt(0, QColor(0x2e, 0x9c, 0x8f));
    tile.setColorAt(1, QColor(0x1b, 0x5e, 0x74));
    painter.setPen(Qt::NoPen);
    painter.setBrush(tile);
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    painter.setBrush(Qt::white);
    QPainterPath arrow;
    arrow.moveTo(26, 10);
    arrow.lineTo(38, 10);
    arrow.lineTo(38, 28);
    arrow.lineTo(48, 28);
    arrow.lineTo(32, 44);
    arrow.lineTo(16, 28);
    arrow.lineTo(26, 28);
    arrow.closeSubpath();
    painter.drawPath(arrow);
    painter.drawRoundedRect(QRectF(14, 48, 36, 6), 2, 2);
    painter.end();
    return QPixmap::fromImage(image);
}

}  // namespace

QIcon AppIcon() {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128}) {
        icon.addPixmap(DrawIcon(size));
    }
    return icon;
}

}  // namespace velbrook
