// The document window on real DNG files: the tiled display, zoom, rotation,
// crop, histogram, readout, export and closing. Pictures go to
// $QUORVEX_SCREENSHOTS for a person to look at.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "UiTestHome.h"
#include "document/DocumentController.h"
#include "platform/ImageReader.h"
#include "ui/CIImageView.h"
#include "ui/VudeVuzevOveredIvozuvevov.h"

namespace fs = std::filesystem;

namespace {

fs::path dng(const char* name) { return testsupport::testdataDir() / "raw" / "dng" / name; }

// Opens the file as the shell does and waits for the first developed image.
VudeVuzevOveredIvozuvevov* openWindow(const fs::path& file, bool waitForImage = true) {
    VudeVuzevOveredIvozuvevov* window = nullptr;
    pcdDocumentController::sharedDocumentController().openDocumentWithContentsOfURL(
        file.string(), true,
        [&](const MyDocument::Ptr& document, bool, const std::optional<platform::Error>& error) {
            ASSERT_FALSE(error) << error->failureReason;
            window = VudeVuzevOveredIvozuvevov::makeWindowForDocument(document);
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
bool tilesReady(VudeVuzevOveredIvozuvevov* w) {
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

QImage grabView(VudeVuzevOveredIvozuvevov* w) {
    EXPECT_TRUE(uitest::spinUntil([&] { return tilesReady(w); }, std::chrono::seconds(30)));
    uitest::settle();
    return w->imageView()->grab().toImage();
}

void screenshot(VudeVuzevOveredIvozuvevov* w, const std::string& name) {
    EXPECT_TRUE(uitest::spinUntil([&] { return tilesReady(w); }, std::chrono::seconds(30)));
    QTest::qWait(100);
    QPixmap picture;
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        picture = w->window()->screen()->grabWindow(w->window()->winId());
    else
        picture = w->window()->grab();
    const char* folder = std::getenv("QUORVEX_SCREENSHOTS");
    if (!folder) return;
    fs::create_directories(folder);
    EXPECT_TRUE(
        picture.save(QString::fromLocal8Bit(folder) + "/" + QString::fromStdString(name) + ".png"));
}

// Fraction of pixels brighter than black.
double litFraction(const QImage& image) {
    size_t lit = 0, all = 0;
    for (int y = 0; y < image.height(); y += 4)
        for (int x = 0; x < image.width(); x += 4, ++all)
            if (qGray(image.pixel(x, y)) > 8) ++lit;
    return all ? double(lit) / double(all) : 0;
}

void closeAndWait(VudeVuzevOveredIvozuvevov* w) {
    QPointer<QuorvexDocumentWindow> window = w->window();
    window->close();
    EXPECT_TRUE(uitest::spinUntil([&] { return window.isNull(); }));
}

}  // namespace

TEST(DocumentWindow, ShowsZoomsRotatesCropsAndDrawsTheHistogram) {
    uitest::UiTestHome home;
    for (const char* name : {"rpi-1920x1200_10bit-packed_single-tile.dng",
                             "rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng"}) {
        SCOPED_TRACE(name);
        const std::string stem = fs::path(name).stem().string().substr(0, 12);
        auto* w = openWindow(dng(name));
        ASSERT_NE(w, nullptr);
        auto* view = w->imageView();
        const QRectF size = view->imageSize();
        ASSERT_GT(size.width(), 0);

        // Fit: the whole image shows, centred, never enlarged.
        EXPECT_LE(view->pixelScaleFactor(), 1.0f);
        QImage fit = grabView(w);
        EXPECT_GT(litFraction(fit), 0.3);
        EXPECT_EQ(view->imageCenter(), QPointF(size.width() / 2, size.height() / 2));
        screenshot(w, stem + "-fit");

        w->zoomImageToActualSize();
        EXPECT_FLOAT_EQ(view->pixelScaleFactor(), 1.0f);
        EXPECT_GT(litFraction(grabView(w)), 0.3);
        screenshot(w, stem + "-1to1");
        w->zoomImageTo2();
        EXPECT_FLOAT_EQ(view->pixelScaleFactor(), 2.0f);
        screenshot(w, stem + "-2x");
        w->zoomImageToFit();

        w->rotateCW();
        EXPECT_EQ(w->document()->getOrientation(), 6);
        EXPECT_EQ(view->imageOrientation(), 6);
        screenshot(w, stem + "-rotated");
        w->rotateCCW();
        EXPECT_EQ(w->document()->getOrientation(), 0);

        // Entering crop mode without a crop takes the middle half of what shows.
        w->setCursorMode(1);
        const platform::Rect crop = w->document()->getCropRect();
        EXPECT_NEAR(crop.x, std::ceil(size.width() / 4), 1);
        EXPECT_NEAR(crop.width, std::ceil(size.width() / 2), 1);
        screenshot(w, stem + "-cropping");
        w->setCursorMode(0);
        screenshot(w, stem + "-cropped");
        w->resetCropArea();
        EXPECT_LT(w->document()->getCropRect().width, 0);

        EXPECT_TRUE(uitest::spinUntil([&] { return !w->histogramView()->picture().isNull(); }));
        screenshot(w, stem + "-histogram");
        closeAndWait(w);
    }
}
