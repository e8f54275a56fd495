// The folder browser on a scratch folder: what it lists, its history, its
// folder watch, thumbnails arriving without losing the selection, and the
// batch export behind its progress sheet.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QCursor>
#include <QFileDialog>
#include <QGuiApplication>
#include <QImage>
#include <QItemSelectionModel>
#include <QListView>
#include <QMenu>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "UiTestHome.h"
#include "document/DocumentController.h"
#include "document/JpegExport.h"
#include "document/MyDocument.h"
#include "document/ThumbnailProvider.h"
#include "engine/MultiDataStore.h"
#include "platform/JpegWriter.h"
#include "platform/UserDefaults.h"
#include "support/ShortLockWait.h"
#include "support/TestSupport.h"
#include "ui/ApplicationShell.h"
#include "ui/BrowserItemModel.h"
#include "ui/BrowserWindowController.h"
#include "ui/InspectorController.h"
#include "ui/MessageBar.h"
#include "ui/SettingsSave.h"

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& p, const std::string& text = "x") { std::ofstream(p) << text; }

void writeImage(const fs::path& p, QColor colour, const char* format) {
    QImage image(48, 32, QImage::Format_RGB888);
    image.fill(colour);
    ASSERT_TRUE(image.save(QString::fromStdString(p.string()), format)) << p;
}

void writeTiff(const fs::path& p) {
    TIFF* tif = TIFFOpen(p.c_str(), "w");
    ASSERT_TRUE(tif);
    const uint32_t w = 16, h = 8;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    std::vector<uint8_t> row(w * 3, 0);
    for (uint32_t x = 0; x < w; ++x) row[x * 3 + 2] = 255;
    for (uint32_t y = 0; y < h; ++y) TIFFWriteScanline(tif, row.data(), y, 0);
    TIFFClose(tif);
}

fs::path sampleDng() {
    return testsupport::testdataDir() / "raw/dng/rpi-1920x1200_10bit-packed_single-tile.dng";
}

std::set<std::string> listed(const BrowserWindowController& browser) {
    std::set<std::string> names;
    for (int r = 0; r < browser.model()->rowCount(); ++r)
        names.insert(browser.model()->nodeAt(r)->lastPathComponent());
    return names;
}

void setLevel(int level) {
    platform::UserDefaults::standard().setInteger(level, "BrowserFileSelect");
    uitest::settle();
}

void select(BrowserWindowController& browser, const std::vector<std::string>& names) {
    auto* selection = browser.imageBrowser()->selectionModel();
    selection->clearSelection();
    for (const auto& name : names) {
        int row = browser.model()->rowForPath(
            QString::fromStdString((*browser.currentFolder() / name).string()));
        ASSERT_GE(row, 0) << name << " in " << browser.currentFolder()->string() << " rows "
                          << browser.model()->rowCount();
        selection->select(browser.model()->index(row), QItemSelectionModel::Select);
    }
}

// Waits for every listed file's thumbnail to be made and delivered.
bool thumbnailsArrived(BrowserWindowController& browser,
                       const std::set<std::string>& undecodable = {}) {
    return uitest::spinUntil([&] {
        bool all = true;
        for (int r = 0; r < browser.model()->rowCount(); ++r) {
            auto node = browser.model()->nodeAt(r);
            // Asking queues the thumbnail, as the view's painting does.
            browser.model()->data(browser.model()->index(r), Qt::DecorationRole);
            if (!node->isDirectory() && node->imageVersion() == 0 &&
                !undecodable.count(node->lastPathComponent()))
                all = false;
        }
        return all;
    });
}

QRgb centrePixel(BrowserWindowController& browser, const std::string& name) {
    int row = browser.model()->rowForPath(
        QString::fromStdString((*browser.currentFolder() / name).string()));
    QImage image =
        browser.model()->data(browser.model()->index(row), Qt::DecorationRole).value<QImage>();
    return image.isNull() ? 0 : image.pixel(image.width() / 2, image.height() / 2);
}

class BrowserWindow : public ::testing::Test {
protected:
    uitest::UiTestHome home;
    fs::path dir = home.path() / "photos";
    void SetUp() override {
        fs::create_directories(dir);
        setLevel(1);
    }
};

