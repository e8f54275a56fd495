#include "ui/DocumentWindowController.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSplitter>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidgetItem>
#include <QVBoxLayout>
#include <cmath>
#include <map>

#include "color/CameraProfileManager.h"
#include "color/ColorSyncProfileWrap.h"
#include "color/SettingsKeys.h"
#include "color/iccProfileManager.h"
#include "document/DocumentController.h"
#include "document/PresetManager.h"
#include "document/QuorvexErrors.h"
#include "engine/QueueEngine.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "ui/AlertPresenter.h"
#include "ui/ApplicationShell.h"
#include "ui/CIImageView.h"
#include "ui/DocumentWindowAdapter.h"
#include "ui/QuorvexNumberFormatter.h"
#include "ui/QuorvexOutlineView.h"
#include "ui/SpinningProgressIndicator.h"

namespace {

constexpr const char* kFrameKey = "QuorvexDocumentWindow";
constexpr int kSliderSteps = 1000;

std::map<const MyDocument*, QPointer<DocumentWindowController>>& registry() {
    static std::map<const MyDocument*, QPointer<DocumentWindowController>> windows;
    return windows;
}

// A numeric field: arrow keys step by the range's rule, page keys and
// shift-arrows by ten steps.
class SettingField : public QLineEdit {
public:
    SettingField(double minimum, double maximum, std::function<void(QObject*, double)> commit)
        : minimum_(minimum), maximum_(maximum), commit_(std::move(commit)) {
        auto* formatter = new QuorvexNumberFormatter(this);
        formatter->setMinimum(minimum);
        formatter->setMaximum(maximum);
        formatter_ = formatter;
        setValidator(formatter);
        setFixedWidth(64);
        connect(this, &QLineEdit::editingFinished, this, [this] {
            double v = 0;
            formatter_->getObjectValue(&v, text());
            commit_(this, v);
        });
    }
    void showValue(double v) { setText(QString::number(v, 'f', 2)); }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const double step = DocumentWindowController::keyboardStep(minimum_, maximum_);
        const bool shift = event->modifiers() & Qt::ShiftModifier;
        double delta = 0;
        switch (event->key()) {
            case Qt::Key_Up:
                delta = shift ? 10 * step : step;
                break;
            case Qt::Key_Down:
                delta = shift ? -10 * step : -step;
                break;
            case Qt::Key_PageUp:
                delta = 10 * step;
                break;
            case Qt::Key_PageDown:
                delta = -10 * step;
                break;
            default:
                QLineEdit::keyPressEvent(event);
                return;
        }
        double v = 0;
        formatter_->getObjectValue(&v, text());
        v = std::clamp(v + delta, minimum_, maximum_);
        showValue(v);
        commit_(this, v);
        event->accept();
    }

private:
    double minimum_, maximum_;
    std::function<void(QObject*, double)> commit_;
    QuorvexNumberFormatter* formatter_;
};

// A slider over minimum..maximum whose double click restores the default.
class SettingSlider : public QSlider {
public:
    SettingSlider(double minimum, double maximum, std::function<void(QObject*)> doubleClicked)
        : QSlider(Qt::Horizontal),
          minimum_(minimum),
          maximum_(maximum),
          doubleClicked_(std::move(doubleClicked)) {
        setRange(0, kSliderSteps);
        setMinimumWidth(90);
    }
    double value() const {
        return minimum_ + (maximum_ - minimum_) * QSlider::value() / double(kSliderSteps);
    }
    void showValue(double v) {
        setValue(int(std::lround((v - minimum_) / (maximum_ - minimum_) * kSliderSteps)));
    }

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton)
            doubleClicked_(this);
        else
            QSlider::mouseDoubleClickEvent(event);
    }

private:
    double minimum_, maximum_;
    std::function<void(QObject*)> doubleClicked_;
};

QString profileName(const platform::Object& o) {
    if (auto* c = dynamic_cast<const DNGCameraProfileAbstract*>(&o))
        return QString::fromStdString(c->displayName());
    if (auto* p = dynamic_cast<const ColorSyncProfileWrap*>(&o))
        return QString::fromStdString(p->description());
    return {};
}

QRectF qRect(const platform::Rect& r) { return QRectF(r.x, r.y, r.width, r.height); }

}  // namespace

// ---------------------------------------------------------------- the QMainWindow

QuorvexDocumentWindow::QuorvexDocumentWindow(DocumentWindowController* controller)
    : controller_(controller) {
    setAttribute(Qt::WA_DeleteOnClose);
}

void QuorvexDocumentWindow::zoomIn() {
    if (controller_) controller_->zoomIn();
}
void QuorvexDocumentWindow::zoomOut() {
    if (controller_) controller_->zoomOut();
}
void QuorvexDocumentWindow::zoomImageToActualSize() {
    if (controller_) controller_->zoomImageToActualSize();
}
void QuorvexDocumentWindow::zoomImageToFit() {
    if (controller_) controller_->zoomImageToFit();
}
void QuorvexDocumentWindow::rotateCW() {
    if (controller_) controller_->rotateCW();
}
void QuorvexDocumentWindow::rotateCCW() {
    if (controller_) controller_->rotateCCW();
}
void QuorvexDocumentWindow::exportAsJPEG() {
    if (controller_) controller_->exportAsType(QStringLiteral("public.jpeg"));
}
void QuorvexDocumentWindow::exportAsTIFF() {
    if (controller_) controller_->exportAsType(QStringLiteral("public.tiff"));
}
void QuorvexDocumentWindow::exportAsDNG() {
    if (controller_) controller_->exportAsType(QStringLiteral("public.dng"));
}
void QuorvexDocumentWindow::exportAsEXR() {
    if (controller_) controller_->exportAsType(QStringLiteral("com.ilm.openexr-image"));
}
void QuorvexDocumentWindow::exportAsSelected() {
    if (controller_) controller_->exportAsSelected();
}

void QuorvexDocumentWindow::closeEvent(QCloseEvent* event) {
    if (controller_) controller_->windowWillClose();
    QMainWindow::closeEvent(event);
}

void QuorvexDocumentWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && controller_)
        controller_->windowDidBecomeMain();
    QMainWindow::changeEvent(event);
}

// ---------------------------------------------------------------- making windows

DocumentWindowController* DocumentWindowController::windowForDocument(const MyDocument* d) {
    auto it = registry().find(d);
    return it == registry().end() ? nullptr : it->second.data();
}

DocumentWindowController* DocumentWindowController::makeWindowForDocument(
    const MyDocument::Ptr& document) {
    if (!document) return nullptr;
    if (auto* existing = windowForDocument(document.get())) {
        existing->window()->show();
        existing->window()->raise();
        existing->window()->activateWindow();
        return existing;
    }
    auto* controller = new DocumentWindowController(document);
    controller->window()->show();
    return controller;
}

