#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <tuple>
#include <vector>

#include "color/DNGCameraProfileAbstract.h"
#include "color/ProfileManager.h"
#include "engine/CGImageBitMap.h"
#include "engine/CoreTiledEngine.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

using platform::Rect;

// A first stage that writes a known pattern and keeps a small thumbnail.
class PatternStage : public TiledEngine {
public:
    PatternStage(platform::Size size) : TiledEngine(size, std::nullopt, false) {}
    static uint16_t sample(int x, int y, int c) {
        return uint16_t((x * 37 + y * 101 + c * 4001) % 60000 + 1000);
    }
    void processTile(int c0, int c1, int r0, int r1, ImageBuffer*, ImageBuffer* dest,
                     int) override {
        for (int y = r0; y < r1; ++y)
            for (int x = c0; x < c1; ++x) {
                uint16_t* p = dest->bufferU16ForRow(y, x);
                for (int c = 0; c < 3; ++c) p[c] = sample(x, y, c);
                p[3] = 65535;
            }
    }
    std::shared_ptr<ImageBuffer> getThumbnail(bool) override { return thumb; }
    void setParameters(const std::optional<std::string>& key,
                       const platform::Dictionary& parameters) override {
        lastKey = key;
        ++settingsSeen;
        TiledEngine::setParameters(key, parameters);
    }
    std::shared_ptr<ImageBuffer> thumb;
    std::optional<std::string> lastKey;
    std::atomic<int> settingsSeen{0};
};

class RecordingDelegate : public QuorvexTiledEngineDelegate {
public:
    void engineActiveRectDirty(TiledEngine&) override { ++calls; }
    std::atomic<int> calls{0};
};

// A stage with a hand-set matrix (identity colour part, luma index 4096·Y),
// a table of constant gain and the knee off.
std::shared_ptr<CoreTiledEngine> plainStage(float gain = 1.0f, float offset = 0.0f) {
    auto core = CoreTiledEngine::initWithSize(platform::Size{16, 16}, std::nullopt, false);
    const float m[4][4] = {{1, 0, 0, 1228.8f}, {0, 1, 0, 2457.6f}, {0, 0, 1, 409.6f}, {0, 0, 0, 0}};
    core->setMatrix(m);
    auto lut = ImageBufferF32::initWithSize(CoreTiledEngine::kLUTSize, 1, nullptr, nullptr);
    for (int i = 0; i < CoreTiledEngine::kLUTSize; ++i) lut->bufferFloatForRow(0, i)[0] = gain;
    core->setLUT(lut);
    core->setOutputOffset(offset);
    core->setKneeF(-1);
    core->setEttrMul(1);
    return core;
}

std::shared_ptr<ImageBufferU16> grey16(int w, int h, uint16_t v) {
    auto b = ImageBufferU16::initWithSize(uint16_t(w), uint16_t(h), nullptr, nullptr);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint16_t* p = b->bufferU16ForRow(y, x);
            p[0] = p[1] = p[2] = v;
            p[3] = 65535;
        }
    return b;
}

platform::Dictionary baseSettings() {
    return platform::Dictionary{{"Quorvex_Filter_inputEV", 0.0},
                                {"Quorvex_Filter_inputTemperature", 5000.0},
                                {"Quorvex_Filter_inputTint", 0.0},
                                {"Quorvex_SceneReferred", true}};
}

