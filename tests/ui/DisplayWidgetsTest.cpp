// The display's parts without a raw file: the image view's zoom, fit, pan,
// orientation and pointer modes; the tile grid's layout, levels and rebuild
// rule; the crop overlay's rules; the histogram picture and its coalescing;
// the unused display cache classes; the window's pure rules.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>
#include <QWheelEvent>
#include <cmath>
#include <thread>

#include "UiTestHome.h"
#include "engine/CoreTiledEngine.h"
#include "platform/BitmapImage.h"
#include "platform/Log.h"
#include "ui/CIImageView.h"
#include "ui/CropLayerController.h"
#include "ui/DisplayTileCache.h"
#include "ui/DocumentImageView.h"
#include "ui/DocumentWindowController.h"
#include "ui/QuorvexTiledLayer.h"
#include "ui/TiledContentLayer.h"

namespace {

TiledEngine::Ptr stageOfSize(double w, double h) {
    return CoreTiledEngine::initWithSize(platform::Size{w, h}, std::nullopt, false);
}

struct Recorder : RizuDavazORAredOreDurirodIrivirar {
    std::vector<QPointF> clicks;
    std::vector<QRectF> crops;
    void eyedropperWasClicked(QWidget*, QPointF p) override { clicks.push_back(p); }
    void cropRectChanged(const QRectF& r) override { crops.push_back(r); }
};

void sendMouse(QWidget* w, QEvent::Type type, QPointF viewPoint, Qt::MouseButtons buttons,
               Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    const QPointF local(viewPoint.x(), w->height() - viewPoint.y());
    QMouseEvent event(type, local, w->mapToGlobal(local), Qt::LeftButton, buttons, modifiers);
    QApplication::sendEvent(w, &event);
}

void sendWheel(QWidget* w, QPoint angleDelta) {
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    QWheelEvent event(at, w->mapToGlobal(at), QPoint(), angleDelta, Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &event);
}

std::vector<QRectF> frames(const TiledContentLayer& layer) {
    std::vector<QRectF> out;
    for (const auto& t : layer.sublayers()) out.push_back(t->frame());
    return out;
}

}  // namespace

TEST(TiledImageView, ScaleRoundingFitPanAndOrientation) {
    EXPECT_FLOAT_EQ(DocumentImageView::roundedScaleFactor(1.5f), 2.0f);
    EXPECT_FLOAT_EQ(DocumentImageView::roundedScaleFactor(2.0f), 2.0f);
    EXPECT_FLOAT_EQ(DocumentImageView::roundedScaleFactor(1.005f), 1.0f);
    EXPECT_FLOAT_EQ(DocumentImageView::roundedScaleFactor(9.0f), 8.0f);
    EXPECT_FLOAT_EQ(DocumentImageView::roundedScaleFactor(0.3f), 0.3f);

    DocumentImageView view;
    view.resize(1200, 800);
    ASSERT_TRUE(view.setImage(stageOfSize(6000, 4000), 1, 0));
    EXPECT_FLOAT_EQ(view.pixelScaleFactor(), 0.2f);
    // At Fit the whole picture shows: the wheel has nothing to scroll.
    for (QPoint delta : {QPoint(0, -360), QPoint(0, 360), QPoint(240, 0)}) {
        sendWheel(&view, delta);
        EXPECT_EQ(view.imageCenter(), QPointF(3000, 2000));
    }
    view.setPixelScaleFactor(1.5f);
    EXPECT_FLOAT_EQ(view.pixelScaleFactor(), 2.0f);
    view.setPixelScaleFactor(-1);
    EXPECT_FLOAT_EQ(view.pixelScaleFactor(), 2.0f);
    // The centre shows the image centre.
    const QPointF c = view.viewPointFromImagePoint(view.imageCenter());
    EXPECT_NEAR(c.x(), 600, 1e-6);
    EXPECT_NEAR(c.y(), 400, 1e-6);
    // Zoomed in, one notch down moves 20 points: 10 image pixels at 200 %.
    sendWheel(&view, QPoint(0, -120));
    EXPECT_EQ(view.imageCenter(), QPointF(3000, 2010));
    sendWheel(&view, QPoint(0, 120));

    // Panning clamps the centre to the image.
    view.panImage(QPointF(0, 0), QPointF(-1e6, 1e6));
    EXPECT_EQ(view.imageCenter(), QPointF(5999, 3999));
    view.panImage(QPointF(0, 0), QPointF(1e6, -1e6));
    EXPECT_EQ(view.imageCenter(), QPointF(0, 0));

    // A turned image swaps the view's sides for the fit; (x, y) lands at (y, W - x).
    view.setOrientation(6);
    view.setScaleFactorToFit();
    EXPECT_FLOAT_EQ(view.pixelScaleFactor(), std::min(800.0f / 6000.0f, 1200.0f / 4000.0f));
    const QTransform t = view.tiledLayer()->transform();
    const float s = view.pixelScaleFactor();
    EXPECT_NEAR(t.map(QPointF(10, 20)).x(), 20 * s, 1e-3);
    EXPECT_NEAR(t.map(QPointF(10, 20)).y(), (6000 - 10) * s, 1e-3);
    // Mirrored codes show the image unturned.
    view.setOrientation(5);
    EXPECT_EQ(view.tiledLayer()->transform().m12(), 0);

    DocumentImageView small;
    small.resize(1200, 800);
    ASSERT_TRUE(small.setImage(stageOfSize(600, 400), 0, 0));
    EXPECT_FLOAT_EQ(small.pixelScaleFactor(), 1.0f);

    EXPECT_EQ(DocumentImageView::imageTransformForOrientation(6, 40, 30),
              QTransform(0, -1, 1, 0, 0, 40));
    EXPECT_EQ(DocumentImageView::imageTransformForOrientation(9, 40, 30), QTransform());
    EXPECT_EQ(DocumentImageView::imageTransformForOrientation(0, 40, 30), QTransform());

    // The pointer outside the view or the image reads (-1, -1).
    small.setCurrentCursorLocation(QPointF(600, 400), true);
    EXPECT_EQ(small.getPixelUnrotatedLocation(), QPointF(300, 200));
    small.setCurrentCursorLocation(QPointF(5, 5), true);
    EXPECT_EQ(small.getPixelUnrotatedLocation(), QPointF(-1, -1));
    small.setCurrentCursorLocation(QPointF(600, 400), false);
    EXPECT_EQ(small.getPixelUnrotatedLocation(), QPointF(-1, -1));
}