void DocumentWindowController::installDocumentWindowFactory() {
    auto& shell = platform::ApplicationShell::shared();
    shell.setDocumentWindowFactory(
        [](const MyDocument::Ptr& document) { makeWindowForDocument(document); });
    shell.setCurrentDocumentProvider([]() -> MyDocument::Ptr {
        return DocumentController::sharedDocumentController().lastDocumentShown();
    });
}

DocumentWindowController::DocumentWindowController(MyDocument::Ptr document)
    : document_(std::move(document)) {
    window_ = new QuorvexDocumentWindow(this);
    setParent(window_);
    registry()[document_.get()] = this;
    buildWindow();

    auto& center = platform::NotificationCenter::defaultCenter();
    QPointer<DocumentWindowController> self(this);
    const void* object = document_.get();
    auto main = platform::DispatchQueue::main();
    // Every window leaves the running state at a finished run, whoever's.
    notificationTokens_.push_back(center.addObserver(
        MyDocument::kNewProcessedImageNotification,
        [self, object](const platform::Notification& n) {
            if (!self) return;
            self->engineRunning_ = false;
            if (n.object.get() == object) self->NewProcessedImage();
        },
        nullptr, main));
    notificationTokens_.push_back(center.addObserver(
        MyDocument::kUpdatedImageNotification,
        [self](const platform::Notification&) {
            if (self) self->UpdatedImage();
        },
        object, main));
    notificationTokens_.push_back(center.addObserver(
        MyDocument::kEngineDidStartNotification,
        [self](const platform::Notification&) {
            if (self) self->EngineDidStart();
        },
        object, main));
    notificationTokens_.push_back(center.addObserver(
        "TARNWisp_PresetsChanged",
        [self](const platform::Notification&) {
            if (self) self->reloadPresetMenu();
        },
        nullptr, main));

    adapter_ = std::make_shared<DocumentWindowAdapter>(this, mImageView->sharedActiveTiledRect());
    document_->addWindowController(adapter_);

    // The readout and progress timer.
    pixelTimer_ = new QTimer(this);
    pixelTimer_->setInterval(30);
    connect(pixelTimer_, &QTimer::timeout, this, &DocumentWindowController::pixelTick);
    pixelTimer_->start();
    mPixelValues->setText(QStringLiteral("-"));
    setCropRect(qRect(document_->getCropRect()));
    for (int ms : {100, 500, 1000, 5000})
        QTimer::singleShot(ms, this, &DocumentWindowController::scrollViewBugFix);
}

void DocumentWindowController::scrollViewBugFix() {
    // Lays the split view and the source list out again.
    if (!window_ || windowHasClosed_) return;
    splitView_->refresh();
    sidebar_->doItemsLayout();
}

DocumentWindowController::~DocumentWindowController() {
    auto& center = platform::NotificationCenter::defaultCenter();
    for (auto token : notificationTokens_) center.removeObserver(token);
    if (document_)
        for (auto token : observerTokens_) document_->removeObserver(token);
    auto it = registry().find(document_.get());
    if (it != registry().end() && (it->second == this || it->second.isNull())) registry().erase(it);
}

// ---------------------------------------------------------------- layout

void DocumentWindowController::buildWindow() {
    window_->setWindowTitle(QString::fromStdString(document_->displayName()));
    window_->resize(1280, 800);
    const auto frame = platform::UserDefaults::standard().dataForKey(kFrameKey);
    if (!frame.empty())
        window_->restoreGeometry(
            QByteArray(reinterpret_cast<const char*>(frame.data()), qsizetype(frame.size())));
    platform::ApplicationShell::shared().installMenuBar(window_);

    splitView_ = new QSplitter(Qt::Horizontal, window_);
    splitView_->setChildrenCollapsible(false);

    // Image side: the view above a bar with readout, zoom, rotation and modes.
    auto* imageSide = new QWidget(splitView_);
    imageSide->setMinimumWidth(120);
    auto* imageLayout = new QVBoxLayout(imageSide);
    imageLayout->setContentsMargins(0, 0, 0, 0);
    imageLayout->setSpacing(0);
    auto* stack = new QWidget(imageSide);
    auto* stackLayout = new QGridLayout(stack);
    stackLayout->setContentsMargins(0, 0, 0, 0);
    mImageView = new DocumentImageView(stack);
    mImageView->setObjectName(QStringLiteral("mImageView"));
    mImageView->setEyeDropperDelegate(this);
    mImageView->hide();
    stack->setAutoFillBackground(true);
    QPalette pal = stack->palette();
    pal.setColor(QPalette::Window, Qt::black);
    stack->setPalette(pal);
    openProgress_ = new SpinningProgressIndicator(stack);
    openProgress_->setFixedSize(48, 48);
    stackLayout->addWidget(mImageView, 0, 0);
    stackLayout->addWidget(openProgress_, 0, 0, Qt::AlignCenter);
    openProgress_->startAnimation();
    imageLayout->addWidget(stack, 1);

    auto* bar = new QWidget(imageSide);
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(6, 3, 6, 3);
    auto button = [&](const QString& text, const QString& tip, auto slot) {
        auto* b = new QToolButton(bar);
        b->setText(text);
        b->setToolTip(tip);
        connect(b, &QToolButton::clicked, this, slot);
        barLayout->addWidget(b);
        return b;
    };
    button(QStringLiteral("1:1"), QStringLiteral("Actual size"),
           [this] { segmentedZoomSetClick(0); });
    button(QStringLiteral("2×"), QStringLiteral("Zoom to 2×"),
           [this] { segmentedZoomSetClick(1); });
    button(QStringLiteral("3×"), QStringLiteral("Zoom to 3×"),
           [this] { segmentedZoomSetClick(2); });
    button(QStringLiteral("4×"), QStringLiteral("Zoom to 4×"),
           [this] { segmentedZoomSetClick(3); });
    button(QStringLiteral("Fit"), QStringLiteral("Zoom to fit"),
           [this] { segmentedZoomSetClick(4); });
    button(QStringLiteral("+"), QStringLiteral("Zoom in"), [this] { segmentedZoomDeltaClick(0); });
    button(QStringLiteral("−"), QStringLiteral("Zoom out"), [this] { segmentedZoomDeltaClick(1); });
    button(QStringLiteral("⟲"), QStringLiteral("Rotate counter-clockwise"),
           [this] { segmentedControlClick(0); });
    button(QStringLiteral("⟳"), QStringLiteral("Rotate clockwise"),
           [this] { segmentedControlClick(1); });
    auto* crop = button(QStringLiteral("Crop"), QStringLiteral("Crop"),
                        [this] { setCursorMode(cursorMode_ == 1 ? 0 : 1); });
    crop->setObjectName(QStringLiteral("cropButton"));
    button(QStringLiteral("Reset Crop"), QStringLiteral("Remove the crop"),
           [this] { resetCropArea(); });
    barLayout->addStretch(1);
    mProgress = new QProgressBar(bar);
    mProgress->setRange(0, 0);
    mProgress->setFixedWidth(80);
    mProgress->setMaximumHeight(12);
    mProgress->setTextVisible(false);
    mProgress->hide();
    barLayout->addWidget(mProgress);
    mPixelValues = new QLabel(bar);
    mPixelValues->setObjectName(QStringLiteral("mPixelValues"));
    mPixelValues->setMinimumWidth(220);
    mPixelValues->setFont(QFont(QStringLiteral("monospace")));
    barLayout->addWidget(mPixelValues);
    imageLayout->addWidget(bar);

    // Controls side: histogram above the source list.
    auto* controls = new QWidget(splitView_);
    controls->setMinimumWidth(120);
    auto* controlsLayout = new QVBoxLayout(controls);
    controlsLayout->setContentsMargins(4, 4, 4, 4);
    histogramView_ = new CIImageView(controls);
    histogramView_->setFixedHeight(110);
    controlsLayout->addWidget(histogramView_);
    sidebar_ = new QuorvexOutlineView(controls);
    sidebar_->setHeaderHidden(true);
    sidebar_->setColumnCount(1);
    sidebar_->setSelectionMode(QAbstractItemView::NoSelection);
    sidebar_->setRootIsDecorated(true);
    controlsLayout->addWidget(sidebar_, 1);

    splitView_->addWidget(imageSide);
    splitView_->addWidget(controls);
    // The image takes every change of width; the controls keep theirs.
    splitView_->setStretchFactor(0, 1);
    splitView_->setStretchFactor(1, 0);
    splitView_->setSizes({940, 340});
    window_->setCentralWidget(splitView_);
    buildSections();
}