TEST_F(BrowserWindow, ListsByFilterLevelWithoutHiddenNamesOrPicturesSubFolders) {
    touch(dir / "a.dng");
    writeImage(dir / "b.jpg", Qt::red, "JPEG");
    writeImage(dir / "c.png", Qt::green, "PNG");
    writeTiff(dir / "d.tif");
    touch(dir / "e.txt");
    writeImage(dir / ".hidden.jpg", Qt::red, "JPEG");
    fs::create_directories(dir / "sub");
    fs::create_directories(dir / ".git");

    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    EXPECT_EQ(listed(browser), (std::set<std::string>{"a.dng", "b.jpg", "c.png", "d.tif", "sub"}));
    setLevel(0);
    EXPECT_EQ(listed(browser), (std::set<std::string>{"a.dng", "sub"}));
    setLevel(2);
    EXPECT_EQ(listed(browser),
              (std::set<std::string>{"a.dng", "b.jpg", "c.png", "d.tif", "e.txt", "sub"}));
    setLevel(1);

    // Pictures shows its files but none of its sub-folders; they list theirs.
    const fs::path pictures = home.path() / "Pictures";
    fs::create_directories(pictures / "trip" / "day1");
    writeImage(pictures / "p.jpg", Qt::blue, "JPEG");
    writeImage(pictures / "trip" / "t.jpg", Qt::blue, "JPEG");
    ASSERT_EQ(BrowserDataSource::picturesFolders(), std::vector<fs::path>{pictures});
    BrowserWindowController fresh;  // no bookmark: it starts in Pictures
    ASSERT_EQ(fresh.currentFolder(), pictures);
    EXPECT_EQ(listed(fresh), std::set<std::string>{"p.jpg"});
    fresh.changeDirectory(pictures / "trip", 0);
    EXPECT_EQ(listed(fresh), (std::set<std::string>{"day1", "t.jpg"}));

    // An XDG pictures folder takes the place of ~/Pictures.
    fs::create_directories(home.path() / ".config");
    fs::create_directories(home.path() / "Bilder");
    setenv("XDG_CONFIG_HOME", (home.path() / ".config").c_str(), 1);
    touch(home.path() / ".config/user-dirs.dirs", "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
    EXPECT_EQ(BrowserDataSource::picturesFolders(), std::vector<fs::path>{home.path() / "Bilder"});
}

// Titles are cut short; the tooltip has the whole name. The help popovers
// lie clear of each other and of every control of the tool bar. The hint of
// an empty selection names this system's key.
TEST_F(BrowserWindow, TooltipsPopoversAndTheSelectionHint) {
    touch(dir / "a-rather-long-file-name-that-the-title-cuts.dng");
    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    const QModelIndex first = browser.model()->index(0);
    EXPECT_EQ(browser.model()->data(first, Qt::ToolTipRole).toString(),
              QStringLiteral("a-rather-long-file-name-that-the-title-cuts.dng"));

    browser.resize(900, 600);
    browser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&browser));
    browser.createPopovers();
    uitest::settle();
    QList<QRect> popovers;
    for (QWidget* popover : browser.findChildren<QWidget*>(QStringLiteral("helpPopover")))
        if (popover->isVisible()) popovers << popover->frameGeometry();
    ASSERT_EQ(popovers.size(), 5);
    QList<QRect> controls;
    for (QWidget* control : browser.findChildren<QWidget*>())
        if (control->isVisible() && control->objectName() != QLatin1String("helpPopover") &&
            control->objectName() != QLatin1String("helpBand") &&
            control != browser.imageBrowser() && !browser.imageBrowser()->isAncestorOf(control) &&
            (qobject_cast<QAbstractButton*>(control) ||
             control->parentWidget() == browser.backButton()->parentWidget()))
            controls << QRect(control->mapToGlobal(QPoint(0, 0)), control->size());
    ASSERT_GE(controls.size(), 5);
    // Nor over the thumbnails they would hide until clicked.
    const QRect grid(browser.imageBrowser()->mapToGlobal(QPoint(0, 0)),
                     browser.imageBrowser()->size());
    for (const QRect& popover : popovers) EXPECT_FALSE(popover.intersects(grid));
    // They go with the window.
    const QPoint offset = popovers[0].topLeft() - browser.geometry().topLeft();
    browser.move(browser.pos() + QPoint(30, 20));
    uitest::settle();
    QList<QWidget*> moved;
    for (QWidget* popover : browser.findChildren<QWidget*>(QStringLiteral("helpPopover")))
        if (popover->isVisible()) moved << popover;
    ASSERT_EQ(moved.size(), 5);
    EXPECT_EQ(moved[0]->frameGeometry().topLeft() - browser.geometry().topLeft(), offset);
    for (int i = 0; i < popovers.size(); ++i) {
        for (int j = i + 1; j < popovers.size(); ++j)
            EXPECT_FALSE(popovers[i].intersects(popovers[j])) << i << " and " << j;
        for (const QRect& control : controls) EXPECT_FALSE(popovers[i].intersects(control)) << i;
    }
    for (QWidget* popover : browser.findChildren<QWidget*>(QStringLiteral("helpPopover")))
        popover->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(browser.findChild<QWidget*>(QStringLiteral("helpBand"))->isHidden());

    uitest::ScriptedAlerts alerts;
    browser.imageBrowser()->selectionModel()->clearSelection();
    browser.popAction(std::nullopt);
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_TRUE(alerts.shown[0].informativeText.contains(QStringLiteral("Ctrl+click")));
    EXPECT_FALSE(alerts.shown[0].informativeText.contains(QStringLiteral("cmd")));
    browser.hide();
}

