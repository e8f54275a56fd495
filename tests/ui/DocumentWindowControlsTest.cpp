// The document window's controls and commands by what they do to the
// document and its image: every control's range, the menus' responders,
// zoom limits, controls with no effect yet, the profile list and crop mode.
#include <gtest/gtest.h>

#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QScrollBar>
#include <QSlider>
#include <QSpontaneKeyEvent>
#include <QToolButton>
#include <QTreeWidget>
#include <QWheelEvent>
#include <cmath>
#include <map>
#include <numbers>
#include <vector>

#include "DocumentWindowSupport.h"
#include "color/CameraProfileManager.h"
#include "engine/CGImageBitMap.h"
#include "engine/ThreadedImageEngine.h"
#include "platform/UserDefaults.h"
#include "ui/ApplicationShell.h"
#include "ui/BrowserWindowController.h"
#include "ui/QuorvexOutlineView.h"
#include "ui/SettingControls.h"

namespace fs = std::filesystem;
using namespace uitest;

namespace {

constexpr const char* kSample = "rpi-imx296_10bit-packed_strip.dng";

// The developed image at full size, 16 bits per sample.
std::vector<uint16_t> render(DocumentWindowController* w) {
    platform::Error error;
    auto image =
        w->document()->displayEngine()->renderExportImage(platform::Rect{}, false, 0, &error);
    EXPECT_TRUE(image) << error.failureReason;
    if (!image) return {};
    std::vector<uint16_t> samples(size_t(image->getWidth()) * size_t(image->getHeight()) * 3);
    EXPECT_TRUE(image->getLinearBuffer(samples));
    return samples;
}

void activate(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
    QApplication::setActiveWindow(window);
    EXPECT_TRUE(QTest::qWaitForWindowActive(window));
    platform::ApplicationShell::shared().updateMenus();
}

QStringList enabledActionsWithoutResponder() {
    auto& shell = platform::ApplicationShell::shared();
    QStringList missing;
    for (QAction* action : shell.actions())
        if (action->isEnabled() && !shell.responderFor(action->objectName()) &&
            action->objectName() != QLatin1String("performClose:"))
            missing << action->objectName();
    return missing;
}

}  // namespace

TEST(DocumentWindowMenus, EveryEnabledActionReachesAResponder) {
    uitest::UiTestHome home;
    auto& shell = platform::ApplicationShell::shared();
    auto* w = openWindow(dng(kSample));
    ASSERT_NE(w, nullptr);
    activate(w->window());
    EXPECT_EQ(enabledActionsWithoutResponder(), QStringList());
    for (auto [selector, scale] : {std::pair{"zoomImageTo2:", 2.0f},
                                   {"zoomImageTo3:", 3.0f},
                                   {"zoomImageTo4:", 4.0f},
                                   {"zoomImageToActualSize:", 1.0f}}) {
        QAction* action = shell.action(QString::fromLatin1(selector));
        ASSERT_NE(action, nullptr);
        EXPECT_TRUE(action->isEnabled()) << selector;
        action->trigger();
        EXPECT_FLOAT_EQ(w->imageView()->pixelScaleFactor(), scale) << selector;
    }

    // The browser implements no zoom, rotation or export: those are off there.
    BrowserWindowController::installBrowserHooks();
    shell.showBrowser();
    activate(&BrowserWindowController::shared());
    EXPECT_EQ(enabledActionsWithoutResponder(), QStringList());
    EXPECT_FALSE(shell.action(QStringLiteral("zoomImageTo2:"))->isEnabled());
    EXPECT_TRUE(shell.action(QStringLiteral("showPreferences:"))->isEnabled());
    BrowserWindowController::shared().hide();
    closeAndWait(w);
}

