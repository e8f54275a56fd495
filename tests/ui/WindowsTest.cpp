#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTest>
#include <QTextBrowser>
#include <QToolBar>
#include <QUrl>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "UiTestHome.h"
#include "color/CameraProfileManager.h"
#include "document/ApplicationDefaults.h"
#include "document/DocumentController.h"
#include "document/PresetManager.h"
#include "document/RawFileSearch.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "ui/ApplicationShell.h"
#include "ui/DocumentWindowController.h"
#include "ui/InspectorController.h"
#include "ui/WindowPlacement.h"

namespace fs = std::filesystem;

namespace {

platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

QStringList column(const QTableWidget* table, int column) {
    QStringList texts;
    for (int row = 0; row < table->rowCount(); ++row) texts << table->item(row, column)->text();
    return texts;
}

TEST(ProfileWindow, ImportsListsRefusesAndDeletes) {
    uitest::UiTestHome home;
    uitest::ScriptedAlerts alerts;
    ProfileController& window = platform::ApplicationShell::shared().profiles();
    window.loadTable();
    EXPECT_EQ(window.table()->rowCount(), 0);

    QStringList files;
    for (const auto& entry : fs::directory_iterator(testsupport::testdataDir() / "dcp" / "set-a"))
        files << QString::fromStdString(entry.path().string());
    files.sort();
    ASSERT_EQ(files.size(), 7);
    EXPECT_TRUE(window.importFiles(files));
    EXPECT_TRUE(alerts.shown.empty());
    ASSERT_EQ(window.table()->rowCount(), 7);
    const QStringList cameras = column(window.table(), 0);
    EXPECT_TRUE(cameras.contains("NIKON D850"));
    EXPECT_TRUE(cameras.contains("Canon EOS 5D"));
    EXPECT_FALSE(window.table()->item(0, 0)->icon().isNull());  // the profile's preview
    EXPECT_EQ(window.tableContents().size(), 7u);

    // A text file named x.dcp is refused with an alert and never copied.
    const fs::path text = home.path() / "x.dcp";
    std::ofstream(text) << "just text";
    EXPECT_FALSE(window.importFiles({QString::fromStdString(text.string())}));
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_TRUE(alerts.shown[0].messageText.contains("x.dcp"));
    EXPECT_FALSE(fs::exists(CameraProfileManager::profileDirectory() / "x.dcp"));
    EXPECT_EQ(window.table()->rowCount(), 7);

    // Deleting the selected row asks first; confirmed, it removes its file and its row.
    window.table()->selectRow(2);
    const auto doomed = window.tableContents()[2].profile->profileURL();
    window.deleteSelectedItem();
    ASSERT_EQ(alerts.shown.size(), 2u);
    EXPECT_TRUE(alerts.shown[1].messageText.contains(window.tableContents()[2].shortDescription));
    EXPECT_EQ(alerts.shown[1].buttons[alerts.shown[1].cancelButton], QStringLiteral("Cancel"));
    EXPECT_TRUE(fs::exists(doomed));
    EXPECT_EQ(window.table()->rowCount(), 7);
    alerts.answerWith(1);
    window.deleteSelectedItem();
    EXPECT_FALSE(fs::exists(doomed));
    EXPECT_EQ(window.table()->rowCount(), 6);

    // Another part of the program importing reloads the table too.
    CameraProfileManager::sharedCameraProfileManager().addProfile(doomed.filename().string(),
                                                                  nullptr);  // fails: relative
    ASSERT_TRUE(CameraProfileManager::sharedCameraProfileManager().addProfile(
        testsupport::testdataDir() / "dcp" / "set-a" / doomed.filename(), nullptr));
    EXPECT_TRUE(uitest::spinUntil([&] { return window.table()->rowCount() == 7; }));
}

TEST(ProfileWindow, ImportPanelTakesProfilesOnly) {
    ProfileController& window = platform::ApplicationShell::shared().profiles();
    window.importProfile();
    auto* panel = window.findChild<QFileDialog*>("importPanel");
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->windowTitle(), QStringLiteral("Import one or more files or directories."));
    EXPECT_EQ(panel->fileMode(), QFileDialog::ExistingFiles);
    EXPECT_TRUE(panel->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_TRUE(panel->nameFilters().front().contains("*.dcp"));
    panel->reject();
}

TEST(PresetWindow, ListsTheFactoryPresetsAndFollowsChanges) {
    uitest::UiTestHome home;
    PresetWindowController& window = platform::ApplicationShell::shared().presets();
    window.loadTable();
    QStringList names = column(window.table(), 0);
    names.sort();
    EXPECT_EQ(names, (QStringList{"Default", "Default TIFF export", "Monochrome", "Zero'd"}));
    EXPECT_EQ(column(window.table(), 1), QStringList(4, "Quorvex Preset"));

    // Delete asks in the real alert box; Return and Escape keep the preset.
    window.table()->selectRow(0);
    const QString deleted = window.tableContents()[0].name;
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        window.deleteSelectedItem();
        QMessageBox* box = uitest::openAlert();
        ASSERT_TRUE(box);
        EXPECT_TRUE(box->text().contains(deleted));
        QTest::keyClick(box, key);
        uitest::settle();
        EXPECT_FALSE(uitest::openAlert());
        EXPECT_EQ(PresetManager::sharedPresetManager().presetList(false).size(), 4u) << key;
    }
    window.deleteSelectedItem();
    QMessageBox* box = uitest::openAlert();
    ASSERT_TRUE(box);
    for (QAbstractButton* button : box->buttons())
        if (button->text() == QStringLiteral("Delete")) button->click();
    // The manager's notification rebuilds the table on the main queue.
    ASSERT_TRUE(uitest::spinUntil([&] { return window.table()->rowCount() == 3; }));
    EXPECT_FALSE(column(window.table(), 0).contains(deleted));
    EXPECT_FALSE(uitest::openAlert());