// The click that closes the help keeps the grid where it is while the
// pointer is over it, so a double-click opens the picture it was aimed at;
// the band goes once the pointer leaves the grid.
TEST_F(BrowserWindow, ADoubleClickThatClosesTheHelpOpensThePictureAimedAt) {
    for (const char* name : {"a.dng", "b.dng", "c.dng"}) touch(dir / name);
    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    browser.resize(900, 600);
    browser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&browser));
    browser.createPopovers();
    uitest::settle();
    QWidget* grid = browser.imageBrowser()->viewport();
    QWidget* band = browser.findChild<QWidget*>(QStringLiteral("helpBand"));
    ASSERT_TRUE(band->isVisible());
    const QPoint gridAt = grid->mapToGlobal(QPoint(0, 0));
    const QPoint aim = browser.imageBrowser()->visualRect(browser.model()->index(1)).center();
    QCursor::setPos(grid->mapToGlobal(aim));

    std::vector<std::string> opened;
    auto& shell = platform::ApplicationShell::shared();
    shell.setDocumentWindowFactory([&](const MyDocument::Ptr& document) {
        opened.push_back(document->fileURL().filename().string());
        document->close();
        DocumentController::sharedDocumentController().removeDocument(document);
    });
    QTest::mouseClick(grid, Qt::LeftButton, {}, aim);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    uitest::settle();
    for (QWidget* popover : browser.findChildren<QWidget*>(QStringLiteral("helpPopover")))
        EXPECT_FALSE(popover->isVisible());
    EXPECT_EQ(grid->mapToGlobal(QPoint(0, 0)), gridAt);
    QTest::mouseDClick(grid, Qt::LeftButton, {}, aim);
    uitest::settle();
    shell.setDocumentWindowFactory(nullptr);
    EXPECT_EQ(opened, std::vector<std::string>{"b.dng"});

    QCursor::setPos(browser.backButton()->mapToGlobal(QPoint(2, 2)));
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(grid, &leave);
    EXPECT_TRUE(band->isHidden());
    uitest::settle();
    EXPECT_LT(grid->mapToGlobal(QPoint(0, 0)).y(), gridAt.y());
    browser.hide();
}

// The model's row lookups by path and by node follow a relist that moves
// every row, and a node no longer listed changes no row.
TEST_F(BrowserWindow, RowLookupsFollowTheListing) {
    for (const char* name : {"b.dng", "c.dng", "d.dng", "e.dng"}) touch(dir / name);
    auto source = BrowserDataSource::create();
    source->setPath(dir, {});
    BrowserItemModel model(source);
    const auto before = model.nodeAt(1);
    touch(dir / "a.dng");
    source->invalidateFolder();
    model.relist();
    ASSERT_EQ(model.rowCount(), 5);
    for (const char* name : {"a.dng", "c.dng", "e.dng"}) {
        const std::string path = (dir / name).string();
        const int row = model.rowForPath(QString::fromStdString(path));
        ASSERT_GE(row, 0) << name;
        EXPECT_EQ(model.nodeAt(row)->absolutePath(), path);
    }
    EXPECT_EQ(model.rowForPath(QString::fromStdString((dir / "none.dng").string())), -1);
    QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);
    model.iconDidChange(before);
    model.iconDidChange(model.nodeAt(3));
    ASSERT_EQ(changes.size(), 1);
    EXPECT_EQ(changes[0][0].toModelIndex().row(), 3);
}

