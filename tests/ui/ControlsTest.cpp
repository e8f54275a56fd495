#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <cmath>

#include "UiTestHome.h"
#include "platform/Log.h"
#include "ui/OverlayScrollView.h"
#include "ui/OverlayScroller.h"
#include "ui/QuorvexClickTextField.h"
#include "ui/QuorvexNumberFormatter.h"
#include "ui/QuorvexOutlineView.h"
#include "ui/QuorvexTableRowView.h"
#include "ui/RoundedRect.h"
#include "ui/SpinningProgressIndicator.h"

namespace {

struct ShownSpinner {
    ShownSpinner() {
        window.resize(100, 100);
        spinner = new SpinningProgressIndicator(&window);
        spinner->resize(100, 100);
        window.show();
    }
    QWidget window;
    SpinningProgressIndicator* spinner;
};

TEST(Spinner, StoppingFadesTheFinsThenStops) {
    ShownSpinner shown;
    SpinningProgressIndicator& spinner = *shown.spinner;
    EXPECT_TRUE(spinner.isIndeterminate());
    spinner.startAnimation();
    ASSERT_TRUE(spinner.isAnimating());
    for (int i = 0; i < 30; ++i) spinner.updateFrame();
    // The bright fin steps backwards round the twelve.
    const int bright = spinner.position();
    EXPECT_DOUBLE_EQ(spinner.finOpacity(bright), 1.0);
    EXPECT_NEAR(spinner.finOpacity((bright + 1) % 12), 0.85, 1e-9);
    spinner.updateFrame();
    EXPECT_EQ(spinner.position(), (bright + 11) % 12);

    spinner.stopAnimation();
    EXPECT_TRUE(spinner.isFadingOut());
    int frames = 0;
    while (spinner.isAnimating() && frames < 100) {
        std::array<double, 12> before;
        for (int f = 0; f < 12; ++f) before[size_t(f)] = spinner.finOpacity(f);
        spinner.updateFrame();
        ++frames;
        for (int f = 0; f < 12; ++f)
            EXPECT_NEAR(spinner.finOpacity(f), std::max(0.15, before[size_t(f)] * 0.85), 1e-12);
    }
    EXPECT_FALSE(spinner.isAnimating());
    EXPECT_FALSE(spinner.isFadingOut());
    EXPECT_EQ(frames, 12);  // 0.85^12 × 1.0 falls within 0.01 of 0.15
    for (int f = 0; f < 12; ++f) EXPECT_LE(spinner.finOpacity(f), 0.16);
}

TEST(Spinner, DeterminateSpinnersDoNotStartAndDrawTheirValue) {
    ShownSpinner shown;
    SpinningProgressIndicator& spinner = *shown.spinner;
    spinner.setDoubleValue(25);
    EXPECT_FALSE(spinner.isIndeterminate());
    spinner.startAnimation();
    EXPECT_FALSE(spinner.isAnimating());

    spinner.setColor(Qt::black);
    spinner.setBackgroundColor(Qt::white);
    spinner.setDrawsBackground(true);
    const QImage picture = spinner.grab().toImage();
    // A quarter pie from 12 o'clock clockwise to 3 o'clock.
    EXPECT_EQ(QColor(picture.pixel(70, 30)), QColor(Qt::black));
    EXPECT_EQ(QColor(picture.pixel(30, 30)), QColor(Qt::white));
    EXPECT_EQ(QColor(picture.pixel(70, 70)), QColor(Qt::white));
}

TEST(Spinner, ThreadedAnimationAdvancesOffTheGuiThreadAndJoinsOnStop) {
    ShownSpinner shown;
    SpinningProgressIndicator& spinner = *shown.spinner;
    spinner.setUsesThreadedAnimation(true);
    spinner.startAnimation();
    ASSERT_TRUE(spinner.animationThreadRunning());
    int changes = 0, last = spinner.position();
    ASSERT_TRUE(uitest::spinUntil([&] {
        if (spinner.position() != last) ++changes, last = spinner.position();
        return changes >= 3;
    }));
    {
        platform::LogCapture log;
        spinner.setStyle(0);
        EXPECT_TRUE(log.contains("Non-spinning styles not available."));
        EXPECT_TRUE(spinner.isAnimating());
    }
    // Stopping fades on the thread, which hands the stop to the GUI thread.
    spinner.stopAnimation();
    ASSERT_TRUE(uitest::spinUntil([&] { return !spinner.isAnimating(); }));
    EXPECT_FALSE(spinner.animationThreadRunning());

    // Switching mechanisms while running restarts with the other one.
    spinner.startAnimation();
    EXPECT_TRUE(spinner.animationThreadRunning());
    spinner.setUsesThreadedAnimation(false);
    EXPECT_FALSE(spinner.animationThreadRunning());
    EXPECT_TRUE(spinner.isAnimating());
    spinner.setUsesThreadedAnimation(true);
    spinner.actuallyStopAnimation();  // joins at once
    EXPECT_FALSE(spinner.animationThreadRunning());
}

TEST(Spinner, NotDisplayedWhenStoppedHidesAndFadesToTheLowerFloor) {
    ShownSpinner shown;
    SpinningProgressIndicator& spinner = *shown.spinner;
    spinner.setDisplayedWhenStopped(false);
    EXPECT_FALSE(spinner.isVisible());
    spinner.startAnimation();
    EXPECT_TRUE(spinner.isVisible());
    spinner.updateFrame();
    spinner.stopAnimation();
    while (spinner.isAnimating()) spinner.updateFrame();
    EXPECT_FALSE(spinner.isVisible());
    for (int f = 0; f < 12; ++f) EXPECT_LE(spinner.finOpacity(f), 0.02);
}

TEST(NumberFormatter, NeverRefusesAndKeepsTheLastGoodNumber) {
    QuorvexNumberFormatter formatter;
    formatter.setLocale(QLocale::c());
    double value = -1;
    EXPECT_TRUE(formatter.getObjectValue(&value, "no number"));
    EXPECT_EQ(value, 0.0);
    formatter.getObjectValue(&value, " 12.5abc");
    EXPECT_EQ(value, 12.5);
    for (const char* unread : {"inf", "-inf", "nan", "NaN", "1e400", "", "-"}) {
        formatter.getObjectValue(&value, unread);
        EXPECT_EQ(value, 12.5) << unread;
    }
    formatter.setMaximum(100);
    formatter.setMinimum(0);
    formatter.getObjectValue(&value, "150");
    EXPECT_EQ(value, 100.0);
    formatter.getObjectValue(&value, "-5");
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(formatter.lastGoodNumber(), 0.0);

    QString text = "x";
    int position = 0;
    EXPECT_EQ(formatter.validate(text, position), QValidator::Acceptable);

    QuorvexNumberFormatter german;
    german.setLocale(QLocale(QLocale::German, QLocale::Germany));
    german.getObjectValue(&value, "1.234,5");
    EXPECT_EQ(value, 1234.5);
}

TEST(Scroller, KnobShowsOnActivityThenFades) {
    OverlayScrollView view;
    auto* content = new QWidget;
    content->resize(200, 2000);
    view.setWidget(content);
    view.resize(200, 300);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    OverlayScroller* scroller = view.overlayScroller();
    EXPECT_TRUE(scroller->isVisible());
    EXPECT_EQ(scroller->geometry(), QRect(200 - 15, 0, 15, 300));
    EXPECT_EQ(scroller->animationStep(), 0);  // invisible until something happens

    QElapsedTimer clock;
    clock.start();
    view.verticalScrollBar()->setValue(100);
    EXPECT_EQ(scroller->value(), 100);
    EXPECT_EQ(scroller->animationStep(), 10);
    EXPECT_DOUBLE_EQ(scroller->knobOpacity(), 0.5);
    QTest::qWait(300);
    if (clock.elapsed() < 450) {
        EXPECT_EQ(scroller->animationStep(), 10);  // held for 0.5 s
    }
    ASSERT_TRUE(
        uitest::spinUntil([&] { return scroller->animationStep() == 0; }, std::chrono::seconds(3)));

    // The knob is drawn in its track's right half, 6 pixels wide.
    const QRect knob = scroller->knobRect();
    EXPECT_EQ(knob.width(), 6);
    EXPECT_GT(knob.height(), 10);

    // Scrolling the overlay scrolls the content.
    scroller->setValue(300);
    EXPECT_EQ(view.verticalScrollBar()->value(), 300);
}

TEST(Drawing, RoundedRectsAndPlainRects) {
    QPainterPath plain;
    AddRoundedRectToPath(plain, QRectF(10, 20, 30, 40), 0, 5);
    QPainterPath rect;
    rect.addRect(QRectF(10, 20, 30, 40));
    EXPECT_EQ(plain, rect);
    QPainterPath rounded;
    AddRoundedRectToPath(rounded, QRectF(10, 20, 30, 40), 5, 5);
    EXPECT_EQ(rounded.boundingRect(), QRectF(10, 20, 30, 40));
    EXPECT_FALSE(rounded.contains(QPointF(10.5, 20.5)));  // the corner is cut

    QImage image(50, 50, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setBrush(Qt::black);
    FillRoundedRect(painter, QRectF(0, 0, 50, 50), 10, 10);
    painter.end();
    EXPECT_EQ(QColor(image.pixel(25, 25)), QColor(Qt::black));
    EXPECT_EQ(QColor(image.pixel(0, 0)), QColor(Qt::white));
}

TEST(OutlineView, StepperAndTextFieldsTakeTheFocus) {
    EXPECT_TRUE(QuorvexOutlineView::validateProposedFirstResponder(new QSpinBox));
    EXPECT_TRUE(QuorvexOutlineView::validateProposedFirstResponder(new QDoubleSpinBox));
    EXPECT_TRUE(QuorvexOutlineView::validateProposedFirstResponder(new QLineEdit));
    QPushButton button;
    EXPECT_FALSE(QuorvexOutlineView::validateProposedFirstResponder(&button));

    QuorvexOutlineView outline;
    auto* item = new QTreeWidgetItem(&outline, {"Exposure"});
    auto* row = new QWidget;
    auto* field = new QLineEdit(row);
    field->setGeometry(0, 0, 80, 20);
    outline.setItemWidget(item, 0, row);
    outline.resize(200, 100);
    outline.show();
    outline.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&outline));
    outline.setFocus();
    QTest::mouseClick(field, Qt::LeftButton);
    EXPECT_TRUE(field->hasFocus());
}

TEST(TableRowView, OverridingBackgroundAndNoSelectionHighlight) {
    QListWidget list;
    auto* rows = new QuorvexTableRowView(&list);
    rows->setBgOveride(QColor(10, 200, 30));
    list.setItemDelegate(rows);
    list.addItem(QString());
    list.resize(100, 60);
    list.setCurrentRow(0);
    list.show();
    const QImage picture = list.viewport()->grab().toImage();
    EXPECT_EQ(QColor(picture.pixel(50, 5)), QColor(10, 200, 30));
}

TEST(ClickTextField, DoubleClickTellsTheDelegate) {
    struct Delegate : QuorvexClickTextFieldDelegate {
        QuorvexClickTextField* clicked = nullptr;
        void labelDoubleClicked(QuorvexClickTextField* field) override { clicked = field; }
    } delegate;
    QuorvexClickTextField label("Exposure");
    label.setDelegate(&delegate);
    label.show();
    QTest::mouseClick(&label, Qt::LeftButton);
    EXPECT_EQ(delegate.clicked, nullptr);
    QTest::mouseDClick(&label, Qt::LeftButton);
    EXPECT_EQ(delegate.clicked, &label);
}

}  // namespace