    platform::Dictionary added{{"displayName", "Mine"}};
    ASSERT_TRUE(PresetManager::sharedPresetManager().addPreset(added, nullptr));
    ASSERT_TRUE(uitest::spinUntil([&] { return window.table()->rowCount() == 4; }));
    EXPECT_TRUE(column(window.table(), 0).contains("Mine"));
}

TEST(Preferences, PanesControlsAndRawSearchFollowTheDefaults) {
    uitest::UiTestHome home;
    ApplicationDefaults::registerDefaults();
    PreferencesController window;
    EXPECT_EQ(window.tabView()->count(), 5);
    window.selectTab2();
    EXPECT_EQ(window.tabView()->currentIndex(), 2);
    window.selectTab10();  // no such pane: nothing changes
    EXPECT_EQ(window.tabView()->currentIndex(), 2);
    window.prefsToolBar()->actions().at(4)->trigger();
    EXPECT_EQ(window.tabView()->currentIndex(), 4);

    for (const char* key :
         {"SilentlyOverwrite", "ShowPopoverHelp", "enableCinematic", "ShowExternalProfiles",
          "AutomaticColorProfile", "UseAdvancedInterpolation", "DisableImageCache",
          "DisableFrameBuffer", "ShowOnlyPCDFiles"}) {
        auto* box = window.findChild<QCheckBox*>(key);
        ASSERT_TRUE(box) << key;
        EXPECT_EQ(box->isChecked(), defaults().boolForKey(key)) << key;
        box->click();
        EXPECT_EQ(box->isChecked(), defaults().boolForKey(key)) << key;
    }
    // The crash guard's switches, set elsewhere, show and can be cleared here.
    defaults().setBool(true, "DisableImageCache");
    auto* cache = window.findChild<QCheckBox*>("DisableImageCache");
    ASSERT_TRUE(uitest::spinUntil([&] { return cache->isChecked(); }));
    cache->click();
    EXPECT_FALSE(defaults().boolForKey("DisableImageCache"));

    auto* filter = window.findChild<QComboBox*>("BrowserFileSelect");
    ASSERT_TRUE(filter);
    EXPECT_EQ(filter->currentIndex(), 1);
    defaults().setInteger(7, "BrowserFileSelect");  // "2 or more": every file
    ASSERT_TRUE(uitest::spinUntil([&] { return filter->currentIndex() == 2; }));
    auto* resolution = window.findChild<QComboBox*>("ResolutionSelect");
    EXPECT_EQ(resolution->currentIndex(), 4);

    auto* path = window.findChild<QLineEdit*>("rawSearchDirectoryBookmark");
    EXPECT_TRUE(path->text().isEmpty());
    fs::create_directories(home.path() / "raws");
    window.setRawSearch(home.path() / "raws");
    EXPECT_EQ(RawFileSearch::rawSearch(), home.path() / "raws");
    EXPECT_EQ(path->text().toStdString(), (home.path() / "raws").string());

    window.chooseRawSearchFolder();
    auto* panel = window.findChild<QFileDialog*>("rawSearchPanel");
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->windowTitle(),
              QStringLiteral("Select a folder location containing your raw images."));
    EXPECT_EQ(panel->fileMode(), QFileDialog::Directory);
    EXPECT_TRUE(panel->testOption(QFileDialog::DontUseNativeDialog));
    fs::create_directories(home.path() / "other");
    emit panel->fileSelected(QString::fromStdString((home.path() / "other").string()));
    EXPECT_EQ(RawFileSearch::rawSearch(), home.path() / "other");
    panel->reject();
}