// The wheel pans each axis on its own: only the side that overflows the view
// moves, whatever the other side of the wheel's turn says.
TEST(TiledImageView, TheWheelPansOnlyTheSideThatOverflows) {
    // At 100 % in 1200 x 800, a picture too tall and one too wide: a turn
    // both ways, then one along the side that fits.
    const struct {
        double width, height;
        QPoint along;
        QPointF panned;
    } pictures[] = {{1000, 4000, {-240, 0}, {500, 2020}}, {4000, 600, {0, 240}, {1980, 300}}};
    for (const auto& p : pictures) {
        DocumentImageView view;
        view.resize(1200, 800);
        ASSERT_TRUE(view.setImage(stageOfSize(p.width, p.height), 1, 0));
        view.setPixelScaleFactor(1.0f);
        ASSERT_EQ(view.imageCenter(), QPointF(p.width / 2, p.height / 2));
        sendWheel(&view, QPoint(120, -120));
        EXPECT_EQ(view.imageCenter(), p.panned) << p.width;
        sendWheel(&view, p.along);
        EXPECT_EQ(view.imageCenter(), p.panned) << p.width;
    }
}

TEST(TiledImageView, EyedropperClickReportsAndDragPans) {
    DocumentImageView view;
    view.resize(800, 600);
    ASSERT_TRUE(view.setImage(stageOfSize(4000, 3000), 1, 0));
    Recorder recorder;
    view.setEyeDropperDelegate(&recorder);
    view.setCursorTrackingMode(2);

    const QPointF p(400, 300);
    sendMouse(&view, QEvent::MouseButtonPress, p, Qt::LeftButton);
    sendMouse(&view, QEvent::MouseButtonRelease, p, Qt::NoButton);
    ASSERT_EQ(recorder.clicks.size(), 1u);
    EXPECT_EQ(recorder.clicks[0], view.viewPointToUnflippedImage(p, false));

    // A drag pans and reports nothing.
    const QPointF before = view.imageCenter();
    sendMouse(&view, QEvent::MouseButtonPress, p, Qt::LeftButton);
    sendMouse(&view, QEvent::MouseMove, p + QPointF(50, 0), Qt::LeftButton);
    sendMouse(&view, QEvent::MouseButtonRelease, p + QPointF(50, 0), Qt::NoButton);
    EXPECT_EQ(recorder.clicks.size(), 1u);
    EXPECT_LT(view.imageCenter().x(), before.x());

    // With the Option (Alt) key held a click does nothing.
    sendMouse(&view, QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::AltModifier);
    sendMouse(&view, QEvent::MouseButtonRelease, p, Qt::NoButton, Qt::AltModifier);
    EXPECT_EQ(recorder.clicks.size(), 1u);

    // Entering crop mode on a fully visible image takes the middle half.
    view.setScaleFactorToFit();
    view.setCursorTrackingMode(1);
    ASSERT_EQ(recorder.crops.size(), 1u);
    EXPECT_EQ(recorder.crops[0], QRectF(1000, 750, 2000, 1500));
    EXPECT_TRUE(view.cropLayerCntrl()->areAdjusting());
    // A drag of the top-left corner moves those edges and reports the result.
    const QPointF corner = view.viewPointFromImagePoint(QPointF(1000, 750));
    sendMouse(&view, QEvent::MouseButtonPress, corner, Qt::LeftButton);
    sendMouse(&view, QEvent::MouseMove, corner + QPointF(-20, 20), Qt::LeftButton);
    sendMouse(&view, QEvent::MouseButtonRelease, corner + QPointF(-20, 20), Qt::NoButton);
    ASSERT_EQ(recorder.crops.size(), 2u);
    EXPECT_LT(recorder.crops[1].x(), 1000);
    EXPECT_LT(recorder.crops[1].y(), 750);
    EXPECT_DOUBLE_EQ(recorder.crops[1].right(), 3000);
}

