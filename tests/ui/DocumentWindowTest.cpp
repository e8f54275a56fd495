// The document window on real DNG files: the tiled display, zoom, rotation,
// crop, histogram, readout, export and closing. Pictures go to
// $QUORVEX_SCREENSHOTS for a person to look at.
#include <gtest/gtest.h>
#include <lcms2.h>

#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "DocumentWindowSupport.h"
#include "UiTestHome.h"
#include "color/ColorSyncProfileWrap.h"
#include "dng/image/HandMadeDng.h"
#include "document/DocumentController.h"
#include "document/PresetManager.h"
#include "engine/CoreTiledEngine.h"
#include "engine/MultiDataStore.h"
#include "platform/ImageReader.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "support/ShortLockWait.h"
#include "ui/ApplicationShell.h"
#include "ui/CIImageView.h"
#include "ui/DisplayColor.h"
#include "ui/DocumentWindowController.h"
#include "ui/MessageBar.h"
#include "ui/QuorvexAppDelegate.h"
#include "ui/QuorvexClickTextField.h"

namespace fs = std::filesystem;
using namespace uitest;

QUORVEX_TEST_HELPER(testsupport::holdLock)

namespace {

// The save panel the window has open (null: none).
QFileDialog* openPanel(DocumentWindowController* w) {
    for (auto* panel : w->window()->findChildren<QFileDialog*>())
        if (panel->isVisible()) return panel;
    return nullptr;
}

// Fraction of pixels brighter than black.
double litFraction(const QImage& image) {
    size_t lit = 0, all = 0;
    for (int y = 0; y < image.height(); y += 4)
        for (int x = 0; x < image.width(); x += 4, ++all)
            if (qGray(image.pixel(x, y)) > 8) ++lit;
    return all ? double(lit) / double(all) : 0;
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

// At Fit the whole picture shows whatever changes the view's size (a message
// bar that comes and goes) or the picture's orientation; another zoom stays.
TEST(DocumentWindow, FitKeepsTheWholePictureInView) {
    uitest::UiTestHome home;
    auto* w = openWindow(dng("rpi-1920x1200_10bit-packed_single-tile.dng"));
    ASSERT_NE(w, nullptr);
    auto* view = w->imageView();
    const QRectF picture = view->imageSize();
    const auto wholeShown = [&] {
        uitest::settle();
        const QRectF shown = view->displayedImageRect().adjusted(-1, -1, 1, 1);
        return shown.contains(picture) &&
               std::abs(view->pixelScaleFactor() - view->fitScaleFactor()) < 1e-4f;
    };
    w->zoomImageToFit();
    w->rotateCW();  // upright: the view's height is what limits it
    const QString warning = QStringLiteral("A warning that takes a few lines. ").repeated(12);
    w->messageBar()->addMessage(warning);
    EXPECT_TRUE(wholeShown()) << "with the bar";
    for (int turn = 2; turn <= 4; ++turn) {
        w->rotateCW();
        EXPECT_TRUE(wholeShown()) << "turned " << turn * 90;
        // No line of background between two tiles of a turned picture.
        const QImage shown = grabView(w);
        const QRect inside = view->viewRectFromImageRect(picture)
                                 .toAlignedRect()
                                 .adjusted(2, 2, -3, -3)
                                 .intersected(shown.rect());
        const auto dark = [&](int x, int y) { return qGray(shown.pixel(x, y)) <= 8; };
        for (int y = inside.top(); y <= inside.bottom(); ++y) {
            int count = 0;
            for (int x = inside.left(); x <= inside.right(); ++x) count += dark(x, y);
            EXPECT_LT(count, inside.width() * 9 / 10) << "a dark row " << y << " at " << turn * 90;
        }
        for (int x = inside.left(); x <= inside.right(); ++x) {
            int count = 0;
            for (int y = inside.top(); y <= inside.bottom(); ++y) count += dark(x, y);
            EXPECT_LT(count, inside.height() * 9 / 10)
                << "a dark column " << x << " at " << turn * 90;
        }
    }
    w->messageBar()->dismiss();
    w->window()->resize(900, 1000);
    EXPECT_TRUE(wholeShown()) << "without the bar, resized";
    w->zoomImageToActualSize();
    w->messageBar()->addMessage(warning);
    uitest::settle();
    EXPECT_FLOAT_EQ(view->pixelScaleFactor(), 1.0f);
    closeAndWait(w);
}

// The shade outside a crop is drawn tile by tile: no row or column at a
// seam between tiles may stay bright, upright or turned, at fit, fractional
// or whole zooms, the picture scrolled off whole pixels.
TEST(DocumentWindow, TheShadeOutsideTheCropHasNoSeams) {
    uitest::UiTestHome home;
    auto* w = openWindow(dng("rpi-1920x1200_10bit-packed_single-tile.dng"));
    ASSERT_NE(w, nullptr);
    w->window()->resize(1280, 800);
    auto* view = w->imageView();
    auto* overlay = view->cropLayerCntrl();
    ASSERT_NE(overlay, nullptr);
    const QRectF crop(900, 560, 120, 80);
    view->setCropRect(crop);
    for (bool turned : {false, true}) {
        if (turned) w->rotateCW();
        for (float zoom : {view->fitScaleFactor(), 0.33f, 0.67f, 1.0f})
            for (double offset : {0.3, 0.5, 0.7}) {
                SCOPED_TRACE(::testing::Message() << turned << " " << zoom << " " << offset);
                view->setScaleFactorToFit();
                view->setPixelScaleFactor(zoom);
                view->panImage(QPointF(0, 0), QPointF(37 + offset, 21 + offset));
                overlay->setShowCropArea(false);
                const QImage plain = grabView(w);
                overlay->setShowCropArea(true);
                const QImage shaded = grabView(w);
                const QRectF clear = view->viewRectFromImageRect(crop).adjusted(-2, -2, 2, 2);
                int bright = 0;
                for (int y = 0; y < shaded.height(); ++y)
                    for (int x = 0; x < shaded.width(); ++x) {
                        const int before = qGray(plain.pixel(x, y));
                        if (before > 40 && qGray(shaded.pixel(x, y)) > before / 2 &&
                            !clear.contains(view->viewPointFromWidget(QPointF(x + 0.5, y + 0.5))))
                            ++bright;
                    }
                EXPECT_EQ(bright, 0);
            }
    }
    closeAndWait(w);
}

TEST(DocumentWindow, OneToOneMatchesTheExportAndTheScreenProfile) {
    uitest::UiTestHome home;
    auto* w = openWindow(dng("rpi-1920x1200_10bit-packed_single-tile.dng"));
    ASSERT_NE(w, nullptr);
    auto* view = w->imageView();
    w->zoomImageToActualSize();
    const QImage shown = grabView(w);
    ASSERT_EQ(shown.devicePixelRatio(), 1.0);

    const fs::path jpeg = home.path() / "whole.jpg";
    platform::Error error;
    ASSERT_TRUE(w->document()->exportToURL(jpeg, "public.jpeg", platform::Rect{-1, -1, -1, -1},
                                           false, &error))
        << error.failureReason;
    const QImage exported(QString::fromStdString(jpeg.string()));
    ASSERT_FALSE(exported.isNull());
    ASSERT_EQ(exported.width(), int(view->imageSize().width()));

    // 512 x 512 view pixels around the centre against the same image pixels.
    std::vector<int> differences;
    const int x0 = view->width() / 2 - 256, y0 = view->height() / 2 - 256;
    ASSERT_GE(x0, 0);
    ASSERT_GE(y0, 0);
    for (int y = y0; y < y0 + 512; ++y)
        for (int x = x0; x < x0 + 512; ++x) {
            const QPointF p = view->viewPointToUnflippedImage(
                view->viewPointFromWidget(QPointF(x + 0.5, y + 0.5)), true);
            ASSERT_GE(p.x(), 0);
            const QRgb a = shown.pixel(x, y), b = exported.pixel(int(p.x()), int(p.y()));
            differences.push_back(std::abs(qRed(a) - qRed(b)));
            differences.push_back(std::abs(qGreen(a) - qGreen(b)));
            differences.push_back(std::abs(qBlue(a) - qBlue(b)));
        }
    double mean = 0;
    for (int d : differences) mean += d;
    mean /= double(differences.size());
    std::sort(differences.begin(), differences.end());
    EXPECT_LE(mean, 2.0);
    EXPECT_LE(differences[differences.size() * 99 / 100], 6) << mean;
    // The same rendering before JPEG compression: the engine's own sRGB
    // image of the whole frame.
    platform::Error renderError;
    auto rendered = std::static_pointer_cast<CoreTiledEngine>(w->document()->outputImage())
                        ->fullSizeImage(platform::Rect{}, ColorSyncProfileWrap::initWithSRGB(),
                                        false, 0, &renderError);
    ASSERT_TRUE(rendered) << renderError.failureReason;
    const auto& srgb = *rendered->getImageRef();
    std::vector<int> plain;
    for (int y = y0; y < y0 + 512; ++y)
        for (int x = x0; x < x0 + 512; ++x) {
            const QPointF p = view->viewPointToUnflippedImage(
                view->viewPointFromWidget(QPointF(x + 0.5, y + 0.5)), true);
            const auto* px = reinterpret_cast<const uint16_t*>(srgb.dataProvider()->bytes() +
                                                               size_t(p.y()) * srgb.bytesPerRow() +
                                                               size_t(p.x()) * 8);
            const QRgb a = shown.pixel(x, y);
            const int c[3] = {qRed(a), qGreen(a), qBlue(a)};
            for (int k = 0; k < 3; ++k)
                plain.push_back(
                    std::abs(c[k] - int(std::lround(std::min(1.0, px[k] / 65325.0) * 255))));
        }
    std::sort(plain.begin(), plain.end());
    EXPECT_LE(plain[plain.size() * 99 / 100], 6);
    EXPECT_LE(plain.back(), 16);

    // With ProPhoto as the screen, a tile's picture is lcms2's conversion of
    // the engine's 16-bit tile (65325 as 1.0).
    const fs::path prophoto = testsupport::testdataDir() / "icc" / "ProPhotoRGB_v4.icc";
    auto screen = platform::IccProfile::fromFile(prophoto);
    ASSERT_TRUE(screen);
    bool thumb = false;
    auto tile = w->document()->outputImage()->imageTile(0, 1.0, platform::Rect{512, 256, 256, 256},
                                                        nullptr, &thumb, false, 0);
    ASSERT_TRUE(tile);
    ASSERT_FALSE(thumb);
    const auto& bitmap = *tile->getImageRef();
    const QImage converted = platform::DisplayColor::screenImage(bitmap, screen);
    ASSERT_EQ(converted.width(), 256);
    cmsHPROFILE in =
        cmsOpenProfileFromMem(bitmap.colorSpace()->profile()->bytes().data(),
                              cmsUInt32Number(bitmap.colorSpace()->profile()->bytes().size()));
    cmsHPROFILE out = cmsOpenProfileFromFile(prophoto.c_str(), "r");
    cmsHTRANSFORM t = cmsCreateTransform(in, TYPE_RGB_DBL, out, TYPE_RGB_DBL, INTENT_PERCEPTUAL,
                                         cmsFLAGS_NOCACHE);
    ASSERT_TRUE(t);
    int worst = 0;
    for (int y = 0; y < 256; y += 7)
        for (int x = 0; x < 256; x += 7) {
            const auto* px = reinterpret_cast<const uint16_t*>(
                bitmap.dataProvider()->bytes() + size_t(y) * bitmap.bytesPerRow() + size_t(x) * 8);
            double rgb[3] = {std::min(1.0, px[0] / 65325.0), std::min(1.0, px[1] / 65325.0),
                             std::min(1.0, px[2] / 65325.0)};
            double o[3];
            cmsDoTransform(t, rgb, o, 1);
            const QRgb c = converted.pixel(x, y);
            const int r = int(std::lround(std::clamp(o[0], 0.0, 1.0) * 255));
            const int g = int(std::lround(std::clamp(o[1], 0.0, 1.0) * 255));
            const int b = int(std::lround(std::clamp(o[2], 0.0, 1.0) * 255));
            worst = std::max(
                {worst, std::abs(qRed(c) - r), std::abs(qGreen(c) - g), std::abs(qBlue(c) - b)});
        }
    cmsDeleteTransform(t);
    cmsCloseProfile(in);
    cmsCloseProfile(out);
    EXPECT_LE(worst, 1);
    closeAndWait(w);
}

TEST(DocumentWindow, ReadoutStepsDefaultsPresetsAndWriteBack) {
    uitest::UiTestHome home;
    uitest::ScriptedAlerts alerts;
    auto* w = openWindow(dng("rpi-1920x1200_10bit-packed_single-tile.dng"));
    ASSERT_NE(w, nullptr);
    auto document = w->document();
    auto* view = w->imageView();

    // The readout never waits for an export's lock: text unchanged, asked again.
    // On a real X server the pointer may rest over the image: keep it out.
    ASSERT_TRUE(uitest::spinUntil([&] {
        view->setCurrentCursorLocation(QPointF(-1, -1), false);
        return w->pixelValues()->text().startsWith("Zoom");
    }));
    w->pixelTick();
    const QString before = w->pixelValues()->text();
    view->setCurrentCursorLocation(QPointF(view->width() / 2.0, view->height() / 2.0), true);
    std::atomic<bool> held{false}, release{false};
    std::thread exporter([&] {
        std::lock_guard lock(document->exportLock());
        held = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!held) std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    w->pixelTick();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(w->pixelValues()->text(), before);
    release = true;
    exporter.join();
    w->pixelTick();
    EXPECT_TRUE(w->pixelValues()->text().startsWith("R:"))
        << w->pixelValues()->text().toStdString();

    // Arrow keys step a field by its range's rule; page keys by ten steps.
    auto* ev = w->window()->findChild<QLineEdit*>("Quorvex_Filter_inputEV");
    ASSERT_NE(ev, nullptr);
    QTest::keyClick(ev, Qt::Key_Up);
    EXPECT_NEAR(document->valueForKey("Quorvex_Filter_inputEV").realValue(), 0.01, 1e-6);
    auto* temperature = w->window()->findChild<QLineEdit*>("Quorvex_Filter_inputTemperature");
    ASSERT_NE(temperature, nullptr);
    ASSERT_TRUE(uitest::spinUntil([&] { return !temperature->text().isEmpty(); }));
    const double t0 = temperature->text().toDouble();
    QTest::keyClick(temperature, Qt::Key_PageUp);
    EXPECT_NEAR(document->valueForKey("Quorvex_Filter_inputTemperature").realValue(), t0 + 1.0,
                0.01);

    // A double click on a slider restores its default; a single click does not.
    auto* slider = w->window()->findChild<QSlider*>("Quorvex_Filter_inputEV2");
    ASSERT_NE(slider, nullptr);
    QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(2, slider->height() / 2));
    uitest::settle();
    const double afterClick = document->valueForKey("Quorvex_Filter_inputEV").realValue();
    QTest::mouseDClick(slider, Qt::LeftButton, {}, QPoint(2, slider->height() / 2));
    EXPECT_EQ(document->valueForKey("Quorvex_Filter_inputEV").realValue(), 0.0);
    (void)afterClick;
    // So does a double click on the setting's label.
    document->setValueForKey(platform::Value(2.0f), "Quorvex_Filter_inputSaturation");
    auto* label = w->window()->findChild<QuorvexClickTextField*>("Quorvex_Filter_inputSaturation1");
    ASSERT_NE(label, nullptr);
    QTest::mouseDClick(label, Qt::LeftButton);
    EXPECT_FLOAT_EQ(document->valueForKey("Quorvex_Filter_inputSaturation").floatValue(), 1.0f);
    // Controls follow the document.
    document->setValueForKey(platform::Value(1.5f), "Quorvex_Filter_inputEV");
    uitest::settle();
    EXPECT_EQ(ev->text(), QStringLiteral("1.50"));

    // An empty preset name keeps the sheet open with its alert.
    w->showNewPresetWindow();
    w->presetName()->clear();
    EXPECT_FALSE(w->saveNewPreset());
    ASSERT_FALSE(alerts.shown.empty());
    EXPECT_EQ(alerts.shown.back().messageText, QStringLiteral("Must have a valid name"));
    EXPECT_TRUE(w->newPresetSheet()->isVisible());
    w->presetName()->setText("Mine");
    EXPECT_TRUE(w->saveNewPreset());
    EXPECT_FALSE(w->newPresetSheet()->isVisible());
    EXPECT_TRUE(PresetManager::sharedPresetManager().presetNamed("Mine"));
    // It shows in the pop-up; saving under an existing name asks first,
    // Cancel keeping the preset and the sheet, replacing keeping its identity.
    auto* popUp = w->window()->findChild<QComboBox*>(QStringLiteral("presetPopUp"));
    ASSERT_NE(popUp, nullptr);
    uitest::settle();
    EXPECT_EQ(popUp->currentText(), QStringLiteral("Mine"));
    auto& presets = PresetManager::sharedPresetManager();
    const auto monochrome = presets.presetNamed("Monochrome").value();
    const size_t count = presets.presetList(false).size(), asked = alerts.shown.size();
    w->showNewPresetWindow();
    w->presetName()->setText("Monochrome");
    alerts.answerWith(0);
    EXPECT_FALSE(w->saveNewPreset());
    ASSERT_EQ(alerts.shown.size(), asked + 1);
    EXPECT_TRUE(alerts.shown.back().messageText.contains("Monochrome"));
    EXPECT_EQ(presets.presetNamed("Monochrome"), monochrome);
    EXPECT_TRUE(w->newPresetSheet()->isVisible());
    alerts.answerWith(1);
    w->saveNewPreset();
    EXPECT_FALSE(w->newPresetSheet()->isVisible());
    auto replaced = presets.presetNamed("Monochrome").value();
    EXPECT_FLOAT_EQ(replaced["Quorvex_Filter_inputEV"].floatValue(), 1.5f);
    EXPECT_EQ(replaced["Quorvex_PresetUUID"], monochrome["Quorvex_PresetUUID"]);
    EXPECT_EQ(presets.presetList(false).size(), count);

    // Writing back exports the whole image whatever the crop.
    document->cropRectChanged(platform::Rect{100, 100, 400, 300});
    const QString path = QString::fromStdString((home.path() / "edited.jpg").string());
    w->exportToPath(path, "public.jpeg", QRectF(0, 0, 0, 0));
    EXPECT_TRUE(w->progressSheet()->isVisible());
    ASSERT_TRUE(uitest::spinUntil([&] { return !w->progressSheet()->isVisible(); },
                                  std::chrono::seconds(60)));
    EXPECT_EQ(QImage(path).size(), QSize(1920, 1200));
    w->exportToPath(path, "public.jpeg", std::nullopt);
    ASSERT_TRUE(uitest::spinUntil([&] { return !w->progressSheet()->isVisible(); },
                                  std::chrono::seconds(60)));
    EXPECT_EQ(QImage(path).size(), QSize(400, 300));
    // The save panel adds the type's extension when the name has none.
    w->exportAsType("public.jpeg");
    auto* panel = w->window()->findChild<QFileDialog*>();
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->testOption(QFileDialog::DontUseNativeDialog));
    const QString bare = QString::fromStdString((home.path() / "panel").string());
    emit panel->fileSelected(bare);
    panel->close();
    ASSERT_TRUE(uitest::spinUntil([&] { return !w->progressSheet()->isVisible(); },
                                  std::chrono::seconds(60)));
    EXPECT_TRUE(fs::exists(home.path() / "panel.jpg"));
    // Activation tells the inspector; closing keeps the frame.
    int changes = 0;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        "TARNWisp_DocumentChange", [&](const platform::Notification&) { ++changes; });
    w->windowDidBecomeMain();
    platform::NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(changes, 1);
    closeAndWait(w);
    EXPECT_FALSE(platform::UserDefaults::standard().dataForKey("QuorvexDocumentWindow").empty());
    // Closing closed the document: it is no longer open.
    EXPECT_FALSE(DocumentController::sharedDocumentController().documentForURL(
        dng("rpi-1920x1200_10bit-packed_single-tile.dng").string()));
    // ...and wrote its edits: the file opens again with them.
    auto* again = openWindow(dng("rpi-1920x1200_10bit-packed_single-tile.dng"), false);
    ASSERT_NE(again, nullptr);
    EXPECT_FLOAT_EQ(again->document()->valueForKey("Quorvex_Filter_inputEV").floatValue(), 1.5f);
    closeAndWait(again);
}