// The alert gives the reason; the error's domain and code go to the log.
TEST(Shell, OpeningAFolderIsRefusedWithAnAlert) {
    uitest::UiTestHome home;
    uitest::ScriptedAlerts alerts;
    platform::LogCapture log;
    platform::ApplicationShell::shared().openFiles({QString::fromStdString(home.path().string())});
    ASSERT_EQ(alerts.shown.size(), 1u);
    const QString name = QString::fromStdString(home.path().filename().string());
    EXPECT_EQ(alerts.shown[0].messageText, QStringLiteral("“%1” could not be opened.").arg(name));
    EXPECT_EQ(alerts.shown[0].informativeText, QStringLiteral("directory read operation."));
    EXPECT_TRUE(log.contains("QuorvexErrorDomain -4: directory read operation."));

    // A DNG named .jpg is no editor's file, whichever raw search folder is set.
    const fs::path disguised = home.path() / "shot.jpg";
    fs::copy_file(testsupport::testdataDir() / "raw/dng/rpi-1920x1200_10bit-packed_single-tile.dng",
                  disguised);
    for (bool searchFolderSet : {false, true}) {
        ASSERT_TRUE(!searchFolderSet || RawFileSearch::setRawSearch(home.path()));
        alerts.shown.clear();
        platform::ApplicationShell::shared().openFiles(
            {QString::fromStdString(disguised.string())});
        ASSERT_EQ(alerts.shown.size(), 1u);
        EXPECT_EQ(alerts.shown[0].informativeText,
                  QStringLiteral("Its contents are a DNG raw file but its name says it is a JPEG "
                                 "file; give it the extension .dng to develop it."));
    }
}

}  // namespace

namespace {

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

QFileDialog* openPanel() {
    platform::ApplicationShell::shared().openDocument();
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible())
            return dialog;
    return nullptr;
}

// The panel starts in the browser's folder, else the last one used; our files first.
TEST(Shell, TheOpenPanelAlsoTakesAFolder) {
    uitest::UiTestHome home;
    uitest::ScriptedAlerts alerts;
    const fs::path picked = home.path() / "picked";  // not the home a panel may default to
    fs::create_directories(picked / "folder");
    auto& shell = platform::ApplicationShell::shared();
    const auto saved = shell.browserHooks();
    std::optional<QString> shown = QString::fromStdString((picked / "folder").string());
    auto hooks = saved;
    hooks.shownFolder = [&] { return shown; };
    shell.setBrowserHooks(hooks);
    QFileDialog* panel = openPanel();
    ASSERT_TRUE(panel);
    const QStringList filters = panel->nameFilters();
    ASSERT_EQ(filters.size(), 2);
    for (const char* pattern : {"*.dng ", "*.nef ", "*.cr3 ", "*.pcd ", "*.tif ", "*.jpg "})
        EXPECT_TRUE(filters[0].contains(QLatin1String(pattern))) << pattern;
    EXPECT_EQ(panel->selectedNameFilter(), filters[0]);
    EXPECT_TRUE(panel->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_EQ(panel->fileMode(), QFileDialog::ExistingFiles);
    panel->setDirectory(QString::fromStdString(picked.string()));
    panel->selectFile(QStringLiteral("folder"));
    panel->activateWindow();  // as under a window manager
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
    QMetaObject::invokeMethod(panel, "accept");  // the Open button
    // The folder was opened, not entered, and the document refused it, in an
    // alert over the window the panel came from, not over the closing panel.
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].messageText, QStringLiteral("“folder” could not be opened."));
    EXPECT_FALSE(qobject_cast<QFileDialog*>(alerts.parents[0].data()));

    for (const QString& start : {*shown, QString::fromStdString(picked.string())}) {
        panel = openPanel();
        ASSERT_TRUE(panel);
        EXPECT_EQ(panel->directory().absolutePath(), start);
        panel->reject();
        shown.reset();  // then the last folder used
    }
    shell.setBrowserHooks(saved);
}