const std::vector<std::pair<const char*, std::vector<DocumentWindowController::SettingSpec>>>&
DocumentWindowController::sliderSections() {
    // Ranges: exposure and tone around their neutral values, white balance
    // within the document's clamps, mixer weights 0 to 2.
    static const std::vector<std::pair<const char*, std::vector<SettingSpec>>> sections = {
        {"Processing Options",
         {{SettingsKeys::kEttrAdjust, "ETTR Adjust", 0, 4},
          {SettingsKeys::kToneCurveAdjust, "Tone Curve", 0, 1}}},
        {"Demosaic",
         {{SettingsKeys::kArtifactSuppression, "Luma Artifacts", 0, 1},
          {SettingsKeys::kChromaArtifactSuppression, "Chroma Artifacts", 0, 1},
          {SettingsKeys::kArtifactFilter, "Post Filter", 0, 4}}},
        {"Exposure",
         {{SettingsKeys::kInputEV, "Exposure", -5, 5},
          {SettingsKeys::kInputContrast, "Contrast", -1, 1},
          {SettingsKeys::kInputBrightness, "Brightness", -1, 1},
          {SettingsKeys::kInputFillLight, "Fill Light", 0, 4},
          {SettingsKeys::kInputHighLight, "Highlights", -1, 1},
          {SettingsKeys::kInputKneeLow, "Knee Low", 0, 1},
          {SettingsKeys::kInputKneeHigh, "Knee High", 0, 10}}},
        {"Color",
         {{SettingsKeys::kInputSaturation, "Saturation", 0, 2},
          {SettingsKeys::kInputAngle, "Hue", -180, 180},
          {SettingsKeys::kMonochromeRed, "Mono Red", 0, 2},
          {SettingsKeys::kMonochromeYellow, "Mono Yellow", 0, 2},
          {SettingsKeys::kMonochromeGreen, "Mono Green", 0, 2},
          {SettingsKeys::kMonochromeCyan, "Mono Cyan", 0, 2},
          {SettingsKeys::kMonochromeBlue, "Mono Blue", 0, 2}}},
        {"White Balance",
         {{SettingsKeys::kInputTemperature, "Temperature", 1000, 14000},
          {SettingsKeys::kInputTint, "Tint", -150, 150}}},
        {"Sharpening",
         {{SettingsKeys::kInputRadius, "Radius", 0, 5},
          {SettingsKeys::kInputIntensity, "Intensity", 0, 5}}},
        {"Export", {{SettingsKeys::kJPEGQuality, "JPEG Quality", 0, 10}}},
    };
    return sections;
}

void DocumentWindowController::addSettingRow(QGridLayout* grid, int row, const SettingSpec& spec) {
    const QString key = QString::fromLatin1(spec.key);
    auto* label = new QuorvexClickTextField(QString::fromLatin1(spec.label));
    label->setObjectName(key + QStringLiteral("1"));
    label->setDelegate(this);
    auto* slider = new SettingSlider(spec.minimum, spec.maximum,
                                     [this](QObject* control) { setToDefault(control); });
    slider->setObjectName(key + QStringLiteral("2"));
    connect(slider, &QSlider::valueChanged, this, [this, slider] {
        setValueForControl(slider, platform::Value(float(slider->value())));
    });
    auto* field = new SettingField(spec.minimum, spec.maximum, [this](QObject* control, double v) {
        setValueForControl(control, platform::Value(float(v)));
    });
    field->setObjectName(key);
    grid->addWidget(label, row, 0);
    grid->addWidget(slider, row, 1);
    grid->addWidget(field, row, 2);
    bindKey(spec.key);
}

QWidget* DocumentWindowController::makeSliderSection(const std::vector<SettingSpec>& specs) {
    auto* w = new QWidget;
    auto* grid = new QGridLayout(w);
    grid->setContentsMargins(4, 2, 4, 2);
    grid->setVerticalSpacing(2);
    int row = 0;
    for (const auto& spec : specs) addSettingRow(grid, row++, spec);
    return w;
}