platform::Dictionary cameraParams() {
    platform::Dictionary p{{"asShotWhitex", 0.3127}, {"asShotWhitey", 0.3290}};
    const float m[3][3] = {{1.2f, -0.2f, 0.0f}, {-0.3f, 1.3f, 0.0f}, {0.0f, -0.1f, 1.1f}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            p.set("cameraFromXYZ" + std::to_string(r) + std::to_string(c), m[r][c]);
    return p;
}

TEST(CoreEngine, SixteenBitOutputScaleAndClamping) {
    auto core = plainStage();
    auto src = grey16(3, 1, 65325);
    src->bufferU16ForRow(0, 1)[0] = 65535;
    auto dst = ImageBufferU16::initWithSize(3, 1, nullptr, nullptr);
    // A matrix that sends red to minus green tests the clamp at 0.
    const float m[4][4] = {{1, -1, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 0}};
    core->processTile(0, 3, 0, 1, src.get(), dst.get(), 0);
    EXPECT_EQ(dst->bufferU16ForRow(0, 0)[0], 65325);
    EXPECT_EQ(dst->bufferU16ForRow(0, 1)[0], 65325) << "beyond full scale comes back to it";
    EXPECT_EQ(dst->bufferU16ForRow(0, 0)[3], 65535);
    core->setMatrix(m);
    core->processTile(0, 3, 0, 1, src.get(), dst.get(), 0);
    EXPECT_EQ(dst->bufferU16ForRow(0, 0)[1], 0) << "negative results clamp to 0";
}

TEST(CoreEngine, FloatOutputKneeAndTableIndexEdges) {
    auto core = plainStage(1.5f, 0.01f);
    auto src = grey16(4, 1, 20000);
    auto dst = ImageBufferF32::initWithSize(4, 1, nullptr, nullptr);
    core->processTile(0, 4, 0, 1, src.get(), dst.get(), 0);
    const float in = 20000 * CoreTiledEngine::kInputScale;
    const float* p = dst->bufferFloatForRow(0, 2);
    EXPECT_FLOAT_EQ(p[0], in * 1.5f + 0.01f);
    EXPECT_EQ(p[3], 1.0f);

    // Knee: on at exactly the threshold; a value at kneeLow is unchanged.
    core->setKneeF(CoreTiledEngine::kKneeThreshold);
    core->setOutputOffset(0);
    core->setKneeLow(1.0f);
    EXPECT_FLOAT_EQ(core->processKnee(0.18f, 1.0f), 0.18f);
    core->setKneeF(2.0f);
    const float z = 0.36f * CoreTiledEngine::kMidGreyFactor;
    EXPECT_NEAR(
        core->processKnee(0.36f, 1.0f),
        (std::log((z - 1.0f) * 2.0f + 1.0f) / 2.0f + 1.0f) / CoreTiledEngine::kMidGreyFactor, 1e-6);
    EXPECT_LT(core->processKnee(0.36f, 1.0f), 0.36f);

    // Luminance indices beyond the table use its ends.
    auto edges = plainStage(1.0f);
    auto lut = edges->LUT();
    lut->bufferFloatForRow(0, 0)[0] = 0.5f;
    lut->bufferFloatForRow(0, 4095)[0] = 0.25f;
    const float m[4][4] = {{1, 0, 0, 1e6f}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 0}};
    edges->setMatrix(m);
    edges->processTile(0, 4, 0, 1, src.get(), dst.get(), 0);
    EXPECT_FLOAT_EQ(dst->bufferFloatForRow(0, 0)[0], in * 0.25f);
    const float neg[4][4] = {{1, 0, 0, -1e6f}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 0}};
    edges->setMatrix(neg);
    edges->processTile(0, 4, 0, 1, src.get(), dst.get(), 0);
    EXPECT_FLOAT_EQ(dst->bufferFloatForRow(0, 0)[0], in * 0.5f);
}

TEST(CoreEngine, BlocksWithAnOffsetOriginMatchThePixelFormula) {
    auto core = plainStage(0.75f, 0.002f);
    const int W = 1100, H = 600;
    auto src = ImageBufferU16::initWithSize(W, H, nullptr, nullptr);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < 4; ++c)
                src->bufferU16ForRow(y, x)[c] = PatternStage::sample(x, y, c);
    auto whole = ImageBufferU16::initWithSize(W, H, nullptr, nullptr);
    core->processTile(3, W, 5, H, src.get(), whole.get(), 0);
    int mismatches = 0;
    for (int y = 5; y < H; y += 7)
        for (int x = 3; x < W; x += 5) {
            const uint16_t* s = src->bufferU16ForRow(y, x);
            for (int c = 0; c < 3; ++c) {
                const float v = float(s[c]) * CoreTiledEngine::kInputScale * 0.75f + 0.002f;
                const double e = std::trunc(double(v) * 65325.0);
                const uint16_t want = e >= 65536 ? 65535 : e <= 0 ? 0 : uint16_t(e);
                if (whole->bufferU16ForRow(y, x)[c] != want) ++mismatches;
            }
        }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(whole->bufferU16ForRow(0, 0)[0], 0) << "outside the area stays untouched";
}