// Every enabled control that changes the picture: its minimum, its maximum
// less one slider step and its maximum give three different images, and its
// maximum gives the same image whether set at once or reached step by step.
TEST(DocumentWindowControls, EveryEnabledControlChangesTheImageOverItsWholeRange) {
    uitest::UiTestHome home;
    auto* w = openWindow(dng(kSample));
    ASSERT_NE(w, nullptr);
    auto document = w->document();
    // JPEG quality changes the export's encoding only.
    const QWidget* exportSection = w->window()->findChild<QWidget*>(QStringLiteral("Export"));
    ASSERT_NE(exportSection, nullptr);
    int tried = 0;
    for (auto* slider : w->window()->findChildren<SettingSlider*>()) {
        if (!slider->isEnabled() || exportSection->isAncestorOf(slider)) continue;
        const std::string key =
            DocumentWindowController::parameterID(slider->objectName()).toStdString();
        SCOPED_TRACE(key);
        ++tried;
        // The knee's start matters only where the knee bends: its end away
        // from the neutral 3.5 EV.
        if (key == "Quorvex_Filter_inputKneeLow")
            document->setValueForKey(platform::Value(6.0f), "Quorvex_Filter_inputKneeHigh");
        slider->setValue(0);
        const auto atMinimum = render(w);
        slider->setValue(SettingSlider::kSteps - 1);
        const auto belowMaximum = render(w);
        slider->setValue(SettingSlider::kSteps);
        const auto atMaximum = render(w);
        EXPECT_NE(atMinimum, belowMaximum);
        EXPECT_NE(belowMaximum, atMaximum);
        EXPECT_NE(atMinimum, atMaximum);

        slider->setValue(0);
        for (int step = 1; step <= SettingSlider::kSteps; ++step) slider->setValue(step);
        EXPECT_EQ(render(w), atMaximum) << "reached step by step";
        document->setToDefault(key);
        document->setToDefault("Quorvex_Filter_inputKneeHigh");
    }
    EXPECT_GE(tried, 15);

    // The boxes: off and on give different images.
    for (auto* box : w->window()->findChildren<QCheckBox*>()) {
        if (!box->isEnabled()) continue;
        SCOPED_TRACE(box->objectName().toStdString());
        box->setChecked(false);
        const auto off = render(w);
        box->setChecked(true);
        EXPECT_NE(render(w), off);
        document->setToDefault(box->objectName().toStdString());
    }

    // Hue is stored in radians, its ends at -pi and pi; its field shows degrees.
    auto* hue =
        w->window()->findChild<SettingSlider*>(QStringLiteral("Quorvex_Filter_inputAngle2"));
    ASSERT_NE(hue, nullptr);
    hue->setValue(0);
    EXPECT_FLOAT_EQ(document->valueForKey("Quorvex_Filter_inputAngle").floatValue(),
                    float(-std::numbers::pi));
    hue->setValue(SettingSlider::kSteps);
    EXPECT_FLOAT_EQ(document->valueForKey("Quorvex_Filter_inputAngle").floatValue(),
                    float(std::numbers::pi));
    auto* hueField =
        w->window()->findChild<QLineEdit*>(QStringLiteral("Quorvex_Filter_inputAngle"));
    ASSERT_NE(hueField, nullptr);
    ASSERT_TRUE(uitest::spinUntil([&] { return hueField->text() == QStringLiteral("180.00"); }))
        << hueField->text().toStdString();
    hueField->setText(QStringLiteral("90"));
    emit hueField->editingFinished();
    EXPECT_NEAR(document->valueForKey("Quorvex_Filter_inputAngle").realValue(),
                std::numbers::pi / 2, 1e-6);

    // Both ends of every control's range, as stored.
    std::map<std::string, std::pair<float, float>> ends;
    auto range = [&](float low, float high, std::initializer_list<const char*> keys) {
        for (const char* key : keys) ends[std::string("Quorvex_") + key] = {low, high};
    };
    range(0, 1,
          {"toneCurveAdjust", "ArtifactSuppression", "ChromaArtifactSuppression", "ArtifactFilter",
           "Filter_inputKneeLow"});
    range(0, 2,
          {"Filter_inputFillLight", "Filter_inputSaturation", "Filter_monochromeRed",
           "Filter_monochromeYellow", "Filter_monochromeGreen", "Filter_monochromeCyan",
           "Filter_monochromeBlue"});
    range(-1, 1, {"Filter_inputContrast", "Filter_inputBrightness", "Filter_inputHighLight"});
    range(0, 10, {"Filter_inputKneeHigh", "JPEGQuality"});
    range(0, 5, {"Filter_inputRadius", "Filter_inputIntensity"});
    range(0, 4, {"ettrAdjust"});
    range(-5, 5, {"Filter_inputEV"});
    range(-float(std::numbers::pi), float(std::numbers::pi), {"Filter_inputAngle"});
    range(1000, 14000, {"Filter_inputTemperature"});
    range(-150, 150, {"Filter_inputTint"});
    const auto sliders = w->window()->findChildren<SettingSlider*>();
    EXPECT_EQ(size_t(sliders.size()), ends.size());
    for (auto* slider : sliders) {
        const std::string key =
            DocumentWindowController::parameterID(slider->objectName()).toStdString();
        SCOPED_TRACE(key);
        ASSERT_TRUE(ends.contains(key));
        slider->setValue(0);
        EXPECT_FLOAT_EQ(document->valueForKey(key).floatValue(), ends.at(key).first);
        slider->setValue(SettingSlider::kSteps);
        EXPECT_FLOAT_EQ(document->valueForKey(key).floatValue(), ends.at(key).second);
        document->setToDefault(key);
    }
    closeAndWait(w);
}