QWidget* DocumentWindowController::makeProcessingOptions() {
    auto* w = makeSliderSection(sliderSections()[0].second);
    auto* grid = static_cast<QGridLayout*>(w->layout());
    int row = grid->rowCount();
    grid->addWidget(new QLabel(QStringLiteral("Camera Profile")), row, 0);
    cameraProfilePopUp_ = new QComboBox;
    cameraProfilePopUp_->setObjectName(QString::fromLatin1(SettingsKeys::kCameraProfile));
    grid->addWidget(cameraProfilePopUp_, row++, 1, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("ICC Profile")), row, 0);
    iccProfilePopUp_ = new QComboBox;
    iccProfilePopUp_->setObjectName(QString::fromLatin1(SettingsKeys::kIccProfile));
    grid->addWidget(iccProfilePopUp_, row++, 1, 1, 2);
    reloadProfileMenus();
    connect(cameraProfilePopUp_, &QComboBox::activated, this, [this](int i) {
        if (i >= 0 && size_t(i) < cameraProfiles_.size())
            setValueForControl(cameraProfilePopUp_, platform::Value(cameraProfiles_[size_t(i)]));
    });
    connect(iccProfilePopUp_, &QComboBox::activated, this, [this](int i) {
        if (i >= 0 && size_t(i) < iccProfiles_.size())
            setValueForControl(iccProfilePopUp_, platform::Value(iccProfiles_[size_t(i)]));
    });
    bindKey(SettingsKeys::kCameraProfile);
    bindKey(SettingsKeys::kIccProfile);
    const std::pair<const char*, const char*> boxes[] = {
        {SettingsKeys::kSceneReferred, "Scene Referred"},
        {SettingsKeys::kMaintainWhites, "Maintain Saturated Whites"},
        {SettingsKeys::kMonochromeSensor, "Monochrome Sensor"},
        {SettingsKeys::kIRUVSensor, "Infrared / Ultraviolet Sensor"},
    };
    for (const auto& [key, title] : boxes) {
        auto* box = new QCheckBox(QString::fromLatin1(title));
        box->setObjectName(QString::fromLatin1(key));
        connect(box, &QCheckBox::toggled, this,
                [this, box](bool on) { setValueForControl(box, platform::Value(on)); });
        grid->addWidget(box, row++, 0, 1, 3);
        bindKey(key);
    }
    return w;
}

QWidget* DocumentWindowController::makePresets() {
    auto* w = new QWidget;
    auto* layout = new QHBoxLayout(w);
    layout->setContentsMargins(4, 2, 4, 2);
    presetPopUp_ = new QComboBox;
    presetPopUp_->setObjectName(QStringLiteral("presetPopUp"));
    connect(presetPopUp_, &QComboBox::activated, this, &DocumentWindowController::applyPreset);
    layout->addWidget(presetPopUp_, 1);
    auto* add = new QPushButton(QStringLiteral("New Preset…"));
    connect(add, &QPushButton::clicked, this, &DocumentWindowController::showNewPresetWindow);
    layout->addWidget(add);
    reloadPresetMenu();
    return w;
}

QWidget* DocumentWindowController::makeWhiteBalance() {
    auto* w = makeSliderSection(sliderSections()[4].second);
    auto* grid = static_cast<QGridLayout*>(w->layout());
    const int row = grid->rowCount();
    auto* asShot = new QPushButton(QStringLiteral("As Shot"));
    connect(asShot, &QPushButton::clicked, this, &DocumentWindowController::setAsShot);
    auto* dropper = new QPushButton(QStringLiteral("Eyedropper"));
    dropper->setObjectName(QStringLiteral("eyedropperButton"));
    connect(dropper, &QPushButton::clicked, this, &DocumentWindowController::setFromEyeDropper);
    grid->addWidget(asShot, row, 0);
    grid->addWidget(dropper, row, 1);
    return w;
}

QWidget* DocumentWindowController::makeExport() {
    auto* w = makeSliderSection(sliderSections()[6].second);
    auto* grid = static_cast<QGridLayout*>(w->layout());
    int row = grid->rowCount();
    auto* type = new QComboBox;
    type->setObjectName(QString::fromLatin1(SettingsKeys::kExportFileType));
    type->addItems({QStringLiteral("JPEG"), QStringLiteral("TIFF"), QStringLiteral("DNG"),
                    QStringLiteral("EXR"), QStringLiteral("EXR RGB"), QStringLiteral("EXR 32-bit"),
                    QStringLiteral("EXR 32-bit RGB")});
    connect(type, &QComboBox::activated, this,
            [this, type](int i) { setValueForControl(type, platform::Value(int64_t(i))); });
    grid->addWidget(new QLabel(QStringLiteral("File Type")), row, 0);
    grid->addWidget(type, row++, 1, 1, 2);
    bindKey(SettingsKeys::kExportFileType);
    auto* exportButton = new QPushButton(QStringLiteral("Export…"));
    connect(exportButton, &QPushButton::clicked, this, &DocumentWindowController::exportAsSelected);
    grid->addWidget(exportButton, row, 1);
    return w;
}

QWidget* DocumentWindowController::makeAppIntegration() {
    auto* w = new QWidget;
    auto* layout = new QVBoxLayout(w);
    layout->setContentsMargins(4, 2, 4, 2);
    const auto url = document_->extEditorURL();
    auto* label = new QLabel(url ? QString::fromStdString(url->filename().string())
                                 : QStringLiteral("Not opened from an editor"));
    layout->addWidget(label);
    auto* update = new QPushButton(QStringLiteral("Update Editor's File"));
    update->setEnabled(url.has_value());
    connect(update, &QPushButton::clicked, this, &DocumentWindowController::extEditorUpdate);
    layout->addWidget(update);
    if (document_->getCameraParameters().value_or(platform::Dictionary{}).contains("ipeStatus")) {
        auto* pcd = new QPushButton(QStringLiteral("Photo CD Resolution…"));
        connect(pcd, &QPushButton::clicked, this, &DocumentWindowController::photoCDResolution);
        layout->addWidget(pcd);
    }
    return w;
}

void DocumentWindowController::buildSections() {
    const auto& s = sliderSections();
    const std::vector<std::pair<QString, QWidget*>> sections = {
        {QStringLiteral("Presets"), makePresets()},
        {QStringLiteral("Processing Options"), makeProcessingOptions()},
        {QStringLiteral("Demosaic"), makeSliderSection(s[1].second)},
        // The same exposure controls serve with and without "enableCinematic".
        {QStringLiteral("Exposure"), makeSliderSection(s[2].second)},
        {QStringLiteral("Color"), makeSliderSection(s[3].second)},
        {QStringLiteral("White Balance"), makeWhiteBalance()},
        {QStringLiteral("Sharpening"), makeSliderSection(s[5].second)},
        {QStringLiteral("Export"), makeExport()},
        {QStringLiteral("App Integration"), makeAppIntegration()},
    };
    for (const auto& [title, content] : sections) {
        auto* group = new QTreeWidgetItem(sidebar_, {title.toUpper()});
        QFont bold = group->font(0);
        bold.setBold(true);
        group->setFont(0, bold);
        group->setFlags(Qt::ItemIsEnabled);
        auto* child = new QTreeWidgetItem(group);
        child->setFlags(Qt::ItemIsEnabled);
        content->setObjectName(title);
        sidebar_->setItemWidget(child, 0, content);
        group->setExpanded(true);
    }
    for (const auto& key : boundKeys_) updateControls(key, document_->valueForKey(key));
}

// ---------------------------------------------------------------- bindings

