#include "ui/RoundedRect.h"

#include <QPainter>
#include <QPainterPath>

void FillRoundedRect(QPainter& painter, const QRectF& rect, qreal xRadius, qreal yRadius) {
    QPainterPath path;
    path.addRoundedRect(rect, xRadius, yRadius);
    painter.fillPath(path, painter.brush());
}

void StrokeRoundedRect(QPainter& painter, const QRectF& rect, qreal xRadius, qreal yRadius) {
    QPainterPath path;
    path.addRoundedRect(rect, xRadius, yRadius);
    QPen pen = painter.pen();
    pen.setWidthF(1.0);
    painter.strokePath(path, pen);
}

void AddRoundedRectToPath(QPainterPath& path, const QRectF& rect, float ovalWidth,
                          float ovalHeight) {
    if (ovalWidth == 0 || ovalHeight == 0) {
        path.addRect(rect);
        return;
    }
    path.addRoundedRect(rect, ovalWidth, ovalHeight);
}

void FillRoundedRectPath(QPainter& painter, const QRectF& rect, float ovalWidth, float ovalHeight) {
    QPainterPath path;
    path.setFillRule(Qt::OddEvenFill);
    AddRoundedRectToPath(path, rect, ovalWidth, ovalHeight);
    painter.fillPath(path, painter.brush());
}

void StrokeRoundedRectPath(QPainter& painter, const QRectF& rect, float ovalWidth,
                           float ovalHeight) {
    QPainterPath path;
    AddRoundedRectToPath(path, rect, ovalWidth, ovalHeight);
    painter.strokePath(path, painter.pen());
}
