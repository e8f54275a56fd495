// Damaged input reaches the user as a named cause, never as a silently wrong
// result: absurd colour and level tags in a DNG, and a damaged camera profile.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <tuple>

#include "color/CameraProfileManager.h"
#include "color/DNGCameraProfileAbstract.h"
#include "color/SettingsKeys.h"
#include "dng/color/CameraProfileTestFile.h"
#include "dng/image/HandMadeDng.h"
#include "document/ApplicationDefaults.h"
#include "document/DocumentTestHome.h"
#include "document/MyDocument.h"
#include "document/PresetManager.h"
#include "document/SettingRanges.h"
#include "engine/MultiDataStore.h"
#include "engine/ThreadedImageEngine.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "platform/UserWarning.h"
#include "raw/rawWrapper.h"
#include "support/JpegFile.h"

namespace {

namespace fs = std::filesystem;
using handdng::Entry;
using platform::Value;

// A 64 x 64 16-bit uncompressed mosaic: a colourful ramp in every direction.
handdng::Layout ChartLayout() {
    handdng::Layout l;
    l.width = l.height = 64;
    l.tileLength = 64;
    l.compression = 1;
    std::vector<uint8_t> data;
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 64; ++x) {
            const uint32_t colour = (y & 1) * 2 + (x & 1);
            const uint32_t v = 2000 + 700 * x + 200 * y + 5000 * colour;
            data.push_back(uint8_t(v));
            data.push_back(uint8_t(v >> 8));
        }
    l.blobs = {data};
    l.blobOf = {0};
    return l;
}

enum class Kind { Rational, SRational, Double };

struct Tag {
    const char* name;
    uint16_t code;
    Kind kind;
    std::vector<double> typical;
    bool zeroIsSound;  // 0 is a value a camera may write
};

std::vector<uint32_t> Encode(Kind kind, const std::vector<double>& values) {
    std::vector<uint32_t> out;
    for (double v : values) {
        if (kind == Kind::Double) {
            uint64_t bits;
            std::memcpy(&bits, &v, 8);
            out.push_back(uint32_t(bits));
            out.push_back(uint32_t(bits >> 32));
            continue;
        }
        // Rationals hold infinities and NaN only as a zero denominator.
        if (!std::isfinite(v)) {
            out.push_back(std::isnan(v) ? 0u : v > 0 ? 1u : uint32_t(-1));
            out.push_back(0);
            continue;
        }
        const double scaled = std::fabs(v) >= 1000 ? v : v * 10000;
        const uint32_t d = std::fabs(v) >= 1000 ? 1 : 10000;
        out.push_back(kind == Kind::SRational ? uint32_t(int32_t(std::lround(scaled)))
                                              : uint32_t(std::llround(scaled)));
        out.push_back(d);
    }
    return out;
}

uint16_t TypeOf(Kind kind) { return kind == Kind::Double ? 12 : kind == Kind::SRational ? 10 : 5; }

struct Outcome {
    bool exported = false;
    bool flat = true;
    std::string error;
    std::vector<std::string> warnings;
};

// Standard deviation of every sample of a JPEG, or -1 when it cannot be read.
double JpegSpread(const fs::path& file) {
    std::vector<uint8_t> rgb;
    uint32_t w = 0, h = 0;
    if (!testsupport::decodeJpegFile(file, rgb, w, h) || rgb.empty()) return -1;
    double sum = 0, sum2 = 0;
    for (uint8_t v : rgb) {
        sum += v;
        sum2 += double(v) * v;
    }
    const double n = double(rgb.size());
    const double mean = sum / n;
    return std::sqrt(std::max(0.0, sum2 / n - mean * mean));
}

// Collects what reaches the user while it lives.
class WarningsSeen {
public:
    WarningsSeen() {
        previous_ = platform::setUserWarningHandler([this](const std::string& w) {
            std::lock_guard lock(mutex_);
            seen_.push_back(w);
        });
    }
    ~WarningsSeen() { platform::setUserWarningHandler(previous_); }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return std::move(seen_);
    }

private:
    std::mutex mutex_;
    std::vector<std::string> seen_;
    platform::UserWarningHandler previous_;
};