TEST_F(BrowserWindow, HistoryGoesBackAndForward) {
    fs::create_directories(dir / "b");
    fs::create_directories(dir / "c");
    BrowserWindowController browser;
    const size_t start = browser.backArray().size();
    browser.changeDirectory(dir, 0);
    browser.changeDirectory(dir, 0);  // the current folder again: no new entry
    EXPECT_EQ(browser.backArray().size(), start + 1);
    browser.changeDirectory(dir / "b", 0);
    browser.changeDirectory(dir / "c", 0);
    EXPECT_TRUE(browser.backButton()->isEnabled());
    EXPECT_FALSE(browser.forwardButton()->isEnabled());

    browser.backButtonClick(0);
    EXPECT_EQ(browser.currentFolder(), dir / "b");
    EXPECT_TRUE(browser.forwardButton()->isEnabled());
    browser.backButtonClick(0);
    EXPECT_EQ(browser.currentFolder(), dir);
    EXPECT_EQ(browser.forwardArray(), (std::vector<fs::path>{dir / "b", dir / "c"}));
    browser.backButtonClick(1);
    EXPECT_EQ(browser.currentFolder(), dir / "b");
    EXPECT_EQ(browser.forwardArray(), std::vector<fs::path>{dir / "c"});
    EXPECT_EQ(browser.dataSource()->getRoot()->getURL(), dir / "b");

    // The path control: one button per component; a click inside the
    // browsed root shows that folder.
    auto buttons = browser.pathButtons();
    ASSERT_FALSE(buttons.empty());
    EXPECT_EQ(buttons.back()->text(), QStringLiteral("b"));
    EXPECT_EQ(platform::UserDefaults::standard().stringForKey("imageDirectory"),
              (dir / "b").string());
}

// The path control shows the selected file, elided when it cannot fit whole,
// but its text never sizes the window: the Batch button stays put.
TEST_F(BrowserWindow, SelectingAFileKeepsTheWindowsSize) {
    const std::string name = "a-picture-with-a-name-far-longer-than-most-people-would-give-it.dng";
    const fs::path deep = dir / "a-folder-with-a-long-name" / "another-folder-with-a-long-name" /
                          "and-a-third-folder-with-a-long-name";
    fs::create_directories(deep);
    touch(deep / name);
    BrowserWindowController browser;
    browser.changeDirectory(deep, 0);
    browser.resize(640, 480);
    browser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&browser));
    uitest::settle();
    const QPoint batch = browser.popUp()->mapTo(&browser, QPoint(0, 0));
    select(browser, {name});
    uitest::settle();
    EXPECT_EQ(browser.size(), QSize(640, 480));
    EXPECT_EQ(browser.popUp()->mapTo(&browser, QPoint(0, 0)), batch);
    QPushButton* file = browser.pathButtons().back();
    EXPECT_TRUE(file->isVisible());
    EXPECT_EQ((file->toolTip().isEmpty() ? file->text() : file->toolTip()).toStdString(), name);
    EXPECT_LE(file->mapTo(&browser, QPoint(file->width(), 0)).x(), batch.x());
}

// In a folder the person chose, a click on the selected file's part of the
// path shows its folder, not the file as an empty folder.
TEST_F(BrowserWindow, ThePathBarTakesTheSelectedFileToItsFolder) {
    const fs::path pics = dir / "pics";
    fs::create_directories(pics);
    touch(pics / "A.dng");
    BrowserWindowController browser;
    browser.browseFolder(pics);
    select(browser, {"A.dng"});
    uitest::settle();
    QPushButton* file = browser.pathButtons().back();
    ASSERT_EQ(file->property("componentPath").toString().toStdString(), (pics / "A.dng").string());
    file->click();
    uitest::settle();
    EXPECT_EQ(browser.currentFolder(), pics);
    EXPECT_EQ(browser.model()->rowCount(), 1);
}

TEST_F(BrowserWindow, ThumbnailsArriveRowByRowAndKeepTheSelection) {
    for (int i = 0; i < 6; ++i)
        writeImage(dir / ("img" + std::to_string(i) + ".jpg"), QColor(40 * i, 200, 100), "JPEG");
    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    select(browser, {"img2.jpg", "img4.jpg"});
    QSignalSpy resets(browser.model(), &QAbstractItemModel::modelReset);
    QSignalSpy changes(browser.model(), &QAbstractItemModel::dataChanged);
    ASSERT_TRUE(thumbnailsArrived(browser));
    uitest::settle();
    EXPECT_EQ(resets.count(), 0);
    ASSERT_GE(changes.count(), 6);
    for (const auto& change : changes)
        EXPECT_EQ(change[0].toModelIndex().row(), change[1].toModelIndex().row());
    EXPECT_EQ(browser.imageBrowser()->selectionModel()->selectedIndexes().size(), 2);

    // The decoration wraps the thumbnail's own bytes: a JPEG of 48 x 32 at most 128.
    QImage picture =
        browser.model()->data(browser.model()->index(0), Qt::DecorationRole).value<QImage>();
    EXPECT_EQ(picture.width(), 48);
    EXPECT_EQ(picture.constBits(),
              browser.model()->nodeAt(0)->iconImageOfSize({0, 0}).bitmap->dataProvider()->bytes());

    // A new file appears after the folder watch fires; the selection stays.
    ASSERT_TRUE(browser.folderWatchActive());
    writeImage(dir / "aaa-new.jpg", Qt::yellow, "JPEG");
    EXPECT_TRUE(uitest::spinUntil([&] { return listed(browser).count("aaa-new.jpg") == 1; },
                                  std::chrono::seconds(5)));
    auto selected = browser.imageBrowser()->selectionModel()->selectedIndexes();
    std::set<std::string> names;
    for (const auto& index : selected)
        names.insert(browser.model()->nodeAt(index.row())->lastPathComponent());
    EXPECT_EQ(names, (std::set<std::string>{"img2.jpg", "img4.jpg"}));
}

