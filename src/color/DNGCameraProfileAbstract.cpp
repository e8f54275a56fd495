#include "color/DNGCameraProfileAbstract.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "color/CameraProfileManager.h"
#include "color/ColorMatrixProblem.h"
#include "color/ComputeMatrixAndLUT.h"
#include "dng/color/DefaultToneCurveTable.h"
#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_spline_solver.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_file_stream.h"
#include "platform/Log.h"
#include "platform/UserWarning.h"

namespace {

constexpr const char* kClassKey = "Class_of_serialized_Object";
constexpr const char* kFileNameKey = "FileName";
constexpr uint32_t kProfileReadBuffer = 8192;
constexpr int kIconSize = 128;
// Where the automatic profile's lifted curve starts to rise evenly, as a
// share of 2^-B of the input (where a plain gain of 2^B reaches white):
// whites the sensor held (paper, up to 90 % of the scene's white) keep the
// lift's rendering, and the tones above spread evenly up to white.
constexpr float kEvenFrom = 0.9f;

bool inMatrix(int32_t row, int32_t col) { return row >= 0 && row < 3 && col >= 0 && col < 3; }

void setIdentity(float m[3][3]) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m[r][c] = r == c ? 1.0f : 0.0f;
}

bool is3x3(const dng_matrix& m) { return m.Rows() == 3 && m.Cols() == 3; }

void copyMatrix(const dng_matrix& from, float to[3][3]) {
    for (uint32 r = 0; r < 3; ++r)
        for (uint32 c = 0; c < 3; ++c) to[r][c] = static_cast<float>(from[r][c]);
}

// A plain file name inside the profile folder: no folder part, no way out of it.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// A grey page with a folded top-right corner, premultiplied RGBA on a clear ground.
void drawGenericDocumentIcon(std::vector<uint8_t>& pixels, int size) {
    const int margin = std::max(1, size / 8);
    const int left = margin + size / 16, right = size - margin - size / 16;
    const int top = margin / 2, bottom = size - margin / 2;
    const int fold = std::max(1, (right - left) / 4);
    const int edge = std::max(1, size / 64);
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) {
            const int fromCorner = (right - 1 - x) + (y - top);
            if (fromCorner < fold) continue;  // cut-away corner
            const bool border = x < left + edge || x >= right - edge || y >= bottom - edge ||
                                y < top + edge || fromCorner < fold + edge;
            const bool turned = (x >= right - fold) && (y < top + fold);
            const uint8_t grey = border ? 120 : (turned ? 200 : 250);
            uint8_t* p = &pixels[(static_cast<size_t>(y) * size + x) * 4];
            p[0] = p[1] = p[2] = grey;
            p[3] = 255;
        }
    }
}

// The profile's own curve, solved once per table generation.
class ToneCurveK {
public:
    explicit ToneCurveK(const dng_camera_profile* profile) {
        if (profile && profile->ToneCurve().IsValid()) {
            profile->ToneCurve().Solve(solver_);
            useSpline_ = true;
        }
    }
    float operator()(float x) const {
        if (useSpline_) return static_cast<float>(solver_.Evaluate(x));
        return DNGCameraProfileAbstract::dng_tone_curve_acr3_defaultInRange(x, 0.0f, 1.0f);
    }

private:
    dng_spline_solver solver_;
    bool useSpline_ = false;
};

// Settings that name a profile which cannot be used fall back to the
// built-in one: the user is told once per state of that file, not at every
// reading of the settings (preset lists read them often).
void reportIgnoredProfile(const std::filesystem::path& file, const std::string& problem) {
    static std::mutex mutex;
    static auto* reported = new std::set<std::string>;
    std::error_code ec;
    const auto time = std::filesystem::last_write_time(file, ec).time_since_epoch().count();
    const auto size = std::filesystem::file_size(file, ec);
    {
        std::lock_guard lock(mutex);
        if (!reported
                 ->insert(file.string() + "\n" + std::to_string(time) + "\n" + std::to_string(size))
                 .second)
            return;
    }
    platform::warnUser("The camera profile \"" + file.string() + "\" cannot be used: " + problem +
                       "; the built-in profile is used instead.");
}

}  // namespace

