#include "ui/BrowserWindowController.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QFileDialog>
#include <QFileSystemWatcher>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cassert>
#include <system_error>

#include "document/BatchExport.h"
#include "document/DocumentController.h"
#include "document/PhotoCDThumbnailProvider.h"
#include "document/PresetManager.h"
#include "document/QuorvexErrors.h"
#include "document/RawFileSearch.h"
#include "document/RawThumbnailProvider.h"
#include "platform/Dispatch.h"
#include "platform/FileLock.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "ui/AlertPresenter.h"
#include "ui/ApplicationShell.h"
#include "ui/BrowserItemDelegate.h"
#include "ui/BrowserItemModel.h"
#include "ui/FolderPanel.h"
#include "ui/MessageBar.h"
#include "ui/SettingsSave.h"
#include "ui/WindowPlacement.h"

namespace {

using Path = std::filesystem::path;

constexpr int kWatchLatencyMs = 1000;

QString qs(const Path& p) { return QString::fromStdString(p.string()); }

// Bookmarks are the folder's path bytes.
std::optional<Path> resolveBookmark(const char* key) {
    platform::Value v = platform::UserDefaults::standard().objectForKey(key);
    if (!v.isData() || v.data().empty()) return std::nullopt;
    const auto& bytes = v.data();
    Path folder(std::string(bytes.begin(), bytes.end()));
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) return std::nullopt;
    return folder;
}

void storeBookmark(const Path& folder, const char* key) {
    const std::string s = folder.string();
    auto& defaults = platform::UserDefaults::standard();
    defaults.setData(platform::Value::Data(s.begin(), s.end()), key);
    defaults.synchronize();
}

[[maybe_unused]] bool onMainThread() { return QThread::currentThread() == qApp->thread(); }

}  // namespace

BrowserWindowController::BrowserWindowController(QWidget* parent)
    : QMainWindow(parent), dataSource_(BrowserDataSource::create()) {
    RawThumbnailProvider::registerOnce();
    PhotoCDThumbnailProvider::registerOnce();
    setObjectName(QStringLiteral("Browser"));
    setWindowTitle(QStringLiteral("Browser"));
    buildWindow();
    // The launch window without files: its menus are the only way to the rest.
    platform::ApplicationShell::shared().installMenuBar(this);
    awakeFromNib();
}

BrowserWindowController::~BrowserWindowController() {
    stopBatchAndWait();
    auto& defaults = platform::UserDefaults::standard();
    for (auto token : defaultsTokens_) defaults.removeObserver(token);
    dataSource_->setReloadHandler(nullptr);
}

namespace {

QPointer<BrowserWindowController>& sharedBrowser() {
    static QPointer<BrowserWindowController> browser;
    return browser;
}

}  // namespace

BrowserWindowController& BrowserWindowController::shared() {
    QPointer<BrowserWindowController>& browser = sharedBrowser();
    if (!browser) browser = new BrowserWindowController;
    return *browser;
}

void BrowserWindowController::installBrowserHooks() {
    platform::ApplicationShell::BrowserHooks hooks;
    hooks.showBrowser = [] { shared().showBrowser(); };
    hooks.buildMenus = [] { shared().buildMenus(); };
    hooks.stopBatchAndWait = [] { shared().stopBatchAndWait(); };
    hooks.showFolder = [](const QString& folder) { shared().browseFolder(folder.toStdString()); };
    hooks.shownFolder = []() -> std::optional<QString> {
        const QPointer<BrowserWindowController>& browser = sharedBrowser();
        if (!browser || !browser->isVisible()) return std::nullopt;
        const auto folder = browser->currentFolder();
        if (!folder) return std::nullopt;
        return QString::fromStdString(folder->string());
    };
    platform::ApplicationShell::shared().setBrowserHooks(std::move(hooks));
}

// ---------------------------------------------------------------- window