Outcome ExportToJpeg(const fs::path& source, const fs::path& jpeg, WarningsSeen& seen) {
    Outcome out;
    platform::Error error;
    auto doc = MyDocument::init();
    if (!doc->readFromURL(source.string(), &error) ||
        !doc->exportToURL(jpeg, "public.jpeg", {-1, -1, -1, -1}, false, &error)) {
        out.error = error.failureReason;
    } else {
        out.exported = true;
        out.flat = !(JpegSpread(jpeg) > 3.0);
    }
    out.warnings = seen.take();
    return out;
}

bool Names(const std::vector<std::string>& texts, const std::string& what) {
    for (const auto& t : texts)
        if (t.find(what) != std::string::npos) return true;
    return false;
}

class DamagedInput : public ::testing::Test {
protected:
    DocumentTestHome home_;
};

TEST_F(DamagedInput, AbsurdColourTagsAreIgnoredWithAWarningOrRefusedNeverRenderedFlat) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> cm = {0.8, -0.2, -0.1, -0.3, 1.2, 0.1, -0.05, 0.2, 0.6};
    const std::vector<double> fm = {0.6, 0.3, 0.1, 0.25, 0.7, 0.05, 0.05, 0.1, 0.7};
    const std::vector<double> id = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const std::vector<Tag> tags = {
        {"BaselineExposure", 50730, Kind::SRational, {0.5}, true},
        {"AsShotNeutral", 50728, Kind::Rational, {0.5, 1, 0.6}, false},
        {"AsShotWhiteXY", 50729, Kind::Rational, {0.3457, 0.3585}, false},
        {"AnalogBalance", 50727, Kind::Rational, {1, 1, 1}, false},
        {"ColorMatrix1", 50721, Kind::Double, cm, false},
        {"ColorMatrix2", 50722, Kind::Double, cm, false},
        {"ForwardMatrix1", 50964, Kind::Double, fm, false},
        {"ForwardMatrix2", 50965, Kind::Double, fm, false},
        {"CameraCalibration1", 50723, Kind::SRational, id, false},
        {"CameraCalibration2", 50724, Kind::SRational, id, false},
        {"BlackLevel", 50714, Kind::Double, {256}, true},
        {"WhiteLevel", 50717, Kind::Double, {60000}, false},
    };
    WarningsSeen seen;
    // The undamaged file renders with no warning.
    const fs::path sound = home_.path() / "sound.dng";
    handdng::Write(sound, handdng::Build(ChartLayout()));
    const Outcome reference = ExportToJpeg(sound, home_.path() / "sound.jpg", seen);
    ASSERT_TRUE(reference.exported) << reference.error;
    EXPECT_FALSE(reference.flat);
    EXPECT_TRUE(reference.warnings.empty());

    platform::LogCapture log;
    int n = 0;
    for (const Tag& tag : tags)
        for (const char* what : {"+inf", "-inf", "NaN", "0", "x1e6"}) {
            SCOPED_TRACE(std::string(tag.name) + " " + what);
            std::vector<double> values = tag.typical;
            for (double& v : values) {
                if (!std::strcmp(what, "+inf")) v = inf;
                if (!std::strcmp(what, "-inf")) v = -inf;
                if (!std::strcmp(what, "NaN")) v = std::nan("");
                if (!std::strcmp(what, "0")) v = 0;
                if (!std::strcmp(what, "x1e6")) v *= 1e6;
            }
            handdng::Layout l = ChartLayout();
            l.extra.push_back(Entry{tag.code, TypeOf(tag.kind), Encode(tag.kind, values)});
            // The second set of matrices needs its illuminant to count.
            if (tag.code == 50722 || tag.code == 50965 || tag.code == 50724)
                l.extra.push_back(Entry{50779, 3, {17}});
            // The white's chromaticity counts only without a neutral.
            if (tag.code == 50729) l.extra.push_back(Entry{50728, 5, {}});
            if (tag.code == 50965) l.extra.push_back(Entry{50722, 12, Encode(Kind::Double, cm)});
            if (tag.code == 50724) l.extra.push_back(Entry{50722, 10, Encode(Kind::SRational, cm)});
            const fs::path source = home_.path() / ("t" + std::to_string(n) + ".dng");
            const fs::path jpeg = home_.path() / ("t" + std::to_string(n++) + ".jpg");
            handdng::Write(source, handdng::Build(l));
            log.clear();
            const Outcome out = ExportToJpeg(source, jpeg, seen);

            if (out.exported) {
                EXPECT_FALSE(out.flat) << "warnings: " << out.warnings.size();
            } else {
                EXPECT_NE(out.error.find(tag.name), std::string::npos) << out.error;
            }
            // A rational holds NaN only as 0/0, which stands for no value.
            const bool unset = !std::strcmp(what, "NaN") && tag.kind != Kind::Double;
            const bool sound = (!std::strcmp(what, "0") && tag.zeroIsSound) || unset;
            EXPECT_TRUE(!unset || log.contains(std::string(tag.name) + " holds 0/0"));
            if (!sound && out.exported) {
                EXPECT_TRUE(Names(out.warnings, tag.name)) << out.warnings.size();
            }
            if (sound) {
                EXPECT_TRUE(out.exported) << out.error;
                EXPECT_TRUE(out.warnings.empty());
            }
        }

    // Each check's boundary: the last sound value passes unremarked, the
    // first beyond it is set aside naming only that tag.
    using Entries = std::vector<Entry>;
    const auto tag = [](uint16_t code, Kind kind) {
        return [=](double v, double v2 = 1, double v3 = 1) {
            const auto values = kind == Kind::Rational ? std::vector{v, v2, v3} : std::vector{v};
            return Entries{{code, TypeOf(kind), Encode(kind, values)}};
        };
    };
    const auto exposure = tag(50730, Kind::SRational), neutral = tag(50728, Kind::Rational),
               black = tag(50714, Kind::Double), white = tag(50717, Kind::Double);
    const auto xy = [](double y) {
        return Entries{{50728, 5, {}}, {50729, 5, Encode(Kind::Rational, {0.5, y})}};
    };
    const auto levels = [&](double b, double w) { return Entries{black(b)[0], white(w)[0]}; };
    const std::vector<std::tuple<Entries, Entries, const char*>> boundaries = {
        {exposure(8), exposure(8.01), "BaselineExposure is 8.01"},
        {neutral(16), neutral(16.01), "AsShotNeutral holds 16.01"},
        {neutral(0.16, 16, 16), neutral(0.1599, 16, 16), "AsShotNeutral spans more than a factor"},
        {xy(0.4999), xy(0.5), "AsShotWhiteXY is (0.5, 0.5)"},
        {white(65535), white(65536), "WhiteLevel is 65536"},
        {white(256), white(255), "WhiteLevel is 255"},
        {black(65534), black(65535), "BlackLevel is 65535"},
        {levels(3999, 4000), levels(4000, 4000), "WhiteLevel is 4000, not above the BlackLevel"},
        // The white is blamed, not the black: dropping it would leave a white of 1.
        {levels(60, 256), levels(60, 1), "WhiteLevel is 1, not above"},
    };
    for (const auto& [sound, beyond, told] : boundaries)
        for (const Entries* entries : {&sound, &beyond}) {
            SCOPED_TRACE(n);
            handdng::Layout l = ChartLayout();
            l.extra = *entries;
            const fs::path source = home_.path() / ("b" + std::to_string(n++) + ".dng");
            handdng::Write(source, handdng::Build(l));
            const auto out = ExportToJpeg(source, fs::path(source).replace_extension("jpg"), seen);
            EXPECT_TRUE(out.exported) << out.error;
            ASSERT_EQ(out.warnings.size(), entries == &beyond ? 1u : 0u);
            EXPECT_TRUE(entries == &sound || Names(out.warnings, std::string(": ") + told));
        }
}