TEST(CoreEngine, SettingsChangesRecomputeInOrderAndTravelUpstream) {
    auto source = std::make_shared<PatternStage>(platform::Size{64, 64});
    auto core = CoreTiledEngine::initWithImage(source, std::nullopt, false);
    core->setCameraParameters(cameraParams());
    auto settings = baseSettings();
    core->setParameters(std::nullopt, settings);
    ASSERT_TRUE(core->LUT()) << "the first computation is done before the call returns";
    EXPECT_EQ(core->recomputationCount(), 1u);
    EXPECT_EQ(source->settingsSeen, 1);

    core->setParameters(std::string("Quorvex_Filter_inputRadius"), settings);
    core->waitForRecomputation();
    EXPECT_EQ(core->recomputationCount(), 1u) << "a key of another stage only travels upstream";
    EXPECT_EQ(source->lastKey, "Quorvex_Filter_inputRadius");

    // Many quick changes: the last one is in force when the wait returns.
    for (int i = 1; i <= 20; ++i) {
        settings.set("Quorvex_ettrAdjust", double(i) / 10.0);
        core->setParameters(std::string("Quorvex_ettrAdjust"), settings);
    }
    core->waitForRecomputation();
    EXPECT_FLOAT_EQ(core->ettrMul(), std::pow(2.0f, 2.0f));
    EXPECT_GE(core->recomputationCount(), 2u);
    EXPECT_LE(core->recomputationCount(), 21u);
}

TEST(CoreEngine, CameraProfileTableFollowsTheProfile) {
    auto source = std::make_shared<PatternStage>(platform::Size{32, 32});
    auto core = CoreTiledEngine::initWithImage(source, std::nullopt, false);
    core->setCameraParameters(cameraParams());
    auto settings = baseSettings();
    settings.set("Quorvex_CameraProfile", DNGCameraProfileAbstract::initAsAutoProfile());
    core->setParameters(std::nullopt, settings);
    EXPECT_TRUE(core->hasProfileLUT());
    EXPECT_TRUE(core->cameraProfile());
    settings.remove("Quorvex_CameraProfile");
    core->setParameters(std::string("Quorvex_CameraProfile"), settings);
    core->waitForRecomputation();
    EXPECT_FALSE(core->cameraProfile());
    EXPECT_FALSE(core->hasProfileLUT()) << "a removed profile leaves no gain behind";
}

// A positive baseline rolls off through the knee on whole pixels, unless it
// is zero or a chosen profile's curve lifts it.
TEST(CoreEngine, APositiveBaselineRollsOffUnlessAChosenProfileLiftsIt) {
    const std::filesystem::directory_iterator profiles(testsupport::testdataDir() / "dcp/set-a");
    const auto chosen = DNGCameraProfileAbstract::initFromFile(begin(profiles)->path());
    ASSERT_TRUE(chosen && !chosen->isAutoProfile());
    const auto automatic = DNGCameraProfileAbstract::initAsAutoProfile();
    // Baseline, whites kept, profile, knee on whole pixels.
    for (const auto& [baseline, kept, profile, rollOff] : std::vector<
             std::tuple<float, bool, std::shared_ptr<const DNGCameraProfileAbstract>, bool>>{
             {1, true, automatic, true},
             {1, true, chosen, false},
             {1, false, chosen, true},
             {0, false, automatic, false}}) {
        SCOPED_TRACE(::testing::Message() << baseline << kept << profile->isAutoProfile());
        auto core = CoreTiledEngine::initWithImage(
            std::make_shared<PatternStage>(platform::Size{16, 16}), std::nullopt, false);
        auto camera = cameraParams();
        camera.set("cameraBaselineExposure", baseline);
        core->setCameraParameters(camera);
        core->setCameraBaselineExposure(baseline);
        auto settings = baseSettings();
        settings.set("Quorvex_MaintainWhites", kept);
        settings.set("Quorvex_CameraProfile", platform::Value(profile));
        core->setParameters(std::nullopt, settings);
        EXPECT_EQ(core->kneeWhole(), rollOff);
        EXPECT_TRUE(rollOff || core->kneeF() == -1.0f);
    }
}

