#include "document/SettingRanges.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <set>

#include "color/SettingsKeys.h"
#include "platform/UserWarning.h"

namespace {

using platform::Value;
using Kind = SettingRanges::Kind;
using Range = SettingRanges::Range;

constexpr double kPi = 3.14159265358979323846;

Range real(const char* key, const char* label, double minimum, double maximum,
           std::optional<double> fallback) {
    return {key, label, Kind::Real, minimum, maximum, fallback};
}

Range whole(const char* key, const char* label, double minimum, double maximum,
            std::optional<double> fallback) {
    return {key, label, Kind::Integer, minimum, maximum, fallback};
}

// Text, data and objects.
Range other(const char* key, const char* label, Kind kind) {
    return {key, label, kind, 0, 0, std::nullopt};
}

Range flag(const char* key, const char* label, std::optional<bool> fallback = std::nullopt) {
    return {key, label, Kind::Bool,
            0,   1,     fallback ? std::optional<double>(*fallback ? 1 : 0) : std::nullopt};
}

std::string shortest(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "infinity" : "-infinity";
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    return std::string(text, end);
}

std::string rangeEnd(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// The value as the user would recognise it in the file.
std::string describe(const Value& v) {
    switch (v.type()) {
        case Value::Type::Null:
            return "nothing";
        case Value::Type::Bool:
            return v.boolValue() ? "true" : "false";
        case Value::Type::Integer:
            return std::to_string(v.integerValue());
        case Value::Type::Real:
            return shortest(v.realValue());
        case Value::Type::String: {
            std::string text = v.string().substr(0, 40);
            for (char& c : text)
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
            return "the text \"" + text + (v.string().size() > 40 ? "...\"" : "\"");
        }
        case Value::Type::Data:
            return "data of " + std::to_string(v.data().size()) + " bytes";
        case Value::Type::Date:
            return "a date";
        case Value::Type::Array:
            return "a list";
        case Value::Type::Dictionary:
            return "a dictionary";
        case Value::Type::Object:
            return "an object of the class " + v.object()->className();
    }
    return "an unknown value";
}

const char* whatItMustBe(Kind kind) {
    switch (kind) {
        case Kind::Real:
        case Kind::Integer:
            return "not a number";
        case Kind::Bool:
            return "neither true nor false";
        case Kind::Text:
            return "not text";
        case Kind::Data:
            return "not data";
        case Kind::CameraProfile:
            return "not a camera profile";
        case Kind::IccProfile:
            return "not an ICC profile";
    }
    return "of the wrong type";
}

bool isBoolText(const std::string& s) {
    for (const char* word : {"YES", "NO", "yes", "no", "true", "false", "TRUE", "FALSE", "0", "1"})
        if (s == word) return true;
    return false;
}

bool hasKind(const Value& v, Kind kind) {
    switch (kind) {
        case Kind::Real:
        case Kind::Integer:
            return v.isInteger() || v.isReal();
        case Kind::Bool:
            return v.isBool() ||
                   (v.isInteger() && (v.integerValue() == 0 || v.integerValue() == 1)) ||
                   (v.isString() && isBoolText(v.string()));
        case Kind::Text:
            return v.isString();
        case Kind::Data:
            return v.isData();
        case Kind::CameraProfile:
            return v.isObject() && v.object()->className() == "DNGCameraProfileAbstract";
        case Kind::IccProfile:
            return v.isObject() && v.object()->className() == "ColorSyncProfileWrap";
    }
    return false;
}

Value fallbackValue(const Range& r) {
    if (r.kind == Kind::Bool) return Value(*r.fallback != 0);
    if (r.kind == Kind::Integer) return Value(int64_t(*r.fallback));
    return Value(float(*r.fallback));
}

// A number of the right type: its replacement and what is wrong with it,
// or nothing when it may stay. Settings' reals are single precision, so
// their ends are taken as floats.
std::optional<std::pair<Value, std::string>> mendNumber(const Range& r, double v) {
    const bool single = r.kind == Kind::Real;
    const double lo = single ? double(float(r.minimum)) : r.minimum;
    const double hi = single ? double(float(r.maximum)) : r.maximum;
    const auto make = [&](double x) { return single ? Value(float(x)) : Value(int64_t(x)); };
    const std::string outside =
        "outside its range " + rangeEnd(r.minimum) + " to " + rangeEnd(r.maximum);
    if (v < lo) return std::pair{make(lo), outside};
    if (v > hi) return std::pair{make(hi), outside};
    if (!single && v != std::trunc(v)) return std::pair{make(std::trunc(v)), "not a whole number"};
    return std::nullopt;
}

std::string capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = char(text[0] - 'a' + 'A');
    return text;
}

}  // namespace