TEST(DocumentWindowControls, ControlsWithoutEffectAreOffAndKeepTheirValues) {
    uitest::UiTestHome home;
    auto* w = openWindow(dng(kSample));
    ASSERT_NE(w, nullptr);
    auto document = w->document();
    for (const char* key : {"Quorvex_Filter_monochromeRed", "Quorvex_Filter_monochromeYellow",
                            "Quorvex_Filter_monochromeGreen", "Quorvex_Filter_monochromeCyan",
                            "Quorvex_Filter_monochromeBlue"}) {
        SCOPED_TRACE(key);
        const QString name = QString::fromLatin1(key);
        auto* slider = w->window()->findChild<QSlider*>(name + "2");
        auto* field = w->window()->findChild<QLineEdit*>(name);
        ASSERT_TRUE(slider && field);
        EXPECT_FALSE(slider->isEnabled());
        EXPECT_FALSE(field->isEnabled());
        EXPECT_TRUE(slider->toolTip().contains("no effect")) << slider->toolTip().toStdString();
        // The stored value stays and still shows.
        document->setValueForKey(platform::Value(1.5f), key);
        ASSERT_TRUE(uitest::spinUntil([&] { return field->text() == QStringLiteral("1.50"); }));
        EXPECT_FLOAT_EQ(document->getSettingsDictionary()[key].floatValue(), 1.5f);
    }
    auto* iruv = w->window()->findChild<QCheckBox*>(QStringLiteral("Quorvex_IRUVSensor"));
    ASSERT_NE(iruv, nullptr);
    EXPECT_FALSE(iruv->isEnabled());
    EXPECT_TRUE(iruv->toolTip().contains("no effect"));
    // A raw file's rendering never reads the scanner profile.
    auto* icc = w->window()->findChild<QComboBox*>(QStringLiteral("Quorvex_iccProfile"));
    ASSERT_NE(icc, nullptr);
    EXPECT_FALSE(icc->isEnabled());
    // The other boxes and pop-ups are on.
    EXPECT_TRUE(
        w->window()->findChild<QCheckBox*>(QStringLiteral("Quorvex_SceneReferred"))->isEnabled());
    EXPECT_TRUE(
        w->window()->findChild<QComboBox*>(QStringLiteral("Quorvex_CameraProfile"))->isEnabled());
    closeAndWait(w);
}