TEST(TiledDisplayLayers, GridLevelsAndRebuildRule) {
    auto layer = TiledContentLayer::create(false);
    layer->setContentsScale(1);
    layer->setVisibleRect(QRectF(-1e5, -1e5, 2e5, 2e5));
    layer->setBounds(QRectF(0, 0, 1000, 700));
    EXPECT_EQ(layer->tileSize(), QSizeF(256, 256));
    const auto grid = frames(*layer);
    ASSERT_EQ(grid.size(), 12u);
    EXPECT_EQ(grid[0], QRectF(0, 444, 256, 256));
    EXPECT_EQ(grid[1], QRectF(0, 188, 256, 256));
    EXPECT_EQ(grid[2], QRectF(0, 0, 256, 188));
    EXPECT_EQ(grid[9].x(), 768);
    EXPECT_NEAR(grid[9].width(), 1000 - 768 - double(0.01f), 1e-9);
    EXPECT_EQ(layer->activeTileArea(), QRectF(0, 0, 1000 - double(0.01f), 700));

    EXPECT_EQ(TileResolutionForScale(1.0, ~uint64_t(2)), 0);
    EXPECT_EQ(TileResolutionForScale(0.5, ~uint64_t(2)), 0);
    EXPECT_EQ(TileResolutionForScale(0.49, ~uint64_t(2)), -1);
    EXPECT_EQ(TileResolutionForScale(0.25, ~uint64_t(2)), -1);
    EXPECT_EQ(TileResolutionForScale(0.2, ~uint64_t(2)), -2);
    EXPECT_EQ(TileResolutionForScale(1e-9, 4), -5);
    EXPECT_EQ(TileScaleKey(1.0), 100);
    EXPECT_EQ(TileScaleKey(0.3), 333);

    // The first grid does not store its key: the next pass rebuilds once.
    layer = TiledContentLayer::create(false);
    layer->setVisibleRect(QRectF(-1e5, -1e5, 2e5, 2e5));
    layer->setTransform(QTransform::fromScale(0.3, 0.3));
    layer->setBounds(QRectF(0, 0, 1000, 700));
    const auto first = layer->sublayers();
    layer->setNeedsDisplay();
    const auto second = layer->sublayers();
    EXPECT_NE(first[0], second[0]);
    layer->setTransform(QTransform::fromScale(0.3001, 0.3001));
    layer->setNeedsDisplay();
    EXPECT_EQ(layer->sublayers()[0], second[0]);
    layer->setTransform(QTransform::fromScale(0.25, 0.25));
    layer->setNeedsDisplay();
    EXPECT_NE(layer->sublayers()[0], second[0]);
    EXPECT_EQ(layer->sublayers()[0]->resolution(), -1);

    // A scale that is not positive lays out nothing (and returns).
    for (double bad : {0.0, std::nan("")}) {
        auto other = TiledContentLayer::create(false);
        other->setVisibleRect(QRectF(0, 0, 100, 100));
        other->setTransform(QTransform::fromScale(bad, bad));
        other->setBounds(QRectF(0, 0, 100, 100));
        EXPECT_TRUE(other->sublayers().empty());
    }

    // Nothing visible: a null active area, and hidden pictures are given up.
    layer->setVisibleRect(QRectF(5000, 5000, 10, 10));
    layer->setNeedsDisplay();
    EXPECT_TRUE(layer->activeTileArea().isNull());

    // A new stage of the same extent keeps the grid and dirties every tile.
    auto content = TiledContentLayer::create(true);
    content->setVisibleRect(QRectF(5000, 5000, 10, 10));
    content->setImage(stageOfSize(1000, 700));
    content->setNeedsDisplay();
    const auto tiles = content->sublayers();
    for (auto& t : tiles) t->setContentIsDirty(false);
    content->setImage(stageOfSize(1000, 700));
    EXPECT_EQ(content->sublayers(), tiles);
    for (auto& t : content->sublayers()) EXPECT_TRUE(t->contentIsDirty());
}