// Also after reopening, and only while the settings still match the preset.
TEST(DocumentWindow, ThePresetPopUpShowsThePresetTheSettingsCameFrom) {
    uitest::UiTestHome home;
    const auto file = dng("rpi-1920x1200_10bit-packed_single-tile.dng");
    auto* w = openWindow(file);
    ASSERT_NE(w, nullptr);
    auto* popUp = w->window()->findChild<QComboBox*>(QStringLiteral("presetPopUp"));
    ASSERT_NE(popUp, nullptr);
    uitest::settle();
    EXPECT_EQ(popUp->currentText(), QStringLiteral("Default"));  // a first opening's settings
    const int zeroed = popUp->findText(QStringLiteral("Zero'd"));
    ASSERT_GT(zeroed, 0);
    popUp->setCurrentIndex(zeroed);
    emit popUp->activated(zeroed);
    uitest::settle();
    EXPECT_EQ(popUp->currentText(), QStringLiteral("Zero'd"));
    closeAndWait(w);

    w = openWindow(file);
    ASSERT_NE(w, nullptr);
    popUp = w->window()->findChild<QComboBox*>(QStringLiteral("presetPopUp"));
    uitest::settle();
    EXPECT_EQ(popUp->currentText(), QStringLiteral("Zero'd"));
    w->document()->setValueForKey(platform::Value(0.5), "Quorvex_Filter_inputEV");
    uitest::settle();
    EXPECT_EQ(popUp->currentIndex(), 0);  // no longer what the preset gives
    w->document()->setValueForKey(platform::Value(0.0), "Quorvex_Filter_inputEV");
    uitest::settle();
    EXPECT_EQ(popUp->currentText(), QStringLiteral("Zero'd"));
    closeAndWait(w);
}

