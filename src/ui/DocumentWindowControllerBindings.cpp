// Bindings between the window's controls and the document's settings: a
// control's edit stores its key's value; the document's observers bring every
// control of the key up to date, signals blocked. Also the profile and preset
// pop-ups' lists.
#include <QCheckBox>
#include <QComboBox>
#include <QSignalBlocker>
#include <algorithm>
#include <cmath>

#include "color/CameraProfileManager.h"
#include "color/ColorSyncProfileWrap.h"
#include "color/SettingsKeys.h"
#include "color/iccProfileManager.h"
#include "document/PresetManager.h"
#include "platform/Dispatch.h"
#include "ui/DocumentWindowController.h"
#include "ui/SettingControls.h"

namespace {

bool isAutoProfile(const platform::Object* o) {
    if (auto* c = dynamic_cast<const DNGCameraProfileAbstract*>(o)) return c->isAutoProfile();
    if (auto* p = dynamic_cast<const ColorSyncProfileWrap*>(o)) return p->isAutoProfile();
    return false;
}

QString profileName(const platform::Object& o) {
    if (auto* c = dynamic_cast<const DNGCameraProfileAbstract*>(&o))
        return QString::fromStdString(c->displayName());
    if (auto* p = dynamic_cast<const ColorSyncProfileWrap*>(&o))
        return QString::fromStdString(p->description());
    return {};
}

}  // namespace

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
    // A change may part the settings from their preset, or bring them back.
    selectCurrentPreset();
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

void DocumentWindowController::profileListChanged() {
    if (windowHasClosed_) return;
    reloadProfileMenus();
    updateControls(SettingsKeys::kCameraProfile,
                   document_->valueForKey(SettingsKeys::kCameraProfile));
    updateControls(SettingsKeys::kIccProfile, document_->valueForKey(SettingsKeys::kIccProfile));
}

void DocumentWindowController::reloadPresetMenu() {
    if (!presetPopUp_) return;
    presetMenu_ = PresetManager::sharedPresetManager().presetListForMenu();
    const QSignalBlocker blocker(presetPopUp_);
    presetPopUp_->clear();
    for (const auto& preset : presetMenu_)
        presetPopUp_->addItem(QString::fromStdString(preset["displayName"].stringValue()));
    selectCurrentPreset();
}

void DocumentWindowController::selectCurrentPreset() {
    if (!presetPopUp_ || !document_) return;
    // By identifier: two presets may carry the same name.
    auto entryOf = [this](const platform::Value& id, const platform::Value& name) {
        for (size_t i = 1; i < presetMenu_.size(); ++i)
            if (id.isString() ? presetMenu_[i][SettingsKeys::kPresetUUID] == id
                              : presetMenu_[i]["displayName"] == name)
                return int(i);
        return 0;
    };
    // The preset last applied or saved here, else the one the document's
    // settings came from (merging a preset stores its identifier with them,
    // and the catalog keeps it); shown while the settings still match it.
    const platform::Dictionary settings = document_->getSettingsDictionary();
    int shown = 0;
    if (currentPreset_)
        shown =
            entryOf((*currentPreset_)[SettingsKeys::kPresetUUID], (*currentPreset_)["displayName"]);
    if (!shown && settings[SettingsKeys::kPresetUUID].isString())
        shown = entryOf(settings[SettingsKeys::kPresetUUID], {});
    if (shown && !presetMatches(presetMenu_[size_t(shown)], settings)) shown = 0;
    const QSignalBlocker blocker(presetPopUp_);
    presetPopUp_->setCurrentIndex(shown);
}

bool DocumentWindowController::presetMatches(const platform::Dictionary& preset,
                                             const platform::Dictionary& settings) {
    for (const auto& [key, value] : preset) {
        if (key == "displayName" || key == SettingsKeys::kPresetUUID) continue;
        const platform::Value* held = settings.find(key);
        if (!held) return false;
        if (value.isNumber() && held->isNumber()) {
            // Presets keep single precision; edits may store doubles.
            const double a = value.realValue(), b = held->realValue();
            if (std::abs(a - b) > 1e-5 * std::max(1.0, std::abs(a))) return false;
        } else if (isAutoProfile(value.object().get()) && isAutoProfile(held->object().get())) {
            continue;  // automatic profiles equal nothing, but stand for each other
        } else if (!(*held == value)) {
            return false;
        }
    }
    return true;
}

void DocumentWindowController::applyPreset(int index) {
    // Entry 0 is the "Select preset...." title.
    if (index <= 0 || size_t(index) >= presetMenu_.size()) return;
    currentPreset_ = presetMenu_[size_t(index)];
    document_->addSettingValues(currentPreset_);
}
