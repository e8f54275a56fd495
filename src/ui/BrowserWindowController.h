// The folder browser: one folder's image files as a grid of thumbnails,
// folder history (back, forward, path buttons, a folder panel), a watch on
// the shown folder, and the batch export of the selection with a preset,
// run by BatchExport on a thread of its own behind a progress sheet.
//
// Folder history: element 0 of backArray is the current folder. The folder
// watch is not recursive; its events are coalesced for 1.0 s, then the
// folder is relisted. When the watch is refused (inotify limits) the folder
// relists whenever the window is activated instead.
//
// Threads: everything here runs on the GUI thread, except the batch worker,
// which only reads a snapshot of its options and the atomic cancel flag and
// reaches back through the main queue. The controller joins the worker in
// RunWorkerCompleted and when destroyed.
#pragma once

#include <QAction>
#include <QDialog>
#include <QMainWindow>
#include <QPointer>
#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "document/BrowserDataSource.h"
#include "platform/Error.h"
#include "platform/Value.h"

class BrowserItemModel;
class QFileSystemWatcher;
class QLabel;
class QListView;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;
class QToolButton;
class QHBoxLayout;

class BrowserWindowController : public QMainWindow {
    Q_OBJECT
public:
    using Path = std::filesystem::path;

    explicit BrowserWindowController(QWidget* parent = nullptr);
    ~BrowserWindowController() override;

    // The shell's browser: made on first use, lives for the process.
    static BrowserWindowController& shared();
    // Plugs shared() into the application shell's browser hooks.
    static void installBrowserHooks();

    void showBrowser();
    // Shows `url` (nullopt: see the source rules); source 0 new location,
    // 1 back, 2 forward.
    void changeDirectory(const std::optional<Path>& url, int source);
    void backButtonClick(int tag);
    void pathControlClick(const Path& component);
    void newLocationClick(const std::optional<Path>& sender);
    // Shows the browser on a folder named on the command line.
    void browseFolder(const Path& folder);
    void newExportLocationClick(const std::optional<Path>& sender);
    void exportPopAction(int tag);
    void buildMenus();
    void buildExportLocationMenu();

    // Batch export with the preset (none: the documents' own settings).
    void popAction(const std::optional<platform::Dictionary>& preset);
    void progressUpdate(const Path& path);
    void RunWorkerCompleted(const std::optional<platform::Error>& error);
    void userCancelAction();
    // Asks a running batch to stop and waits for its thread.
    void stopBatchAndWait();
    bool batchRunning() const { return worker_.joinable(); }

    // The folder was relisted (watch events, a finished batch, a filter change).
    void relist();
    void initializeEventStream(const std::optional<Path>& path);

    // State, for the window's own widgets and tests.
    const std::vector<Path>& backArray() const { return backArray_; }
    const std::vector<Path>& forwardArray() const { return forwardArray_; }
    std::optional<Path> currentFolder() const;
    std::shared_ptr<BrowserDataSource> dataSource() const { return dataSource_; }
    BrowserItemModel* model() const { return model_; }
    QListView* imageBrowser() const { return mImageBrowser; }
    // The help popovers ("ShowPopoverHelp"), each under its control, in a
    // band the grid gives up while they show, so they hide no thumbnail.
    // Once they close the band goes too, but never while the pointer is over
    // the grid: a click that closed them must not move a picture under it.
    void createPopovers();
    QToolButton* backButton() const { return backButton_; }
    QToolButton* forwardButton() const { return forwardButton_; }
    QToolButton* popUp() const { return mpopUp; }
    QToolButton* exportLocationPopUp() const { return exportLocationPopUp_; }
    QDialog* progressSheet() const { return progressSheet_; }
    QLabel* progressText() const { return progressText_; }
    QProgressBar* progressBar() const { return progressBar_; }
    // Path control: one flat button per component of the shown URL.
    std::vector<QPushButton*> pathButtons() const;
    bool useExportLocation() const { return useExportLocation_; }
    std::optional<Path> exportLocation() const { return exportLocation_; }
    void setExportLocation(const std::optional<Path>& folder) { exportLocation_ = folder; }
    bool folderWatchActive() const;
    // Tests: called on the worker thread as each file starts.
    void setWorkerProgressObserver(std::function<void(const Path&)> observer) {
        workerObserver_ = std::move(observer);
    }

protected:
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildWindow();
    void awakeFromNib();
    void setImageViewAppearance(bool useControlColours);
    void showPath(const Path& url);
    void fitPath();
    void imageBrowserSelectionDidChange();
    void cellWasDoubleClicked(int row);
    void updateHistoryButtons();
    void showPopover(const QString& text, QWidget* view);
    void collapseHelpBand();
    // Tells the model which rows the view shows, after each paint.
    void updateVisibleRows();
    void followWithPopovers();
    std::vector<Path> selectedPaths() const;

    std::shared_ptr<BrowserDataSource> dataSource_;
    BrowserItemModel* model_ = nullptr;
    QListView* mImageBrowser = nullptr;
    QWidget* helpBand_ = nullptr;
    QRect helpArea_;  // global: where the popovers go
    QWidget* mPathControl = nullptr;
    QHBoxLayout* pathLayout_ = nullptr;
    QToolButton* mpopUp = nullptr;
    QToolButton* backButton_ = nullptr;
    QToolButton* forwardButton_ = nullptr;
    QToolButton* newLocationButton = nullptr;
    QToolButton* exportLocationPopUp_ = nullptr;
    QDialog* progressSheet_ = nullptr;
    QLabel* progressText_ = nullptr;
    QProgressBar* progressBar_ = nullptr;

    unsigned batchFileCount_ = 0;
    unsigned currentFileIndex_ = 0;
    // How the last batch ended: files written, and the file it stopped at.
    unsigned batchExported_ = 0;
    std::optional<Path> batchStoppedAt_;
    std::atomic<bool> userDidCancel_{false};
    std::optional<Path> secureBookmark_;
    std::optional<Path> exportBookmark_;
    std::optional<Path> exportLocation_;
    std::vector<Path> backArray_, forwardArray_;
    bool useExportLocation_ = false;

    QFileSystemWatcher* stream_ = nullptr;
    QTimer* coalesce_ = nullptr;
    QTimer* visibleRowsTimer_ = nullptr;
    QTimer* popoverTimer_ = nullptr;  // one rebuild per pass of the event loop
    bool helpBandWaits_ = false;      // popovers closed, the pointer over the grid
    bool watchRefused_ = false;
    std::vector<platform::Dictionary> menuPresets_;
    std::thread worker_;
    std::function<void(const Path&)> workerObserver_;
    std::vector<uint64_t> defaultsTokens_;
};