// A camera profile that cannot serve gives way to the built-in one with one
// warning naming the file and its fault: as settings name it, and at decode.
TEST_F(DamagedInput, ADamagedCameraProfileIsNamedAsTheCauseNotTheRawFile) {
    WarningsSeen seen;
    const fs::path dng = home_.path() / "photo.dng";
    handdng::Write(dng, handdng::Build(ChartLayout()));
    const fs::path profiles = CameraProfileManager::profileDirectory();
    const auto npos = std::string::npos;
    const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
    // The last one serves, until its matrix is changed once it is loaded.
    const std::vector<std::tuple<std::string, std::vector<float>, std::string>> files = {
        {"zeros.dcp", std::vector<float>(9, 0.0f), "matrix cannot be inverted"},
        {"nan.dcp", {0.8f, -0.2f, nan, -0.3f, 1.2f, 0.1f, -0.05f, 0.2f, 0.6f}, "matrix holds NaN"},
        {"inf.dcp", {0.8f, -0.2f, -0.1f, -0.3f, 1.2f, 0.1f, -0.05f, 0.2f, inf}, "matrix holds"},
        {"sound.dcp", {0.8f, -0.2f, -0.1f, -0.3f, 1.2f, 0.1f, -0.05f, 0.2f, 0.6f}, ""},
    };
    for (const auto& [name, matrix, problem] : files) {
        SCOPED_TRACE(name);
        cameraprofiletest::ProfileFile file(false);
        file.Float(50721, matrix);
        file.Short(50778, {21});
        file.Ascii(50936, "Damaged");
        const auto bytes = file.Build();
        handdng::Write(profiles / name, std::vector<uint8_t>(bytes.begin(), bytes.end()));
        if (problem.empty()) continue;
        const platform::Dictionary named{{"Class_of_serialized_Object", "DNGCameraProfileAbstract"},
                                         {"FileName", name}};
        EXPECT_TRUE(DNGCameraProfileAbstract::initFromPList(named)->isAutoProfile());
        const auto told = seen.take();
        ASSERT_EQ(told.size(), 1u);
        const std::string why = (profiles / name).string() + "\" cannot be used: its colour ";
        EXPECT_NE(told[0].find(why + problem), npos) << told[0];
    }
    for (const float sign : {0.0f, -1.0f}) {
        SCOPED_TRACE(sign);
        const auto profile = DNGCameraProfileAbstract::initFromFile(profiles / "sound.dcp");
        ASSERT_TRUE(profile);
        for (int i = 0; i < 9; ++i) profile->setcolorMatrix1(i / 3, i % 3, i % 4 ? 0.0f : sign);
        const auto wrapper = rawWrapper::initWithFile(dng.string(), dng.string(), false);
        wrapper->setCameraProfile(profile);
        EXPECT_NE(wrapper->masterImageBytes(), nullptr);
        const auto told = seen.take();
        ASSERT_EQ(told.size(), 1u);
        EXPECT_NE(told[0].find("\"sound.dcp\" cannot be used for \"photo.dng\": its colour"), npos);
        EXPECT_EQ(told[0].find("malformed"), npos) << told[0];
    }
}