// Each window opens over its opener and fully on screen, even if left partly off it.
TEST(Shell, WindowsOpenFullyOnTheirScreen) {
    uitest::UiTestHome home;
    auto& shell = platform::ApplicationShell::shared();
    InspectorController::installInspectorHooks();
    QMainWindow from;
    from.resize(200, 150);
    const QRect screen = from.screen()->availableGeometry();
    from.move(screen.bottomRight() - QPoint(200, 150));
    from.show();
    from.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&from));
    auto onScreen = [&](QWidget* window) {
        EXPECT_TRUE(window->isVisible() &&
                    window->frameGeometry().intersects(from.frameGeometry()));
        EXPECT_TRUE(screen.contains(window->frameGeometry())) << window->objectName().toStdString();
        window->close();
        from.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&from));
    };
    const std::vector<std::pair<std::function<void()>, std::function<QWidget*()>>> windows{
        {[&] { shell.showPreferences(); }, [&] { return &shell.preferences(); }},
        {[&] { shell.showPresets(); }, [&] { return &shell.presets(); }},
        {[&] { shell.showProfiles(); }, [&] { return &shell.profiles(); }},
        {[&] { shell.showInspector(); }, [] { return InspectorController::shared(false); }},
        {[&] { shell.showHelp(); },
         [&]() -> QWidget* { return shell.helpView() ? shell.helpView()->window() : nullptr; }},
    };
    for (const auto& [show, window] : windows) {
        if (QWidget* before = window()) before->move(screen.bottomRight() - QPoint(100, 100));
        show();
        onScreen(window());
    }

    DocumentWindowController* window = nullptr;
    DocumentController::sharedDocumentController().openDocumentWithContentsOfURL(
        (testsupport::testdataDir() / "raw/dng/rpi-imx296_10bit-packed_strip.dng").string(), true,
        [&](const MyDocument::Ptr& document, bool, const std::optional<platform::Error>&) {
            if (document) window = DocumentWindowController::makeWindowForDocument(document);
        });
    ASSERT_TRUE(window);
    QPointer<QMainWindow> documentWindow = window->window();
    onScreen(documentWindow);
    EXPECT_TRUE(uitest::spinUntil([&] { return documentWindow.isNull(); }));

    // Files opened together cascade: no window hides another, all on the screen.
    DocumentWindowController::installDocumentWindowFactory();
    QStringList files;
    for (const char* name :
         {"rpi-imx296_10bit-packed_strip.dng", "rpi-1920x1200_10bit-packed_single-tile.dng",
          "rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng"})
        files << QString::fromStdString((testsupport::testdataDir() / "raw/dng" / name).string());
    shell.openFiles(files);
    std::vector<QPointer<QMainWindow>> opened;
    for (const auto& document : DocumentController::sharedDocumentController().documents())
        if (auto* controller = DocumentWindowController::windowForDocument(document.get()))
            opened.emplace_back(controller->window());
    ASSERT_EQ(opened.size(), 3u);
    for (size_t i = 0; i < opened.size(); ++i) {
        EXPECT_TRUE(screen.contains(opened[i]->frameGeometry())) << i;
        for (size_t j = 0; j < i; ++j) EXPECT_NE(opened[i]->pos(), opened[j]->pos()) << i << j;
    }
    for (auto& w : opened) w->close();
    EXPECT_TRUE(uitest::spinUntil(
        [&] { return std::ranges::all_of(opened, &QPointer<QMainWindow>::isNull); }));
    shell.setDocumentWindowFactory(nullptr);
}