TEST(CropOverlay, DragClampsEdgeChoiceEntryAndFrameWidth) {
    EXPECT_TRUE(CropLayerController::layerRect(QRectF(-1, -1, -1, -1), 3000).isEmpty());
    EXPECT_TRUE(CropLayerController::layerRect(QRectF(10, 10, 1.4, 500), 3000).isEmpty());
    EXPECT_EQ(CropLayerController::layerRect(QRectF(10, 10, 2, 500), 3000),
              QRectF(10, 2490, 2, 500));

    const QRectF crop(1000, 750, 2000, 1500);
    const QSizeF image(4000, 3000);
    CropLayerController::Edges left;
    left.left = true;
    EXPECT_EQ(CropLayerController::moveCrop(crop, left, QPointF(1000, 0), QPointF(3000, 0), image),
              QRectF(2900, 750, 100, 1500));
    EXPECT_EQ(CropLayerController::moveCrop(crop, left, QPointF(1000, 0), QPointF(-500, 0), image),
              QRectF(0, 750, 3000, 1500));
    CropLayerController::Edges bottom;
    bottom.bottom = true;
    EXPECT_EQ(CropLayerController::moveCrop(crop, bottom, QPointF(0, 0), QPointF(0, 5000), image),
              QRectF(1000, 750, 2000, 2250));

    const auto middle = CropLayerController::chooseEdges(crop, crop.center());
    EXPECT_TRUE(middle.left && middle.top && !middle.right && !middle.bottom);
    const auto far = CropLayerController::chooseEdges(crop, QPointF(2900, 2200));
    EXPECT_TRUE(far.right && far.bottom);

    EXPECT_EQ(CropLayerController::entryCrop(QRectF(0, 0, 4000, 3000)),
              QRectF(1000, 750, 2000, 1500));
    EXPECT_FLOAT_EQ(CropLayerController::frameWidth(0.5), 3.0f);
    EXPECT_FLOAT_EQ(CropLayerController::frameWidth(4.0), 2.0f);
    EXPECT_EQ(CropLayerController::roundedUp(QRectF(0.2, 1.0, 99.01, 5.5)), QRectF(1, 1, 100, 6));

    // No crop draws nothing, not even the shade.
    auto settings = TiledContentLayer::create(true);
    auto controller = CropLayerController::initReadyToAdjust(true, settings);
    ASSERT_TRUE(controller);
    controller->setSize(QRectF(0, 0, 64, 64));
    TileDrawSublayer tile;
    tile.setFrame(QRectF(0, 0, 64, 64));
    QImage canvas(64, 64, QImage::Format_RGB32);
    canvas.fill(Qt::white);
    {
        QPainter painter(&canvas);
        controller->drawLayer(tile, painter, 1.0);
    }
    EXPECT_EQ(canvas.pixel(5, 5), qRgb(255, 255, 255));
    controller->setCropArea(QRectF(16, 16, 32, 32));
    {
        QPainter painter(&canvas);
        controller->drawLayer(tile, painter, 1.0);
    }
    EXPECT_LT(qGray(canvas.pixel(2, 2)), 100);             // shaded outside
    EXPECT_EQ(canvas.pixel(32, 32), qRgb(255, 255, 255));  // clear inside, off the grid lines
}