void BrowserWindowController::buildWindow() {
    auto* central = new QWidget;
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(6, 6, 6, 6);
    column->addWidget(new MessageBar(QString()));

    auto* bar = new QHBoxLayout;
    backButton_ = new QToolButton;
    backButton_->setArrowType(Qt::LeftArrow);
    backButton_->setToolTip(QStringLiteral("Back"));
    forwardButton_ = new QToolButton;
    forwardButton_->setArrowType(Qt::RightArrow);
    forwardButton_->setToolTip(QStringLiteral("Forward"));
    connect(backButton_, &QToolButton::clicked, this, [this] { backButtonClick(0); });
    connect(forwardButton_, &QToolButton::clicked, this, [this] { backButtonClick(1); });

    newLocationButton = new QToolButton;
    newLocationButton->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    newLocationButton->setToolTip(QStringLiteral("Browse folder"));
    connect(newLocationButton, &QToolButton::clicked, this,
            [this] { newLocationClick(currentFolder()); });

    mPathControl = new QWidget;
    pathLayout_ = new QHBoxLayout(mPathControl);
    pathLayout_->setContentsMargins(0, 0, 0, 0);
    pathLayout_->setSpacing(0);
    // It takes the room the window gives it (fitPath), never sizing the
    // window to a long path.
    mPathControl->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    mPathControl->installEventFilter(this);

    mpopUp = new QToolButton;
    mpopUp->setText(QStringLiteral("Batch"));
    mpopUp->setPopupMode(QToolButton::InstantPopup);
    mpopUp->setMenu(new QMenu(mpopUp));

    exportLocationPopUp_ = new QToolButton;
    exportLocationPopUp_->setText(QStringLiteral("This folder"));
    exportLocationPopUp_->setPopupMode(QToolButton::InstantPopup);
    exportLocationPopUp_->setMenu(new QMenu(exportLocationPopUp_));

    bar->addWidget(backButton_);
    bar->addWidget(forwardButton_);
    bar->addWidget(newLocationButton);
    bar->addWidget(mPathControl, 1);
    bar->addWidget(mpopUp);
    bar->addWidget(new QLabel(QStringLiteral("Export to:")));
    bar->addWidget(exportLocationPopUp_);
    column->addLayout(bar);
    helpBand_ = new QWidget;
    helpBand_->setObjectName(QStringLiteral("helpBand"));
    helpBand_->hide();
    column->addWidget(helpBand_);

    model_ = new BrowserItemModel(dataSource_, this);
    mImageBrowser = new QListView;
    mImageBrowser->setViewMode(QListView::IconMode);
    mImageBrowser->setResizeMode(QListView::Adjust);
    mImageBrowser->setMovement(QListView::Static);
    mImageBrowser->setUniformItemSizes(true);
    mImageBrowser->setIconSize(QSize(128, 128));
    mImageBrowser->setSpacing(6);
    mImageBrowser->setItemDelegate(new BrowserItemDelegate(mImageBrowser));
    mImageBrowser->setWordWrap(false);
    mImageBrowser->setTextElideMode(Qt::ElideRight);
    mImageBrowser->setSelectionMode(QAbstractItemView::ExtendedSelection);
    mImageBrowser->setContextMenuPolicy(Qt::CustomContextMenu);
    mImageBrowser->setModel(model_);
    column->addWidget(mImageBrowser, 1);
    setCentralWidget(central);
    resize(900, 640);

    connect(mImageBrowser->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { imageBrowserSelectionDidChange(); });
    connect(mImageBrowser, &QListView::doubleClicked, this,
            [this](const QModelIndex& index) { cellWasDoubleClicked(index.row()); });
    connect(mImageBrowser, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        if (mImageBrowser->indexAt(pos).isValid())
            mpopUp->menu()->popup(mImageBrowser->viewport()->mapToGlobal(pos));
    });

    // After the view painted (it scrolled, resized, relisted or a thumbnail
    // arrived) its layout is current: the rows it shows get their thumbnails
    // first, and work for rows scrolled away is dropped.
    visibleRowsTimer_ = new QTimer(this);
    visibleRowsTimer_->setSingleShot(true);
    visibleRowsTimer_->setInterval(0);
    connect(visibleRowsTimer_, &QTimer::timeout, this, [this] { updateVisibleRows(); });
    popoverTimer_ = new QTimer(this);
    popoverTimer_->setSingleShot(true);
    popoverTimer_->setInterval(0);
    connect(popoverTimer_, &QTimer::timeout, this, [this] {
        if (helpBand_->isVisible() && !helpBandWaits_) createPopovers();
    });
    mImageBrowser->viewport()->installEventFilter(this);

    QPointer<BrowserItemModel> model(model_);
    dataSource_->setReloadHandler([model](const std::shared_ptr<FSNodeInfo>& node) {
        if (model) model->iconDidChange(node);
    });

    // The progress sheet.
    progressSheet_ = new QDialog(this);
    progressSheet_->setWindowModality(Qt::WindowModal);
    progressSheet_->setWindowOpacity(0.9);
    progressSheet_->setWindowTitle(QStringLiteral("Exporting"));
    auto* sheet = new QVBoxLayout(progressSheet_);
    progressText_ = new QLabel;
    progressText_->setMinimumWidth(320);
    progressBar_ = new QProgressBar;
    progressBar_->setRange(0, 100);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    connect(cancel, &QPushButton::clicked, this, [this] { userCancelAction(); });
    // Closing the sheet by hand cancels the batch, it never hides a running one.
    connect(progressSheet_, &QDialog::rejected, this, [this] {
        userCancelAction();
        if (batchRunning()) progressSheet_->show();
    });
    sheet->addWidget(progressText_);
    sheet->addWidget(progressBar_);
    sheet->addWidget(cancel, 0, Qt::AlignRight);

    coalesce_ = new QTimer(this);
    coalesce_->setSingleShot(true);
    coalesce_->setInterval(kWatchLatencyMs);
    connect(coalesce_, &QTimer::timeout, this, [this] {
        dataSource_->invalidateFolder();
        relist();
    });
}