QString DocumentWindowController::parameterID(const QString& identifier) {
    qsizetype b = 0, e = identifier.size();
    while (b < e && identifier[b].isDigit()) ++b;
    while (e > b && identifier[e - 1].isDigit()) --e;
    return identifier.mid(b, e - b);
}

double DocumentWindowController::keyboardStep(double minimum, double maximum) {
    return maximum - minimum < 13 ? 0.01 : 0.1;
}

void DocumentWindowController::setValueForControl(QObject* control, const platform::Value& value) {
    if (!control || !document_) return;
    document_->setValueForKey(value, parameterID(control->objectName()).toStdString());
}

void DocumentWindowController::setToDefault(QObject* control) {
    if (!control || !document_) return;
    document_->setToDefault(parameterID(control->objectName()).toStdString());
}

void DocumentWindowController::labelDoubleClicked(QuorvexClickTextField* field) {
    setToDefault(field);
}

void DocumentWindowController::bindKey(const std::string& key) {
    QPointer<DocumentWindowController> self(this);
    observerTokens_.push_back(
        document_->addObserver(key, [self, key](const std::string&, const platform::Value& v) {
            platform::DispatchQueue::main()->async([self, key, v] {
                if (self) self->updateControls(key, v);
            });
        }));
    boundKeys_.push_back(key);
}

void DocumentWindowController::updateControls(const std::string& key, const platform::Value& v) {
    if (!window_) return;
    const QString name = QString::fromStdString(key);
    for (QWidget* w : window_->findChildren<QWidget*>()) {
        if (w->objectName().isEmpty() || parameterID(w->objectName()) != name) continue;
        const QSignalBlocker blocker(w);
        if (auto* field = dynamic_cast<SettingField*>(w)) {
            if (v.isNumber())
                field->showValue(v.realValue());
            else
                field->clear();
        } else if (auto* slider = dynamic_cast<SettingSlider*>(w)) {
            if (v.isNumber()) slider->showValue(v.realValue());
        } else if (auto* box = qobject_cast<QCheckBox*>(w)) {
            box->setChecked(v.boolValue());
        } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            if (combo == cameraProfilePopUp_ || combo == iccProfilePopUp_) {
                // Lists make new objects: select the entry equal to the document's.
                const auto object = v.object();
                int index = -1;
                const size_t n =
                    combo == cameraProfilePopUp_ ? cameraProfiles_.size() : iccProfiles_.size();
                for (size_t i = 0; object && i < n && index < 0; ++i) {
                    const platform::Object& entry =
                        combo == cameraProfilePopUp_
                            ? static_cast<const platform::Object&>(*cameraProfiles_[i])
                            : static_cast<const platform::Object&>(*iccProfiles_[i]);
                    if (entry.isEqualTo(*object)) index = int(i);
                }
                // Automatic profiles equal nothing: the automatic entry stands for them.
                auto isAuto = [](const platform::Object* o) {
                    if (auto* c = dynamic_cast<const DNGCameraProfileAbstract*>(o))
                        return c->isAutoProfile();
                    if (auto* p = dynamic_cast<const ColorSyncProfileWrap*>(o))
                        return p->isAutoProfile();
                    return false;
                };
                if (index < 0 && object && isAuto(object.get()))
                    for (size_t i = 0; i < n && index < 0; ++i) {
                        const platform::Object* entry =
                            combo == cameraProfilePopUp_
                                ? static_cast<const platform::Object*>(cameraProfiles_[i].get())
                                : static_cast<const platform::Object*>(iccProfiles_[i].get());
                        if (isAuto(entry)) index = int(i);
                    }
                combo->setCurrentIndex(index);
            } else if (v.isNumber()) {
                combo->setCurrentIndex(int(v.integerValue()));
            }
        }
    }
}

void DocumentWindowController::reloadProfileMenus() {
    cameraProfiles_ = CameraProfileManager::sharedCameraProfileManager().profileListForMenu();
    iccProfiles_ = iccProfileManager::sharediccProfileManager().profileListForMenu();
    const QSignalBlocker b1(cameraProfilePopUp_), b2(iccProfilePopUp_);
    cameraProfilePopUp_->clear();
    for (const auto& p : cameraProfiles_) cameraProfilePopUp_->addItem(profileName(*p));
    iccProfilePopUp_->clear();
    for (const auto& p : iccProfiles_) iccProfilePopUp_->addItem(profileName(*p));
}

void DocumentWindowController::reloadPresetMenu() {
    if (!presetPopUp_) return;
    presetMenu_ = PresetManager::sharedPresetManager().presetListForMenu();
    const QSignalBlocker blocker(presetPopUp_);
    presetPopUp_->clear();
    for (const auto& preset : presetMenu_)
        presetPopUp_->addItem(QString::fromStdString(preset["displayName"].stringValue()));
}

void DocumentWindowController::applyPreset(int index) {
    // Entry 0 is the "Select preset...." title.
    if (index <= 0 || size_t(index) >= presetMenu_.size()) return;
    currentPreset_ = presetMenu_[size_t(index)];
    document_->addSettingValues(currentPreset_);
}

// ---------------------------------------------------------------- zoom and rotation

float DocumentWindowController::zoomedIn(float scale) {
    return scale <= 0.9f ? scale * 1.414f : scale * 2.0f;
}

float DocumentWindowController::zoomedOut(float scale) {
    return scale > 1.1f ? scale * 0.5f : scale / 1.414f;
}

void DocumentWindowController::zoomIn() {
    mImageView->setPixelScaleFactor(zoomedIn(mImageView->pixelScaleFactor()));
}

void DocumentWindowController::zoomOut() {
    mImageView->setPixelScaleFactor(zoomedOut(mImageView->pixelScaleFactor()));
}

void DocumentWindowController::segmentedZoomSetClick(int tag) {
    switch (tag) {
        case 0:
            zoomImageToActualSize();
            break;
        case 1:
            zoomImageTo2();
            break;
        case 2:
            zoomImageTo3();
            break;
        case 3:
            zoomImageTo4();
            break;
        case 4:
            zoomImageToFit();
            break;
        default:
            break;
    }
}

void DocumentWindowController::segmentedZoomDeltaClick(int tag) {
    if (tag == 0) zoomIn();
    if (tag == 1) zoomOut();
}

int DocumentWindowController::rotatedOrientation(int stored, bool clockwise) {
    switch (stored) {
        case 0:
        case 1:
            return clockwise ? 6 : 8;
        case 3:
            return clockwise ? 8 : 6;
        case 6:
            return clockwise ? 3 : 0;
        case 8:
            return clockwise ? 0 : 3;
        default:
            return stored;
    }
}

void DocumentWindowController::rotateCCW() {
    document_->orientationChanged(rotatedOrientation(document_->getOrientation(), false));
    redisplay();
}

void DocumentWindowController::rotateCW() {
    document_->orientationChanged(rotatedOrientation(document_->getOrientation(), true));
    redisplay();
}