// A warning that changes the result shows in the file's window, never in an
// alert that blocks the work, and only once in a run.
TEST(DocumentWindow, AFileWarningShowsInItsWindowOncePerRun) {
    uitest::UiTestHome home;
    const auto previous = MessageBar::installInUserWarnings();
    auto l = handdng::SharedDeflateTiles(32, 32);
    l.extra.push_back(handdng::Entry{50730, 10, {256, 1}});  // BaselineExposure 256 EV
    const fs::path file = home.path() / "bright.dng";
    handdng::Write(file.string(), handdng::Build(l));

    auto* w = openWindow(file);
    ASSERT_NE(w, nullptr);
    MessageBar* bar = w->messageBar();
    ASSERT_TRUE(uitest::spinUntil([&] { return !bar->messages().isEmpty(); }));
    EXPECT_EQ(uitest::openAlert(), nullptr);
    EXPECT_TRUE(bar->isVisible());
    EXPECT_TRUE(bar->messages()[0].contains("BaselineExposure"));
    bar->findChild<QToolButton*>(QStringLiteral("dismissMessages"))->click();
    EXPECT_FALSE(bar->isVisible());
    closeAndWait(w);

    w = openWindow(file);
    ASSERT_NE(w, nullptr);
    uitest::settle();
    EXPECT_TRUE(w->messageBar()->messages().isEmpty());
    closeAndWait(w);
    platform::setUserWarningHandler(previous);
}