void BrowserWindowController::awakeFromNib() {
    setImageViewAppearance(true);
    secureBookmark_ = resolveBookmark("imageDirectoryBookmark");
    if (secureBookmark_) {
        Path shown = *secureBookmark_;
        std::string last = platform::UserDefaults::standard().stringForKey("imageDirectory");
        if (!last.empty() && RawFileSearch::containsOrIsURL(*secureBookmark_, last)) shown = last;
        changeDirectory(shown, 0);
    } else {
        changeDirectory(BrowserDataSource::picturesFolders().front(), 0);
    }
    exportBookmark_ = resolveBookmark("exportDirectoryBookmark");
    if (exportBookmark_) exportLocation_ = exportBookmark_;

    buildMenus();
    auto& defaults = platform::UserDefaults::standard();
    QPointer<BrowserWindowController> self(this);
    for (const char* key : {"ShowOnlyPCDFiles", "BrowserFileSelect"}) {
        defaultsTokens_.push_back(
            defaults.addObserver(key, [self](const std::string&, const platform::Value&) {
                QMetaObject::invokeMethod(
                    qApp,
                    [self] {
                        if (!self) return;
                        self->dataSource_->invalidateFolder();
                        self->relist();
                    },
                    Qt::QueuedConnection);
            }));
    }
    if (defaults.boolForKey("ShowPopoverHelp"))
        QTimer::singleShot(500, this, [this] { createPopovers(); });
}

void BrowserWindowController::showBrowser() { platform::showOnScreen(this); }

void BrowserWindowController::setImageViewAppearance(bool useControlColours) {
    QPalette palette = QApplication::palette();
    const bool dark = palette.color(QPalette::Window).lightness() < 128;
    QFont font = QApplication::font();
    font.setPointSizeF(9);
    mImageBrowser->setFont(font);
    QPalette view = mImageBrowser->palette();
    if (useControlColours) {
        view.setColor(QPalette::Text, palette.color(QPalette::ButtonText));
        view.setColor(QPalette::Base, palette.color(QPalette::Base));
    } else {
        view.setColor(QPalette::Text, dark ? Qt::white : Qt::black);
        view.setColor(QPalette::Base, dark ? Qt::black : Qt::white);
    }
    mImageBrowser->setPalette(view);
}

// The popovers are windows of their own: they follow the browser's frame.
void BrowserWindowController::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    followWithPopovers();
}

void BrowserWindowController::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    followWithPopovers();
}

void BrowserWindowController::followWithPopovers() {
    if (popoverTimer_ && helpBand_ && helpBand_->isVisible()) popoverTimer_->start();
}

void BrowserWindowController::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        setImageViewAppearance(false);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        buildMenus();
        if (watchRefused_) {
            dataSource_->invalidateFolder();
            relist();
        }
    }
}

// ---------------------------------------------------------------- folders

std::optional<Path> BrowserWindowController::currentFolder() const {
    if (backArray_.empty()) return std::nullopt;
    return backArray_.front();
}