// On a white image the white frame needs a dark band to be seen.
TEST(CropOverlay, FrameHasADarkBandBesideTheWhiteLine) {
    auto settings = TiledContentLayer::create(true);
    auto controller = CropLayerController::initReadyToAdjust(true, settings);
    ASSERT_TRUE(controller);
    controller->setSize(QRectF(0, 0, 256, 256));
    controller->setCropArea(QRectF(64, 64, 128, 128));
    TileDrawSublayer tile;
    tile.setFrame(QRectF(0, 0, 256, 256));
    QImage canvas(256, 256, QImage::Format_RGB32);
    canvas.fill(Qt::white);
    {
        QPainter painter(&canvas);
        controller->drawLayer(tile, painter, 1.0);
    }
    // The frame line along the left edge is white; just inside it is dark.
    EXPECT_EQ(canvas.pixel(63, 128), qRgb(255, 255, 255));
    EXPECT_LT(qGray(canvas.pixel(65, 128)), 100);
    EXPECT_EQ(canvas.pixel(96, 128), qRgb(255, 255, 255));  // the crop stays clear
}

TEST(Histogram, BarsAllBlackAndCoalescing) {
    // A mid-grey thumbnail fills one column; the others only their bottom row.
    auto grey = ImageBufferF32::initWithSize(16, 16, nullptr, nullptr);
    ASSERT_TRUE(grey);
    for (int y = 0; y < 16; ++y) {
        float* p = grey->bufferFloatForRow(y);
        for (int i = 0; i < 16 * 4; ++i) p[i] = 0.5f;
    }
    auto builder = HistogramBuilder::initWithBuffer(*grey);
    ASSERT_TRUE(builder);
    builder->setOutputSize(QSizeF(100, 20));
    auto picture = builder->getOutputImage();
    ASSERT_TRUE(picture);
    const int bin = int(std::pow(0.5f, 0.45454544f) * 100);
    auto pixel = [&](int x, int yFromBottom) {
        const uint16_t* p = picture->bufferU16ForRow(19 - yFromBottom, x);
        return std::array<uint16_t, 3>{p[0], p[1], p[2]};
    };
    EXPECT_EQ(pixel(bin, 19), (std::array<uint16_t, 3>{20000, 20000, 20000}));
    EXPECT_EQ(pixel(bin + 3, 0), (std::array<uint16_t, 3>{20000, 20000, 20000}));
    EXPECT_EQ(pixel(bin + 3, 1), (std::array<uint16_t, 3>{6500, 6500, 6500}));

    // All black: no peak among the counted bins gives bars of no height.
    auto black = ImageBufferF32::initWithSize(8, 8, nullptr, nullptr);
    for (int y = 0; y < 8; ++y) std::fill_n(black->bufferFloatForRow(y), 32, 0.0f);
    auto blackBuilder = HistogramBuilder::initWithBuffer(*black);
    blackBuilder->setOutputSize(QSizeF(50, 10));
    auto blackPicture = blackBuilder->getOutputImage();
    ASSERT_TRUE(blackPicture);
    EXPECT_EQ(blackPicture->bufferU16ForRow(9, 0)[0], 20000);
    EXPECT_EQ(blackPicture->bufferU16ForRow(0, 0)[0], 6500);
    // Under 1 x 1 device pixels nothing is built.
    auto tiny = HistogramBuilder::initWithBuffer(*black);
    tiny->setOutputSize(QSizeF(0.5, 10));
    EXPECT_FALSE(tiny->getOutputImage());

    // Images handed in during a build make one more build, for the last.
    CIImageView view;
    view.resize(202, 60);
    auto big = ImageBufferF32::initWithSize(2000, 1500, nullptr, nullptr);
    view.setImage(big);
    view.setImage(grey);
    view.setImage(grey);
    view.setImage(grey);
    ASSERT_TRUE(uitest::spinUntil([&] { return !view.picture().isNull(); }));
    uitest::settle();
    EXPECT_LE(view.buildCount(), 2);
    EXPECT_EQ(view.picture().width(), 200);
}