void DocumentWindowController::segmentedControlClick(int tag) {
    if (tag == 1) rotateCW();
    if (tag == 0) rotateCCW();
}

// ---------------------------------------------------------------- white balance, crop

void DocumentWindowController::setAsShot() { document_->setWBAsShot(); }

void DocumentWindowController::setFromEyeDropper() { setCursorMode(cursorMode_ == 2 ? 0 : 2); }

void DocumentWindowController::setTempAndTint(float temperature, float tint) {
    updateControls(SettingsKeys::kInputTemperature, platform::Value(temperature));
    updateControls(SettingsKeys::kInputTint, platform::Value(tint));
}

void DocumentWindowController::setSceneReferred(bool sceneReferred) {
    updateControls(SettingsKeys::kSceneReferred, platform::Value(sceneReferred));
}

void DocumentWindowController::setCursorMode(uint64_t mode) {
    cursorMode_ = mode;
    mImageView->setCursorTrackingMode(mode);
}

void DocumentWindowController::cropRectChanged(const QRectF& r) {
    document_->cropRectChanged(platform::Rect{r.x(), r.y(), r.width(), r.height()});
}

void DocumentWindowController::setCropRect(const QRectF& rect) { mImageView->setCropRect(rect); }

void DocumentWindowController::resetCropArea() {
    const QRectF none(-1, -1, -1, -1);
    document_->cropRectChanged(platform::Rect{-1, -1, -1, -1});
    mImageView->setCropRect(none);
    setCursorMode(0);
}

void DocumentWindowController::eyedropperWasClicked(QWidget*, QPointF point) {
    setCursorMode(0);
    // The patch is read from the engine: off the GUI thread.
    std::weak_ptr<MyDocument> weak = document_;
    QueueEngine::sharedQueueEngine().sharedQueue()->async([weak, point] {
        if (auto document = weak.lock())
            document->setWBFromPoint(platform::Point{point.x(), point.y()});
    });
}

// ---------------------------------------------------------------- export

QString DocumentWindowController::extensionForType(const QString& type) {
    if (type == QLatin1String("public.jpeg")) return QStringLiteral("jpg");
    if (type == QLatin1String("public.dng")) return QStringLiteral("dng");
    if (type == QLatin1String("com.ilm.openexr-image")) return QStringLiteral("exr");
    return QStringLiteral("tif");
}

void DocumentWindowController::exportAsSelected() {
    const int64_t t = document_->valueForKey(SettingsKeys::kExportFileType).integerValue(0);
    if (t >= 3 && t <= 6)
        exportAsType(QStringLiteral("com.ilm.openexr-image"));
    else if (t == 2)
        exportAsType(QStringLiteral("public.dng"));
    else if (t == 1)
        exportAsType(QStringLiteral("public.tiff"));
    else
        exportAsType(QStringLiteral("public.jpeg"));
}

void DocumentWindowController::exportAsType(const QString& type) {
    const QRectF crop = qRect(document_->getCropRect());
    const QString extension = extensionForType(type);
    auto* panel = new QFileDialog(window_);
    panel->setOption(QFileDialog::DontUseNativeDialog);
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setWindowModality(Qt::WindowModal);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setNameFilter(QStringLiteral("*.") + extension);
    const auto file = document_->fileURL();
    panel->setDirectory(QString::fromStdString(file.parent_path().string()));
    panel->selectFile(QString::fromStdString(file.stem().string()));
    QPointer<DocumentWindowController> self(this);
    connect(panel, &QFileDialog::fileSelected, this, [self, type, extension, crop](QString path) {
        if (!self || path.isEmpty()) return;
        if (QFileInfo(path).suffix().compare(extension, Qt::CaseInsensitive) != 0)
            path += QStringLiteral(".") + extension;
        self->exportToPath(path, type, crop);
    });
    panel->open();
}

void DocumentWindowController::exportToPath(const QString& path, const QString& type,
                                            std::optional<QRectF> crop) {
    const QRectF r = crop.value_or(qRect(document_->getCropRect()));
    showProgressSheet(QFileInfo(path).fileName());
    QPointer<DocumentWindowController> self(this);
    MyDocument::Ptr document = document_;
    const std::string file = path.toStdString(), uti = type.toStdString();
    platform::ApplicationShell::shared().windowExports().async(
        QueueEngine::sharedQueueEngine().sharedQueue(), [self, document, file, uti, r] {
            platform::Error error;
            const bool ok = document->exportToURL(
                file, uti, platform::Rect{r.x(), r.y(), r.width(), r.height()}, false, &error);
            std::optional<platform::Error> failure;
            if (!ok) failure = error;
            platform::DispatchQueue::main()->async([self, failure] {
                if (self) self->exportPresentError(failure);
            });
        });
}

void DocumentWindowController::extEditorUpdate() {
    const auto url = document_->extEditorURL();
    if (!url) return;
    const QString path = QString::fromStdString(url->string());
    const QString ext = QFileInfo(path).suffix().toLower();
    const QString type = ext == QLatin1String("jpg") || ext == QLatin1String("jpeg")
                             ? QStringLiteral("public.jpeg")
                             : QStringLiteral("public.tiff");
    // The whole image, whatever crop the document holds.
    exportToPath(path, type, QRectF(0, 0, 0, 0));
}

void DocumentWindowController::showProgressSheet(const QString& fileName) {
    if (!progressSheet_) {
        progressSheet_ = new QDialog(window_);
        progressSheet_->setObjectName(QStringLiteral("ProgressSheet"));
        progressSheet_->setWindowModality(Qt::WindowModal);
        progressSheet_->setWindowOpacity(0.9);
        auto* layout = new QVBoxLayout(progressSheet_);
        progressText_ = new QLabel(progressSheet_);
        progressBar_ = new QProgressBar(progressSheet_);
        progressBar_->setRange(0, 100);
        layout->addWidget(progressText_);
        layout->addWidget(progressBar_);
        progressSheet_->setMinimumWidth(360);
    }
    progressText_->setText(fileName);
    progressBar_->setValue(33);
    progressSheet_->open();
}

void DocumentWindowController::exportPresentError(const std::optional<platform::Error>& error) {
    if (progressBar_) progressBar_->setValue(90);
    if (progressSheet_) progressSheet_->done(0);
    if (error) platform::AlertPresenter::presentError(*error, window_);
}

// ---------------------------------------------------------------- Photo CD

QString DocumentWindowController::resStringForInt(int index) {
    static const char* const names[] = {"Base16", "Base4", "Base", "4Base", "16Base", "64Base"};
    return index >= 0 && index < 6 ? QString::fromLatin1(names[index]) : QStringLiteral("Error");
}