// A log that cannot be kept in the state folder is told in the first window
// that shows, in the words the terminal gets, and only once.
TEST(DocumentWindow, ALogThatCannotBeKeptIsToldOnceInAWindow) {
    uitest::UiTestHome home;
    const fs::path blocker = home.path() / "not-a-folder";
    std::ofstream(blocker) << "a file";
    setenv("XDG_STATE_HOME", (blocker / "state").c_str(), 1);  // the home puts it back
    const QString told = QuorvexAppDelegate::keepLog(false);
    EXPECT_TRUE(told.contains(QString::fromStdString(blocker.string()) +
                              " is a file, not a folder; it goes to standard error instead"))
        << told.toStdString();
    uitest::settle();  // no window yet: it waits for one
    const fs::path file = home.path() / "pic.dng";
    handdng::Write(file.string(), handdng::Build(handdng::SharedDeflateTiles(32, 32)));
    auto* w = openWindow(file);
    ASSERT_NE(w, nullptr);
    MessageBar* bar = w->messageBar();
    ASSERT_TRUE(uitest::spinUntil([&] { return !bar->messages().isEmpty(); }));
    EXPECT_EQ(bar->messages(), QStringList{told});
    EXPECT_TRUE(bar->isVisible());
    closeAndWait(w);
    w = openWindow(file);
    ASSERT_NE(w, nullptr);
    uitest::settle();
    EXPECT_TRUE(w->messageBar()->messages().isEmpty());
    closeAndWait(w);
}