struct RenderedStage {
    std::shared_ptr<PatternStage> source;
    std::shared_ptr<CoreTiledEngine> core;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

RenderedStage makeRendered(int w, int h) {
    RenderedStage s;
    s.source = std::make_shared<PatternStage>(platform::Size{double(w), double(h)});
    s.source->thumb = grey16(w / 8, h / 8, 30000);
    s.core = CoreTiledEngine::initWithImage(s.source, std::nullopt, false);
    s.core->setCameraParameters(cameraParams());
    s.core->setParameters(std::nullopt, baseSettings());
    s.core->setDelegate(s.delegate);
    return s;
}

// The stage's own 16-bit samples (65325 white), as the image stores them.
std::vector<uint16_t> pixels(const std::shared_ptr<CGImageBitMap>& image) {
    std::vector<uint16_t> v;
    for (int32_t y = 0; y < image->getHeight(); ++y)
        for (int32_t x = 0; x < image->getWidth(); ++x) {
            double c[4];
            EXPECT_TRUE(image->getPixelValues(x, y, c));
            for (int k = 0; k < 3; ++k) v.push_back(uint16_t(std::lround(c[k] * 65535)));
        }
    return v;
}

TEST(CoreEngine, TilesComeFromTheScaledSourceWithBottomOriginRectangles) {
    auto s = makeRendered(1024, 768);
    // Before any run there is no source buffer.
    EXPECT_FALSE(s.core->imageTile(0, 1.0, Rect{0, 0, 64, 64}, nullptr, nullptr, false, 1));
    auto top = s.source->mainMap()->regionForRect(Rect{0, 0, 1024, 768}, 0);
    s.core->runProcessToCompletion(top);
    ASSERT_TRUE(s.core->tileSourceBuffer());
    EXPECT_EQ(s.source->processedTileCount(), 4u);

    bool thumb = true;
    auto tile = s.core->imageTile(0, 1.0, Rect{0, 0, 100, 20}, nullptr, &thumb, false, 1);
    ASSERT_TRUE(tile);
    EXPECT_FALSE(thumb);
    EXPECT_EQ(tile->getWidth(), 100);
    EXPECT_EQ(tile->getHeight(), 20);
    // y = 0 in the display's coordinates is the last rows of the buffer.
    auto direct = ImageBufferU16::initWithSize(100, 20, nullptr, nullptr);
    auto crop = s.core->tileSourceBuffer()->croppedImageFromBuffer(Rect{0, 748, 100, 20});
    s.core->processTile(0, 100, 0, 20, crop.get(), direct.get(), 0);
    auto got = pixels(tile);
    EXPECT_EQ(got[0], direct->bufferU16ForRow(0, 0)[0]);
    EXPECT_EQ(got[(19 * 100 + 99) * 3 + 2], direct->bufferU16ForRow(19, 99)[2]);

    // Scale 2 shares key and divisor with scale 1; scale 0.25 divides by 4.
    auto big = s.core->imageTile(0, 2.0, Rect{0, 0, 100, 20}, nullptr, &thumb, false, 1);
    EXPECT_EQ(big->getWidth(), 100);
    auto quarter = s.core->imageTile(0, 0.25, Rect{0, 0, 1024, 768}, nullptr, &thumb, false, 1);
    ASSERT_TRUE(quarter);
    EXPECT_FALSE(thumb);
    EXPECT_EQ(quarter->getWidth(), 256);
    EXPECT_EQ(quarter->getHeight(), 192);
    EXPECT_EQ(s.delegate->calls, 0);
}

TEST(CoreEngine, UncoveredRectanglesAnswerWithTheThumbnailAndAskForARun) {
    auto s = makeRendered(1024, 1024);
    // Only the top-left tile is brought up to date.
    s.core->runProcessToCompletion(TileRegion{0, 0, 0, 0, 0});
    bool thumb = false;
    // The bottom-left tile in display coordinates is the top-left one here.
    auto inside = s.core->imageTile(0, 1.0, Rect{0, 600, 256, 256}, nullptr, &thumb, false, 1);
    ASSERT_TRUE(inside);
    EXPECT_FALSE(thumb);
    auto outside = s.core->imageTile(0, 1.0, Rect{600, 0, 256, 256}, nullptr, &thumb, false, 1);
    ASSERT_TRUE(outside);
    EXPECT_TRUE(thumb);
    EXPECT_EQ(outside->getWidth(), 32) << "the thumbnail's crop (divisor 8)";
    EXPECT_EQ(s.delegate->calls, 1);
    EXPECT_TRUE(s.core->processsedThumbBuf());

    // Once the source covers the rectangle, the stale scaled copy is made again.
    s.core->runProcessToCompletion(s.source->mainMap()->regionForRect(Rect{0, 0, 1024, 1024}, 0));
    auto later = s.core->imageTile(0, 1.0, Rect{600, 0, 256, 256}, nullptr, &thumb, false, 1);
    EXPECT_FALSE(thumb);
    EXPECT_EQ(later->getWidth(), 256);
    EXPECT_EQ(s.delegate->calls, 1);

    // A settings change of this stage drops the rendered thumbnail.
    s.core->setParameters(std::string("Quorvex_Filter_inputEV"), baseSettings());
    EXPECT_FALSE(s.core->processsedThumbBuf());
    s.core->waitForRecomputation();
}

TEST(CoreEngine, FullSizeRenderNeverFallsBackAndReadoutsAverage) {
    auto s = makeRendered(600, 400);
    platform::Error error;
    EXPECT_FALSE(s.core->fullSizeImage(Rect::null(), nullptr, false, 1, &error));
    EXPECT_EQ(error.code, -7);
    s.core->runProcessToCompletion(TileRegion{0, 0, 0, 0, 0});
    EXPECT_FALSE(s.core->fullSizeImage(Rect::null(), nullptr, false, 1, &error))
        << "half the image is not processed: fail, no thumbnail";
    double values[4];
    EXPECT_TRUE(s.core->getPixelValues(10, 10, 3, values));
    EXPECT_FALSE(s.core->getPixelValues(590, 390, 3, values)) << "source tile not clean";

    s.core->runProcessToCompletion(s.source->mainMap()->regionForRect(Rect{0, 0, 600, 400}, 0));
    auto full = s.core->fullSizeImage(Rect::null(), nullptr, true, 1, &error);
    ASSERT_TRUE(full);
    {
        platform::LogCapture quiet;  // a failed conversion fails it, never handing out raw pixels
        EXPECT_FALSE(s.core->fullSizeImage(Rect::null(), ColorSyncProfileWrap::initAsAutoProfile(),
                                           false, 1, &error));
        EXPECT_EQ(error.code, -10);
    }
    EXPECT_EQ(full->getWidth(), 600);
    EXPECT_EQ(full->getHeight(), 400);
    auto crop = s.core->fullSizeImage(Rect{10, 20, 100, 50}, nullptr, false, 1, &error);
    ASSERT_TRUE(crop);
    EXPECT_EQ(crop->getWidth(), 100);
    // The stage's rectangle {10, 20} from the bottom starts at buffer row 330.
    auto direct = ImageBufferU16::initWithSize(2, 2, nullptr, nullptr);
    auto two = s.core->tileSourceBuffer()->croppedImageFromBuffer(Rect{10, 330, 2, 2});
    s.core->processTile(0, 2, 0, 2, two.get(), direct.get(), 0);
    EXPECT_EQ(pixels(crop)[0], direct->bufferU16ForRow(0, 0)[0]);

    ASSERT_TRUE(s.core->getPixelValues(11, 331, 2, values));
    double mean = 0;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) mean += direct->bufferU16ForRow(y, x)[0] / 4.0;
    EXPECT_NEAR(values[0], mean / 65535.0, 1e-9);
    EXPECT_NEAR(values[3], 1.0, 1e-9);
}