void BrowserWindowController::changeDirectory(const std::optional<Path>& url, int source) {
    const std::optional<Path> current = currentFolder();
    std::optional<Path> show = url;
    if (!(current && url && *current == *url)) {
        switch (source) {
            case 0:
                if (url)
                    backArray_.insert(backArray_.begin(), *url);
                else
                    show = current;
                break;
            case 1:
                if (current) forwardArray_.insert(forwardArray_.begin(), *current);
                if (!backArray_.empty()) backArray_.erase(backArray_.begin());
                if (!backArray_.empty()) show = backArray_.front();
                break;
            case 2:
                if (!forwardArray_.empty()) {
                    show = forwardArray_.front();
                    forwardArray_.erase(forwardArray_.begin());
                    backArray_.insert(backArray_.begin(), *show);
                } else {
                    show.reset();
                }
                break;
            default:
                break;
        }
    }
    dataSource_->setPath(show.value_or(Path()), BrowserDataSource::picturesFolders());
    relist();
    initializeEventStream(show);
    if (show) {
        auto& defaults = platform::UserDefaults::standard();
        defaults.setString(show->string(), "imageDirectory");
        defaults.synchronize();
    }
    showPath(show.value_or(Path()));
    updateHistoryButtons();
}

void BrowserWindowController::updateHistoryButtons() {
    backButton_->setEnabled(backArray_.size() >= 2);
    forwardButton_->setEnabled(!forwardArray_.empty());
}

void BrowserWindowController::backButtonClick(int tag) {
    if (tag == 0) changeDirectory(std::nullopt, 1);
    if (tag == 1) changeDirectory(std::nullopt, 2);
}

void BrowserWindowController::relist() {
    // The selection survives by path: rows may move or go.
    QStringList selected;
    for (const auto& p : selectedPaths()) selected << qs(p);
    model_->relist();
    auto* selection = mImageBrowser->selectionModel();
    for (const QString& path : selected) {
        int row = model_->rowForPath(path);
        if (row >= 0) selection->select(model_->index(row), QItemSelectionModel::Select);
    }
}

void BrowserWindowController::initializeEventStream(const std::optional<Path>& path) {
    coalesce_->stop();
    delete stream_;
    stream_ = nullptr;
    watchRefused_ = false;
    if (!path || path->empty()) return;
    stream_ = new QFileSystemWatcher(this);
    std::error_code ec;
    if (!stream_->addPath(qs(*path))) {
        // A folder that is not there has nothing to watch; a refused watch is worth a line.
        if (std::filesystem::is_directory(*path, ec))
            platform::log("%s cannot watch %s; the folder relists when the window is activated",
                          "-[BrowserWindowController initializeEventStream:]", path->c_str());
        watchRefused_ = true;
        return;
    }
    connect(stream_, &QFileSystemWatcher::directoryChanged, coalesce_,
            [this] { coalesce_->start(); });
}

bool BrowserWindowController::folderWatchActive() const {
    return stream_ && !stream_->directories().isEmpty();
}

// ---------------------------------------------------------------- path control