class BrowserBatch : public BrowserWindow {
protected:
    uitest::ScriptedAlerts alerts;
    platform::Dictionary presetOfType(int type) {
        platform::Dictionary preset;
        preset.set("Quorvex_ExportFileType", platform::Value(int64_t(type)));
        return preset;
    }
    void copySample(const std::string& name) { fs::copy_file(sampleDng(), dir / name); }
    bool finish(BrowserWindowController& browser) {
        return uitest::spinUntil([&] { return !browser.batchRunning(); },
                                 std::chrono::seconds(120));
    }
    // Exports `names` with a preset of type 0 and waits for the batch.
    bool exportFiles(BrowserWindowController& browser, const std::vector<std::string>& names) {
        select(browser, names);
        browser.popAction(presetOfType(0));
        const bool done = finish(browser);
        uitest::settle();
        return done;
    }
};

TEST_F(BrowserBatch, NamesNumberedOrReplacedAndTypeFromThePreset) {
    copySample("a.dng");
    // An earlier export of ours (its Software tag says so), red; the camera's
    // JPEG beside another raw file, which nothing replaces.
    const std::vector<uint8_t> red = [] {
        std::vector<uint8_t> rgb(48 * 32 * 3);
        for (size_t i = 0; i < rgb.size(); i += 3) rgb[i] = 255;
        return rgb;
    }();
    ASSERT_TRUE(platform::writeJPEG(
        red.data(), 48, 32, 90,
        JpegExport::exifBlock({}, MyDocument::applicationNameAndVersion(), 48, 32), {},
        (dir / "a.jpg").string(), nullptr));
    copySample("b.dng");
    writeImage(dir / "b.jpg", Qt::green, "JPEG");
    writeImage(dir / "a_1.jpg", Qt::red, "JPEG");
    writeImage(dir / "a_2.jpg", Qt::red, "JPEG");
    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    ASSERT_TRUE(thumbnailsArrived(browser));
    const QRgb before = centrePixel(browser, "a.jpg");
    EXPECT_GT(qRed(before), 200);

    select(browser, {"a.dng"});
    browser.popAction(presetOfType(0));
    EXPECT_FALSE(DocumentController::sharedDocumentController().menusActive());
    EXPECT_TRUE(browser.progressSheet()->isVisible());
    ASSERT_TRUE(finish(browser));
    uitest::settle();
    EXPECT_TRUE(DocumentController::sharedDocumentController().menusActive());
    EXPECT_FALSE(browser.progressSheet()->isVisible());
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_TRUE(fs::exists(dir / "a_3.jpg"));
    EXPECT_EQ(listed(browser).count("a_3.jpg"), 1u);  // relisted at the end

    // "SilentlyOverwrite" replaces a.jpg, and the grid shows its new picture;
    // b.jpg is not ours: b_1.jpg is written.
    platform::UserDefaults::standard().setBool(true, "SilentlyOverwrite");
    const auto camera = testsupport::fileBytes(dir / "b.jpg");
    select(browser, {"a.dng", "b.dng"});
    browser.popAction(presetOfType(7));
    ASSERT_TRUE(finish(browser));
    uitest::settle();
    EXPECT_FALSE(fs::exists(dir / "a_4.jpg"));
    EXPECT_TRUE(fs::exists(dir / "b_1.jpg"));
    EXPECT_EQ(testsupport::fileBytes(dir / "b.jpg"), camera);
    // The relist and the new thumbnail come through queues: wait for them,
    // however loaded the machine.
    EXPECT_TRUE(uitest::spinUntil([&] { return centrePixel(browser, "a.jpg") != before; },
                                  std::chrono::seconds(60)))
        << "the grid still shows the replaced picture";

    // Type 5 writes OpenEXR.
    select(browser, {"a.dng"});
    browser.popAction(presetOfType(5));
    ASSERT_TRUE(finish(browser));
    uitest::settle();
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_TRUE(fs::exists(dir / "a.exr"));

    // Without a selection: the alert and no batch.
    browser.imageBrowser()->selectionModel()->clearSelection();
    browser.popAction(std::nullopt);
    EXPECT_FALSE(browser.batchRunning());
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].messageText, QStringLiteral("No files selected."));
    EXPECT_EQ(alerts.shown[0].buttons, QStringList{QStringLiteral("Ok")});
}