// "enableCinematic" is registered as the text "YES": the knee must engage
// when the settings ask for one, and stay off when the user says "NO".
TEST(CoreEngine, CinematicKneeFollowsTheTextualUserDefault) {
    std::optional<testsupport::ScopedHome> home(std::in_place);
    platform::UserDefaults::resetStandardForEnvironment();
    auto& defaults = platform::UserDefaults::standard();
    defaults.registerDefaults({{"enableCinematic", "YES"}});
    const platform::Dictionary knee{{"Quorvex_Filter_inputKneeLow", 0.0},
                                    {"Quorvex_Filter_inputKneeHigh", 5.0}};
    auto on = CoreTiledEngine::initWithSize(platform::Size{16, 16}, std::nullopt, false);
    EXPECT_TRUE(on->enableCinematic());
    on->setParameters(std::nullopt, knee);
    on->waitForRecomputation();
    EXPECT_FLOAT_EQ(on->kneeLow(), 1.0f);
    EXPECT_GE(on->kneeF(), CoreTiledEngine::kKneeThreshold);

    defaults.setObject(platform::Value("NO"), "enableCinematic");
    auto off = CoreTiledEngine::initWithSize(platform::Size{16, 16}, std::nullopt, false);
    EXPECT_FALSE(off->enableCinematic());
    off->setParameters(std::nullopt, knee);
    off->waitForRecomputation();
    EXPECT_LT(off->kneeF(), CoreTiledEngine::kKneeThreshold);
    home.reset();
    platform::UserDefaults::resetStandardForEnvironment();
}

