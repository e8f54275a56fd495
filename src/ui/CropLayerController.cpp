#include "ui/CropLayerController.h"

#include <QPainterPath>
#include <algorithm>
#include <cmath>

std::unique_ptr<CropLayerController> CropLayerController::initReadyToAdjust(
    bool adjust, const std::shared_ptr<TiledContentLayer>& settings) {
    if (!settings) return nullptr;
    std::unique_ptr<CropLayerController> c(new CropLayerController);
    c->levelsOfDetail_ = settings->levelsOfDetail();
    c->levelsOfDetailBias_ = settings->levelsOfDetailBias();
    c->tileSize_ = settings->tileSize();
    c->setupLayer();
    c->setForAdjusting(adjust);
    return c;
}

void CropLayerController::setupLayer() {
    const QRectF b = ourLayer_ ? ourLayer_->bounds() : QRectF();
    ourLayer_ = TiledContentLayer::create(false);
    ourLayer_->setBounds(b);
    // setBounds resets these for a layer given a size; the image's are kept.
    ourLayer_->setLevelsOfDetail(levelsOfDetail_);
    ourLayer_->setLevelsOfDetailBias(levelsOfDetailBias_);
    ourLayer_->setTileSize(tileSize_);
}

void CropLayerController::setSize(const QRectF& extent) {
    ourLayer_->setBounds(extent);
    ourLayer_->setNeedsDisplay();
}

void CropLayerController::setForAdjusting(bool adjust) {
    adjustable_ = adjust;
    ourLayer_->setNeedsDisplay();
}

QRectF CropLayerController::layerRect(const QRectF& crop, double imageHeight) {
    const float x = std::floor(float(crop.x())), y = std::floor(float(crop.y()));
    const float w = std::floor(float(crop.width())), h = std::floor(float(crop.height()));
    const float H = float(imageHeight);
    const QRectF R(std::floor(x + 0.5f), std::floor(H - y - h + 0.5f), std::floor(w + 0.5f),
                   std::floor(h + 0.5f));
    if (!(R.width() > 1) || !(R.height() > 1)) return {};
    return R;
}

float CropLayerController::frameWidth(double s) { return float(std::max(1.5 / s, 2.0)); }

void CropLayerController::drawLayer(TileSublayer& tile, QPainter& painter, double s) const {
    const QRectF bounds = ourLayer_->bounds();
    QRectF R = layerRect(cropArea_, bounds.height());
    if (R.isEmpty()) return;
    // Shade outside the crop; the crop itself stays clear. The shade reaches
    // two points past the tile so that the caller's clip alone draws the
    // tile's edge: a fill ending on the edge rounds differently from the clip.
    const double margin = 2 / s;
    const QRectF frame = tile.frame().adjusted(-margin, -margin, margin, margin);
    QPainterPath shade;
    shade.setFillRule(Qt::OddEvenFill);
    shade.addRect(frame);
    shade.addRect(R.intersected(frame));
    painter.fillPath(shade, QColor::fromRgbF(0, 0, 0, 0.7f));
    if (!adjustable_) return;

    const float lw = frameWidth(s);
    R = R.intersected(QRectF(lw, lw, bounds.width() - 2 * lw - 1, bounds.height() - 2 * lw - 1));
    if (R.isEmpty()) return;
    painter.setBrush(Qt::NoBrush);
    const QRectF R1 = R.adjusted(-lw / 2, -lw / 2, lw / 2, lw / 2);
    // A dark band on both sides of the white frame keeps it visible on bright
    // images.
    painter.setPen(QPen(QColor::fromRgbF(0, 0, 0, 0.8f), 3 * lw));
    painter.drawRect(R1);
    painter.setPen(QPen(Qt::white, lw));
    painter.drawRect(R1);

    painter.setPen(QPen(QColor::fromRgbF(0.9f, 0.9f, 0.9f, 0.7f), lw / 2));
    for (float f : {0.33f, 0.67f}) {
        const double x = R1.x() + f * R1.width(), y = R1.y() + f * R1.height();
        painter.drawLine(QPointF(x, R1.y()), QPointF(x, R1.y() + R1.height()));
        painter.drawLine(QPointF(R1.x(), y), QPointF(R1.x() + R1.width(), y));
    }

    painter.setPen(QPen(Qt::white, lw));
    const QRectF R2 = R1.adjusted(-lw, -lw, lw, lw);
    const float c = 0.15f * float(std::min(R2.width(), R2.height()));
    auto corner = [&](double x, double y, double dx, double dy) {
        const QPointF pts[3] = {{x + dx, y}, {x, y}, {x, y + dy}};
        painter.drawPolyline(pts, 3);
    };
    corner(R2.left(), R2.top(), c, c);
    corner(R2.right(), R2.top(), -c, c);
    corner(R2.left(), R2.bottom(), c, -c);
    corner(R2.right(), R2.bottom(), -c, -c);
}

CropLayerController::Edges CropLayerController::chooseEdges(const QRectF& c, QPointF p) {
    Edges e;
    e.left = std::abs(c.x() - p.x()) <= std::abs(c.x() + c.width() - p.x());
    e.right = !e.left;
    e.top = std::abs(c.y() - p.y()) <= std::abs(c.y() + c.height() - p.y());
    e.bottom = !e.top;
    return e;
}

QRectF CropLayerController::moveCrop(const QRectF& crop, const Edges& edges, QPointF a, QPointF b,
                                     QSizeF imageSize) {
    const float dx = float(a.x() - b.x()), dy = float(a.y() - b.y());
    double x = crop.x(), y = crop.y(), w = crop.width(), h = crop.height();
    if (edges.left) {
        const float nw = std::max(dx + float(w), 100.0f);
        x += w - nw;
        w = nw;
    }
    if (edges.right) w = std::max(-dx + float(w), 100.0f);
    if (edges.top) {
        const float nh = std::max(dy + float(h), 100.0f);
        y += h - nh;
        h = nh;
    }
    if (edges.bottom) h = std::max(-dy + float(h), 100.0f);
    if (x < 0) {
        w += x;
        x = 0;
    }
    if (y < 0) {
        h += y;
        y = 0;
    }
    if (x + w > imageSize.width()) w = imageSize.width() - x;
    if (y + h > imageSize.height()) h = imageSize.height() - y;
    return QRectF(x, y, w, h);
}

QRectF CropLayerController::entryCrop(const QRectF& d) {
    return QRectF(d.x() + d.width() / 4, d.y() + d.height() / 4, d.width() / 2, d.height() / 2);
}

QRectF CropLayerController::roundedUp(const QRectF& c) {
    return QRectF(std::ceil(float(c.x())), std::ceil(float(c.y())), std::ceil(float(c.width())),
                  std::ceil(float(c.height())));
}
