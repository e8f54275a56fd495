// What the document sees of its window, from any thread: the visible tile
// area comes from the rectangle the image view stores at each layout; the
// other calls go to the window on the main queue, and are dropped once the
// window is gone.
#pragma once

#include <QPointer>
#include <memory>

#include "document/MyDocument.h"
#include "ui/DocumentImageView.h"

class DocumentWindowController;

class DocumentWindowAdapter : public MyDocumentWindowController {
public:
    DocumentWindowAdapter(DocumentWindowController* window,
                          std::shared_ptr<SharedTiledRect> activeRect);
    platform::Rect activeTiledRect() const override;
    void setTempAndTint(float temperature, float tint) override;
    void setSceneReferred(bool sceneReferred) override;
    void performClose() override;

private:
    QPointer<DocumentWindowController> window_;
    std::shared_ptr<SharedTiledRect> activeRect_;
};
