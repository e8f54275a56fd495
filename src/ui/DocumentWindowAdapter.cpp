#include "ui/DocumentWindowAdapter.h"

#include "platform/Dispatch.h"
#include "ui/DocumentWindowController.h"

DocumentWindowAdapter::DocumentWindowAdapter(DocumentWindowController* window,
                                             std::shared_ptr<SharedTiledRect> activeRect)
    : window_(window), activeRect_(std::move(activeRect)) {}

platform::Rect DocumentWindowAdapter::activeTiledRect() const {
    const QRectF r = activeRect_->get();
    if (r.isNull()) return platform::Rect{};
    return platform::Rect{r.x(), r.y(), r.width(), r.height()};
}

void DocumentWindowAdapter::setTempAndTint(float temperature, float tint) {
    QPointer<DocumentWindowController> w = window_;
    platform::DispatchQueue::main()->async([w, temperature, tint] {
        if (w) w->setTempAndTint(temperature, tint);
    });
}

void DocumentWindowAdapter::setSceneReferred(bool sceneReferred) {
    QPointer<DocumentWindowController> w = window_;
    platform::DispatchQueue::main()->async([w, sceneReferred] {
        if (w) w->setSceneReferred(sceneReferred);
    });
}

void DocumentWindowAdapter::performClose() {
    QPointer<DocumentWindowController> w = window_;
    platform::DispatchQueue::main()->async([w] {
        if (w) w->performClose();
    });
}