TEST(DisplayCacheClasses, GenerationsShiftAndKeysHash) {
    DisplayRawTile key(3, 2, 1, 256);
    EXPECT_EQ(key.hash(), (1u << 24) + (2u << 12) + 3u);
    DisplayTileCache cache(2, 256, 2);
    auto a = std::make_shared<DisplayRawTile>(0, 0, 0, 256);
    auto b = std::make_shared<DisplayRawTile>(0, 1, 0, 256);
    cache.insertItem(a);
    cache.insertItem(b);
    EXPECT_TRUE(cache.generation(0).empty());
    EXPECT_EQ(cache.generation(1).size(), 2u);
    EXPECT_EQ(cache.checkCache(0, 0, 0), a);
    EXPECT_EQ(cache.generation(0).count(a), 1u);
    EXPECT_EQ(cache.checkCache(5, 5, 0), nullptr);

    int n = 0;
    double s = 0;
    QuorvexTiledLayer::powerOfTwoScale(1.0, &n, &s);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(s, 1.0);
    QuorvexTiledLayer::powerOfTwoScale(3.0, &n, &s);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(s, 4.0);
    QuorvexTiledLayer::powerOfTwoScale(7.0, &n, &s);
    EXPECT_EQ(s, 8.0);
}

TEST(DisplayCacheClasses, ResizedTilesAndTheZeroValueLine) {
    // A solid 4 x 2 picture drawn at 8 x 4 fills it; transposed it fills the
    // 4-wide left part of the context only.
    const std::vector<uint8_t> pixels(4 * 2 * 4, 0);
    std::vector<uint8_t> orange = pixels;
    for (size_t i = 0; i < orange.size(); i += 4) {
        orange[i] = 250;
        orange[i + 1] = 120;
        orange[i + 2] = 10;
        orange[i + 3] = 255;
    }
    auto image = platform::BitmapImage::create(
        4, 2, 8, 32, 16, platform::kBitmapAlphaPremultipliedLast, platform::sRGBColorSpace(),
        platform::BitmapDataProvider::withData(orange));
    ASSERT_TRUE(image);
    auto plain = DisplayRawTile::createResizedImageBitmap(*image, platform::Size{8.7, 4.2}, false,
                                                          platform::BitmapInterpolation::None);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->width(), 8u);
    EXPECT_EQ(plain->height(), 4u);
    EXPECT_EQ(plain->bytesPerRow(), 8u * 4u);
    for (size_t y = 0; y < 4; ++y)
        for (size_t x = 0; x < 8; ++x)
            EXPECT_EQ(plain->data()[y * 32 + x * 4], 250) << x << "," << y;
    auto turned = DisplayRawTile::createResizedImage(*image, platform::Size{8, 4}, true,
                                                     platform::BitmapInterpolation::None);
    ASSERT_TRUE(turned);
    const uint8_t* bytes = turned->dataProvider()->bytes();
    EXPECT_EQ(bytes[2 * 32 + 1 * 4], 250);
    EXPECT_EQ(bytes[2 * 32 + 6 * 4], 0);
    // Non-premultiplied alpha asks for three samples a row: the rows still
    // hold the four-component pixels.
    auto straight = platform::BitmapImage::create(4, 2, 8, 32, 16, platform::kBitmapAlphaLast,
                                                  platform::sRGBColorSpace(),
                                                  platform::BitmapDataProvider::withData(orange));
    auto straightContext = DisplayRawTile::createResizedImageBitmap(
        *straight, platform::Size{8, 4}, false, platform::BitmapInterpolation::None);
    ASSERT_TRUE(straightContext);
    EXPECT_EQ(straightContext->bytesPerRow(), 32u);

    // An empty image description is logged with its values.
    DisplayTileCache cache(2, 256, 2);
    cache.cacheImage().set("width", platform::Value(int64_t(0)));
    cache.cacheImage().set("height", platform::Value(int64_t(0)));
    platform::LogCapture log;
    EXPECT_EQ(cache.tileForDisplayRow(0, 0, 0), nullptr);
    EXPECT_TRUE(log.contains("zero value: {width = 0; height = 0}"))
        << (log.lines().empty() ? "" : log.lines().back());
}