int DocumentWindowController::resolutionIndexForSize(double width, double height) {
    const double m = std::max(width, height);
    const double sizes[] = {192, 384, 768, 1536, 3072, 6144};
    for (int i = 0; i < 6; ++i)
        if (m == sizes[i]) return i;
    return 6;
}

QString DocumentWindowController::photoCDDiagnostic(int selected, int image,
                                                    const platform::Value& ipeStatus,
                                                    const std::optional<QString>& scanner) {
    QString text;
    if (selected == image) {
        text = QStringLiteral(
                   "Image resolution is %1. This matches the resolution selected in Preferences.\n")
                   .arg(resStringForInt(image));
        if (selected < 4)
            text += QStringLiteral(
                "This resolution is lower that the usual 16Base resolution that most Photo CD "
                "images have; you may be able to increase resolution by changing the "
                "Prefereneces value. ");
    } else if (selected < image) {
        text = QStringLiteral("A Photo CD resolution error occured. ");
    } else if (selected != 5) {
        text = QStringLiteral(
                   "The Photo CD resolution that you selected in preferences (%1) was not "
                   "available; the best available resolution is displayed. ")
                   .arg(resStringForInt(selected));
    } else if (ipeStatus.isNull()) {
        text = QStringLiteral("Requested 64Base but no IPE status present. ");
    } else {
        switch (ipeStatus.integerValue()) {
            case 1:
                text = QStringLiteral(
                    "No Image Pac Extension (IPE) files found to build a 64Base resolution "
                    "image. ");
                break;
            case 2:
                text = QStringLiteral(
                    "Image Pac Extension (IPE) files for a high resolution 64Base image found, "
                    "but Quorvex is being prevented from accessing them. In order to allow "
                    "access, open the root folder of the Photo CD in Quorvex's Browser Window. "
                    "See the website for further information. ");
                break;
            case 3:
                text = QStringLiteral("Image Pac Extension (IPE) files found. ");
                break;
            default:
                text = QStringLiteral("An unknown error occured - IPE not tested for 64Base. ");
        }
    }
    if (scanner) text += QStringLiteral("\n\nScanner profile: %1 ").arg(*scanner);
    return text;
}

void DocumentWindowController::ensurePCDSheet() {
    if (pcdResStatusWindow_) return;
    pcdResStatusWindow_ = new QDialog(window_);
    pcdResStatusWindow_->setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(pcdResStatusWindow_);
    pcdCurrentResolution_ = new QLabel(pcdResStatusWindow_);
    pcdResoltionDiagnostic_ = new QLabel(pcdResStatusWindow_);
    pcdResoltionDiagnostic_->setWordWrap(true);
    pcdResoltionDiagnostic_->setMinimumWidth(420);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, pcdResStatusWindow_);
    connect(buttons, &QDialogButtonBox::accepted, pcdResStatusWindow_,
            [this] { pcdResStatusWindow_->done(0); });
    layout->addWidget(pcdCurrentResolution_);
    layout->addWidget(pcdResoltionDiagnostic_);
    layout->addWidget(buttons);
}

void DocumentWindowController::photoCDResolution() {
    ensurePCDSheet();
    int image = 2;
    if (auto stage = document_->outputImage()) {
        const platform::Rect e = stage->extent();
        image = resolutionIndexForSize(e.width, e.height);
        pcdCurrentResolution_->setText(QString::asprintf("%1.0f x %1.0f (", e.width, e.height) +
                                       resStringForInt(image) + QStringLiteral(")"));
    } else {
        pcdCurrentResolution_->setText(QStringLiteral("n/a"));
    }
    const int selected = int(platform::UserDefaults::standard().integerForKey("ResolutionSelect"));
    const auto parameters = document_->getCameraParameters().value_or(platform::Dictionary{});
    std::optional<QString> scanner;
    const platform::Value icc = document_->valueForKey(SettingsKeys::kIccProfile);
    if (auto wrap = icc.objectAs<ColorSyncProfileWrap>())
        scanner = QString::fromStdString(wrap->description());
    pcdResoltionDiagnostic_->setText(
        photoCDDiagnostic(selected, image, parameters["ipeStatus"], scanner));
    pcdResStatusWindow_->open();
}

// ---------------------------------------------------------------- presets

const std::vector<std::pair<const char*, std::vector<const char*>>>&
DocumentWindowController::presetGroups() {
    static const std::vector<std::pair<const char*, std::vector<const char*>>> groups = {
        {"ETTR Adjust", {SettingsKeys::kEttrAdjust}},
        {"Tone Curve", {SettingsKeys::kToneCurveAdjust}},
        {"Chroma Artifact Suppression", {SettingsKeys::kChromaArtifactSuppression}},
        {"Luma Artifact Suppression", {SettingsKeys::kArtifactSuppression}},
        {"Post-demosaic Filter", {SettingsKeys::kArtifactFilter}},
        {"Scene Referred", {SettingsKeys::kSceneReferred}},
        {"Maintain Saturated Whites", {SettingsKeys::kMaintainWhites}},
        {"Exposure",
         {SettingsKeys::kInputEV, SettingsKeys::kInputContrast, SettingsKeys::kInputBrightness,
          SettingsKeys::kInputFillLight, SettingsKeys::kInputHighLight, SettingsKeys::kInputKneeLow,
          SettingsKeys::kInputKneeHigh}},
        {"Camera Profile", {SettingsKeys::kCameraProfile}},
        {"Saturation", {SettingsKeys::kInputSaturation}},
        {"Hue", {SettingsKeys::kInputAngle}},
        {"White Balance", {SettingsKeys::kInputTemperature, SettingsKeys::kInputTint}},
        {"Sharpening", {SettingsKeys::kInputIntensity, SettingsKeys::kInputRadius}},
        {"Export Settings", {SettingsKeys::kExportFileType, SettingsKeys::kJPEGQuality}},
    };
    return groups;
}

void DocumentWindowController::ensurePresetSheet() {
    if (pWindow_) return;
    pWindow_ = new QDialog(window_);
    pWindow_->setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(pWindow_);
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(new QLabel(QStringLiteral("Preset name:")));
    presetName_ = new QLineEdit(pWindow_);
    nameRow->addWidget(presetName_, 1);
    layout->addLayout(nameRow);
    auto* grid = new QGridLayout;
    // A 5 x 3 matrix: cells beyond the groups stay disabled and invisible.
    const int rows = 5, columns = 3;
    for (int cell = 0; cell < rows * columns; ++cell) {
        auto* box = new QCheckBox(pWindow_);
        if (size_t(cell) < presetGroups().size()) {
            box->setText(QString::fromLatin1(presetGroups()[size_t(cell)].first));
            box->setProperty("tag", cell);
            checkBoxes_.push_back(box);
        } else {
            box->setProperty("tag", -1);
            box->setEnabled(false);
            box->setVisible(false);
        }
        grid->addWidget(box, cell / columns, cell % columns);
    }
    layout->addLayout(grid);
    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, pWindow_);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { saveNewPreset(); });
    connect(buttons, &QDialogButtonBox::rejected, pWindow_, [this] { pWindow_->done(0); });
    layout->addWidget(buttons);
}