TEST_F(BrowserBatch, ProgressAndCancelDuringTheSecondFile) {
    for (const char* name : {"p1.dng", "p2.dng", "p3.dng"}) copySample(name);
    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    select(browser, {"p1.dng", "p2.dng", "p3.dng"});
    std::vector<int> progress;
    QObject::connect(browser.progressBar(), &QProgressBar::valueChanged,
                     [&](int v) { progress.push_back(v); });
    browser.popAction(presetOfType(0));
    ASSERT_TRUE(finish(browser));
    uitest::settle();
    if (!progress.empty() && progress.front() == 0) progress.erase(progress.begin());
    EXPECT_EQ(progress, (std::vector<int>{25, 50, 75}));
    for (const char* name : {"p1.jpg", "p2.jpg", "p3.jpg"}) {
        EXPECT_TRUE(fs::exists(dir / name)) << name;
        fs::remove(dir / name);
    }

    // Cancelled as the second file starts: it is not written, nor the third, no alert.
    browser.setWorkerProgressObserver([&browser](const fs::path& source) {
        if (source.filename() == "p2.dng") browser.userCancelAction();
    });
    ASSERT_TRUE(exportFiles(browser, {"p1.dng", "p2.dng", "p3.dng"}));
    EXPECT_TRUE(fs::exists(dir / "p1.jpg"));
    EXPECT_FALSE(fs::exists(dir / "p2.jpg"));
    EXPECT_FALSE(fs::exists(dir / "p3.jpg"));
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_TRUE(DocumentController::sharedDocumentController().menusActive());
}

// A batch stops at the first file it cannot develop and says how many were written.
TEST_F(BrowserBatch, AStoppedBatchSaysWhereAndHowManyWereExported) {
    copySample("s1.dng");
    std::ofstream(dir / "s2.dng") << "not a raw file";
    copySample("s3.dng");
    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    ASSERT_TRUE(exportFiles(browser, {"s1.dng", "s2.dng", "s3.dng"}));
    EXPECT_TRUE(fs::exists(dir / "s1.jpg"));
    EXPECT_FALSE(fs::exists(dir / "s3.jpg"));
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].messageText.toStdString(),
              "The batch stopped at “s2.dng”: 1 of 3 photos were exported.");
    EXPECT_FALSE(alerts.shown[0].informativeText.isEmpty());
}

}  // namespace

namespace {

// The browser on a folder of every kind of entry, for a person to look at.
TEST(Screenshots, Browser) {
    uitest::UiTestHome home;
    const fs::path dir = home.path() / "Browsed";
    setLevel(1);
    fs::create_directories(dir / "A sub-folder");
    for (const auto& entry : fs::directory_iterator(testsupport::testdataDir() / "raw/dng"))
        fs::copy_file(entry.path(), dir / entry.path().filename());
    writeImage(dir / "red.jpg", Qt::red, "JPEG");
    writeImage(dir / "green.png", Qt::darkGreen, "PNG");
    writeTiff(dir / "blue.tif");
    writeImage(dir / ".hidden.jpg", Qt::red, "JPEG");
    fs::create_symlink(dir / "red.jpg", dir / "link to red.jpg");

    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    browser.resize(1100, 760);
    browser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&browser));
    // These two have no picture the decoder makes: they keep the file icon.
    ASSERT_TRUE(thumbnailsArrived(browser, {"rpi-640x480_10bit_minimal_malformed.dng",
                                            "bmpcc4k_cfa-12bit-dctjpeg_4tiles_linearization.dng"}));
    EXPECT_EQ(listed(browser).count(".hidden.jpg"), 0u);
    EXPECT_EQ(listed(browser).count("A sub-folder"), 1u);
    select(browser, {"red.jpg"});
    QTest::qWait(300);
    const QPixmap picture = QGuiApplication::platformName() == QLatin1String("xcb")
                                ? browser.screen()->grabWindow(browser.winId())
                                : browser.grab();
    ASSERT_FALSE(picture.isNull());
    if (const char* folder = std::getenv("QUORVEX_SCREENSHOTS")) {
        fs::create_directories(folder);
        EXPECT_TRUE(picture.save(QString::fromLocal8Bit(folder) + "/browser.png"));
    }
    // The help popovers are windows of their own: the screen shows them.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        browser.createPopovers();
        QTest::qWait(300);
        const QRect frame = browser.frameGeometry();
        const QPixmap help =
            browser.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
        if (const char* folder = std::getenv("QUORVEX_SCREENSHOTS")) {
            EXPECT_TRUE(help.save(QString::fromLocal8Bit(folder) + "/browser-help.png"));
        }
        for (QWidget* popover : browser.findChildren<QWidget*>(QStringLiteral("helpPopover")))
            popover->close();
    }
}

}  // namespace