// Windows too big to take another step where the cascade has gone start
// again at the top left of the screen: every one stays within its area and
// none hides another.
TEST(Shell, ACascadeThatWouldLeaveTheScreenStartsAgainAtTheTopLeft) {
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const QSize size = available.size() * 0.6;
    std::vector<std::unique_ptr<QWidget>> windows;
    std::vector<const QWidget*> others;
    int atTopLeft = 0;
    for (int i = 0; i < 10; ++i) {
        auto window = std::make_unique<QWidget>();
        window->setMinimumSize(size - QSize(40, 40));  // room for a step or two only
        window->resize(size);
        platform::placeOnScreen(window.get(), nullptr);
        platform::cascadeOnScreen(window.get(), others);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        EXPECT_TRUE(available.contains(window->frameGeometry())) << i;
        for (const QWidget* other : others) EXPECT_NE(window->pos(), other->pos()) << i;
        if (window->pos() == available.topLeft()) ++atTopLeft;
        others.push_back(window.get());
        windows.push_back(std::move(window));
    }
    EXPECT_EQ(atTopLeft, 1);
}

TEST(Shell, ARemovedDocumentRebuildsTheBrowserMenusOnTheMainQueue) {
    auto& shell = platform::ApplicationShell::shared();
    int rebuilt = 0;
    bool onMain = false;
    shell.setBrowserHooks({nullptr,
                           [&] {
                               ++rebuilt;
                               onMain = platform::isMainThread();
                           },
                           nullptr, nullptr, nullptr});
    // The batch closes its documents on its own thread.
    std::thread([] {
        DocumentController::sharedDocumentController().removeDocument(nullptr);
    }).join();
    EXPECT_EQ(rebuilt, 0);
    ASSERT_TRUE(uitest::spinUntil([&] { return rebuilt == 1; }));
    EXPECT_TRUE(onMain);
    shell.setBrowserHooks({});
}

TEST(Shell, SiteAndMailOpenThroughTheDesktop) {
    UrlCatcher catcher;
    for (const char* scheme : {"https", "mailto"})
        QDesktopServices::setUrlHandler(scheme, &catcher, "open");
    auto& shell = platform::ApplicationShell::shared();
    shell.showWebSite();
    shell.showContactUs();
    for (const char* scheme : {"https", "mailto"}) QDesktopServices::unsetUrlHandler(scheme);
    ASSERT_EQ(catcher.opened.size(), 2);
    EXPECT_EQ(catcher.opened[0].toString(), platform::ApplicationShell::productSiteAddress());
    EXPECT_EQ(catcher.opened[1].scheme(), "mailto");
    EXPECT_EQ(catcher.opened[1].path(), platform::ApplicationShell::supportMailAddress());
    EXPECT_EQ(platform::ApplicationShell::contactURL(),
              "mailto:support@quorvex.example.org?SUBJECT=Quorvex%20support%20request");
}

TEST(Shell, QuickReferenceLoadsOnTheFirstValidation) {
    auto& shell = platform::ApplicationShell::shared();
    shell.updateMenus();
    ASSERT_TRUE(shell.quickReferenceLoaded());
    EXPECT_TRUE(shell.quickReferenceView()->toPlainText().contains("Quorvex quick reference"));
    // Every menu action has a responder: the shell or a document window's slot.
    EXPECT_TRUE(shell.action("showQuickReference:"));
    EXPECT_TRUE(shell.sendAction("showQuickReference:"));
    EXPECT_TRUE(shell.quickReferenceView()->window()->isVisible());
    shell.quickReferenceView()->window()->close();
    EXPECT_FALSE(shell.sendAction("zoomIn:"));  // no document window
}

}  // namespace

#include "WindowsTest.moc"