TEST_F(DamagedInput, AJpegTooWideIsRefusedBeforeTheImageIsMade) {
    handdng::Layout l;
    l.width = 65535;
    l.height = 16;
    l.tileLength = 16;
    l.compression = 1;
    l.blobs = {std::vector<uint8_t>(size_t(l.width) * l.height * 2, 0x40)};
    l.blobOf = {0};
    const fs::path wide = home_.path() / "wide.dng";
    handdng::Write(wide, handdng::Build(l));
    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(wide.string(), &error));
    EXPECT_FALSE(doc->exportToURL(home_.path() / "wide.jpg", "public.jpeg", {-1, -1, -1, -1}, false,
                                  &error));
    EXPECT_NE(error.failureReason.find("65535 x 16 pixels"), std::string::npos)
        << error.failureReason;
    EXPECT_NE(error.failureReason.find("at most 65500 pixels a side"), std::string::npos);
    // Nothing was decoded for it.
    auto engine = doc->displayEngine();
    ASSERT_TRUE(engine);
    auto raw = std::dynamic_pointer_cast<rawWrapper>(engine->rawFileWrapper());
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->decodeCount(), 0u);
    // A crop inside the limit exports.
    EXPECT_TRUE(
        doc->exportToURL(home_.path() / "part.jpg", "public.jpeg", {0, 0, 1000, 16}, false, &error))
        << error.failureReason;
    doc->close();

    // A size the data cannot hold is damage, not advice to crop or change type.
    l = ChartLayout();
    l.height = l.tileLength = 2147483647;
    const fs::path tall = home_.path() / "tall.dng";
    handdng::Write(tall, handdng::Build(l));
    for (const char* type : {"public.jpeg", "public.tiff", "public.dng", "com.ilm.openexr-image"}) {
        SCOPED_TRACE(type);
        error = {};
        doc = MyDocument::init();
        EXPECT_FALSE(doc->readFromURL(tall.string(), &error) &&
                     doc->exportToURL(home_.path() / "x", type, {-1, -1, -1, -1}, false, &error));
        EXPECT_TRUE(Names({error.failureReason}, "is damaged: it claims 64 x 2147483647"))
            << error.failureReason;
        doc->close();
    }
}