namespace {

// The shell reaches the browser and the inspector through their hooks; the
// batch menu lists the presets.
TEST(BrowserShell, HooksShowTheBrowserAndTheInspectorAndMenusListPresets) {
    uitest::UiTestHome home;
    BrowserWindowController::installBrowserHooks();
    InspectorController::installInspectorHooks();
    auto& shell = platform::ApplicationShell::shared();
    shell.showBrowser();
    BrowserWindowController& browser = BrowserWindowController::shared();
    EXPECT_TRUE(browser.isVisible());
    QMenu* menu = browser.popUp()->menu();
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Export with..."));
    QStringList items;
    for (QAction* a : menu->actions()[0]->menu()->actions()) items << a->text();
    EXPECT_TRUE(items.contains(QStringLiteral("Default settings")))
        << items.join("|").toStdString();
    QStringList places;
    for (QAction* a : browser.exportLocationPopUp()->menu()->actions()) places << a->text();
    EXPECT_EQ(places, (QStringList{QStringLiteral("This folder"),
                                   QStringLiteral("Select export folder...")}));
    browser.setExportLocation(home.path());
    browser.buildExportLocationMenu();
    browser.exportPopAction(1);
    EXPECT_TRUE(browser.useExportLocation());
    EXPECT_EQ(browser.exportLocationPopUp()->text(), QString::fromStdString(home.path().string()));
    browser.exportPopAction(0);
    EXPECT_FALSE(browser.useExportLocation());
    browser.hide();

    EXPECT_FALSE(InspectorController::shared(false));
    shell.showInspector();
    ASSERT_TRUE(InspectorController::shared(false));
    EXPECT_TRUE(InspectorController::shared(false)->isVisible());
    InspectorController::shared(false)->hide();
}

}  // namespace

namespace {

// A file open in a window is exported with the window's settings: they
// reach the catalog before the batch opens its own document of the file.
TEST_F(BrowserBatch, AnOpenDocumentsSettingsReachTheCatalogFirst) {
    copySample("open.dng");
    const fs::path raw = dir / "open.dng";
    auto& controller = DocumentController::sharedDocumentController();
    platform::Error error;
    auto document = MyDocument::init();
    ASSERT_TRUE(document->readFromURL(raw.string(), &error)) << error.failureReason;
    document->documentIsForDisplay(true);
    document->setValueForKey(platform::Value(0.7f), "Quorvex_Filter_inputEV");
    controller.addDocument(document);
    auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    ASSERT_FALSE(catalog->getItemForUUID(raw.string()).has_value());

    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    ASSERT_TRUE(exportFiles(browser, {"open.dng"}));
    auto entry = catalog->getItemForUUID(raw.string());
    ASSERT_TRUE(entry.has_value());
    EXPECT_FLOAT_EQ((*entry)["Quorvex_Filter_inputEV"].floatValue(), 0.7f);
    EXPECT_TRUE(fs::exists(dir / "open.jpg"));

    // Edits that cannot be saved stop the batch: it would export older settings.
    document->setValueForKey(platform::Value(1.3f), "Quorvex_Filter_inputEV");
    {
        testsupport::FileSizeLimit full(64);
        browser.popAction(presetOfType(0));
        ASSERT_TRUE(finish(browser));
    }
    uitest::settle();
    ASSERT_FALSE(alerts.shown.empty());
    const std::string told = alerts.shown.back().messageText.toStdString();
    EXPECT_NE(told.find("cannot be saved in the catalog folder"), std::string::npos) << told;
    EXPECT_FALSE(fs::exists(dir / "open_1.jpg"));

    // A held catalog is told within moments; once let go, the batch runs.
    browser.show();
    auto* bar = browser.findChild<MessageBar*>();
    ASSERT_NE(bar, nullptr);
    ASSERT_TRUE(uitest::noticedWhileCatalogHeld(*catalog->storeFilePath(), bar,
                                                [&] { browser.popAction(presetOfType(0)); }));
    ASSERT_TRUE(finish(browser));
    EXPECT_FLOAT_EQ((*catalog->getItemForUUID(raw.string()))["Quorvex_Filter_inputEV"].floatValue(),
                    1.3f);
    EXPECT_TRUE(fs::exists(dir / "open_1.jpg"));
    controller.removeDocument(document);
    document->close();
}

}  // namespace