TEST(DocumentWindow, RefusedFilesShowTheirErrorAndClose) {
    uitest::UiTestHome home;
    int refusedAfterOpening = 0;
    for (const auto& entry : fs::directory_iterator(testsupport::testdataDir() / "raw" / "dng")) {
        uitest::ScriptedAlerts alerts;
        DocumentWindowController* w = nullptr;
        std::optional<platform::Error> openError;
        DocumentController::sharedDocumentController().openDocumentWithContentsOfURL(
            entry.path().string(), true,
            [&](const MyDocument::Ptr& document, bool, const std::optional<platform::Error>& e) {
                openError = e;
                if (document) w = DocumentWindowController::makeWindowForDocument(document);
            });
        if (!w) continue;  // refused before a window: the shell presents it
        QPointer<QuorvexDocumentWindow> window = w->window();
        ASSERT_TRUE(
            uitest::spinUntil([&] { return window.isNull() || w->imageView()->isVisible(); },
                              std::chrono::seconds(60)))
            << entry.path();
        if (!window.isNull()) {
            closeAndWait(w);
            continue;
        }
        ++refusedAfterOpening;
        ASSERT_FALSE(alerts.shown.empty()) << entry.path();
        EXPECT_FALSE(alerts.shown.back().messageText.isEmpty());
    }
    EXPECT_GE(refusedAfterOpening, 1);
}

// Under a file-size limit, as on a full disk: the user is told where and why,
// and the window stays open until they are saved or let go.
TEST(DocumentWindow, EditsThatCannotBeSavedStayInTheOpenWindow) {
    uitest::UiTestHome home;
    uitest::ScriptedAlerts alerts(0);  // "Keep Open"
    const fs::path file = dng("rpi-1920x1200_10bit-packed_single-tile.dng");
    const fs::path folder = MultiDataStore::sharedMultiDataStore()
                                .dataStoreForStore("Catalog")
                                ->storeFilePath()
                                ->parent_path();
    // The limit lasts until the close is answered: a slow save (a loaded
    // machine, a sanitizer) writes on its own thread after close() returned.
    auto closeUnderALimit = [&alerts](QPointer<QuorvexDocumentWindow> window) {
        testsupport::FileSizeLimit full(1024);
        const size_t before = alerts.shown.size();
        window->close();
        uitest::spinUntil([&] { return !window || alerts.shown.size() > before; });
    };
    auto* w = openWindow(file);
    ASSERT_NE(w, nullptr);
    QPointer<QuorvexDocumentWindow> window = w->window();
    w->document()->setValueForKey(platform::Value(1.25f), "Quorvex_Filter_inputEV");
    closeUnderALimit(window);
    ASSERT_TRUE(window && window->isVisible());
    ASSERT_EQ(alerts.shown.size(), 1u);
    const std::string told = alerts.shown[0].informativeText.toStdString();
    EXPECT_NE(told.find(folder.string()), std::string::npos) << told;
    EXPECT_NE(told.find(std::strerror(EFBIG)), std::string::npos) << told;
    EXPECT_FLOAT_EQ(w->document()->valueForKey("Quorvex_Filter_inputEV").floatValue(), 1.25f);
    closeAndWait(w);  // with room: saved
    auto* again = openWindow(file, false);
    ASSERT_NE(again, nullptr);
    EXPECT_FLOAT_EQ(again->document()->valueForKey("Quorvex_Filter_inputEV").floatValue(), 1.25f);

    // Let go by the user: the window closes, the catalog keeps what it had.
    again->document()->setValueForKey(platform::Value(2.0f), "Quorvex_Filter_inputEV");
    alerts.answerWith(1);
    window = again->window();
    closeUnderALimit(window);
    EXPECT_TRUE(uitest::spinUntil([&] { return window.isNull(); }));
    auto* last = openWindow(file, false);
    ASSERT_NE(last, nullptr);
    EXPECT_FLOAT_EQ(last->document()->valueForKey("Quorvex_Filter_inputEV").floatValue(), 1.25f);
    closeAndWait(last);
}

// Closing an edited photo while another program holds the catalog says what
// it waits for within moments, and saves once the lock is let go.
TEST(DocumentWindow, ClosingWhileTheCatalogIsHeldSaysWhatItWaitsFor) {
    uitest::UiTestHome home;
    uitest::ScriptedAlerts alerts(0);  // "Keep Open"
    const fs::path file = home.path() / "pic.dng";
    handdng::Write(file.string(), handdng::Build(handdng::SharedDeflateTiles(32, 32)));
    auto* w = openWindow(file);
    ASSERT_NE(w, nullptr);
    QPointer<QuorvexDocumentWindow> window = w->window();
    w->document()->setValueForKey(platform::Value(1.25f), "Quorvex_Filter_inputEV");
    ASSERT_TRUE(uitest::noticedWhileCatalogHeld(
        *MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog")->storeFilePath(),
        w->messageBar(), [&] { window->close(); }));
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_TRUE(uitest::spinUntil([&] { return window.isNull(); }));
    auto* again = openWindow(file, false);
    ASSERT_NE(again, nullptr);
    EXPECT_FLOAT_EQ(again->document()->valueForKey("Quorvex_Filter_inputEV").floatValue(), 1.25f);
    closeAndWait(again);
}

fs::path catalogLock() {
    const auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    return catalog->storeFilePath()->parent_path() / ".QuorvexCatalog.plist.lock";
}

float evOf(DocumentWindowController* w) {
    return w->document()->valueForKey("Quorvex_Filter_inputEV").floatValue();
}

// A photo of its own in a private home, the bars showing the program's
// warnings, and another program that holds the catalog's lock on demand.
struct HeldCatalog {
    HeldCatalog() {
        handdng::Write(photo.string(), handdng::Build(handdng::SharedDeflateTiles(32, 32)));
    }
    ~HeldCatalog() { platform::setUserWarningHandler(previous); }
    uitest::UiTestHome home;
    const testsupport::ShortLockWait shortWait;
    const platform::UserWarningHandler previous = MessageBar::installInUserWarnings();
    const fs::path photo = home.path() / "pic.dng";
    testsupport::LockHolder holder{catalogLock()};
    // A second photo beside the first, and the first open with an edit.
    fs::path withSecondPhoto(QPointer<DocumentWindowController>& first) {
        const fs::path second = home.path() / "second.dng";
        fs::copy_file(photo, second);
        first = openWindow(photo);
        if (first)
            first->document()->setValueForKey(platform::Value(1.25f), "Quorvex_Filter_inputEV");
        return second;
    }
};