TEST_F(DamagedInput, AnIgnoredCatalogOrCameraProfileIsToldToTheUser) {
    WarningsSeen seen;
    const fs::path dng = home_.path() / "photo.dng";
    handdng::Write(dng, handdng::Build(ChartLayout()));
    auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    ASSERT_TRUE(catalog);
    const fs::path catalogFile = *catalog->storeFilePath();
    std::ofstream(catalogFile) << "<plist><array><dict><key>";
    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(dng.string(), &error)) << error.failureReason;
    const auto told = seen.take();
    EXPECT_TRUE(Names(told, catalogFile.string())) << told.size();
    EXPECT_TRUE(Names(told, "photo.dng"));
    doc->close();

    const fs::path profiles = CameraProfileManager::profileDirectory();
    ASSERT_FALSE(profiles.empty());
    std::ofstream(profiles / "broken.dcp") << "IIRC and nothing more";
    const platform::Dictionary named{{"Class_of_serialized_Object", "DNGCameraProfileAbstract"},
                                     {"FileName", "broken.dcp"}};
    EXPECT_TRUE(DNGCameraProfileAbstract::initFromPList(named)->isAutoProfile());
    EXPECT_TRUE(Names(seen.take(), "broken.dcp\" cannot be used: it is "));
    // Once per state of the file: settings are read often.
    DNGCameraProfileAbstract::initFromPList(named);
    EXPECT_TRUE(seen.take().empty());
}