void BrowserWindowController::showPath(const Path& url) {
    while (QLayoutItem* item = pathLayout_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    Path so_far;
    for (const auto& part : url) {
        so_far /= part;
        if (part == "/" && so_far != "/") continue;
        const QString name = part == "/" ? QStringLiteral("/") : qs(part);
        auto* button = new QPushButton(name);
        button->setProperty("componentName", name);
        button->setFlat(true);
        button->setStyleSheet(QStringLiteral("padding: 2px 4px;"));
        button->setProperty("componentPath", qs(so_far));
        const Path target = so_far;
        connect(button, &QPushButton::clicked, this, [this, target] { pathControlClick(target); });
        pathLayout_->addWidget(button);
    }
    pathLayout_->addStretch(1);
    fitPath();
}

// The last components that fit whole; the last one, when even it alone does
// not, elided in its middle.
void BrowserWindowController::fitPath() {
    const std::vector<QPushButton*> buttons = pathButtons();
    if (buttons.empty()) return;
    std::vector<int> widths;
    for (QPushButton* button : buttons) {
        button->setText(button->property("componentName").toString());
        button->setToolTip(QString());
        widths.push_back(button->sizeHint().width());
    }
    const int room = mPathControl->width();
    size_t first = buttons.size() - 1;
    for (int used = widths.back(); first > 0 && used + widths[first - 1] <= room; --first)
        used += widths[first - 1];
    for (size_t i = 0; i < buttons.size(); ++i) buttons[i]->setVisible(i >= first);
    QPushButton* last = buttons.back();
    if (widths.back() > room) {
        const QString name = last->text();
        const int frame = widths.back() - last->fontMetrics().horizontalAdvance(name);
        last->setText(
            last->fontMetrics().elidedText(name, Qt::ElideMiddle, std::max(0, room - frame)));
        last->setToolTip(name);
    }
}

std::vector<QPushButton*> BrowserWindowController::pathButtons() const {
    std::vector<QPushButton*> buttons;
    for (int i = 0; i < pathLayout_->count(); ++i)
        if (auto* b = qobject_cast<QPushButton*>(pathLayout_->itemAt(i)->widget()))
            buttons.push_back(b);
    return buttons;
}

void BrowserWindowController::pathControlClick(const Path& component) {
    // The selected file's own component shows its folder, not the file as
    // one (an empty view).
    std::error_code ec;
    if (!component.empty() && !std::filesystem::is_directory(component, ec) &&
        component.has_parent_path())
        return pathControlClick(component.parent_path());
    if (secureBookmark_ && RawFileSearch::containsOrIsURL(*secureBookmark_, component))
        changeDirectory(component, 0);
    else
        newLocationClick(component);
}

void BrowserWindowController::newLocationClick(const std::optional<Path>& sender) {
    auto* panel =
        makeFolderPanel(this,
                        sender ? QStringLiteral("Select a folder to browse.")
                               : QStringLiteral("Select a folder to start browsing for images."),
                        sender ? qs(*sender) : QString(), QStringLiteral("Browse folder"));
    const bool hadSender = sender.has_value();
    connect(panel, &QFileDialog::finished, this, [this, panel, hadSender](int result) {
        const QStringList chosen = panel->selectedFiles();
        if (result == QDialog::Accepted && !chosen.isEmpty()) {
            const Path folder = chosen.front().toStdString();
            storeBookmark(folder, "imageDirectoryBookmark");
            // The chosen folder is the new root of what path clicks may show.
            secureBookmark_ = folder;
            changeDirectory(folder, 0);
            mPathControl->show();
        } else if (!hadSender) {
            mPathControl->hide();
        }
    });
    panel->open();
}

void BrowserWindowController::browseFolder(const Path& folder) {
    // Named by the person, as if chosen in the panel.
    storeBookmark(folder, "imageDirectoryBookmark");
    secureBookmark_ = folder;
    changeDirectory(folder, 0);
    mPathControl->show();
    showBrowser();
}

void BrowserWindowController::newExportLocationClick(const std::optional<Path>& sender) {
    auto* panel = makeFolderPanel(this, QStringLiteral("Select export folder"),
                                  sender ? qs(sender->parent_path()) : QString());
    connect(panel, &QFileDialog::finished, this, [this, panel](int result) {
        const QStringList chosen = panel->selectedFiles();
        if (result != QDialog::Accepted || chosen.isEmpty()) return;
        const Path folder = chosen.front().toStdString();
        exportLocation_ = folder;
        exportBookmark_ = folder;
        storeBookmark(folder, "exportDirectoryBookmark");
        buildExportLocationMenu();
    });
    panel->open();
}

// ---------------------------------------------------------------- menus

void BrowserWindowController::buildMenus() {
    QMenu* menu = mpopUp->menu();
    menu->clear();
    menuPresets_ = PresetManager::sharedPresetManager().presetList(false);
    QMenu* sub = menu->addMenu(QStringLiteral("Export with..."));
    sub->setTitle(QStringLiteral("Export with..."));
    sub->setToolTip(QStringLiteral("Export to JPEG with..."));
    auto addItem = [&](const QString& title, int index) {
        QAction* item = sub->addAction(title + QStringLiteral(" settings"));
        item->setData(index);
        connect(item, &QAction::triggered, this, [this, index] {
            if (index < 0 || size_t(index) >= menuPresets_.size())
                popAction(std::nullopt);
            else
                popAction(menuPresets_[size_t(index)]);
        });
    };
    if (menuPresets_.empty()) addItem(QStringLiteral("Default"), -1);
    for (size_t i = 0; i < menuPresets_.size(); ++i) {
        const platform::Value* name = menuPresets_[i].find("displayName");
        addItem(QString::fromStdString(name ? name->stringValue() : std::string()), int(i));
    }
    buildExportLocationMenu();
}

void BrowserWindowController::buildExportLocationMenu() {
    QMenu* menu = exportLocationPopUp_->menu();
    menu->clear();
    auto add = [&](const QString& title, int tag) {
        QAction* item = menu->addAction(title);
        item->setData(tag);
        connect(item, &QAction::triggered, this, [this, tag] { exportPopAction(tag); });
    };
    add(QStringLiteral("This folder"), 0);
    if (exportLocation_) add(qs(*exportLocation_), 1);
    add(QStringLiteral("Select export folder..."), 2);
    exportLocationPopUp_->setText(exportLocation_ && useExportLocation_
                                      ? qs(*exportLocation_)
                                      : QStringLiteral("This folder"));
}

void BrowserWindowController::exportPopAction(int tag) {
    assert(onMainThread());
    if (tag == 0) useExportLocation_ = false;
    if (tag == 1) useExportLocation_ = true;
    if (tag == 2) {
        newExportLocationClick(exportBookmark_);
        useExportLocation_ = true;
    }
    exportLocationPopUp_->setText(useExportLocation_ && exportLocation_
                                      ? qs(*exportLocation_)
                                      : QStringLiteral("This folder"));
}

// ---------------------------------------------------------------- view events

std::vector<Path> BrowserWindowController::selectedPaths() const {
    QModelIndexList rows = mImageBrowser->selectionModel()->selectedIndexes();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    std::vector<Path> paths;
    for (const auto& index : rows)
        if (auto node = model_->nodeAt(index.row())) paths.push_back(node->getURL());
    return paths;
}

void BrowserWindowController::imageBrowserSelectionDidChange() {
    auto paths = selectedPaths();
    if (paths.empty()) {
        showPath(currentFolder().value_or(Path()));
        return;
    }
    showPath(paths.front());
    mpopUp->setEnabled(true);
}

void BrowserWindowController::cellWasDoubleClicked(int row) {
    auto node = model_->nodeAt(row);
    if (!node) return;
    if (node->isDirectory()) {
        changeDirectory(node->getURL(), 0);
        return;
    }
    // The bar names the folder of the opened file, not the file as a folder.
    showPath(node->getURL().parent_path());
    platform::ApplicationShell::shared().openDocumentWithPath(qs(node->getURL()));
}

void BrowserWindowController::updateVisibleRows() {
    // Cells run left to right, then top to bottom: the rows on screen are one
    // run, found by bisection.
    const int rows = model_->rowCount();
    const int height = mImageBrowser->viewport()->height();
    auto cell = [this](int row) { return mImageBrowser->visualRect(model_->index(row)); };
    if (rows == 0 || cell(0).isEmpty()) return;  // not laid out
    int lo = 0, hi = rows;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (cell(mid).bottom() < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    const int first = lo;
    hi = rows;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (cell(mid).top() < height)
            lo = mid + 1;
        else
            hi = mid;
    }
    model_->setVisibleRows(first, lo - 1);
}

// ---------------------------------------------------------------- popovers

bool BrowserWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize && watched == mPathControl) fitPath();
    if (event->type() == QEvent::Paint && watched == mImageBrowser->viewport()) {
        visibleRowsTimer_->start();
        return QMainWindow::eventFilter(watched, event);
    }
    if (event->type() == QEvent::Leave && watched == mImageBrowser->viewport() && helpBandWaits_)
        collapseHelpBand();
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress) {
        for (QWidget* popover : findChildren<QWidget*>(QStringLiteral("helpPopover")))
            popover->close();
        qApp->removeEventFilter(this);
    }
    return QMainWindow::eventFilter(watched, event);
}

