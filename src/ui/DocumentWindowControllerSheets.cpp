// The window's two sheets besides export progress: the Photo CD resolution
// report and the new-preset sheet with its setting groups.
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QVBoxLayout>

#include "color/ColorSyncProfileWrap.h"
#include "color/SettingsKeys.h"
#include "document/PresetManager.h"
#include "document/QuorvexErrors.h"
#include "platform/UserDefaults.h"
#include "ui/AlertPresenter.h"
#include "ui/DocumentWindowController.h"

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
    auto store = [this](platform::Dictionary preset) {
        platform::Error error;
        error.code = 0;
        PresetManager::sharedPresetManager().addPreset(preset, &error);
        currentPreset_ = preset;
        selectCurrentPreset();
        if (error.code != 0) platform::AlertPresenter::presentError(error, window_);
        pWindow_->done(0);
    };
    // Saving under an existing name replaces that preset, a factory one too.
    if (!PresetManager::sharedPresetManager().presetNamed(name.toStdString())) {
        store(std::move(preset));
        return true;
    }
    platform::Alert alert;
    alert.messageText = QStringLiteral("A preset named “%1” already exists.").arg(name);
    alert.informativeText =
        QStringLiteral("Replacing it overwrites its settings with these; this cannot be undone.");
    alert.buttons = {QStringLiteral("Cancel"), QStringLiteral("Replace")};
    alert.cancelButton = 0;
    QPointer<DocumentWindowController> self(this);
    platform::AlertPresenter::current().present(
        alert, pWindow_, [self, store, preset = std::move(preset)](int button) {
            if (self && button == 1) store(preset);
        });
    return false;
}