DNGCameraProfileAbstract::DNGCameraProfileAbstract() = default;
DNGCameraProfileAbstract::~DNGCameraProfileAbstract() = default;

DNGCameraProfileAbstract::Ptr DNGCameraProfileAbstract::initAsAutoProfile() {
    Ptr profile(new DNGCameraProfileAbstract());
    profile->localInitAsAutoProfile();
    return profile;
}

void DNGCameraProfileAbstract::localInitAsAutoProfile() {
    name_ = kAutoProfileName;
    restriction_.clear();
    icon_.reset();
    profileURL_.clear();
    setIdentity(colorMatrix1_);
    setIdentity(colorMatrix2_);
    dngProfile_.reset();
}

DNGCameraProfileAbstract::Ptr DNGCameraProfileAbstract::initFromFile(
    const std::filesystem::path& url, std::string* problem) {
    Ptr profile(new DNGCameraProfileAbstract());
    if (!profile->localInitFromFile(url, problem)) return nullptr;
    return profile;
}

bool DNGCameraProfileAbstract::localInitFromFile(const std::filesystem::path& url,
                                                 std::string* problem) {
    const std::string why = readProfileFile(url);
    if (why.empty()) return true;
    platform::log("%s could not open profile at %s: %s",
                  "-[DNGCameraProfileAbstract localInitFromFile:]", url.c_str(), why.c_str());
    if (problem) *problem = why;
    return false;
}

// Reads the file into this object; what is wrong with it, or empty.
std::string DNGCameraProfileAbstract::readProfileFile(const std::filesystem::path& url) {
    try {
        dng_file_stream stream(url.c_str(), false, kProfileReadBuffer);
        if (!dngProfile_) dngProfile_ = std::make_unique<dng_camera_profile>();
        if (!dngProfile_->ParseExtended(stream)) return "it is not a DNG camera profile";
    } catch (const dng_exception& e) {
        if (e.ErrorCode() == dng_error_open_file) {
            std::error_code ec;
            if (!std::filesystem::exists(url, ec)) return "it does not exist";
            return "it cannot be opened";
        }
        if (e.ErrorCode() == dng_error_memory) return "there is not enough memory to read it";
        return "it is truncated or damaged";
    } catch (const std::exception&) {
        return "it is truncated or damaged";
    }
    const dng_matrix& m1 = dngProfile_->ColorMatrix1();
    const dng_matrix& m2 = dngProfile_->ColorMatrix2();
    // A profile without a three-colour matrix cannot serve the decoder, nor
    // can one whose matrices no camera has.
    if (!is3x3(m1) && !is3x3(m2)) return "it has no colour matrix for three colours";
    const dng_matrix& first = is3x3(m1) ? m1 : m2;
    const dng_matrix& second = is3x3(m2) ? m2 : m1;
    if (std::string why = ProfileMatricesProblem(first, &second); !why.empty()) return why;
    name_ = dngProfile_->Name().Get();
    restriction_ = dngProfile_->UniqueCameraModelRestriction().Get();
    icon_ = imageWithPreviewOfFileAtPath(url, kIconSize, false);
    profileURL_ = url;
    copyMatrix(first, colorMatrix1_);
    copyMatrix(second, colorMatrix2_);
    return {};
}

DNGCameraProfileAbstract::Ptr DNGCameraProfileAbstract::initFromPList(
    const platform::Dictionary& plist) {
    const std::string fileName = plist[kFileNameKey].stringValue();
    if (isPlainFileName(fileName)) {
        const std::filesystem::path folder = CameraProfileManager::profileDirectory();
        if (!folder.empty()) {
            std::string problem;
            if (Ptr profile = initFromFile(folder / fileName, &problem)) return profile;
            reportIgnoredProfile(folder / fileName, problem);
        }
    }
    return initAsAutoProfile();
}