// Each hostile value is mended (clamped, its default, or left out) with one
// line naming the file, the setting as the window names it (never its inner
// key) and the value, and then passes unremarked; the range's ends pass.
TEST_F(DamagedInput, EveryKnownKeyTakesOnlyValuesOfItsTypeAndRange) {
    using Kind = SettingRanges::Kind;
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    int n = 0;
    for (const auto* table : {&SettingRanges::settings(), &SettingRanges::preferences()})
        for (const SettingRanges::Range& r : *table) {
            const bool number = r.kind == Kind::Real || r.kind == Kind::Integer;
            // Settings' reals are single-precision numbers.
            const auto asStored = [&](double v) {
                return r.kind == Kind::Real ? double(float(v)) : v;
            };
            const double lo = asStored(r.minimum), hi = asStored(r.maximum);
            const double below = !number                ? -1
                                 : r.kind == Kind::Real ? double(std::nextafter(float(lo), -1e9f))
                                                        : lo - 1;
            const double above = !number                ? 2
                                 : r.kind == Kind::Real ? double(std::nextafter(float(hi), 1e9f))
                                                        : hi + 1;
            std::vector<std::pair<Value, std::string>> cases = {
                {nan, "NaN,"},      {inf, "infinity,"},          {-inf, "-infinity,"},
                {1e308, "1e+308,"}, {Value::Array{}, "a list,"}, {below, ""},
                {above, ""},
            };
            if (r.kind != Kind::Text) cases.push_back({"x1", "the text \"x1\""});
            for (const auto& [hostile, shown] : cases) {
                SCOPED_TRACE(std::string(r.key) + " " + std::to_string(n));
                const std::string file = "hostile-" + std::to_string(n++) + ".plist";
                platform::Dictionary values{{r.key, hostile}, {"Quorvex_Unknown", 7}};
                const auto told = SettingRanges::check(values, *table, "the file \"" + file + "\"");
                ASSERT_EQ(told.size(), 1u);
                EXPECT_TRUE(Names(told, "The file \"" + file + "\" sets ")) << told[0];
                const std::string name = r.key == std::string_view(r.label)
                                             ? "\"" + std::string(r.key) + "\""
                                             : std::string(r.label);
                EXPECT_TRUE(Names(told, " sets " + name + " to " + shown)) << told[0];
                EXPECT_EQ(values["Quorvex_Unknown"], Value(7));
                const Value* mended = values.find(r.key);
                EXPECT_EQ(mended == nullptr,
                          !r.fallback && !(number && !std::isnan(hostile.realValue(nan))));
                if (mended && number) {
                    ASSERT_TRUE(mended->isInteger() || mended->isReal());
                    EXPECT_GE(mended->realValue(), lo);
                    EXPECT_LE(mended->realValue(), hi);
                } else if (mended) {
                    EXPECT_TRUE(mended->isBool());
                }
                EXPECT_TRUE(SettingRanges::check(values, *table, file).empty());
            }
            if (!number) continue;
            for (double end : {lo, hi}) {
                platform::Dictionary values{{r.key, end}};
                EXPECT_TRUE(SettingRanges::check(values, *table, "f").empty()) << r.key << end;
                EXPECT_EQ(values[r.key], Value(end));
            }
        }
    EXPECT_GT(n, 400);
}

// Where the values are read: a preset (once, though presets are read again
// for every list), a catalog entry (a NaN exposure once exported black) and
// the preferences file.
TEST_F(DamagedInput, HostileValuesInPresetsTheCatalogAndPreferencesAreMendedAsRead) {
    WarningsSeen seen;
    auto& presets = PresetManager::sharedPresetManager();
    presets.forgetPresetDirectory();
    const fs::path folder = *presets.presetDirectory();
    const fs::path preset = folder / "hostile.plist";
    const double nan = std::nan("");
    ASSERT_TRUE(platform::writePropertyList(
        Value(platform::Dictionary{{"displayName", "Hostile"},
                                   {SettingsKeys::kEttrAdjust, 40.0},
                                   {SettingsKeys::kInputEV, nan},
                                   {SettingsKeys::kExportFileType, "TIFF"}}),
        preset));
    for (int pass = 0; pass < 2; ++pass) {
        const auto hostile = presets.presetNamed("Hostile");
        ASSERT_TRUE(hostile);
        EXPECT_EQ((*hostile)[SettingsKeys::kEttrAdjust], Value(4.0f));
        EXPECT_EQ((*hostile)[SettingsKeys::kInputEV], Value(0.0f));
        EXPECT_EQ((*hostile)[SettingsKeys::kExportFileType], Value(0));
        const auto told = seen.take();
        ASSERT_EQ(told.size(), pass == 0 ? 3u : 0u);
        // By the name the user gave it, not by its file.
        for (const auto& line : told) {
            EXPECT_TRUE(line.starts_with("The preset \"Hostile\" sets ")) << line;
            EXPECT_EQ(line.find("hostile.plist"), std::string::npos) << line;
        }
    }
    presets.forgetPresetDirectory();

    const fs::path dng = home_.path() / "photo.dng";
    handdng::Write(dng, handdng::Build(ChartLayout()));
    auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    ASSERT_TRUE(catalog);
    ASSERT_TRUE(platform::writePropertyList(
        Value(Value::Array{platform::Dictionary{{SettingsKeys::kUUID, dng.string()},
                                                {SettingsKeys::kInputEV, nan},
                                                {SettingsKeys::kInputSaturation, 1e308},
                                                {SettingsKeys::kEttrAdjust, -1e9}}}),
        *catalog->storeFilePath()));
    const Outcome out = ExportToJpeg(dng, home_.path() / "photo.jpg", seen);
    EXPECT_TRUE(out.exported) << out.error;
    EXPECT_FALSE(out.flat);
    ASSERT_EQ(out.warnings.size(), 3u);
    for (const char* key :
         {SettingsKeys::kInputEV, SettingsKeys::kInputSaturation, SettingsKeys::kEttrAdjust})
        EXPECT_TRUE(Names(out.warnings, catalog->storeFilePath()->string() +
                                            "\" for \"photo.dng\" sets " +
                                            SettingRanges::settingFor(key)->label + " to "))
            << key;

    const fs::path prefs = platform::UserDefaults::standard().file();
    fs::create_directories(prefs.parent_path());
    ASSERT_TRUE(platform::writePropertyList(
        Value(platform::Dictionary{{"ResolutionSelect", 1e308},
                                   {"BrowserFileSelect", "abc"},
                                   {"SilentlyOverwrite", platform::Dictionary{}}}),
        prefs));
    platform::UserDefaults::resetStandardForEnvironment();
    ApplicationDefaults::registerDefaults();
    auto& defaults = platform::UserDefaults::standard();
    EXPECT_EQ(defaults.integerForKey("ResolutionSelect"), 5);
    EXPECT_EQ(defaults.integerForKey("BrowserFileSelect"), 1);
    EXPECT_FALSE(defaults.boolForKey("SilentlyOverwrite"));
    const auto told = seen.take();
    ASSERT_EQ(told.size(), 3u);
    for (const auto& line : told) EXPECT_NE(line.find(prefs.string()), std::string::npos) << line;
}

