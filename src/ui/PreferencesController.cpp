#include "ui/PreferencesController.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>

#include "document/RawFileSearch.h"
#include "platform/Dispatch.h"
#include "ui/ApplicationShell.h"
#include "ui/FolderPanel.h"

namespace {

platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

QLabel* note(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    QFont small = label->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    label->setFont(small);
    label->setEnabled(false);
    return label;
}

}  // namespace

PreferencesController::PreferencesController(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("Preferences"));
    setWindowTitle(QStringLiteral("Preferences"));
    tabView_ = new QStackedWidget;
    prefsToolBar_ = new QToolBar(QStringLiteral("Panes"));
    prefsToolBar_->setMovable(false);
    prefsToolBar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    paneGroup_ = new QActionGroup(this);
    addToolBar(prefsToolBar_);
    setCentralWidget(tabView_);

    addPane(QStringLiteral("General"), generalPane());
    addPane(QStringLiteral("Processing"), processingPane());
    addPane(QStringLiteral("Photo CD"), photoCDPane());
    addPane(QStringLiteral("Raw Search"), rawSearchPane());
    addPane(QStringLiteral("Advanced"), advancedPane());
    selectTab0();
    platform::ApplicationShell::shared().installMenuBar(this);
    resize(560, 380);
}

PreferencesController::~PreferencesController() {
    for (auto token : observers_) defaults().removeObserver(token);
}

void PreferencesController::addPane(const QString& title, QWidget* pane) {
    static const QStyle::StandardPixmap icons[] = {QStyle::SP_ComputerIcon, QStyle::SP_DesktopIcon,
                                                   QStyle::SP_DriveCDIcon, QStyle::SP_DirOpenIcon,
                                                   QStyle::SP_MessageBoxWarning};
    const int index = tabView_->addWidget(pane);
    QAction* item = prefsToolBar_->addAction(style()->standardIcon(icons[index % 5]), title);
    item->setCheckable(true);
    item->setObjectName(QStringLiteral("selectTab%1:").arg(index));
    paneGroup_->addAction(item);
    connect(item, &QAction::triggered, this, [this, index] { selectTab(index); });
}

void PreferencesController::selectTab(int index) {
    if (index < 0 || index >= tabView_->count()) return;
    tabView_->setCurrentIndex(index);
    const QList<QAction*> items = paneGroup_->actions();
    if (index < items.size()) items[index]->setChecked(true);
}

void PreferencesController::selectTab0() { selectTab(0); }
void PreferencesController::selectTab1() { selectTab(1); }
void PreferencesController::selectTab2() { selectTab(2); }
void PreferencesController::selectTab3() { selectTab(3); }
void PreferencesController::selectTab4() { selectTab(4); }
void PreferencesController::selectTab5() { selectTab(5); }
void PreferencesController::selectTab6() { selectTab(6); }
void PreferencesController::selectTab7() { selectTab(7); }
void PreferencesController::selectTab8() { selectTab(8); }
void PreferencesController::selectTab9() { selectTab(9); }
void PreferencesController::selectTab10() { selectTab(10); }

template <typename Apply>
void PreferencesController::observe(const char* key, Apply apply) {
    QPointer<PreferencesController> self(this);
    observers_.push_back(
        defaults().addObserver(key, [self, apply](const std::string&, const platform::Value&) {
            platform::DispatchQueue::main()->async([self, apply] {
                if (self) apply();
            });
        }));
}

QCheckBox* PreferencesController::boundCheckBox(const QString& text, const char* key) {
    auto* box = new QCheckBox(text);
    box->setObjectName(QString::fromLatin1(key));
    const std::string name = key;
    box->setChecked(defaults().boolForKey(name));
    connect(box, &QCheckBox::toggled, this, [name](bool on) { defaults().setBool(on, name); });
    QPointer<QCheckBox> control(box);
    observe(key, [control, name] {
        if (!control) return;
        const QSignalBlocker blocker(control);
        control->setChecked(defaults().boolForKey(name));
    });
    return box;
}

QComboBox* PreferencesController::boundComboBox(const QStringList& items, const char* key) {
    auto* combo = new QComboBox;
    combo->setObjectName(QString::fromLatin1(key));
    combo->addItems(items);
    const std::string name = key;
    auto show = [name](QComboBox* control) {
        const auto value = defaults().integerForKey(name);
        control->setCurrentIndex(value < 0 ? 0
                                           : int(std::min<int64_t>(value, control->count() - 1)));
    };
    show(combo);
    connect(combo, &QComboBox::activated, this,
            [name](int index) { defaults().setInteger(index, name); });
    QPointer<QComboBox> control(combo);
    observe(key, [control, show] {
        if (!control) return;
        const QSignalBlocker blocker(control);
        show(control);
    });
    return combo;
}