void BrowserWindowController::showPopover(const QString& text, QWidget* view) {
    auto* popover = new QLabel(text, this, Qt::Tool | Qt::FramelessWindowHint);
    popover->setObjectName(QStringLiteral("helpPopover"));
    popover->setAttribute(Qt::WA_DeleteOnClose);
    popover->setWordWrap(true);
    popover->setMargin(8);
    popover->setStyleSheet(
        QStringLiteral("background: #2b2b2b; color: white; border: 1px solid #555;"));
    // One line when it fits in 300 pixels; wrapped at that width otherwise.
    popover->setFixedWidth(
        std::min(popover->fontMetrics().horizontalAdvance(text) + 2 * 8 + 24, 300));
    popover->setFixedHeight(popover->heightForWidth(popover->width()));
    // Below the tool bar, under its control, in the help band: never over a
    // control, and below any popover already there.
    const QRect r(view->mapToGlobal(QPoint(0, 0)), view->size());
    const QRect area = helpArea_;
    const int right = area.right() - popover->width();
    QRect placed(QPoint(std::max(area.left(), std::min(r.left(), right)), area.top() + 4),
                 popover->size());
    for (bool moved = true; moved;) {
        moved = false;
        for (QWidget* other : findChildren<QWidget*>(QStringLiteral("helpPopover"))) {
            if (other == popover || !other->isVisible()) continue;
            const QRect taken = other->frameGeometry().adjusted(-4, -4, 4, 4);
            if (taken.intersects(placed)) {
                placed.moveTop(taken.bottom() + 1);
                moved = true;
            }
        }
    }
    popover->move(placed.topLeft());
    popover->show();
    // The band goes with the last popover.
    connect(popover, &QObject::destroyed, helpBand_, [this] { collapseHelpBand(); });
}

