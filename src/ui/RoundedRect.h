// Rounded-rectangle drawing on QPainter. FillRoundedRect and
// StrokeRoundedRect take corner radii; the Path functions take oval sizes,
// whose width is the horizontal and height the vertical corner radius, and
// add a plain rectangle when either is 0.
#pragma once

#include <QRectF>

class QPainter;
class QPainterPath;

void FillRoundedRect(QPainter& painter, const QRectF& rect, qreal xRadius, qreal yRadius);
void StrokeRoundedRect(QPainter& painter, const QRectF& rect, qreal xRadius, qreal yRadius);
void AddRoundedRectToPath(QPainterPath& path, const QRectF& rect, float ovalWidth,
                          float ovalHeight);
// Even-odd fill with the painter's brush.
void FillRoundedRectPath(QPainter& painter, const QRectF& rect, float ovalWidth, float ovalHeight);
void StrokeRoundedRectPath(QPainter& painter, const QRectF& rect, float ovalWidth,
                           float ovalHeight);
