// The document window's layout: the image side with its bar of zoom,
// rotation and mode buttons, the histogram, and the source list of
// adjustment sections whose controls carry their settings keys as names.
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QToolButton>
#include <QTreeWidgetItem>
#include <QVBoxLayout>

#include "color/SettingsKeys.h"
#include "document/SettingRanges.h"
#include "platform/UserDefaults.h"
#include "ui/ApplicationShell.h"
#include "ui/CIImageView.h"
#include "ui/DocumentWindowController.h"
#include "ui/MessageBar.h"
#include "ui/QuorvexOutlineView.h"
#include "ui/SettingControls.h"
#include "ui/SpinningProgressIndicator.h"

void DocumentWindowController::buildWindow() {
    window_->setWindowTitle(QString::fromStdString(document_->displayName()));
    window_->resize(1280, 800);
    restoreFrame();
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
    cropButton_ = button(QStringLiteral("Crop"), QStringLiteral("Crop mode on or off"),
                         [this] { setCursorMode(cursorMode_ == 1 ? 0 : 1); });
    cropButton_->setObjectName(QStringLiteral("cropButton"));
    cropButton_->setCheckable(true);
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
    // Warnings about the file show above the image and controls.
    auto* central = new QWidget(window_);
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->setSpacing(0);
    messageBar_ = new MessageBar(
        QString::fromStdString(document_->valueForKey(SettingsKeys::kUUID).stringValue()), central);
    centralLayout->addWidget(messageBar_);
    centralLayout->addWidget(splitView_, 1);
    window_->setCentralWidget(central);
    buildSections();
}

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr const char* kNoEffectYet = "Stored with the image's settings; has no effect on it yet.";

// A slider's label and range are those every settings file is held to.
DocumentWindowController::SettingSpec slider(const char* key, double displayScale = 1,
                                             const char* inactiveReason = nullptr) {
    const SettingRanges::Range& range = *SettingRanges::settingFor(key);
    return {key, range.label, range.minimum, range.maximum, displayScale, inactiveReason};
}

}  // namespace