bool DNGCameraProfileAbstract::isEqualTo(const platform::Object& other) const {
    if (this == &other) return true;
    const auto* profile = dynamic_cast<const DNGCameraProfileAbstract*>(&other);
    if (!profile) return false;
    if (isAutoProfile() || profile->isAutoProfile()) return false;
    return profileURL_.filename() == profile->profileURL_.filename();
}

platform::Value DNGCameraProfileAbstract::objectSerializeForPList() const {
    platform::Dictionary plist{{kClassKey, className()}};
    if (!isAutoProfile()) plist.set(kFileNameKey, profileURL_.filename().string());
    return plist;
}

std::string DNGCameraProfileAbstract::displayName() const {
    if (restriction_.empty()) return name_;
    return restriction_ + " : " + name_;
}

std::size_t DNGCameraProfileAbstract::hash() const {
    if (isAutoProfile()) return 0;
    return std::hash<std::string>()(profileURL_.filename().string());
}

float DNGCameraProfileAbstract::getcolorMatrix1(int32_t row, int32_t col) const {
    return inMatrix(row, col) ? colorMatrix1_[row][col] : 0.0f;
}

float DNGCameraProfileAbstract::getcolorMatrix2(int32_t row, int32_t col) const {
    return inMatrix(row, col) ? colorMatrix2_[row][col] : 0.0f;
}

void DNGCameraProfileAbstract::setcolorMatrix1(int32_t row, int32_t col, float value) {
    if (inMatrix(row, col)) colorMatrix1_[row][col] = value;
}

void DNGCameraProfileAbstract::setcolorMatrix2(int32_t row, int32_t col, float value) {
    if (inMatrix(row, col)) colorMatrix2_[row][col] = value;
}

void DNGCameraProfileAbstract::computecurveAdjust(float ev) const {
    const float s = std::pow(2.0f, ev);
    fSlope_ = s;
    if (ev >= 0.0f) {
        a_ = 0.0f;
        b_ = s;
        c_ = 0.0f;
    } else {
        // The quadratic meets the line s·x at 0.25 in value and slope and reaches 1 at 1.
        a_ = (1.0f - s) * 16.0f / 9.0f;
        b_ = s - a_ / 2.0f;
        c_ = 1.0f - a_ - b_;
    }
}

float DNGCameraProfileAbstract::liftCurve(float x, float power) {
    const float v = std::clamp(x, 0.0f, 1.0f);
    return power * v / (1.0f + (power - 1.0f) * v);
}

float DNGCameraProfileAbstract::curveAdjust(float x) const {
    if (x <= 0.25f) return x * fSlope_;
    return (a_ * x + b_) * x + c_;
}

void DNGCameraProfileAbstract::generateLUT(uint16_t* lut, float* fLut, uint32_t lutSize,
                                           float baselineExposure, bool processAsOutputReferred,
                                           bool clipWhites, float toneCurve) const {
    if (!lut && !fLut) return;
    if (lutSize == 0) return;
    std::lock_guard<std::mutex> lock(lutMutex_);

    std::vector<float> scratch;
    float* F = fLut;
    if (!F) {
        scratch.resize(lutSize);
        F = scratch.data();
    }

    computecurveAdjust(baselineExposure);
    const ToneCurveK K(dngProfile_.get());
    const bool darken = baselineExposure < 0.0f && !clipWhites;
    // A positive baseline brightens without pushing anything past white:
    // 2^B·x ÷ (1 + (2^B − 1)·x) has slope 2^B at black, keeps 1 at 1 and,
    // unlike a power curve, a slope of 2^−B there, so highlights keep
    // their gradation.
    const bool lift = baselineExposure > 0.0f && !clipWhites;
    const float liftPower = std::pow(2.0f, baselineExposure);
    const float last = lutSize > 1 ? static_cast<float>(lutSize - 1) : 1.0f;

    for (uint32_t i = 0; i < lutSize; ++i) {
        const float x = static_cast<float>(i) / last;
        const float a = darken ? curveAdjust(x) : lift ? liftCurve(x, liftPower) : x;
        F[i] = processAsOutputReferred ? a : (K(a) - a) * toneCurve + a;
    }
    if (lift && isAutoProfile()) evenOutLiftedTop(F, lutSize, kEvenFrom / liftPower);

    if (lut) {
        for (uint32_t i = 0; i < lutSize; ++i) {
            const float v = F[i] * last;
            // Clamped before converting, so no entry wraps; NaN gives 0.
            lut[i] = v > 0.0f ? static_cast<uint16_t>(std::min(v, 65535.0f)) : 0;
        }
    }
    if (fLut && lutSize >= 2) {
        for (uint32_t i = 1; i < lutSize; ++i) F[i] /= static_cast<float>(i) / last;
    }
}