QWidget* PreferencesController::generalPane() {
    auto* pane = new QWidget;
    auto* form = new QFormLayout(pane);
    form->addRow(
        QStringLiteral("Browser shows:"),
        boundComboBox({QStringLiteral("Raw files only"),
                       QStringLiteral("Raw files and other images"), QStringLiteral("Every file")},
                      "BrowserFileSelect"));
    form->addRow(QString(),
                 boundCheckBox(QStringLiteral("Show only Photo CD files"), "ShowOnlyPCDFiles"));
    form->addRow(QString(), boundCheckBox(QStringLiteral("Show help popovers in the browser"),
                                          "ShowPopoverHelp"));
    form->addRow(QString(), boundCheckBox(QStringLiteral("Batch export replaces existing files"),
                                          "SilentlyOverwrite"));
    form->addRow(QString(),
                 note(QStringLiteral("Without replacing, a batch export numbers its files "
                                     "(name_1, name_2 …) when the name is taken.")));
    return pane;
}

QWidget* PreferencesController::processingPane() {
    auto* pane = new QWidget;
    auto* form = new QFormLayout(pane);
    form->addRow(QString(),
                 boundCheckBox(QStringLiteral("Cinematic exposure controls"), "enableCinematic"));
    form->addRow(QString(), boundCheckBox(QStringLiteral("List the installed ICC profiles"),
                                          "ShowExternalProfiles"));
    form->addRow(QString(),
                 note(QStringLiteral("The exposure section of new document windows follows the "
                                     "first choice.")));
    return pane;
}

QWidget* PreferencesController::photoCDPane() {
    auto* pane = new QWidget;
    auto* form = new QFormLayout(pane);
    form->addRow(
        QStringLiteral("Resolution:"),
        boundComboBox(
            {QStringLiteral("Base16 (128 × 192)"), QStringLiteral("Base4 (256 × 384)"),
             QStringLiteral("Base (512 × 768)"), QStringLiteral("4Base (1024 × 1536)"),
             QStringLiteral("16Base (2048 × 3072)"), QStringLiteral("64Base (4096 × 6144)")},
            "ResolutionSelect"));
    form->addRow(QString(), boundCheckBox(QStringLiteral("Automatic scanner colour profile"),
                                          "AutomaticColorProfile"));
    form->addRow(QString(), boundCheckBox(QStringLiteral("Advanced interpolation"),
                                          "UseAdvancedInterpolation"));
    return pane;
}

QWidget* PreferencesController::rawSearchPane() {
    auto* pane = new QWidget;
    auto* layout = new QVBoxLayout(pane);
    layout->addWidget(new QLabel(QStringLiteral(
        "Images an external editor returns (JPEG or TIFF) are matched with their raw "
        "file in this folder and its sub-folders:")));
    auto* row = new QHBoxLayout;
    rawSearchPath_ = new QLineEdit;
    rawSearchPath_->setObjectName(QStringLiteral("rawSearchDirectoryBookmark"));
    rawSearchPath_->setReadOnly(true);
    rawSearchPath_->setPlaceholderText(QStringLiteral("No folder chosen"));
    auto* choose = new QPushButton(QStringLiteral("Choose…"));
    choose->setObjectName(QStringLiteral("chooseRawSearchFolder"));
    connect(choose, &QPushButton::clicked, this, &PreferencesController::chooseRawSearchFolder);
    row->addWidget(rawSearchPath_, 1);
    row->addWidget(choose);
    layout->addLayout(row);
    layout->addStretch();
    showRawSearch();
    QPointer<PreferencesController> self(this);
    observe("rawSearchDirectoryBookmark", [self] { self->showRawSearch(); });
    return pane;
}

QWidget* PreferencesController::advancedPane() {
    auto* pane = new QWidget;
    auto* form = new QFormLayout(pane);
    form->addRow(QString(),
                 boundCheckBox(QStringLiteral("Disable the image cache"), "DisableImageCache"));
    form->addRow(QString(),
                 boundCheckBox(QStringLiteral("Disable the frame buffer"), "DisableFrameBuffer"));
    form->addRow(QString(),
                 note(QStringLiteral("Both are turned on after a run that did not end normally. "
                                     "Clear them here to use the cache again.")));
    return pane;
}

std::optional<std::filesystem::path> PreferencesController::rawSearch() const {
    return RawFileSearch::rawSearch();
}

void PreferencesController::setRawSearch(const std::filesystem::path& folder) {
    RawFileSearch::setRawSearch(folder);
    showRawSearch();
}

void PreferencesController::showRawSearch() {
    const auto folder = rawSearch();
    rawSearchPath_->setText(folder ? QString::fromStdString(folder->string()) : QString());
}

void PreferencesController::chooseRawSearchFolder() {
    const auto folder = rawSearch();
    auto* panel = makeFolderPanel(this, QString::fromLatin1(kRawSearchMessage),
                                  folder ? QString::fromStdString(folder->string()) : QString(),
                                  QStringLiteral("Choose"));
    panel->setObjectName(QStringLiteral("rawSearchPanel"));
    QPointer<PreferencesController> self(this);
    connect(panel, &QFileDialog::fileSelected, this, [self](const QString& folder) {
        if (self && !folder.isEmpty()) self->setRawSearch(folder.toStdString());
    });
    panel->open();
}
