// What the image view shows and how a click on it acts: zoom steps, the
// stored orientation's rotation, white balance by eyedropper, the crop.
#include <QToolButton>
#include <algorithm>
#include <cmath>

#include "color/SettingsKeys.h"
#include "engine/QueueEngine.h"
#include "platform/Dispatch.h"
#include "ui/DocumentWindowController.h"

float DocumentWindowController::zoomedIn(float scale) {
    return scale <= 0.9f ? scale * 1.414f : scale * 2.0f;
}

float DocumentWindowController::zoomedOut(float scale) {
    return scale > 1.1f ? scale * 0.5f : scale / 1.414f;
}

float DocumentWindowController::zoomedOut(float scale, float fitScale) {
    // Below this a picture is a few dots, and further clicks a blank view.
    const float floor = std::min(fitScale, 1.0f / 16);
    return std::max(zoomedOut(scale), std::min(floor, scale));
}

void DocumentWindowController::zoomIn() {
    mImageView->setPixelScaleFactor(zoomedIn(mImageView->pixelScaleFactor()));
}

void DocumentWindowController::zoomOut() {
    mImageView->setPixelScaleFactor(
        zoomedOut(mImageView->pixelScaleFactor(), mImageView->fitScaleFactor()));
}

void DocumentWindowController::segmentedZoomSetClick(int tag) {
    switch (tag) {
        case 0:
            zoomImageToActualSize();
            break;
        case 1:
            zoomImageTo2();
            break;
        case 2:
            zoomImageTo3();
            break;
        case 3:
            zoomImageTo4();
            break;
        case 4:
            zoomImageToFit();
            break;
        default:
            break;
    }
}

void DocumentWindowController::segmentedZoomDeltaClick(int tag) {
    if (tag == 0) zoomIn();
    if (tag == 1) zoomOut();
}

int DocumentWindowController::rotatedOrientation(int stored, bool clockwise) {
    switch (stored) {
        case 0:
        case 1:
            return clockwise ? 6 : 8;
        case 3:
            return clockwise ? 8 : 6;
        case 6:
            return clockwise ? 3 : 0;
        case 8:
            return clockwise ? 0 : 3;
        default:
            return stored;
    }
}

void DocumentWindowController::rotateCCW() { rotateBy(false); }

void DocumentWindowController::rotateCW() { rotateBy(true); }

void DocumentWindowController::rotateBy(bool clockwise) {
    // A view at Fit shows the whole turned image (the view keeps to Fit).
    document_->orientationChanged(rotatedOrientation(document_->getOrientation(), clockwise));
    redisplay();
}

void DocumentWindowController::segmentedControlClick(int tag) {
    if (tag == 1) rotateCW();
    if (tag == 0) rotateCCW();
}

// ---------------------------------------------------------------- white balance, crop

void DocumentWindowController::setAsShot() { document_->setWBAsShot(); }

void DocumentWindowController::setFromEyeDropper() { setCursorMode(cursorMode_ == 2 ? 0 : 2); }

void DocumentWindowController::setTempAndTint(float temperature, float tint) {
    updateControls(SettingsKeys::kInputTemperature, platform::Value(temperature));
    updateControls(SettingsKeys::kInputTint, platform::Value(tint));
}

void DocumentWindowController::setSceneReferred(bool sceneReferred) {
    updateControls(SettingsKeys::kSceneReferred, platform::Value(sceneReferred));
}

void DocumentWindowController::setCursorMode(uint64_t mode) {
    cursorMode_ = mode;
    mImageView->setCursorTrackingMode(mode);
    if (cropButton_) cropButton_->setChecked(mode == 1);
}

void DocumentWindowController::cropRectChanged(const QRectF& r) {
    document_->cropRectChanged(platform::Rect{r.x(), r.y(), r.width(), r.height()});
}

void DocumentWindowController::setCropRect(const QRectF& rect) { mImageView->setCropRect(rect); }

QRectF DocumentWindowController::documentCropRect() const {
    const platform::Rect r = document_->getCropRect();
    return QRectF(r.x, r.y, r.width, r.height);
}

void DocumentWindowController::resetCropArea() {
    const QRectF none(-1, -1, -1, -1);
    document_->cropRectChanged(platform::Rect{-1, -1, -1, -1});
    mImageView->setCropRect(none);
    setCursorMode(0);
}

void DocumentWindowController::eyedropperWasClicked(QWidget*, QPointF point) {
    setCursorMode(0);
    // The patch is read from the engine: off the GUI thread.
    std::weak_ptr<MyDocument> weak = document_;
    QueueEngine::sharedQueueEngine().sharedQueue()->async([weak, point] {
        if (auto document = weak.lock())
            document->setWBFromPoint(platform::Point{point.x(), point.y()});
    });
}