void BrowserWindowController::collapseHelpBand() {
    for (QWidget* other : findChildren<QWidget*>(QStringLiteral("helpPopover")))
        if (other->isVisible()) return;
    // The grid would move up by the band's height under the pointer: the
    // second click of a double-click would land on another picture.
    QWidget* grid = mImageBrowser->viewport();
    helpBandWaits_ = isVisible() && grid->rect().contains(grid->mapFromGlobal(QCursor::pos()));
    if (!helpBandWaits_) helpBand_->hide();
}

void BrowserWindowController::createPopovers() {
    if (!isVisible()) return;
    for (QWidget* popover : findChildren<QWidget*>(QStringLiteral("helpPopover"))) {
        popover->hide();
        popover->deleteLater();
    }
    // The band starts where the grid starts without it.
    helpBandWaits_ = false;
    helpBand_->hide();
    centralWidget()->layout()->activate();
    helpArea_ = QRect(mImageBrowser->mapToGlobal(QPoint(0, 0)), mImageBrowser->size());
    showPopover(QStringLiteral("Back and forward through the folders you browsed."), backButton_);
    showPopover(QStringLiteral("Choose a folder to browse."), newLocationButton);
    showPopover(QStringLiteral("Click a folder of the path to go there."), mPathControl);
    showPopover(QStringLiteral("Export the selected files with a preset."), mpopUp);
    showPopover(QStringLiteral("Where batch exports go: beside the files or an export folder."),
                exportLocationPopUp_);
    int bottom = helpArea_.top();
    for (QWidget* popover : findChildren<QWidget*>(QStringLiteral("helpPopover")))
        if (popover->isVisible()) bottom = std::max(bottom, popover->frameGeometry().bottom() + 1);
    helpBand_->setFixedHeight(bottom + 4 - helpArea_.top());
    helpBand_->show();
    qApp->installEventFilter(this);
}

// ---------------------------------------------------------------- batch

namespace {

// Edits that cannot be saved stop the batch before its first file: it would
// export older settings. So does the person's Cancel (without a word).
std::optional<platform::Error> saveOpenEdits(const std::vector<MyDocument::Ptr>& documents,
                                             const BatchExport::Options& options) {
    for (const auto& document : documents) {
        platform::Error error;
        if (saveSettingsWithin(document, platform::FileLock::waitLimit(), options.userDidCancel,
                               error))
            continue;
        if (options.userDidCancel && options.userDidCancel->load()) return std::nullopt;
        error.failureReason += " The batch export was not started.";
        return error;
    }
    return std::nullopt;
}

}  // namespace