// Closing while a program at work holds the catalog: the window answers at
// once and holds no input to hand on later. The choices come in one change
// with the notice, so nothing moves twice under the pointer, and a click
// given before them acts on what was there. Left alone, the window closes
// once the holder lets go, with an edit made meanwhile. Keep Open keeps the
// window and its edits; Close Without Saving closes it and leaves the
// catalog as it was, even when the lock comes at that moment.
TEST(DocumentWindow, AWaitingCloseHoldsNoInputAndDropsEditsOnlyByChoice) {
    HeldCatalog held;
    auto& holder = held.holder;
    // Closes; true once the choices are offered, the window having answered
    // all along and the bar shown at once with both the notice and them.
    const auto closeWaits = [&](QPointer<DocumentWindowController> w) {
        bool barWithoutChoices = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            auto* bar = w ? w->messageBar() : nullptr;
            if (bar && bar->isVisible() && (!bar->asking() || bar->messages().isEmpty()))
                barWithoutChoices = true;
        });
        watch.start(2);
        const auto start = std::chrono::steady_clock::now();
        w->window()->close();
        EXPECT_LT(std::chrono::steady_clock::now() - start, testsupport::ShortLockWait::kLimit / 2);
        EXPECT_TRUE(w && w->messageBar()->messages().isEmpty())
            << "the wait was told inside the close: input was held meanwhile";
        const bool asked = uitest::spinUntil([&] { return !w || w->messageBar()->asking(); });
        EXPECT_FALSE(barWithoutChoices);
        return asked && w && w->window()->isVisible() &&
               w->messageBar()->messages().join("").contains("Waiting for another program");
    };
    const auto choose = [](DocumentWindowController* w, const QString& choice) {
        for (auto* button : w->messageBar()->findChildren<QPushButton*>())
            if (button->text() == choice && button->isVisible()) return button->click();
        ADD_FAILURE() << "no button " << choice.toStdString();
    };
    QPointer<DocumentWindowController> w(openWindow(held.photo));
    ASSERT_TRUE(w);
    QPointer<QuorvexDocumentWindow> window = w->window();
    w->document()->setValueForKey(platform::Value(1.25f), "Quorvex_Filter_inputEV");
    ASSERT_TRUE(holder.hold("burn"));
    // An impatient click at the top right, 0.3 s into the wait.
    QPointer<QWidget> clicked;
    QObject clickScope;
    QTimer::singleShot(300, &clickScope, [&] {
        const QPoint topRight(window->width() - 40, window->centralWidget()->y() + 30);
        if ((clicked = window->childAt(topRight)))
            QTest::mouseClick(clicked, Qt::LeftButton, {}, clicked->mapFrom(window, topRight));
    });
    ASSERT_TRUE(closeWaits(w));
    ASSERT_TRUE(clicked);
    EXPECT_TRUE(w->histogramView()->isAncestorOf(clicked) || clicked == w->histogramView())
        << clicked->metaObject()->className();
    // Meanwhile an edit, saved with the close once the holder lets go.
    w->document()->setValueForKey(platform::Value(1.5f), "Quorvex_Filter_inputEV");
    holder.letGo();
    ASSERT_TRUE(uitest::spinUntil([&] { return window.isNull(); }));
    ASSERT_TRUE(w = openWindow(held.photo, false));
    EXPECT_FLOAT_EQ(evOf(w), 1.5f);

    window = w->window();
    ASSERT_TRUE(holder.hold("burn"));
    ASSERT_TRUE(closeWaits(w));
    choose(w, "Keep Open");
    EXPECT_TRUE(uitest::spinUntil([&] { return w->messageBar()->messages().isEmpty(); }));
    EXPECT_TRUE(window->isVisible() && evOf(w) == 1.5f);

    // The lock comes as the person lets the edits go: their choice holds.
    w->document()->setValueForKey(platform::Value(2.0f), "Quorvex_Filter_inputEV");
    ASSERT_TRUE(closeWaits(w));
    choose(w, "Close Without Saving");
    holder.letGo();
    EXPECT_TRUE(uitest::spinUntil([&] { return window.isNull(); }));
    QTest::qWait(300);
    ASSERT_TRUE(w = openWindow(held.photo, false));
    EXPECT_FLOAT_EQ(evOf(w), 1.5f);
    closeAndWait(w);
}

// A holder asleep: the close's save is given up at the bound and the person
// asked; once they answered, the word that the wait ran out leaves the bar.
TEST(DocumentWindow, TheWordThatACloseGaveUpGoesOnceAnswered) {
    HeldCatalog held;
    // Answers "Keep Open", noting what the bar showed as it asked.
    struct Alerts : uitest::ScriptedAlerts {
        QPointer<DocumentWindowController> w;
        QString bar;
        void present(const platform::Alert& alert, QWidget* parent, Answer answer) override {
            bar = w->messageBar()->messages().join("\n");
            ScriptedAlerts::present(alert, parent, std::move(answer));
        }
    } alerts;
    ASSERT_TRUE(alerts.w = openWindow(held.photo));
    auto* w = alerts.w.data();
    w->document()->setValueForKey(platform::Value(1.25f), "Quorvex_Filter_inputEV");
    ASSERT_TRUE(held.holder.hold("sleep"));
    w->window()->close();
    ASSERT_TRUE(uitest::spinUntil([&] { return !alerts.shown.empty(); }, std::chrono::seconds(6)));
    ASSERT_TRUE(alerts.w && w->window()->isVisible());
    EXPECT_FLOAT_EQ(evOf(w), 1.25f);
    EXPECT_TRUE(alerts.bar.contains("has done nothing")) << alerts.bar.toStdString();
    EXPECT_TRUE(uitest::spinUntil(
        [&] { return !w->messageBar()->messages().join("").contains("has done nothing"); }));
    EXPECT_FALSE(w->messageBar()->asking());
    held.holder.letGo();
    closeAndWait(w);
}