TEST(DocumentWindowControls, TheCameraProfilePopUpFollowsImports) {
    uitest::UiTestHome home;
    auto* w = openWindow(dng(kSample));
    ASSERT_NE(w, nullptr);
    auto* popUp = w->window()->findChild<QComboBox*>(QStringLiteral("Quorvex_CameraProfile"));
    ASSERT_NE(popUp, nullptr);
    const int before = popUp->count();
    const QString selected = popUp->currentText();
    platform::Error error;
    ASSERT_TRUE(CameraProfileManager::sharedCameraProfileManager().addProfile(
        testsupport::testdataDir() / "dcp" / "set-a" / "NIKON D850.dcp", &error))
        << error.failureReason;
    ASSERT_TRUE(uitest::spinUntil([&] { return popUp->count() == before + 1; }));
    EXPECT_GE(popUp->findText(QStringLiteral("D850"), Qt::MatchContains), 0);
    EXPECT_EQ(popUp->currentText(), selected);
    closeAndWait(w);
}

TEST(DocumentWindowZoom, ZoomOutStopsAndFitSurvivesARotation) {
    uitest::UiTestHome home;
    auto* w = openWindow(dng(kSample));
    ASSERT_NE(w, nullptr);
    auto* view = w->imageView();
    const float fit = view->fitScaleFactor();
    ASSERT_LT(fit, 1.0f);
    EXPECT_FLOAT_EQ(view->pixelScaleFactor(), fit);
    for (int i = 0; i < 25; ++i) w->zoomOut();
    EXPECT_FLOAT_EQ(view->pixelScaleFactor(), std::min(fit, 1.0f / 16));
    EXPECT_FLOAT_EQ(DocumentWindowController::zoomedOut(0.07f, 0.5f), 1.0f / 16);
    EXPECT_FLOAT_EQ(DocumentWindowController::zoomedOut(0.05f, 0.5f), 0.05f);  // never further
    EXPECT_FLOAT_EQ(DocumentWindowController::zoomedOut(0.05f, 0.01f), 0.05f / 1.414f);
    EXPECT_FLOAT_EQ(DocumentWindowController::zoomedOut(0.011f, 0.01f), 0.01f);
    EXPECT_FLOAT_EQ(DocumentWindowController::zoomedOut(2.0f, 0.5f), 1.0f);

    // At fit, a quarter turn fits the turned image; at 1:1 the scale stays.
    w->zoomImageToFit();
    w->rotateCW();
    EXPECT_NE(view->fitScaleFactor(), fit);
    EXPECT_FLOAT_EQ(view->pixelScaleFactor(), view->fitScaleFactor());
    w->rotateCCW();
    EXPECT_FLOAT_EQ(view->pixelScaleFactor(), fit);
    w->zoomImageToActualSize();
    w->rotateCW();
    EXPECT_FLOAT_EQ(view->pixelScaleFactor(), 1.0f);
    w->rotateCCW();
    closeAndWait(w);
}

TEST(DocumentWindowControls, CropButtonShowsTheModeAndTheStepperSteps) {
    uitest::UiTestHome home;
    auto* w = openWindow(dng(kSample));
    ASSERT_NE(w, nullptr);
    auto* crop = w->window()->findChild<QToolButton*>(QStringLiteral("cropButton"));
    ASSERT_NE(crop, nullptr);
    EXPECT_TRUE(crop->isCheckable());
    crop->click();
    EXPECT_EQ(w->cursorMode(), 1u);
    EXPECT_TRUE(crop->isChecked());
    w->setFromEyeDropper();
    EXPECT_FALSE(crop->isChecked());
    w->setCursorMode(1);
    EXPECT_TRUE(crop->isChecked());
    crop->click();
    EXPECT_EQ(w->cursorMode(), 0u);
    EXPECT_FALSE(crop->isChecked());
    w->resetCropArea();

    // The stepper beside Exposure moves it by ten arrow-key steps.
    ASSERT_NE(w->stepper(), nullptr);
    EXPECT_TRUE(w->stepper()->isEnabled());
    w->stepper()->stepBy(1);
    EXPECT_NEAR(w->document()->valueForKey("Quorvex_Filter_inputEV").realValue(), 0.1, 1e-6);
    w->stepper()->stepBy(-1);
    EXPECT_NEAR(w->document()->valueForKey("Quorvex_Filter_inputEV").realValue(), 0.0, 1e-6);
    closeAndWait(w);
}