void DNGCameraProfileAbstract::evenOutLiftedTop(float* F, uint32_t n, float from) {
    // Just below 2^-B of the input start the tones a plain gain of 2^B would
    // push past white. The lift's shoulder (slope 2^-B at the top) and the tone
    // curve's own would squeeze them into the last few output levels; from
    // there on the curve starts with its own slope and then rises nearly
    // evenly to white, so that they keep their gradation and bright areas
    // stay below white.
    constexpr float kEvenShare = 0.95f;
    const float last = static_cast<float>(n - 1);
    const uint32_t j = static_cast<uint32_t>(from * last + 0.5f);
    if (j < 1 || j + 2 > n) return;
    const float x0 = static_cast<float>(j) / last;
    const float rise = F[n - 1] - F[j];
    if (!(rise > 0.0f)) return;
    const float slope = (F[j + 1] - F[j - 1]) * last * 0.5f * (1.0f - x0) / rise;
    if (!(slope > 1.0f)) return;
    for (uint32_t i = j + 1; i < n; ++i) {
        const float u = (static_cast<float>(i) / last - x0) / (1.0f - x0);
        F[i] = F[j] + rise * ComputeMatrixAndLUT::shoulderCurve(u, slope, kEvenShare);
    }
}

void DNGCameraProfileAbstract::generateLUT16(uint16_t* lut, float* fLut, float baselineExposure,
                                             bool processAsOutputReferred, bool clipWhites,
                                             float toneCurve) const {
    generateLUT(lut, fLut, kLUT16Size, baselineExposure, processAsOutputReferred, clipWhites,
                toneCurve);
}

const float* DNGCameraProfileAbstract::defaultToneCurveTable() {
    return DefaultToneCurveTable::values();
}

float DNGCameraProfileAbstract::dng_tone_curve_acr3_default(float x) {
    // Negated so that NaN comes back unchanged.
    if (!(x >= 0.0f && x < 1.0f)) return x;
    const float* T = DefaultToneCurveTable::values();
    const float scaled = x * 1024.0f;
    const int k = std::min(static_cast<int>(scaled), 1023);
    const float f = scaled - static_cast<float>(k);
    return f * T[k + 1] + (1.0f - f) * T[k];
}

float DNGCameraProfileAbstract::dng_tone_curve_acr3_defaultForNormalizedRange(float x, float from,
                                                                              float to) {
    if (!(to > from) || x < from || x > to) return x;
    return dng_tone_curve_acr3_default((x - from) / (to - from));
}

float DNGCameraProfileAbstract::dng_tone_curve_acr3_defaultInRange(float x, float from, float to) {
    if (!(to > from) || x < from || x > to) return x;
    const float width = to - from;
    return from + dng_tone_curve_acr3_default((x - from) / width) * width;
}

std::shared_ptr<const platform::BitmapImage> DNGCameraProfileAbstract::imageWithPreviewOfFileAtPath(
    const std::filesystem::path& url, int size, bool /*asIcon*/) {
    if (url.empty() || size < 1 || size > 1024) return nullptr;
    std::vector<uint8_t> pixels(static_cast<size_t>(size) * size * 4, 0);
    drawGenericDocumentIcon(pixels, size);
    return platform::BitmapImage::create(
        size, size, 8, 32, static_cast<size_t>(size) * 4, platform::kBitmapAlphaPremultipliedLast,
        platform::sRGBColorSpace(), platform::BitmapDataProvider::withData(std::move(pixels)));
}