// Linear RGB-to-XYZ of a space from its primaries and white (xy).
using M3 = std::array<std::array<double, 3>, 3>;
M3 rgbToXYZ(const double prim[3][2], const double white[2]) {
    M3 p{};
    for (int c = 0; c < 3; ++c) {
        p[0][c] = prim[c][0] / prim[c][1];
        p[1][c] = 1.0;
        p[2][c] = (1 - prim[c][0] - prim[c][1]) / prim[c][1];
    }
    const double w[3] = {white[0] / white[1], 1.0, (1 - white[0] - white[1]) / white[1]};
    // Channel scales s with p·s = w, by Cramer's rule.
    auto det = [](const M3& m) {
        return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
               m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    };
    const double d = det(p);
    M3 out = p;
    for (int c = 0; c < 3; ++c) {
        M3 q = p;
        for (int r = 0; r < 3; ++r) q[r][c] = w[r];
        const double sc = det(q) / d;
        for (int r = 0; r < 3; ++r) out[r][c] = p[r][c] * sc;
    }
    return out;
}

M3 inverse(const M3& m) {
    const double d = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    M3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int a = (j + 1) % 3, b = (j + 2) % 3, c = (i + 1) % 3, e = (i + 2) % 3;
            r[i][j] = (m[a][c] * m[b][e] - m[a][e] * m[b][c]) / d;
        }
    return r;
}

// ProPhoto primaries with a D65 white to Rec. 709 linear: both share the
// white, so no adaptation enters.
M3 proPhotoD65To709() {
    const double d65[2] = {0.3127, 0.3290};
    const double pp[3][2] = {{0.7347, 0.2653}, {0.1596, 0.8404}, {0.0366, 0.0001}};
    const double rec[3][2] = {{0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}};
    const M3 a = inverse(rgbToXYZ(rec, d65)), b = rgbToXYZ(pp, d65);
    M3 m{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) m[i][j] += a[i][k] * b[k][j];
    return m;
}

