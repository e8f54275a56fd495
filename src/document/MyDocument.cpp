#include "document/MyDocument.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <system_error>

#include "color/ColorSyncProfileWrap.h"
#include "color/DNGCameraProfileAbstract.h"
#include "color/SettingsKeys.h"
#include "document/PendingEdits.h"
#include "document/PresetManager.h"
#include "document/QuorvexErrors.h"
#include "document/RawFileSearch.h"
#include "document/SettingRanges.h"
#include "engine/MultiDataStore.h"
#include "engine/RawCombineTiledEngine.h"
#include "platform/AsciiCase.h"
#include "platform/Dispatch.h"
#include "platform/FileLock.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "platform/UserWarning.h"
#include "platform/Version.h"
#include "raw/rawWrapper.h"

namespace {

using platform::Dictionary;
using platform::Value;

// Status-code domain of the platform's document layer ("unimplemented").
constexpr const char* kStatusDomain = "OSStatusErrorDomain";

bool startsWith(const std::string& s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool isSettingsKey(const std::string& key) {
    return startsWith(key, SettingsKeys::kPrefix) || startsWith(key, "TARNWisp_");
}

}  // namespace

const std::vector<std::string>& MyDocument::observedSettingsKeys() {
    static const std::vector<std::string> keys = {SettingsKeys::kIccProfile,
                                                  SettingsKeys::kCameraProfile,
                                                  SettingsKeys::kSceneReferred,
                                                  SettingsKeys::kMaintainWhites,
                                                  SettingsKeys::kMonochromeSensor,
                                                  SettingsKeys::kArtifactSuppression,
                                                  SettingsKeys::kChromaArtifactSuppression,
                                                  SettingsKeys::kEttrAdjust,
                                                  SettingsKeys::kToneCurveAdjust,
                                                  SettingsKeys::kArtifactFilter};
    return keys;
}

Dictionary MyDocument::defaultSettings() {
    Dictionary d;
    d.set(SettingsKeys::kInputRadius, Value(0.8f));
    d.set(SettingsKeys::kInputIntensity, Value(1.0f));
    d.set(SettingsKeys::kInputEV, Value(0.0f));
    d.set(SettingsKeys::kInputContrast, Value(0.0f));
    d.set(SettingsKeys::kInputBrightness, Value(0.0f));
    d.set(SettingsKeys::kInputFillLight, Value(0.0f));
    d.set(SettingsKeys::kInputHighLight, Value(0.0f));
    d.set(SettingsKeys::kInputKneeHigh, Value(3.5f));
    d.set(SettingsKeys::kInputKneeLow, Value(0.0f));
    d.set(SettingsKeys::kInputSaturation, Value(1.0f));
    d.set(SettingsKeys::kInputAngle, Value(0.0f));
    for (const char* k : {SettingsKeys::kMonochromeRed, SettingsKeys::kMonochromeYellow,
                          SettingsKeys::kMonochromeGreen, SettingsKeys::kMonochromeCyan,
                          SettingsKeys::kMonochromeBlue})
        d.set(k, Value(1.0f));
    d.set(SettingsKeys::kCameraProfile, Value(DNGCameraProfileAbstract::initAsAutoProfile()));
    d.set(SettingsKeys::kIccProfile, Value(ColorSyncProfileWrap::initAsAutoProfile()));
    d.set(SettingsKeys::kMaintainWhites, Value(true));
    d.set(SettingsKeys::kMonochromeSensor, Value(false));
    d.set(SettingsKeys::kIRUVSensor, Value(false));
    d.set(SettingsKeys::kArtifactSuppression, Value(1.0f));
    d.set(SettingsKeys::kChromaArtifactSuppression, Value(1.0f));
    d.set(SettingsKeys::kEttrAdjust, Value(0.0f));
    d.set(SettingsKeys::kToneCurveAdjust, Value(1.0f));
    d.set(SettingsKeys::kArtifactFilter, Value(0.0f));
    d.set(SettingsKeys::kExportFileType, Value(0));
    d.set(SettingsKeys::kJPEGQuality, Value(10.0f));
    return d;
}

std::string MyDocument::applicationNameAndVersion() { return platform::kProgramNameAndVersion; }

MyDocument::MyDocument() {
    imageDefaults_ = defaultSettings();
    imageParameters_ = imageDefaults_;
    imageParameters_.set(SettingsKeys::kUseAsShotWB, Value(true));
}

MyDocument::Ptr MyDocument::init() { return Ptr(new MyDocument()); }

MyDocument::~MyDocument() {
    ThreadedImageEngine::Ptr engine;
    {
        std::lock_guard lock(mutex_);
        engine = std::move(displayEngine_);
    }
    if (engine) engine->setDelegate({});
}

// ---------------------------------------------------------------- reading

bool MyDocument::findRawFile(const std::filesystem::path& editedFile,
                             std::filesystem::path* rawFile, platform::Error* error) {
    std::optional<std::filesystem::path> folder = RawFileSearch::rawSearch();
    {
        std::lock_guard lock(mutex_);
        secureBookmark_ = folder;
        // One search per document: a second edited file cannot retarget it.
        if (folder && extArray_) {
            if (error)
                *error = quorvexError(kQuorvexErrorRawNameSuffix, editedFile.stem().string());
            return false;
        }
        if (folder) extArray_ = RawFileSearch::extensionPriorityTable();
    }
    std::optional<std::filesystem::path> hit =
        RawFileSearch::findRawFileForEditedFile(editedFile, folder, error);
    if (!hit) return false;
    {
        std::lock_guard lock(mutex_);
        extEditorURL_ = editedFile;
    }
    *rawFile = *hit;
    return true;
}

bool MyDocument::readFromURL(const std::string& url, platform::Error* error) {
    platform::log("%s - %s file open: %s", applicationNameAndVersion().c_str(), "readFromURL",
                  url.c_str());
    std::string pathText = url;
    const auto scheme = url.find("://");
    if (scheme != std::string::npos) {
        if (!platform::equalsIgnoringAsciiCase(std::string_view(url).substr(0, scheme), "file")) {
            if (error) *error = quorvexError(kQuorvexErrorNotFileURL);
            return false;
        }
        pathText = url.substr(scheme + 3);
    }
    if (pathText.empty()) {
        if (error) *error = quorvexError(kQuorvexErrorNoPath);
        return false;
    }
    std::filesystem::path path(pathText);
    if (RawFileSearch::isExternalEditorFile(path)) {
        std::filesystem::path raw;
        if (!findRawFile(path, &raw, error)) return false;
        path = raw;
    }
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        if (error) *error = quorvexError(kQuorvexErrorDirectory);
        return false;
    }
    path = std::filesystem::absolute(path, ec);
    if (ec || path.empty()) {
        if (error) *error = quorvexError(kQuorvexErrorNoPath);
        return false;
    }
    // A pipe, device or socket would block or never end the decoder's read.
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (error) {
            *error = quorvexError(kQuorvexErrorNoPath);
            error->failureReason += " " + path.string() + " is not a regular file.";
        }
        return false;
    }
    // Photo CD packs give the browser its pictures; no document edits them.
    if (platform::lowercaseExtension(path) == "pcd") {
        if (error) *error = quorvexError(kQuorvexErrorPhotoCDNotEditable);
        return false;
    }
    const std::string uuid = path.string();
    setValueForKey(Value(uuid), SettingsKeys::kUUID);

    const rawWrapper::Ptr source = rawWrapper::initWithFile(uuid, uuid, false);
    renderedSource_ = source && source->holdsRenderedPicture();
    ImageWrapper::Ptr wrapper = source;

    ThreadedImageEngine::Ptr oldEngine;
    {
        std::lock_guard lock(mutex_);
        oldEngine = std::move(displayEngine_);
    }
    if (oldEngine) oldEngine->setDelegate({});

    std::optional<Dictionary> saved;
    auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore(kCatalogStoreName);
    if (catalog) {
        std::string unreadable;
        bool onlyThisEntry = false;
        std::optional<Dictionary> entry =
            catalog->getItemForUUID(uuid, &unreadable, &onlyThisEntry);
        if (entry) {
            std::lock_guard lock(mutex_);
            catalogMark_ = PendingEdits::savedAt(*entry);
        }
        // Edits kept when the program last had to end, not yet in the
        // catalog, are newer than its entry: the person made them last.
        std::string source;
        if (auto kept = PendingEdits::newerThan(uuid, entry)) {
            entry = std::move(kept);
            source = "the edits kept when Quorvex last ended";
            platform::log("%s opens with %s", uuid.c_str(), source.c_str());
        } else if (entry) {
            const auto file = catalog->storeFilePath();
            source = "the catalog \"" + (file ? file->string() : kCatalogStoreName) + "\"";
        }
        if (entry) entry->remove(PendingEdits::kSavedAtKey);
        if (entry && !entry->empty()) {
            saved = MultiDataStore::sharedMultiDataStore().deserializeFromPList(*entry);
            SettingRanges::checkSettings(*saved,
                                         source + " for \"" + path.filename().string() + "\"");
        }
        if (!unreadable.empty()) {
            const auto file = catalog->storeFilePath();
            const std::string catalogName = file ? file->string() : kCatalogStoreName;
            const std::string name = path.filename().string();
            platform::warnUser(
                onlyThisEntry
                    ? "The saved settings of \"" + name + "\" in the catalog \"" + catalogName +
                          "\" cannot be read (" + unreadable + "); \"" + name +
                          "\" opens with the \"Default\" preset, and the entry is kept as it is."
                    : "The catalog \"" + catalogName + "\" cannot be read (" + unreadable +
                          "); \"" + name +
                          "\" opens without its saved settings, with the \"Default\" preset.");
        }
    }
    const bool fromCatalog = saved && !saved->empty();
    if (!fromCatalog) saved = PresetManager::sharedPresetManager().presetNamed(kDefaultPresetName);
    mergeSettings(saved, !fromCatalog);
    {
        std::lock_guard lock(mutex_);
        fileURL_ = path;
        displayName_ = path.filename().string();
    }
    if (!wrapper) {
        if (error) *error = quorvexError(kQuorvexErrorNoDecoder);
        return false;
    }
    auto engine = ThreadedImageEngine::initWithRawImage(wrapper, false);
    if (!engine) {
        if (error) *error = quorvexError(kQuorvexErrorNoDecoder);
        return false;
    }
    // The settings merged above came before the engine: it starts from them,
    // shown or not.
    engine->setImageParameters(getSettingsDictionary());
    std::lock_guard lock(mutex_);
    displayEngine_ = std::move(engine);
    return true;
}