TEST(DisplayCacheClasses, TiledLayerSetUpTimeoutAndLastTileNotice) {
    auto layer = QuorvexTiledLayer::create();
    int updates = 0;
    layer->setTiledLayerDelegate([&](QuorvexTiledLayer&) { ++updates; });
    layer->setImage(nullptr);
    EXPECT_TRUE(layer->isOpaque());
    EXPECT_EQ(layer->tileSize(), QSize(256, 256));
    EXPECT_EQ(layer->levelsOfDetail(), uint64_t(-3));
    EXPECT_EQ(layer->anchorPoint(), QPointF(0, 0));
    EXPECT_EQ(layer->magnificationFilter(), QuorvexTiledLayer::Filter::Nearest);
    // The update comes a second later, on the main queue, and keeps the delegate.
    QTest::qWait(500);
    EXPECT_EQ(updates, 0);
    ASSERT_TRUE(uitest::spinUntil([&] { return updates == 1; }, std::chrono::seconds(3)));
    EXPECT_TRUE(layer->hasDelegate());

    // The last of two drawing tiles tells the delegate once, then drops it.
    layer->startTileDraw();
    layer->startTileDraw();
    layer->endTileDraw();
    uitest::settle();
    EXPECT_EQ(updates, 1);
    std::thread other([&] { layer->endTileDraw(); });
    other.join();
    ASSERT_TRUE(uitest::spinUntil([&] { return updates == 2; }));
    EXPECT_FALSE(layer->hasDelegate());
    // A layer gone before its second leaves nothing behind.
    std::weak_ptr<QuorvexTiledLayer> gone;
    {
        auto brief = QuorvexTiledLayer::create();
        brief->setTiledLayerDelegate([&](QuorvexTiledLayer&) { ++updates; });
        brief->setImage(nullptr);
        gone = brief;
    }
    QTest::qWait(1200);
    EXPECT_TRUE(gone.expired());
    EXPECT_EQ(updates, 2);
}

TEST(DocumentWindowRules, ZoomRotationStepsAndPhotoCDTexts) {
    using W = DocumentWindowController;
    EXPECT_NEAR(W::zoomedIn(0.5f), 0.707f, 1e-6);
    EXPECT_FLOAT_EQ(W::zoomedIn(1.0f), 2.0f);
    EXPECT_NEAR(W::zoomedOut(1.0f), 0.7072f, 1e-4);
    EXPECT_FLOAT_EQ(W::zoomedOut(1.2f), 0.6f);

    int o = 1;
    std::vector<int> seen;
    for (int i = 0; i < 4; ++i) seen.push_back(o = W::rotatedOrientation(o, true));
    EXPECT_EQ(seen, (std::vector<int>{6, 3, 8, 0}));
    EXPECT_EQ(W::rotatedOrientation(0, false), 8);
    EXPECT_EQ(W::rotatedOrientation(5, false), 5);

    EXPECT_DOUBLE_EQ(W::keyboardStep(0, 10), 0.01);
    EXPECT_DOUBLE_EQ(W::keyboardStep(0, 20), 0.1);
    EXPECT_EQ(W::parameterID("12Quorvex_Filter_inputEV2"),
              QStringLiteral("Quorvex_Filter_inputEV"));

    EXPECT_EQ(W::resolutionIndexForSize(3072, 2048), 4);
    EXPECT_EQ(W::resolutionIndexForSize(1024, 1536), 3);
    EXPECT_EQ(W::resStringForInt(W::resolutionIndexForSize(1000, 700)), QStringLiteral("Error"));
    const platform::Value none;
    EXPECT_EQ(W::photoCDDiagnostic(4, 4, none, std::nullopt),
              QStringLiteral("Image resolution is 16Base. This matches the resolution selected in "
                             "Preferences.\n"));
    EXPECT_TRUE(W::photoCDDiagnostic(3, 3, none, std::nullopt)
                    .endsWith(QStringLiteral("by changing the Prefereneces value. ")));
    EXPECT_EQ(W::photoCDDiagnostic(3, 4, none, std::nullopt),
              QStringLiteral("A Photo CD resolution error occured. "));
    EXPECT_EQ(
        W::photoCDDiagnostic(4, 3, none, std::nullopt),
        QStringLiteral("The Photo CD resolution that you selected in preferences (16Base) was "
                       "not available; the best available resolution is displayed. "));
    EXPECT_EQ(
        W::photoCDDiagnostic(5, 4, none, QStringLiteral("Kodak")),
        QStringLiteral("Requested 64Base but no IPE status present. \n\nScanner profile: Kodak "));
    EXPECT_EQ(W::photoCDDiagnostic(5, 4, platform::Value(int64_t(3)), std::nullopt),
              QStringLiteral("Image Pac Extension (IPE) files found. "));
}