// A whole number beyond 64 bits is out of range, an unreadable one gets its
// default: each told in the window's words, the rest of the preset kept.
TEST_F(DamagedInput, AHugeOrUnreadableNumberCostsOnlyItsOwnValue) {
    WarningsSeen seen;
    platform::LogCapture log;
    auto& presets = PresetManager::sharedPresetManager();
    presets.forgetPresetDirectory();
    auto entry = [](const char* key, const std::string& value) {
        return std::string("<key>") + key + "</key>" + value;
    };
    std::ofstream(*presets.presetDirectory() / "huge.plist")
        << "<plist version=\"1.0\"><dict><key>displayName</key><string>Huge</string>"
        << entry(SettingsKeys::kExportFileType, "<integer>99999999999999999999</integer>")
        << entry(SettingsKeys::kInputEV, "<integer>-9999999999999999999</integer>")
        << entry(SettingsKeys::kInputContrast, "<real>zero</real>")
        << entry(SettingsKeys::kJPEGQuality, "<integer>abc</integer>")
        << entry(SettingsKeys::kEttrAdjust, "<real>2</real>") << "</dict></plist>";
    const auto huge = presets.presetNamed("Huge");
    ASSERT_TRUE(huge);
    EXPECT_EQ((*huge)[SettingsKeys::kExportFileType], Value(6));
    EXPECT_EQ((*huge)[SettingsKeys::kInputEV], Value(-5.0f));
    EXPECT_EQ((*huge)[SettingsKeys::kInputContrast], Value(0.0f));
    EXPECT_EQ((*huge)[SettingsKeys::kJPEGQuality], Value(10.0f));
    EXPECT_EQ((*huge)[SettingsKeys::kEttrAdjust].realValue(), 2.0);
    const auto told = seen.take();
    ASSERT_EQ(told.size(), 4u);
    for (const char* line :
         {"The preset \"Huge\" sets File Type to 1e+20, outside its range 0 to 6; 6 is used",
          "The preset \"Huge\" sets Exposure to -1e+19, outside its range -5 to 5; -5 is used",
          "The preset \"Huge\" sets Contrast to the text \"zero\", not a number; its default, 0,",
          "The preset \"Huge\" sets JPEG Quality to the text \"abc\", not a number; its default"})
        EXPECT_TRUE(Names(told, line)) << line;
    for (const auto& line : told) EXPECT_EQ(line.find("Quorvex_"), std::string::npos) << line;
    EXPECT_TRUE(log.contains("malformed real \"zero\""));
    presets.forgetPresetDirectory();
}

}  // namespace