namespace {

// Cancel reaches the batch's save of the open edits at once, also while a
// closing window's save waits before it for the program that holds the
// catalog: nothing of ours is waited for meanwhile.
TEST_F(BrowserBatch, CancelEndsTheSaveOfOpenEditsAtOnce) {
    const testsupport::ShortLockWait shortWait;
    auto& controller = DocumentController::sharedDocumentController();
    const auto shown = [&](const std::string& name, float ev) {
        copySample(name);
        platform::Error error;
        auto document = MyDocument::init();
        EXPECT_TRUE(document->readFromURL((dir / name).string(), &error)) << error.failureReason;
        document->documentIsForDisplay(true);
        document->setValueForKey(platform::Value(ev), "Quorvex_Filter_inputEV");
        controller.addDocument(document);
        return document;
    };
    const auto edited = shown("open.dng", 0.7f);
    const auto closing = shown("closing.dng", 0.4f);
    const auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    testsupport::LockHolder holder(catalog->storeFilePath()->parent_path() /
                                   ".QuorvexCatalog.plist.lock");
    ASSERT_TRUE(holder.hold("burn", false, 6000));
    const auto save = SettingsSave::start(closing);
    EXPECT_FALSE(save->waitFor(std::chrono::milliseconds(300)));

    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    select(browser, {"open.dng"});
    browser.popAction(presetOfType(0));
    ASSERT_TRUE(browser.batchRunning());
    QTest::qWait(600);
    QPushButton* cancel = nullptr;
    for (auto* button : browser.progressSheet()->findChildren<QPushButton*>())
        if (button->text() == QStringLiteral("Cancel")) cancel = button;
    ASSERT_TRUE(cancel);
    const auto start = std::chrono::steady_clock::now();
    cancel->click();
    EXPECT_TRUE(uitest::spinUntil([&] { return !browser.batchRunning(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    uitest::settle();
    EXPECT_FALSE(browser.progressSheet()->isVisible());
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_FALSE(fs::exists(dir / "open.jpg"));

    holder.letGo();
    EXPECT_TRUE(save->waitFor(std::chrono::seconds(10)) && save->saved());
    for (const auto& document : {edited, closing}) {
        controller.removeDocument(document);
        document->close();
    }
}

}  // namespace

namespace {

int openPanels(QWidget& window) {
    int n = 0;
    for (auto* panel : window.findChildren<QFileDialog*>())
        if (panel->isVisible()) ++n;
    return n;
}

// The folder chosen in the panel becomes the root that path clicks may show
// without asking again, and its bookmark is kept.
TEST_F(BrowserWindow, AChosenFolderBecomesTheBrowsableRoot) {
    fs::create_directories(dir / "inner" / "deeper");
    BrowserWindowController browser;
    browser.show();
    browser.newLocationClick(std::nullopt);
    uitest::settle();
    auto panels = browser.findChildren<QFileDialog*>();
    ASSERT_EQ(panels.size(), 1);
    QFileDialog* panel = panels.front();
    EXPECT_EQ(panel->labelText(QFileDialog::Accept), QStringLiteral("Browse folder"));
    EXPECT_TRUE(panel->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_EQ(panel->windowModality(), Qt::WindowModal);
    panel->setDirectory(QString::fromStdString(dir.string()));
    QMetaObject::invokeMethod(panel, "accept", Qt::DirectConnection);
    uitest::settle();
    ASSERT_EQ(browser.currentFolder(), dir);
    const platform::Value bookmark =
        platform::UserDefaults::standard().objectForKey("imageDirectoryBookmark");
    ASSERT_TRUE(bookmark.isData());
    EXPECT_EQ(std::string(bookmark.data().begin(), bookmark.data().end()), dir.string());

    // Inside the root: shown at once, twice in a row; outside: the panel.
    browser.pathControlClick(dir / "inner");
    EXPECT_EQ(browser.currentFolder(), dir / "inner");
    browser.pathControlClick(dir / "inner" / "deeper");
    EXPECT_EQ(browser.currentFolder(), dir / "inner" / "deeper");
    uitest::settle();
    EXPECT_EQ(openPanels(browser), 0);
    browser.pathControlClick(dir.parent_path());
    uitest::settle();
    EXPECT_EQ(openPanels(browser), 1);
    EXPECT_EQ(browser.currentFolder(), dir / "inner" / "deeper");
    for (auto* p : browser.findChildren<QFileDialog*>())
        QMetaObject::invokeMethod(p, "reject", Qt::DirectConnection);
    uitest::settle();
}

}  // namespace