// ---------------------------------------------------------------- key routing

void MyDocument::storeSetting(const std::string& key, const Value& value) {
    std::vector<SettingsObserver> toCall;
    bool markDirty = false;
    {
        std::lock_guard lock(mutex_);
        imageParameters_.set(key, value);
        for (const auto& [token, entry] : observers_)
            if (entry.first == key) toCall.push_back(entry.second);
        if (observingSettings_) {
            const auto& keys = observedSettingsKeys();
            markDirty = std::find(keys.begin(), keys.end(), key) != keys.end();
        }
    }
    for (auto& observer : toCall) observer(key, value);
    if (markDirty) markAdjustedImageDirty({key});
}

void MyDocument::removeSetting(const std::string& key) {
    std::lock_guard lock(mutex_);
    imageParameters_.remove(key);
}

Value MyDocument::valueForKey(const std::string& key) const {
    if (startsWith(key, SettingsKeys::kMetaData)) {
        auto engine = displayEngine();
        if (!engine) return {};
        auto wrapper = engine->rawFileWrapper();
        if (!wrapper) return {};
        auto meta = wrapper->metaData();
        return meta ? Value(*meta) : Value();
    }
    if (isSettingsKey(key)) {
        std::lock_guard lock(mutex_);
        const Value* v = imageParameters_.find(key);
        return v ? *v : Value();
    }
    if (key == "displayName") return Value(displayName());
    return {};
}