const std::vector<Range>& SettingRanges::settings() {
    namespace K = SettingsKeys;
    // Sliders: what the stages take. Exposure and tone around their neutral
    // values (fill light past 2 EV only whitens the shadows it lifts), the
    // post-demosaic filter 0 to 1 (its passes run out at 1), hue in radians,
    // white balance within the document's clamps, mixer weights 0 to 2.
    // Never destroyed, as the table below: a batch or export may read them at exit.
    static const std::vector<Range>& table = *new std::vector<Range>{
        real(K::kEttrAdjust, "ETTR Adjust", 0, 4, 0),
        real(K::kToneCurveAdjust, "Tone Curve", 0, 1, 1),
        real(K::kArtifactSuppression, "Luma Artifacts", 0, 1, 1),
        real(K::kChromaArtifactSuppression, "Chroma Artifacts", 0, 1, 1),
        real(K::kArtifactFilter, "Post Filter", 0, 1, 0),
        real(K::kInputEV, "Exposure", -5, 5, 0),
        real(K::kInputContrast, "Contrast", -1, 1, 0),
        real(K::kInputBrightness, "Brightness", -1, 1, 0),
        real(K::kInputFillLight, "Fill Light", 0, 2, 0),
        real(K::kInputHighLight, "Highlights", -1, 1, 0),
        real(K::kInputKneeLow, "Knee Low", 0, 1, 0),
        real(K::kInputKneeHigh, "Knee High", 0, 10, 3.5),
        real(K::kInputSaturation, "Saturation", 0, 2, 1),
        real(K::kInputAngle, "Hue", -kPi, kPi, 0),
        real(K::kMonochromeRed, "Mono Red", 0, 2, 1),
        real(K::kMonochromeYellow, "Mono Yellow", 0, 2, 1),
        real(K::kMonochromeGreen, "Mono Green", 0, 2, 1),
        real(K::kMonochromeCyan, "Mono Cyan", 0, 2, 1),
        real(K::kMonochromeBlue, "Mono Blue", 0, 2, 1),
        // Without a temperature and tint the file's own white balance is used.
        real(K::kInputTemperature, "Temperature", 1000, 14000, std::nullopt),
        real(K::kInputTint, "Tint", -150, 150, std::nullopt),
        real(K::kInputRadius, "Radius", 0, 5, 0.8),
        real(K::kInputIntensity, "Intensity", 0, 5, 1),
        real(K::kJPEGQuality, "JPEG Quality", 0, 10, 10),
        whole(K::kExportFileType, "File Type", 0, 6, 0),
        // Images are at most 65535 pixels a side; -1 and a missing key mean
        // no crop, a missing orientation upright.
        real(K::kCropX, "Crop left", -1, 65535, std::nullopt),
        real(K::kCropY, "Crop top", -1, 65535, std::nullopt),
        real(K::kCropWidth, "Crop width", -1, 65535, std::nullopt),
        real(K::kCropHeight, "Crop height", -1, 65535, std::nullopt),
        real(K::kImageOrientation, "Orientation", 0, 8, std::nullopt),
        flag(K::kMaintainWhites, "Maintain Saturated Whites", true),
        flag(K::kMonochromeSensor, "Monochrome Sensor", false),
        flag(K::kIRUVSensor, "Infrared / Ultraviolet Sensor", false),
        flag(K::kSceneReferred, "Scene Referred"),
        flag(K::kUseAsShotWB, "As Shot"),
        other(K::kCameraProfile, "Camera Profile", Kind::CameraProfile),
        other(K::kIccProfile, "ICC Profile", Kind::IccProfile),
        other(K::kUUID, "Image", Kind::Text),
        other(K::kPresetUUID, "Preset identifier", Kind::Text),
        other("displayName", "Preset name", Kind::Text),
    };
    return table;
}

