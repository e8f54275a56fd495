// A plain crop layer: the crop rectangle and a visibility flag over an image
// extent. Nothing in the application creates one; the live overlay is
// CropLayerController's.
#pragma once

#include <QRectF>

class CropLayer {
public:
    void setSize(const QRectF& extent) { bounds_ = extent; }
    QRectF bounds() const { return bounds_; }
    void setShowCropArea(bool show) { hidden_ = !show; }
    bool showCropArea() const { return !hidden_; }
    QRectF cropArea() const { return cropArea_; }
    void setCropArea(const QRectF& r) { cropArea_ = r; }

private:
    QRectF bounds_, cropArea_;
    bool hidden_ = false;
};