void MyDocument::setValueForKey(const Value& value, const std::string& key) {
    if (startsWith(key, SettingsKeys::kMetaData)) return;  // read-only
    if (!isSettingsKey(key)) return;
    if (value.isNull())
        platform::log("ERROR : NULL value in %s : %s\n", "setValueForKey", key.c_str());
    storeSetting(key, value);
    if (startsWith(key, SettingsKeys::kFilterPrefix)) markAdjustedImageDirty({key});
}

uint64_t MyDocument::addObserver(const std::string& key, SettingsObserver observer) {
    std::lock_guard lock(mutex_);
    const uint64_t token = nextObserverToken_++;
    observers_.emplace(token, std::make_pair(key, std::move(observer)));
    return token;
}

void MyDocument::removeObserver(uint64_t token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

Dictionary MyDocument::getSettingsDictionary() const {
    std::lock_guard lock(mutex_);
    return imageParameters_;
}

Dictionary MyDocument::imageDefaults() const {
    std::lock_guard lock(mutex_);
    return imageDefaults_;
}

std::optional<Dictionary> MyDocument::getCameraParameters() const {
    auto engine = displayEngine();
    if (!engine) return std::nullopt;
    return engine->cameraParameters();
}

void MyDocument::addSettingValues(const std::optional<Dictionary>& values) {
    mergeSettings(values, true);
}

void MyDocument::mergeSettings(const std::optional<Dictionary>& values, bool preset) {
    if (!values) return;
    std::vector<std::string> changed;
    for (auto [key, value] : *values) {
        // The picture holds its tone and sharpening already: a preset made
        // for camera data would put them on a second time.
        if (preset && renderedSource_) {
            if (key == SettingsKeys::kSceneReferred) value = Value(false);
            if (key == SettingsKeys::kInputIntensity) value = Value(0.0f);
        }
        if (value.isDictionary()) {
            std::lock_guard lock(mutex_);
            Value* held = imageParameters_.find(key);
            if (held && held->isDictionary()) {
                for (const auto& [k, v] : value.dictionary()) held->dictionary().set(k, v);
            } else {
                imageParameters_.set(key, value);
            }
            continue;
        }
        storeSetting(key, value);
        if (platform::equalsIgnoringAsciiCase(key, SettingsKeys::kInputTemperature))
            removeSetting(SettingsKeys::kUseAsShotWB);
        changed.push_back(key);
    }
    if (!changed.empty()) markAdjustedImageDirty(changed);
}

void MyDocument::setToDefault(const std::string& key) {
    std::optional<Value> value;
    {
        std::lock_guard lock(mutex_);
        if (const Value* v = imageDefaults_.find(key)) value = *v;
    }
    if (!value) return;
    storeSetting(key, *value);
    markAdjustedImageDirty({key});
}

platform::Rect MyDocument::activeArea() const {
    platform::Rect area = platform::Rect::null();
    for (const auto& controller : windowControllers()) {
        const platform::Rect r = controller->activeTiledRect();
        if (!r.isNull() && r.x >= 0 && r.y >= 0 && r.width >= 0 && r.height >= 0) area = r;
    }
    return area;
}

void MyDocument::markAdjustedImageDirty(const std::vector<std::string>& keys) {
    auto engine = displayEngine();
    if (!engine) return;
    // Nothing shows a document that was never shown: its next run is its
    // export's, which then does the work once and can let each stage's
    // buffers go as it goes (a batch's preset must not cost a run of its own).
    if (!shownForDisplay_) {
        engine->takeSettingsChange(keys, getSettingsDictionary());
        return;
    }
    engine->invalidateImageStage(keys, getSettingsDictionary(), activeArea());
}

void MyDocument::documentIsForDisplay(bool forDisplay) {
    if (!forDisplay) return;
    auto engine = displayEngine();
    if (!engine) return;
    shownForDisplay_ = true;
    engine->setDelegate(weak_from_this());
    engine->configureRenderingSpaceForType(std::nullopt, false);
    engine->invalidateImageStage(std::nullopt, getSettingsDictionary(), platform::Rect::null());
}

// ---------------------------------------------------------------- windows

void MyDocument::addWindowController(
    const std::shared_ptr<MyDocumentWindowController>& controller) {
    std::lock_guard lock(mutex_);
    observingSettings_ = true;
    windowControllers_.push_back(controller);
}

void MyDocument::removeWindowController(
    const std::shared_ptr<MyDocumentWindowController>& controller) {
    std::lock_guard lock(mutex_);
    std::erase_if(windowControllers_, [&](const auto& weak) {
        auto c = weak.lock();
        return !c || c == controller;
    });
}

std::vector<std::shared_ptr<MyDocumentWindowController>> MyDocument::windowControllers() const {
    std::vector<std::shared_ptr<MyDocumentWindowController>> out;
    std::lock_guard lock(mutex_);
    for (const auto& weak : windowControllers_)
        if (auto c = weak.lock()) out.push_back(std::move(c));
    return out;
}

// ---------------------------------------------------------------- white balance

void MyDocument::setWBFromColor(ColorHelper& color) {
    color.setFTemperature(std::clamp(color.fTemperature(), 1000.0f, 14000.0f));
    color.setFTint(std::clamp(color.fTint(), -150.0f, 150.0f));
    for (const auto& controller : windowControllers())
        controller->setTempAndTint(color.fTemperature(), color.fTint());
    storeSetting(SettingsKeys::kInputTemperature, Value(color.fTemperature()));
    storeSetting(SettingsKeys::kInputTint, Value(color.fTint()));
}

std::optional<ColorHelper> MyDocument::wbFromMetaData() const {
    auto engine = displayEngine();
    if (!engine) return std::nullopt;
    auto wrapper = engine->rawFileWrapper();
    if (!wrapper) return std::nullopt;
    const Dictionary params = wrapper->getParameters();
    const Value* x = params.find("asShotWhitex");
    const Value* y = params.find("asShotWhitey");
    if (!x || !y || !x->isNumber() || !y->isNumber()) return std::nullopt;
    if (x->realValue() <= 0 || y->realValue() <= 0) return std::nullopt;
    ColorHelper color;
    color.setFromxyCoord(x->floatValue(), y->floatValue());
    return color;
}

void MyDocument::setWBToAsShotFromImageParameters() {
    if (auto color = wbFromMetaData()) setWBFromColor(*color);
}

void MyDocument::setWBAsShot() {
    setWBToAsShotFromImageParameters();
    markAdjustedImageDirty({SettingsKeys::kInputTemperature});
}

void MyDocument::setWBFromPoint(platform::Point point) {
    auto engine = displayEngine();
    if (!engine) return;
    auto wrapper = engine->rawFileWrapper();
    if (!wrapper) return;
    const Dictionary params = wrapper->getParameters();
    const Value* x = params.find("asShotWhitex");
    const Value* y = params.find("asShotWhitey");
    if (!x || !y || !x->isNumber() || !y->isNumber()) return;
    auto stage = engine->demosaicedImage();
    double values[4] = {0, 0, 0, 0};
    if (!stage ||
        !stage->getPixelValues(static_cast<int>(point.x), static_cast<int>(point.y), 5, values)) {
        platform::log("%s Warning: getPixelValues failed for %f %f", "setWBFromPoint", point.x,
                      point.y);
        return;
    }
    float d50[2];
    ColorHelper::D50_xy_coord(d50);
    const float asShot[2] = {x->floatValue(), y->floatValue()};
    float whiteMatrix[3][3];
    ColorHelper::MapWhiteMatrix(d50, asShot, whiteMatrix);
    float xyz[3];
    ColorHelper::ProPhotoRGBtoXYZ(static_cast<float>(values[0]), static_cast<float>(values[1]),
                                  static_cast<float>(values[2]), xyz);
    float mapped[3];
    for (int r = 0; r < 3; ++r)
        mapped[r] =
            whiteMatrix[r][0] * xyz[0] + whiteMatrix[r][1] * xyz[1] + whiteMatrix[r][2] * xyz[2];
    ColorHelper color;
    color.setFromXYZCoord(mapped);
    setWBFromColor(color);
    markAdjustedImageDirty({SettingsKeys::kInputTemperature});
}

void MyDocument::setSceneReferred(bool sceneReferred) {
    for (const auto& controller : windowControllers()) controller->setSceneReferred(sceneReferred);
    storeSetting(SettingsKeys::kSceneReferred, Value(sceneReferred));
}

// ---------------------------------------------------------------- crop, orientation

void MyDocument::cropRectChanged(const platform::Rect& rect) {
    storeSetting(SettingsKeys::kCropX, Value(static_cast<float>(rect.x)));
    storeSetting(SettingsKeys::kCropY, Value(static_cast<float>(rect.y)));
    storeSetting(SettingsKeys::kCropWidth, Value(static_cast<float>(rect.width)));
    storeSetting(SettingsKeys::kCropHeight, Value(static_cast<float>(rect.height)));
}

platform::Rect MyDocument::getCropRect() const {
    const platform::Rect none{-1, -1, -1, -1};
    std::lock_guard lock(mutex_);
    const Value* w = imageParameters_.find(SettingsKeys::kCropWidth);
    const Value* h = imageParameters_.find(SettingsKeys::kCropHeight);
    if (!w || !h || !w->isNumber() || !h->isNumber()) return none;
    if (w->realValue() < 16 || h->realValue() < 16) return none;
    const Value* x = imageParameters_.find(SettingsKeys::kCropX);
    const Value* y = imageParameters_.find(SettingsKeys::kCropY);
    return {x && x->isNumber() ? x->realValue() : -1.0, y && y->isNumber() ? y->realValue() : -1.0,
            w->realValue(), h->realValue()};
}

void MyDocument::orientationChanged(int orientation) {
    storeSetting(SettingsKeys::kImageOrientation, Value(static_cast<float>(orientation)));
}

int MyDocument::getOrientation() const {
    std::lock_guard lock(mutex_);
    const Value* v = imageParameters_.find(SettingsKeys::kImageOrientation);
    if (!v || !v->isNumber()) return 1;
    return static_cast<int>(v->integerValue());
}

// ---------------------------------------------------------------- readout

namespace {

std::string readoutText(const double values[4]) {
    double out[3];
    for (int i = 0; i < 3; ++i) {
        const double v = values[i];
        double s;
        if (v <= 0)
            s = 0;
        else if (v <= 0.0031308)
            s = 12.92 * v;
        else
            s = 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
        out[i] = s * 100.0;
    }
    char text[64];
    std::snprintf(text, sizeof text, "R:%5.1f, G:%5.1f, B:%5.1f", out[0], out[1], out[2]);
    return text;
}

}  // namespace

std::string MyDocument::pixelValueString(platform::Point point) {
    auto engine = displayEngine();
    double values[4] = {0, 0, 0, 0};
    bool ok = false;
    if (engine) {
        std::lock_guard lock(exportLock_);
        ok = engine->getPixelValues(static_cast<int>(point.x), static_cast<int>(point.y), values);
    }
    return ok ? readoutText(values) : "-";
}

std::optional<std::string> MyDocument::tryPixelValueString(platform::Point point) {
    auto engine = displayEngine();
    double values[4] = {0, 0, 0, 0};
    bool ok = false;
    if (engine) {
        std::unique_lock lock(exportLock_, std::try_to_lock);
        if (!lock.owns_lock()) return std::nullopt;
        ok = engine->getPixelValues(static_cast<int>(point.x), static_cast<int>(point.y), values);
    }
    return ok ? readoutText(values) : "-";
}

// ---------------------------------------------------------------- accessors

ThreadedImageEngine::Ptr MyDocument::displayEngine() const {
    std::lock_guard lock(mutex_);
    return displayEngine_;
}

std::shared_ptr<RawCombineTiledEngine> MyDocument::originalImage() const {
    auto engine = displayEngine();
    return engine ? engine->demosaicedImage() : nullptr;
}

TiledEngine::Ptr MyDocument::outputImage() const {
    auto engine = displayEngine();
    return engine ? engine->outputImage() : nullptr;
}

bool MyDocument::openedFromExternal() const {
    std::lock_guard lock(mutex_);
    return extEditorURL_.has_value();
}

std::optional<std::filesystem::path> MyDocument::extEditorURL() const {
    std::lock_guard lock(mutex_);
    return extEditorURL_;
}

std::filesystem::path MyDocument::fileURL() const {
    std::lock_guard lock(mutex_);
    return fileURL_;
}

std::string MyDocument::displayName() const {
    std::lock_guard lock(mutex_);
    return displayName_;
}

bool MyDocument::dataOfType(platform::Error* error) const {
    return platform::setError(error, kStatusDomain, -4, "The document has no data form.");
}

// ---------------------------------------------------------------- closing

void MyDocument::close() {
    if (closed_.exchange(true)) return;
    ThreadedImageEngine::Ptr engine;
    Dictionary settings;
    {
        std::lock_guard lock(mutex_);
        engine = std::move(displayEngine_);
        settings = imageParameters_;
        windowControllers_.clear();
        observingSettings_ = false;
    }
    // A shown document keeps its edits even when an export holds the engine
    // detached at this moment; edits it cannot keep are not lost unsaid.
    platform::Error error;
    if (shownForDisplay_ && !discardSettings_ && !writeCatalogEntry(settings, &error)) {
        // Nothing else holds them once the document is gone.
        if (settings.contains(SettingsKeys::kUUID) && keepPending(settings, nullptr))
            platform::warnUser(error.failureReason +
                               " They are kept with the edits Quorvex puts in the catalog once "
                               "it can take them.");
        else
            platform::warnUser(error.failureReason);
    }
    if (engine) engine->setDelegate({});
}

bool MyDocument::saveSettingsToCatalog(platform::Error* error) {
    if (closed_ || !shownForDisplay_ || discardSettings_) return true;
    Dictionary settings;
    {
        std::lock_guard lock(mutex_);
        settings = imageParameters_;
    }
    return writeCatalogEntry(settings, error);
}

bool MyDocument::keepSettingsPending(platform::Error* error) {
    if (closed_ || !shownForDisplay_ || discardSettings_) return true;
    Dictionary settings;
    {
        std::lock_guard lock(mutex_);
        settings = imageParameters_;
        if (!settings.contains(SettingsKeys::kUUID) || savedSettings_ == settings) return true;
    }
    return keepPending(settings, error);
}

bool MyDocument::keepPending(const Dictionary& settings, platform::Error* error) {
    std::optional<double> mark;
    {
        std::lock_guard lock(mutex_);
        mark = catalogMark_;
    }
    return PendingEdits::keep(MultiDataStore::sharedMultiDataStore().serializeToPList(settings),
                              mark, error);
}

bool MyDocument::writeCatalogEntry(const Dictionary& settings, platform::Error* error) {
    if (!settings.contains(SettingsKeys::kUUID)) return true;
    {
        std::lock_guard lock(mutex_);
        if (savedSettings_ == settings) return true;
    }
    auto& stores = MultiDataStore::sharedMultiDataStore();
    auto catalog = stores.dataStoreForStore(kCatalogStoreName);
    // Named so to another wait of ours behind it.
    const platform::FileLock::Purpose purpose("save of the edits of \"" + displayName() + "\"");
    Dictionary entry = stores.serializeToPList(settings);
    const double mark = PendingEdits::now();
    entry.set(PendingEdits::kSavedAtKey, Value(mark));
    if (catalog && catalog->addItem(entry)) {
        {
            std::lock_guard lock(mutex_);
            savedSettings_ = settings;
            catalogMark_ = mark;
        }
        // Whatever was kept of this photo before is older than this save.
        if (const Value* uuid = settings.find(SettingsKeys::kUUID); uuid && uuid->isString())
            PendingEdits::settle(uuid->string());
        return true;
    }
    const auto file = catalog ? catalog->storeFilePath() : std::nullopt;
    const std::string folder =
        file ? file->parent_path().string()
             : (platform::applicationSupportDirectory(false) / kCatalogStoreName).string();
    const platform::Error why = catalog ? catalog->lastWriteError() : platform::Error{};
    return platform::setError(
        error, platform::PosixErrorDomain, why.code,
        "The settings of \"" + displayName() + "\" cannot be saved in the catalog folder \"" +
            folder + "\" (" + (why.failureReason.empty() ? "no reason given" : why.failureReason) +
            ").");
}

// ---------------------------------------------------------------- engine callbacks

void MyDocument::postNotification(const char* name) {
    platform::NotificationCenter::defaultCenter().post(name, shared_from_this());
}

void MyDocument::CIImageEngineDidStart(ThreadedImageEngine&) {
    std::weak_ptr<MyDocument> weak = weak_from_this();
    platform::DispatchQueue::main()->async([weak] {
        if (auto self = weak.lock()) self->postNotification(kEngineDidStartNotification);
    });
}

void MyDocument::CIImageEngineNewMetaData(ThreadedImageEngine&) {
    std::weak_ptr<MyDocument> weak = weak_from_this();
    platform::DispatchQueue::main()->async([weak] {
        if (auto self = weak.lock()) self->newMetaDataOnMain();
    });
}

void MyDocument::newMetaDataOnMain() {
    auto color = wbFromMetaData();
    if (!color) return;
    std::lock_guard lock(mutex_);
    imageDefaults_.set(SettingsKeys::kInputTemperature, Value(color->fTemperature()));
    imageDefaults_.set(SettingsKeys::kInputTint, Value(color->fTint()));
}

void MyDocument::CIImageEngineDidFinish(ThreadedImageEngine&) {
    std::weak_ptr<MyDocument> weak = weak_from_this();
    platform::DispatchQueue::main()->async([weak] {
        if (auto self = weak.lock()) self->engineDidFinishOnMain();
    });
}

void MyDocument::engineDidFinishOnMain() {
    if (closed_) return;
    auto engine = displayEngine();
    if (!engine) return;
    auto wrapper = engine->rawFileWrapper();
    const auto wrapperError = wrapper ? wrapper->error() : std::nullopt;
    if (wrapperError) {
        platform::log("%s %s", "CIImageEngineDidFinish", wrapperError->description().c_str());
        for (const auto& controller : windowControllers()) controller->performClose();
        return;
    }
    bool hasTemperature, hasSceneReferred;
    {
        std::lock_guard lock(mutex_);
        hasTemperature = imageParameters_.contains(SettingsKeys::kInputTemperature);
        hasSceneReferred = imageParameters_.contains(SettingsKeys::kSceneReferred);
    }
    if (!hasTemperature) setWBToAsShotFromImageParameters();
    if (!hasSceneReferred) setSceneReferred(!(wrapper && wrapper->isOutputReferred()));
    removeSetting(SettingsKeys::kUseAsShotWB);
    postNotification(kNewProcessedImageNotification);
}

void MyDocument::CIImageEngineDidUpdateActiveArea(ThreadedImageEngine&) {
    std::weak_ptr<MyDocument> weak = weak_from_this();
    platform::DispatchQueue::main()->async([weak] {
        auto self = weak.lock();
        if (!self) return;
        auto engine = self->displayEngine();
        auto wrapper = engine ? engine->rawFileWrapper() : nullptr;
        if (wrapper && wrapper->error()) return;
        self->postNotification(kUpdatedImageNotification);
    });
}