void BrowserWindowController::popAction(const std::optional<platform::Dictionary>& preset) {
    assert(onMainThread());
    if (batchRunning()) return;
    const std::vector<Path> files = selectedPaths();
    batchFileCount_ = unsigned(files.size());
    if (files.empty()) {
        platform::Alert alert;
        alert.messageText = QStringLiteral("No files selected.");
        alert.informativeText = QStringLiteral("Select files by Ctrl+click, click+drag, etc");
        alert.buttons = {QStringLiteral("Ok")};
        platform::AlertPresenter::current().present(alert, this, nullptr);
        return;
    }
    // An open window's edits reach the batch as they would after closing it,
    // saved by the batch's thread first (another program may keep the
    // catalog): the windows answer meanwhile.
    std::vector<MyDocument::Ptr> openDocuments;
    auto& controller = DocumentController::sharedDocumentController();
    for (const auto& file : files)
        if (auto document = controller.documentForURL(file.string()))
            openDocuments.push_back(std::move(document));
    currentFileIndex_ = 0;
    userDidCancel_ = false;

    BatchExport::Options options;
    options.files = files;
    options.preset = preset;
    if (useExportLocation_ && exportLocation_) options.exportLocation = exportLocation_;
    options.silentlyOverwrite = platform::UserDefaults::standard().boolForKey("SilentlyOverwrite");
    options.userDidCancel = &userDidCancel_;
    QPointer<BrowserWindowController> self(this);
    auto observer = workerObserver_;
    options.progressUpdate = [self, observer](const Path& source) {
        if (observer) observer(source);
        platform::DispatchQueue::main()->async([self, source] {
            if (self) self->progressUpdate(source);
        });
    };

    platform::NotificationCenter::defaultCenter().post("TARNWisp_DisableMenus");
    if (openDocuments.empty())
        progressText_->clear();
    else
        progressText_->setText(QStringLiteral("Saving the edits of the open windows…"));
    progressBar_->setValue(0);
    progressSheet_->open();
    batchExported_ = 0;
    batchStoppedAt_.reset();
    try {
        worker_ = std::thread([self, options, openDocuments]() mutable {
            if (std::optional<platform::Error> error = saveOpenEdits(openDocuments, options)) {
                platform::DispatchQueue::main()->async([self, error] {
                    if (self) self->RunWorkerCompleted(error);
                });
                return;
            }
            unsigned exported = 0;
            std::optional<Path> stoppedAt;
            options.didExport = [&exported](const Path&) { ++exported; };
            options.didStop = [&stoppedAt](const Path& source) { stoppedAt = source; };
            std::optional<platform::Error> error = BatchExport::run(options);
            platform::DispatchQueue::main()->async([self, error, exported, stoppedAt] {
                if (!self) return;
                self->batchExported_ = exported;
                self->batchStoppedAt_ = stoppedAt;
                self->RunWorkerCompleted(error);
            });
        });
    } catch (const std::system_error&) {
        // Out of memory or threads: the batch ends before its first file.
        platform::Error error = quorvexError(kQuorvexErrorNoMemory);
        error.failureReason = "There is not enough memory to start the batch export.";
        RunWorkerCompleted(error);
    }
}

void BrowserWindowController::progressUpdate(const Path& path) {
    assert(onMainThread());
    const std::string name = path.filename().string();
    progressText_->setText(name.empty() ? QStringLiteral("<no filename>")
                                        : QString::fromStdString(name));
    ++currentFileIndex_;
    progressBar_->setValue(
        batchFileCount_ == 0 ? 99 : int(100 * currentFileIndex_ / (batchFileCount_ + 1)));
}

void BrowserWindowController::RunWorkerCompleted(const std::optional<platform::Error>& error) {
    assert(onMainThread());
    if (worker_.joinable()) worker_.join();
    progressSheet_->hide();
    platform::NotificationCenter::defaultCenter().post("TARNWisp_EnableMenus");
    if (error && batchStoppedAt_) {
        // The user must not take the files after this one for exported.
        platform::Alert alert = platform::AlertPresenter::alertForError(*error);
        alert.informativeText = alert.messageText;
        alert.messageText = QStringLiteral("The batch stopped at “%1”: %2 of %3 %4 exported.")
                                .arg(QString::fromStdString(batchStoppedAt_->filename().string()))
                                .arg(batchExported_)
                                .arg(batchFileCount_)
                                .arg(batchFileCount_ == 1 ? QStringLiteral("photo was")
                                                          : QStringLiteral("photos were"));
        platform::log("%s", alert.messageText.toUtf8().constData());
        platform::AlertPresenter::current().present(alert, this, nullptr);
    } else if (error) {
        platform::AlertPresenter::presentError(*error, this);
    }
    dataSource_->invalidateFolder();
    relist();
}

void BrowserWindowController::userCancelAction() { userDidCancel_ = true; }

void BrowserWindowController::stopBatchAndWait() {
    if (!worker_.joinable()) return;
    userDidCancel_ = true;
    worker_.join();
}