// While a close waits for another program, the program answers whole:
// another photo opens at once (reading the catalog waits for no save of
// ours), and a second window closed meanwhile says in its own bar which
// program it waits for. Each bar says it once, and as long as that window
// waits.
TEST(DocumentWindow, WhileACloseWaitsAnotherPhotoOpensAndClosesSayingWhatItWaitsFor) {
    HeldCatalog held;
    QPointer<DocumentWindowController> a;
    const fs::path second = held.withSecondPhoto(a);
    ASSERT_TRUE(a);
    ASSERT_TRUE(held.holder.hold("burn", false, 6000));
    const auto waitingNotice = [](DocumentWindowController* w) {
        int count = 0;
        for (const QString& message : w->messageBar()->messages())
            if (message.startsWith("Waiting for another program") &&
                message.contains("is held by process"))
                ++count;
        return count;
    };
    a->window()->close();
    ASSERT_TRUE(uitest::spinUntil([&] { return a && a->messageBar()->asking(); }));
    EXPECT_EQ(waitingNotice(a), 1);

    const auto start = std::chrono::steady_clock::now();
    QPointer<DocumentWindowController> b(openWindow(second, false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    ASSERT_TRUE(b);
    b->document()->setValueForKey(platform::Value(0.5f), "Quorvex_Filter_inputEV");
    b->window()->close();
    ASSERT_TRUE(uitest::spinUntil([&] { return b && b->messageBar()->asking(); }));
    EXPECT_EQ(waitingNotice(b), 1) << b->messageBar()->messages().join("\n").toStdString();
    EXPECT_EQ(waitingNotice(a), 1);
    // Kept open: the notice leaves this window, not the one still waiting.
    for (auto* button : b->messageBar()->findChildren<QPushButton*>())
        if (button->isVisible() && button->text() == "Keep Open") button->click();
    QTest::qWait(400);
    EXPECT_EQ(waitingNotice(b), 0);
    EXPECT_EQ(waitingNotice(a), 1);

    held.holder.letGo();
    EXPECT_TRUE(uitest::spinUntil([&] { return !a; }));
    ASSERT_TRUE(b);
    closeAndWait(b);
    ASSERT_TRUE(b = openWindow(second, false));
    EXPECT_FLOAT_EQ(evOf(b), 0.5f);
    closeAndWait(b);
}

// File > Open while a close waits: the panel belongs to no window, so it
// stays when the waiting window closes, and with it open the program does
// not take the last window closed for a quit; the photo picked then opens.
TEST(DocumentWindow, AnOpenPanelBegunWhileACloseWaitsOutlivesTheWindow) {
    HeldCatalog held;
    QPointer<DocumentWindowController> a;
    const fs::path second = held.withSecondPhoto(a);
    ASSERT_TRUE(a);
    ASSERT_TRUE(held.holder.hold("burn", false, 8000));
    a->window()->close();
    ASSERT_TRUE(uitest::spinUntil([&] { return a && a->messageBar()->asking(); }));
    a->window()->activateWindow();
    auto& shell = platform::ApplicationShell::shared();
    DocumentWindowController::installDocumentWindowFactory();
    shell.openDocument();
    QPointer<QFileDialog> panel;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible())
            panel = dialog;
    ASSERT_TRUE(panel);
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    held.holder.letGo();
    ASSERT_TRUE(uitest::spinUntil([&] { return !a; }));
    QTest::qWait(200);
    ASSERT_TRUE(panel && panel->isVisible());
    EXPECT_EQ(lastClosed.count(), 0);
    // Picked as the Open button does.
    emit panel->filesSelected({QString::fromStdString(second.string())});
    panel->close();
    DocumentWindowController* b = nullptr;
    ASSERT_TRUE(uitest::spinUntil([&] {
        const auto document = DocumentController::sharedDocumentController().documentForURL(second);
        return document && (b = DocumentWindowController::windowForDocument(document.get()));
    }));
    shell.setDocumentWindowFactory(nullptr);
    closeAndWait(b);
}

// Another program holds the presets' lock: a photo still opens at once,
// its preset menu from the factory presets, and the window answers.
TEST(DocumentWindow, APhotoOpensAtOnceWhileAnotherProgramHoldsThePresets) {
    HeldCatalog held;
    testsupport::LockHolder presets(platform::applicationSupportDirectory(true) / ".presets.lock");
    ASSERT_TRUE(presets.hold("burn"));
    const auto start = std::chrono::steady_clock::now();
    QPointer<DocumentWindowController> w(openWindow(held.photo, false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    ASSERT_TRUE(w);
    auto* popUp = w->window()->findChild<QComboBox*>(QStringLiteral("presetPopUp"));
    ASSERT_TRUE(popUp);
    EXPECT_NE(popUp->findText(QStringLiteral("Default")), -1);
    presets.letGo();
    EXPECT_TRUE(
        uitest::spinUntil([] { return !PresetManager::sharedPresetManager().readingAgain(); }));
    closeAndWait(w);
}

// The save panel proposes the raw file's name with the type's extension (for
// a DNG, never the raw file itself but its first free numbered name) and
// checks the name it will write: an existing file is replaced only when the
// user says so, for every type.
TEST(DocumentWindow, ExportProposesAFreeNameAndAsksBeforeReplacingAFile) {
    uitest::UiTestHome home;
    uitest::ScriptedAlerts alerts(0);  // Cancel
    const fs::path file = home.path() / "pic.dng";
    handdng::Write(file.string(), handdng::Build(handdng::SharedDeflateTiles(32, 32)));
    std::ofstream(home.path() / "pic_1.dng") << "an earlier export";
    auto* w = openWindow(file);
    ASSERT_NE(w, nullptr);
    const QString chosen = QString::fromStdString((home.path() / "s").string());
    for (const char* type : {"public.jpeg", "public.tiff", "public.dng", "com.ilm.openexr-image"}) {
        const std::string name =
            "s." + DocumentWindowController::extensionForType(type).toStdString();
        std::ofstream(home.path() / name) << "keep";
        w->exportAsType(type);
        auto* panel = openPanel(w);
        ASSERT_NE(panel, nullptr) << type;
        EXPECT_EQ(QFileInfo(panel->selectedFiles().value(0)).fileName().toStdString(),
                  name == "s.dng" ? "pic_2.dng" : "pic" + name.substr(1));
        panel->selectFile(chosen);
        const size_t asked = alerts.shown.size();
        static_cast<QDialog*>(panel)->accept();  // as the Save button does
        ASSERT_EQ(alerts.shown.size(), asked + 1) << type;
        EXPECT_TRUE(alerts.shown.back().messageText.contains(QString::fromStdString(name)))
            << alerts.shown.back().messageText.toStdString();
        uitest::settle();
        EXPECT_TRUE(panel->isVisible()) << type;  // Cancel: the panel stays for another name
        EXPECT_FALSE(w->progressSheet() && w->progressSheet()->isVisible()) << type;
        panel->reject();
        uitest::settle();
        std::string text;
        std::ifstream(home.path() / name) >> text;
        EXPECT_EQ(text, "keep") << type;
    }
    // Replace: the file becomes the export.
    w->exportAsType("public.jpeg");
    auto* panel = openPanel(w);
    ASSERT_NE(panel, nullptr);
    panel->selectFile(chosen);
    alerts.answerWith(1);
    static_cast<QDialog*>(panel)->accept();
    ASSERT_TRUE(
        uitest::spinUntil([&] { return w->progressSheet() && !w->progressSheet()->isVisible(); },
                          std::chrono::seconds(60)));
    EXPECT_EQ(QImage(QString::fromStdString((home.path() / "s.jpg").string())).size(),
              QSize(32, 32));
    closeAndWait(w);
}

// Beside the camera's upper-case JPEG the panel proposes the next free
// number; a typed name one letter case away from that file asks to replace
// it, and Replace writes under its name, never a second name for it.
TEST(DocumentWindow, ExportNeverNamesAFileLikeAnotherButForLetterCase) {
    uitest::UiTestHome home;
    uitest::ScriptedAlerts alerts(0);  // Cancel
    const fs::path file = home.path() / "pic.dng";
    handdng::Write(file.string(), handdng::Build(handdng::SharedDeflateTiles(32, 32)));
    std::ofstream(home.path() / "PIC.JPG") << "camera";
    auto* w = openWindow(file);
    ASSERT_NE(w, nullptr);
    const QString typed = QString::fromStdString((home.path() / "pic.jpg").string());
    for (const int answer : {0, 1}) {
        w->exportAsType("public.jpeg");
        auto* panel = openPanel(w);
        ASSERT_NE(panel, nullptr);
        EXPECT_EQ(QFileInfo(panel->selectedFiles().value(0)).fileName().toStdString(), "pic_1.jpg");
        panel->selectFile(typed);
        alerts.answerWith(answer);
        const size_t asked = alerts.shown.size();
        static_cast<QDialog*>(panel)->accept();
        ASSERT_EQ(alerts.shown.size(), asked + 1);
        EXPECT_EQ(alerts.shown.back().messageText.toStdString(),
                  "“PIC.JPG” already exists. Do you want to replace it?");
        uitest::settle();
        if (answer == 0) {
            EXPECT_TRUE(panel->isVisible());
            panel->reject();
            uitest::settle();
        }
    }
    ASSERT_TRUE(
        uitest::spinUntil([&] { return w->progressSheet() && !w->progressSheet()->isVisible(); },
                          std::chrono::seconds(60)));
    EXPECT_EQ(QImage(QString::fromStdString((home.path() / "PIC.JPG").string())).size(),
              QSize(32, 32));
    EXPECT_FALSE(fs::exists(home.path() / "pic.jpg"));
    closeAndWait(w);
}

// A typed extension of the type is kept in any case, a dotted name gets one
// (trailing dots give way to it);
// the photo's own file, in any case, is refused with the name selected.
TEST(DocumentWindow, ExportKeepsTypedExtensionsAndRefusesThePhotosOwnFile) {
    uitest::UiTestHome home;
    uitest::ScriptedAlerts alerts(0);  // Cancel
    const fs::path file = home.path() / "pic.dng";
    handdng::Write(file.string(), handdng::Build(handdng::SharedDeflateTiles(32, 32)));
    auto* w = openWindow(file);
    ASSERT_NE(w, nullptr);
    // Opens the panel for `type`, types `typed` and presses Save.
    auto accept = [&](const char* type, const std::string& typed) -> QFileDialog* {
        w->exportAsType(type);
        auto* panel = openPanel(w);
        if (!panel) return nullptr;
        panel->selectFile(QString::fromStdString((home.path() / typed).string()));
        static_cast<QDialog*>(panel)->accept();
        uitest::settle();
        return panel;
    };
    const std::vector<std::array<std::string, 3>> names = {
        {"public.jpeg", "h.jpeg", "h.jpeg"},      {"public.jpeg", "h.JPG", "h.JPG"},
        {"public.tiff", "h.tiff", "h.tiff"},      {"public.tiff", "h.TIF", "h.TIF"},
        {"public.dng", "h.DNG", "h.DNG"},         {"com.ilm.openexr-image", "h.Exr", "h.Exr"},
        {"public.jpeg", "s.v2", "s.v2.jpg"},      {"public.jpeg", "ending.", "ending.jpg"},
        {"public.jpeg", "ending..", "ending.jpg"}};
    for (const auto& [type, typed, written] : names) {
        std::ofstream(home.path() / written) << "keep";
        const size_t asked = alerts.shown.size();
        auto* panel = accept(type.c_str(), typed);
        ASSERT_NE(panel, nullptr) << typed;
        ASSERT_EQ(alerts.shown.size(), asked + 1) << typed;
        EXPECT_EQ(alerts.shown.back().messageText.toStdString(),
                  "“" + written + "” already exists. Do you want to replace it?");
        EXPECT_TRUE(panel->isVisible()) << typed;
        panel->reject();
        uitest::settle();
        fs::remove(home.path() / written);
    }
    auto* panel = accept("public.jpeg", "fresh.jpeg");
    ASSERT_TRUE(
        uitest::spinUntil([&] { return w->progressSheet() && !w->progressSheet()->isVisible(); },
                          std::chrono::seconds(60)));
    EXPECT_TRUE(fs::exists(home.path() / "fresh.jpeg"));
    EXPECT_FALSE(fs::exists(home.path() / "fresh.jpeg.jpg"));

    for (const std::string typed : {"pic.dng", "PIC.dng"}) {
        const size_t asked = alerts.shown.size();
        panel = accept("public.dng", typed);
        ASSERT_NE(panel, nullptr) << typed;
        ASSERT_EQ(alerts.shown.size(), asked + 1) << typed;
        const QString said = alerts.shown.back().messageText;
        EXPECT_TRUE(said.startsWith(QString::fromStdString("“" + typed + "”")))
            << said.toStdString();
        EXPECT_FALSE(said.contains(QStringLiteral("replace it?"))) << said.toStdString();
        EXPECT_TRUE(panel->isVisible()) << typed;
        auto* edit = panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(edit->selectedText().toStdString(), typed);
        panel->reject();
        uitest::settle();
    }
    EXPECT_FALSE(fs::exists(home.path() / "PIC.dng"));
    closeAndWait(w);
}