double srgbDecode(double v) {
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

// A pixel that the 16-bit store would truncate is dimmed as a whole in the
// space it is converted to, so its hue survives; in-range pixels are as before.
TEST(CoreEngine, OverRangePixelsKeepTheirHueInTheDestinationSpace) {
    auto& manager = ProfileManager::sharedManager();
    const auto proPhoto = manager.getProPhotoGamma1_D65Profile(false);
    const auto rec709 = manager.getRec709Gamma1Profile();
    const auto srgb = manager.getSRGBProfile(false);
    ASSERT_TRUE(proPhoto && rec709 && srgb);

    const M3 expected = proPhotoD65To709();
    const auto range = CoreTiledEngine::outputRangeFor(proPhoto, rec709);
    ASSERT_TRUE(range.scaleWhole && range.hasMatrix);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(range.matrix[r][c], expected[r][c], 2e-3) << r << c;
    EXPECT_FALSE(CoreTiledEngine::outputRangeFor(proPhoto, proPhoto).hasMatrix);
    EXPECT_FALSE(
        CoreTiledEngine::outputRangeFor(proPhoto, ColorSyncProfileWrap::initWithLAB()).scaleWhole)
        << "no matrix to measure with: channels clamp on their own";

    // Gain 2: pixel 0 stays in range, pixel 1 passes full scale in red.
    auto core = plainStage(2.0f);
    auto src = ImageBufferU16::initWithSize(2, 1, nullptr, proPhoto);
    const uint16_t in[2][3] = {{12000, 11000, 10000}, {40000, 30000, 25000}};
    for (int x = 0; x < 2; ++x) {
        uint16_t* p = src->bufferU16ForRow(0, x);
        for (int c = 0; c < 3; ++c) p[c] = in[x][c];
        p[3] = 65535;
    }
    auto own = ImageBufferU16::initWithSize(2, 1, nullptr, proPhoto);
    core->processTile(0, 2, 0, 1, src.get(), own.get(), 0);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(own->bufferU16ForRow(0, 0)[c],
                  uint16_t(double(in[0][c] * 2 * CoreTiledEngine::kInputScale) * 65325.0));
    const uint16_t* o = own->bufferU16ForRow(0, 1);
    EXPECT_NEAR(o[0], 65325, 1);
    EXPECT_NEAR(double(o[1]) / o[0], 30000.0 / 40000, 1e-4);
    EXPECT_NEAR(double(o[2]) / o[0], 25000.0 / 40000, 1e-4);

    src->setValidRegion(Rect{0, 0, 2, 1});
    core->setTileSourceBuffer(src);
    platform::Error error;
    for (const auto& dest : {rec709, srgb}) {
        auto image = core->fullSizeImage(Rect::null(), dest, false, 1, &error);
        ASSERT_TRUE(image) << error.failureReason;
        const auto px = pixels(image);
        for (int x = 0; x < 2; ++x) {
            double v[3], want[3];
            for (int c = 0; c < 3; ++c) {
                v[c] = px[size_t(x) * 3 + c] / 65535.0;
                if (dest == srgb) v[c] = srgbDecode(v[c]);
            }
            for (int r = 0; r < 3; ++r) {
                want[r] = 0;
                for (int k = 0; k < 3; ++k)
                    want[r] += expected[r][k] * in[x][k] * 2 * CoreTiledEngine::kInputScale;
            }
            const double top = std::max({want[0], want[1], want[2]});
            if (x == 1) {
                ASSERT_GT(top, 1.0) << "the test pixel must pass full scale";
                EXPECT_NEAR(std::max({v[0], v[1], v[2]}), 65325.0 / 65535, 3e-3);
            }
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(v[c] / std::max({v[0], v[1], v[2]}), want[c] / top, 6e-3)
                    << "pixel " << x << " channel " << c;
        }
    }
}

}  // namespace