// The wheel scrolls the panel past any control; a focused control takes it.
TEST(DocumentWindowControls, TheWheelScrollsThePanelUnlessAControlHasTheFocus) {
    uitest::UiTestHome home;
    auto* w = openWindow(dng(kSample));
    ASSERT_NE(w, nullptr);
    activate(w->window());
    // Only a spontaneous event goes on to the parents.
    auto wheel = [](QWidget* control, int delta) {
        const QPointF at(control->width() / 2.0, control->height() / 2.0);
        QWheelEvent event(at, control->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QSpontaneKeyEvent::setSpontaneous(&event);
        qApp->notify(control, &event);
    };
    QWidget* viewport = w->sidebar()->viewport();
    QScrollBar* scroller = w->sidebar()->verticalScrollBar();
    for (const char* name : {"Quorvex_Filter_inputAngle2", "stepper", "Quorvex_ExportFileType"}) {
        SCOPED_TRACE(name);
        auto* control = w->window()->findChild<QWidget*>(QString::fromLatin1(name));
        ASSERT_NE(control, nullptr);
        scroller->setValue(scroller->minimum());
        while (control->mapTo(viewport, QPoint(0, control->height())).y() > viewport->height() &&
               scroller->value() < scroller->maximum())
            scroller->setValue(scroller->value() + scroller->singleStep());
        uitest::settle();
        const int position = scroller->value();
        const platform::Dictionary before = w->document()->getSettingsDictionary();
        wheel(control, position > scroller->minimum() ? 120 : -120);
        uitest::settle();
        EXPECT_NE(scroller->value(), position);
        EXPECT_EQ(w->document()->getSettingsDictionary(), before);
    }
    auto* hue = w->window()->findChild<SettingSlider*>("Quorvex_Filter_inputAngle2");
    hue->setFocus(Qt::MouseFocusReason);
    const int position = hue->QSlider::value();
    wheel(hue, 120);
    EXPECT_NE(hue->QSlider::value(), position);
    closeAndWait(w);
}

// The knees act only with "enableCinematic": the Exposure section offers
// them only then.
TEST(DocumentWindowControls, ExposureSectionFollowsCinematic) {
    for (bool cinematic : {true, false}) {
        SCOPED_TRACE(cinematic);
        uitest::UiTestHome home;
        platform::UserDefaults::standard().setBool(cinematic, "enableCinematic");
        auto* w = openWindow(dng(kSample), false);
        ASSERT_NE(w, nullptr);
        auto* exposure = w->window()->findChild<QWidget*>(QStringLiteral("Exposure"));
        ASSERT_NE(exposure, nullptr);
        EXPECT_EQ(exposure->findChild<QSlider*>(QStringLiteral("Quorvex_Filter_inputKneeLow2")) !=
                      nullptr,
                  cinematic);
        EXPECT_EQ(exposure->findChild<QSlider*>(QStringLiteral("Quorvex_Filter_inputKneeHigh2")) !=
                      nullptr,
                  cinematic);
        EXPECT_NE(exposure->findChild<QSlider*>(QStringLiteral("Quorvex_Filter_inputEV2")),
                  nullptr);
        closeAndWait(w);
    }
}

// Each section of the source list brought into view, for a person to look at.
TEST(Screenshots, DocumentWindowSections) {
    uitest::UiTestHome home;
    auto* w = openWindow(dng(kSample));
    ASSERT_NE(w, nullptr);
    QTreeWidget* sidebar = w->sidebar();
    for (int i = 0; i < sidebar->topLevelItemCount(); ++i) {
        QTreeWidgetItem* section = sidebar->topLevelItem(i);
        sidebar->scrollToItem(section->child(0), QAbstractItemView::PositionAtCenter);
        sidebar->scrollToItem(section, QAbstractItemView::EnsureVisible);
        screenshot(w, "section-" + section->text(0).toLower().replace(' ', '-').toStdString());
    }
    closeAndWait(w);
}
