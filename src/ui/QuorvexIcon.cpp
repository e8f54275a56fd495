#include "ui/QuorvexIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <numbers>

namespace platform {

QImage quorvexIcon(int size) {
    size = std::max(size, 8);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QLinearGradient background(0, 0, 0, s);
    background.setColorAt(0, QColor(52, 58, 72));
    background.setColorAt(1, QColor(18, 20, 26));
    painter.setPen(Qt::NoPen);
    painter.setBrush(background);
    painter.drawRoundedRect(QRectF(0, 0, s, s), s * 0.2, s * 0.2);

    // Six blades around an open centre, tinted from warm to cool.
    const QPointF centre(s / 2, s / 2);
    const qreal outer = s * 0.38, inner = s * 0.13;
    for (int i = 0; i < 6; ++i) {
        const qreal a0 = i * std::numbers::pi / 3, a1 = a0 + std::numbers::pi / 3;
        QPainterPath blade;
        blade.moveTo(centre + QPointF(inner * std::cos(a0), inner * std::sin(a0)));
        blade.lineTo(centre + QPointF(outer * std::cos(a0 + 0.25), outer * std::sin(a0 + 0.25)));
        blade.lineTo(centre + QPointF(outer * std::cos(a1 + 0.25), outer * std::sin(a1 + 0.25)));
        blade.lineTo(centre + QPointF(inner * std::cos(a1), inner * std::sin(a1)));
        blade.closeSubpath();
        painter.setBrush(QColor::fromHsvF(std::fmod(0.02 + i * 0.11, 1.0), 0.55, 0.95));
        painter.drawPath(blade);
    }
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(230, 232, 238), std::max(1.0, s * 0.03)));
    painter.drawEllipse(centre, outer + s * 0.04, outer + s * 0.04);
    return image;
}

}  // namespace platform