void DocumentWindowController::showNewPresetWindow() {
    ensurePresetSheet();
    if (currentPreset_)
        presetName_->setText(
            QString::fromStdString((*currentPreset_)["displayName"].stringValue()));
    for (size_t i = 0; i < checkBoxes_.size(); ++i) {
        bool on = true;
        if (currentPreset_) {
            on = false;
            for (const char* key : presetGroups()[i].second)
                on = on || currentPreset_->contains(key);
        }
        checkBoxes_[i]->setChecked(on);
    }
    pWindow_->open();
}

bool DocumentWindowController::saveNewPreset() {
    ensurePresetSheet();
    const QString name = presetName_->text();
    if (name.isEmpty()) {
        platform::AlertPresenter::presentError(quorvexError(kQuorvexErrorPresetName), pWindow_);
        return false;
    }
    platform::Dictionary preset{{"displayName", platform::Value(name.toStdString())}};
    const platform::Dictionary settings = document_->getSettingsDictionary();
    for (size_t i = 0; i < checkBoxes_.size(); ++i) {
        if (!checkBoxes_[i]->isChecked()) continue;
        for (const char* key : presetGroups()[i].second)
            if (const platform::Value* v = settings.find(key)) preset.set(key, *v);
    }
    platform::Error error;
    error.code = 0;
    PresetManager::sharedPresetManager().addPreset(preset, &error);
    currentPreset_ = preset;
    if (error.code != 0) platform::AlertPresenter::presentError(error, window_);
    pWindow_->done(0);
    return true;
}

// ---------------------------------------------------------------- readout

void DocumentWindowController::pixelTick() {
    if (windowHasClosed_) return;
    if (mImageView->getDrawInProgress() || engineRunning_) {
        if (progressCounter_ == 0 || progressCounter_ < 0) mProgress->show();
        progressCounter_ = 15;
    } else if (progressCounter_ == 0) {
        mProgress->hide();
        progressCounter_ = -1;
    } else if (progressCounter_ > 0) {
        --progressCounter_;
    }

    std::optional<QString> text;
    const QPointF location = mImageView->getPixelUnrotatedLocation();
    if (location != pixelLocation_) {
        if (location.x() >= 0) {
            // An export holds the document's lock for its whole render: keep
            // the text and ask again on the next tick rather than wait.
            if (auto value =
                    document_->tryPixelValueString(platform::Point{location.x(), location.y()})) {
                pixelLocation_ = location;
                text = QString::fromStdString(*value);
                zoomFactor_ = -1;
            }
        } else {
            pixelLocation_ = location;
        }
    }
    const float scale = mImageView->pixelScaleFactor();
    if (pixelLocation_.x() < 0 && scale > 0.01f && scale != zoomFactor_) {
        zoomFactor_ = scale;
        text = QString::asprintf("Zoom: %0.0f%%", double(scale) * 100.0);
    }
    if (text) mPixelValues->setText(*text);
}

// ---------------------------------------------------------------- notifications

void DocumentWindowController::EngineDidStart() {
    mProgress->show();
    progressCounter_ = 15;
    engineRunning_ = true;
}

void DocumentWindowController::redisplay() {
    pixelLocation_ = QPointF(-1, -1);
    if (windowHasClosed_) return;
    mImageView->show();
    mImageView->setImage(document_->outputImage(), document_->getOrientation(), 0);
}

void DocumentWindowController::NewProcessedImage() {
    engineRunning_ = false;
    pixelLocation_ = QPointF(-1, -1);
    if (windowHasClosed_) return;
    if (openProgress_->isAnimating() || openProgress_->isVisible()) {
        openProgress_->actuallyStopAnimation();
        openProgress_->hide();
        mImageView->show();
        if (auto* layout = mImageView->parentWidget()->layout()) layout->activate();
    }
    if (!mImageView->setImage(document_->outputImage(), document_->getOrientation(), 0)) {
        if (!imageFailureShown_) {
            imageFailureShown_ = true;
            platform::Alert alert;
            alert.messageText = QStringLiteral("Fatal error");
            alert.informativeText = QStringLiteral(
                "Quorvex was not able to allocate sufficient graphics memory to display the "
                "image.");
            alert.buttons = {QStringLiteral("Ok")};
            alert.critical = true;
            platform::AlertPresenter::current().present(alert, window_, nullptr);
        }
    } else {
        imageFailureShown_ = false;
    }
    // The thumbnail is rendered by the engine: off the GUI thread.
    auto stage = document_->outputImage();
    if (!stage) return;
    QPointer<CIImageView> histogram(histogramView_);
    QueueEngine::sharedQueueEngine().sharedQueue()->async([stage, histogram] {
        auto thumbnail = stage->getThumbnail(true);
        if (!thumbnail) return;
        platform::DispatchQueue::main()->async([histogram, thumbnail] {
            if (histogram) histogram->setImage(thumbnail);
        });
    });
}

void DocumentWindowController::UpdatedImage() { redisplay(); }

void DocumentWindowController::windowDidBecomeMain() {
    DocumentController::sharedDocumentController().setLastDocumentShown(document_);
    platform::NotificationCenter::defaultCenter().post(
        "TARNWisp_DocumentChange", std::shared_ptr<void>(std::shared_ptr<void>(), this));
}

void DocumentWindowController::windowWillClose() {
    if (windowHasClosed_) return;
    windowHasClosed_ = true;
    mImageView->setEyeDropperDelegate(nullptr);
    mImageView->setCursorTrackingMode(0);
    openProgress_->actuallyStopAnimation();
    openProgress_->hide();
    pixelTimer_->stop();
    mImageView->doneWithView();
    const QByteArray frame = window_->saveGeometry();
    platform::UserDefaults::standard().setData(platform::Value::Data(frame.begin(), frame.end()),
                                               kFrameKey);
    window_->detach();
    // The document goes with its window; its edits are in the catalog.
    MyDocument::Ptr document = document_;
    document->removeWindowController(adapter_);
    document->close();
    DocumentController::sharedDocumentController().removeDocument(document);
    registry().erase(document.get());
}

void DocumentWindowController::performClose() {
    if (windowHasClosed_ || !window_) return;
    // A decode failure closes the window: say why first.
    if (auto engine = document_->displayEngine())
        if (auto wrapper = engine->rawFileWrapper())
            if (auto error = wrapper->error())
                platform::AlertPresenter::presentError(*error, nullptr);
    window_->close();
}