const std::vector<std::pair<const char*, std::vector<DocumentWindowController::SettingSpec>>>&
DocumentWindowController::sliderSections() {
    // Hue is stored in radians and shown in degrees.
    static const std::vector<std::pair<const char*, std::vector<SettingSpec>>> sections = {
        {"Processing Options",
         {slider(SettingsKeys::kEttrAdjust), slider(SettingsKeys::kToneCurveAdjust)}},
        {"Demosaic",
         {slider(SettingsKeys::kArtifactSuppression),
          slider(SettingsKeys::kChromaArtifactSuppression), slider(SettingsKeys::kArtifactFilter)}},
        {"Exposure",
         {slider(SettingsKeys::kInputEV), slider(SettingsKeys::kInputContrast),
          slider(SettingsKeys::kInputBrightness), slider(SettingsKeys::kInputFillLight),
          slider(SettingsKeys::kInputHighLight), slider(SettingsKeys::kInputKneeLow),
          slider(SettingsKeys::kInputKneeHigh)}},
        {"Color",
         {slider(SettingsKeys::kInputSaturation), slider(SettingsKeys::kInputAngle, 180 / kPi),
          slider(SettingsKeys::kMonochromeRed, 1, kNoEffectYet),
          slider(SettingsKeys::kMonochromeYellow, 1, kNoEffectYet),
          slider(SettingsKeys::kMonochromeGreen, 1, kNoEffectYet),
          slider(SettingsKeys::kMonochromeCyan, 1, kNoEffectYet),
          slider(SettingsKeys::kMonochromeBlue, 1, kNoEffectYet)}},
        {"White Balance",
         {slider(SettingsKeys::kInputTemperature), slider(SettingsKeys::kInputTint)}},
        {"Sharpening", {slider(SettingsKeys::kInputRadius), slider(SettingsKeys::kInputIntensity)}},
        {"Export", {slider(SettingsKeys::kJPEGQuality)}},
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
    auto* field = new SettingField(spec.minimum, spec.maximum, spec.displayScale,
                                   [this](QObject* control, double v) {
                                       setValueForControl(control, platform::Value(float(v)));
                                   });
    field->setObjectName(key);
    if (spec.inactiveReason) {
        for (QWidget* control : std::initializer_list<QWidget*>{label, slider, field}) {
            control->setEnabled(false);
            control->setToolTip(QString::fromLatin1(spec.inactiveReason));
        }
    }
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
    cameraProfilePopUp_ = new SettingPopUp;
    cameraProfilePopUp_->setObjectName(QString::fromLatin1(SettingsKeys::kCameraProfile));
    grid->addWidget(cameraProfilePopUp_, row++, 1, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("ICC Profile")), row, 0);
    iccProfilePopUp_ = new SettingPopUp;
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
    // The ICC profile is the scanner profile of Photo CD sources: a raw
    // file's rendering never reads it.
    const bool photoCD =
        QFileInfo(QString::fromStdString(document_->valueForKey(SettingsKeys::kUUID).stringValue()))
            .suffix()
            .compare(QLatin1String("pcd"), Qt::CaseInsensitive) == 0;
    if (!photoCD) {
        iccProfilePopUp_->setEnabled(false);
        iccProfilePopUp_->setToolTip(
            QStringLiteral("The scanner profile of Photo CD images; raw files do not use it."));
    }
    const std::tuple<const char*, const char*, const char*> boxes[] = {
        {SettingsKeys::kSceneReferred, "Scene Referred", nullptr},
        {SettingsKeys::kMaintainWhites, "Maintain Saturated Whites", nullptr},
        {SettingsKeys::kMonochromeSensor, "Monochrome Sensor", nullptr},
        {SettingsKeys::kIRUVSensor, "Infrared / Ultraviolet Sensor", kNoEffectYet},
    };
    for (const auto& [key, title, inactiveReason] : boxes) {
        auto* box = new QCheckBox(QString::fromLatin1(title));
        box->setObjectName(QString::fromLatin1(key));
        if (inactiveReason) {
            box->setEnabled(false);
            box->setToolTip(QString::fromLatin1(inactiveReason));
        }
        connect(box, &QCheckBox::toggled, this,
                [this, box](bool on) { setValueForControl(box, platform::Value(on)); });
        grid->addWidget(box, row++, 0, 1, 3);
        bindKey(key);
    }
    return w;
}

QWidget* DocumentWindowController::makeExposure() {
    // The knees act only with "enableCinematic": without it the section
    // leaves them out.
    std::vector<SettingSpec> specs = sliderSections()[2].second;
    // Unset counts as on, as the core stage reads it.
    const auto& defaults = platform::UserDefaults::standard();
    const bool cinematic =
        defaults.objectForKey("enableCinematic").isNull() || defaults.boolForKey("enableCinematic");
    if (!cinematic)
        std::erase_if(specs, [](const SettingSpec& spec) {
            return std::string_view(spec.key) == SettingsKeys::kInputKneeLow ||
                   std::string_view(spec.key) == SettingsKeys::kInputKneeHigh;
        });
    QWidget* section = makeSliderSection(specs);
    section->setProperty("cinematic", cinematic);
    addStepper(section, SettingsKeys::kInputEV);
    return section;
}

void DocumentWindowController::addStepper(QWidget* section, const char* key) {
    // Arrows beside the setting's field: a click is ten of its arrow-key steps.
    auto* grid = static_cast<QGridLayout*>(section->layout());
    auto* field = section->findChild<SettingField*>(QString::fromLatin1(key));
    if (!field) return;
    int row = 0, column = 0, rows = 0, columns = 0;
    grid->getItemPosition(grid->indexOf(field), &row, &column, &rows, &columns);
    auto* stepper = new SettingStepper([field](int direction) { field->stepBy(10.0 * direction); });
    stepper->setObjectName(QStringLiteral("stepper"));
    stepper->setEnabled(true);
    grid->addWidget(stepper, row, column + 1);
    stepper_ = stepper;
}

QWidget* DocumentWindowController::makePresets() {
    auto* w = new QWidget;
    auto* layout = new QHBoxLayout(w);
    layout->setContentsMargins(4, 2, 4, 2);
    presetPopUp_ = new SettingPopUp;
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
    auto* type = new SettingPopUp;
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
        {QStringLiteral("Exposure"), makeExposure()},
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