const std::vector<Range>& SettingRanges::preferences() {
    // A preference left out falls back to its registered value.
    static const std::vector<Range>& table = *[] {
        std::vector<Range> t = {
            whole("ResolutionSelect", "Photo CD resolution", 0, 5, std::nullopt),
            // 2 and more all mean every file.
            whole("BrowserFileSelect", "Browser file filter", 0, 2, std::nullopt),
            other("imageDirectory", "Last folder shown", Kind::Text),
            other("rawSearchDirectoryBookmark", "Raw search folder", Kind::Data),
            other("imageDirectoryBookmark", "Browser folder", Kind::Data),
            other("exportDirectoryBookmark", "Export folder", Kind::Data),
        };
        for (const char* key :
             {"ShowSplashScreen", "ShowPopoverHelp", "ShowOnlyPCDFiles", "AutomaticColorProfile",
              "UseAdvancedInterpolation", "ShowExternalProfiles", "DisableFrameBuffer",
              "DisableImageCache", "DisableFastScreenUpdates", "enableNewPV",
              "EnableHighQualityDisplay", "SilentlyOverwrite", "enableCinematic",
              "QuorvexIsRunning"})
            t.push_back(flag(key, key));
        return new std::vector<Range>(std::move(t));
    }();
    return table;
}

const Range* SettingRanges::settingFor(std::string_view key) {
    for (const Range& r : settings())
        if (key == r.key) return &r;
    return nullptr;
}

std::vector<std::string> SettingRanges::check(platform::Dictionary& values,
                                              const std::vector<Range>& table,
                                              const std::string& source) {
    std::vector<std::string> told;
    for (const Range& r : table) {
        const Value* v = values.find(r.key);
        if (!v) continue;
        std::optional<Value> replacement;
        std::string problem;
        const bool number = r.kind == Kind::Real || r.kind == Kind::Integer;
        const bool unusable = !hasKind(*v, r.kind) || (number && std::isnan(v->realValue()));
        if (unusable) {
            problem = whatItMustBe(r.kind);
            if (r.fallback) replacement = fallbackValue(r);
        } else if (number) {
            auto mended = mendNumber(r, v->realValue());
            if (!mended) continue;
            replacement = std::move(mended->first);
            problem = std::move(mended->second);
        } else {
            continue;
        }
        // The setting as the window names it; the key only where it has no other name.
        const std::string name = r.key == std::string_view(r.label)
                                     ? "\"" + std::string(r.key) + "\""
                                     : std::string(r.label);
        std::string text =
            capitalised(source) + " sets " + name + " to " + describe(*v) + ", " + problem + "; ";
        if (!replacement) {
            text += "it is ignored.";
            values.remove(r.key);
        } else {
            text += (unusable ? "its default, " + describe(*replacement) + ","
                              : describe(*replacement)) +
                    " is used instead.";
            *values.find(r.key) = std::move(*replacement);
        }
        told.push_back(std::move(text));
    }
    return told;
}

void SettingRanges::checkSettings(platform::Dictionary& values, const std::string& source) {
    static std::mutex mutex;
    static auto* toldBefore = new std::set<std::string>;
    for (const std::string& text : check(values, settings(), source)) {
        {
            std::lock_guard lock(mutex);
            if (!toldBefore->insert(text).second) continue;
        }
        platform::warnUser(text);
    }
}

void SettingRanges::checkPreferences(platform::UserDefaults& defaults) {
    defaults.setValueCheck([](platform::Dictionary& values, const std::filesystem::path& file) {
        return check(values, preferences(), "the preferences file \"" + file.string() + "\"");
    });
}
