// Opening a document window on a test file as the shell does, and waiting
// for its tiles, for the document window suites.
#pragma once

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "UiTestHome.h"
#include "document/DocumentController.h"
#include "ui/DocumentWindowController.h"

namespace uitest {

inline std::filesystem::path dng(const char* name) {
    return testsupport::testdataDir() / "raw" / "dng" / name;
}

// Opens the file as the shell does and waits for the first developed image.
inline DocumentWindowController* openWindow(const std::filesystem::path& file,
                                            bool waitForImage = true) {
    DocumentWindowController* window = nullptr;
    DocumentController::sharedDocumentController().openDocumentWithContentsOfURL(
        file.string(), true,
        [&](const MyDocument::Ptr& document, bool, const std::optional<platform::Error>& error) {
            ASSERT_FALSE(error) << error->failureReason;
            window = DocumentWindowController::makeWindowForDocument(document);
        });
    if (!window) return nullptr;
    window->window()->resize(1200, 800);
    if (waitForImage) {
        EXPECT_TRUE(uitest::spinUntil([&] { return window->imageView()->isVisible(); },
                                      std::chrono::seconds(60)));
    }
    return window;
}

// Every visible tile has its picture.
inline bool tilesReady(DocumentWindowController* w) {
    const auto& layer = w->imageView()->tiledLayer();
    if (!layer) return false;
    const QRectF active = layer->activeArea();
    bool any = false;
    for (const auto& tile : layer->sublayers()) {
        if (!tile->frame().intersects(active)) continue;
        any = true;
        if (!tile->hasContents() || tile->contentIsDirty()) return false;
    }
    return any;
}

inline QImage grabView(DocumentWindowController* w) {
    EXPECT_TRUE(uitest::spinUntil([&] { return tilesReady(w); }, std::chrono::seconds(30)));
    uitest::settle();
    return w->imageView()->grab().toImage();
}

inline void screenshot(DocumentWindowController* w, const std::string& name) {
    EXPECT_TRUE(uitest::spinUntil([&] { return tilesReady(w); }, std::chrono::seconds(30)));
    QTest::qWait(100);
    QPixmap picture;
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        picture = w->window()->screen()->grabWindow(w->window()->winId());
    else
        picture = w->window()->grab();
    const char* folder = std::getenv("QUORVEX_SCREENSHOTS");
    if (!folder) return;
    std::filesystem::create_directories(folder);
    EXPECT_TRUE(
        picture.save(QString::fromLocal8Bit(folder) + "/" + QString::fromStdString(name) + ".png"));
}

inline void closeAndWait(DocumentWindowController* w) {
    QPointer<QuorvexDocumentWindow> window = w->window();
    window->close();
    EXPECT_TRUE(uitest::spinUntil([&] { return window.isNull(); }));
}

}  // namespace uitest
