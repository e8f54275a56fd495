#include "raw/ColorTagReview.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_shared.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_matrix.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_parsed_ifd.h"

namespace {

constexpr double kMaxBaselineExposure = 8.0;
constexpr double kMaxBalanceEntry = 16.0;
constexpr double kMaxBalanceSpread = 100.0;

// The tags reviewed here by name; others by number.
std::string TagName(uint32 code) {
    static const std::pair<uint32, const char*> kNames[] = {
        {50714, "BlackLevel"},       {50717, "WhiteLevel"},         {50721, "ColorMatrix1"},
        {50722, "ColorMatrix2"},     {50723, "CameraCalibration1"}, {50724, "CameraCalibration2"},
        {50727, "AnalogBalance"},    {50728, "AsShotNeutral"},      {50729, "AsShotWhiteXY"},
        {50730, "BaselineExposure"}, {50964, "ForwardMatrix1"},     {50965, "ForwardMatrix2"}};
    for (const auto& [c, name] : kNames)
        if (c == code) return name;
    return "tag " + std::to_string(code);
}

std::string BalanceProblem(const dng_vector& v) {
    double smallest = HUGE_VAL, largest = 0;
    for (uint32 i = 0; i < v.Count(); i++) {
        const double e = v[i];
        if (!std::isfinite(e) || e <= 0 || e > kMaxBalanceEntry)
            return "holds " + ColorValueText(e) + ", outside 0 .. " +
                   ColorValueText(kMaxBalanceEntry);
        smallest = std::min(smallest, e);
        largest = std::max(largest, e);
    }
    if (largest > kMaxBalanceSpread * smallest)
        return "spans more than a factor of " + ColorValueText(kMaxBalanceSpread);
    return {};
}

// How the decoder keeps a matrix once read: colour matrices scaled so that
// white reaches 1 and rounded to 1/10000, forward and calibration matrices
// rounded to 1/10000.
enum class Held { colorMatrix, rounded };

// ColorMatrixProblem of the matrix as read, then of the matrix as held: an
// entry finer than the rounding is lost there, and a matrix invertible as
// read (a calibration with 1/458753 on its diagonal) can lose its inverse.
std::string HeldMatrixProblem(const dng_matrix& m, Held held) {
    std::string why = ColorMatrixProblem(m);
    if (!why.empty()) return why;
    dng_matrix kept = m;
    if (held == Held::colorMatrix)
        dng_camera_profile::NormalizeColorMatrix(kept);
    else
        kept.Round(10000.0);
    return ColorMatrixProblem(kept);
}

class Reviewer {
public:
    Reviewer(dng_info& info, const std::string& fileName) : info_(info), name_(fileName) {}

    ColorTagReview run() {
        for (uint32 code : info_.fValuelessTags)
            review_.notes.push_back("\"" + name_ + "\": " + TagName(code) +
                                    " holds 0/0, no value; it is read as absent.");
        dng_shared& shared = *info_.fShared;
        reviewBaselineExposure(shared);
        if (shared.fCameraProfile.fColorPlanes > 1) {
            reviewBalances(shared);
            reviewMatrices(shared);
        }
        if (info_.fMainIndex >= 0) reviewLevels(*info_.fIFD[size_t(info_.fMainIndex)]);
        return std::move(review_);
    }

private:
    void ignore(const char* tag, const std::string& problem) {
        review_.ignored.push_back("\"" + name_ + "\": " + tag + " " + problem +
                                  ", which no camera produces; it is ignored.");
    }

    void reviewBaselineExposure(dng_shared& shared) {
        const dng_srational& be = shared.fBaselineExposure;
        const double ev = be.d == 0 ? (be.n > 0   ? HUGE_VAL
                                       : be.n < 0 ? -HUGE_VAL
                                                  : 0.0)
                                    : double(be.n) / be.d;
        if (std::isfinite(ev) && std::fabs(ev) <= kMaxBaselineExposure) return;
        ignore("BaselineExposure", "is " + ColorValueText(ev) + " EV, beyond +-" +
                                       ColorValueText(kMaxBaselineExposure) + " EV");
        shared.fBaselineExposure = dng_srational(0, 1);
    }

    void reviewBalances(dng_shared& shared) {
        if (shared.fAsShotNeutral.NotEmpty()) {
            const std::string why = BalanceProblem(shared.fAsShotNeutral);
            if (!why.empty()) {
                ignore("AsShotNeutral", why);
                shared.fAsShotNeutral.Clear();
            }
        }
        if (shared.fAnalogBalance.NotEmpty()) {
            const std::string why = BalanceProblem(shared.fAnalogBalance);
            if (!why.empty()) {
                ignore("AnalogBalance", why);
                shared.fAnalogBalance.Clear();
            }
        }
        dng_xy_coord& xy = shared.fAsShotWhiteXY;
        if (shared.fHasAsShotWhiteXY) {
            const bool sound = std::isfinite(xy.x) && std::isfinite(xy.y) && xy.x > 0 && xy.y > 0 &&
                               xy.x + xy.y < 1;
            if (!sound) {
                ignore("AsShotWhiteXY", "is (" + ColorValueText(xy.x) + ", " +
                                            ColorValueText(xy.y) + "), not a chromaticity");
                xy.Clear();
                shared.fHasAsShotWhiteXY = false;
            }
        }
    }

    void reviewMatrices(dng_shared& shared) {
        dng_camera_profile_info& p = shared.fCameraProfile;
        if (p.fColorMatrix1.NotEmpty()) {
            const std::string why = HeldMatrixProblem(p.fColorMatrix1, Held::colorMatrix);
            if (!why.empty())
                review_.refusal = "its ColorMatrix1 " + why +
                                  ", which no camera produces, and nothing can stand in for it";
        }
        if (p.fColorMatrix2.NotEmpty()) {
            const std::string why = HeldMatrixProblem(p.fColorMatrix2, Held::colorMatrix);
            if (!why.empty()) {
                ignore("ColorMatrix2", why);
                p.fColorMatrix2.Clear();
                p.fCalibrationIlluminant2 = 0;
                p.fForwardMatrix2.Clear();
                p.fReductionMatrix2.Clear();
                shared.fCameraCalibration2.Clear();
            }
        }
        reviewOptional("ForwardMatrix1", p.fForwardMatrix1, Held::rounded);
        reviewOptional("ForwardMatrix2", p.fForwardMatrix2, Held::rounded);
        reviewOptional("CameraCalibration1", shared.fCameraCalibration1, Held::rounded);
        reviewOptional("CameraCalibration2", shared.fCameraCalibration2, Held::rounded);
    }

    void reviewOptional(const char* tag, dng_matrix& m, Held held) {
        if (m.IsEmpty()) return;
        const std::string why = HeldMatrixProblem(m, held);
        if (why.empty()) return;
        ignore(tag, why);
        m.Clear();
    }

    void reviewLevels(dng_parsed_ifd& ifd) {
        const bool floats = ifd.fSampleFormat[0] == 3;
        const uint32 bits = ifd.fBitsPerSample[0];
        const double largest = ifd.fLinearizationTableCount ? 65535.0
                               : bits >= 1 && bits < 32     ? double((uint64_t(1) << bits) - 1)
                                                            : 4294967295.0;
        const double defaultWhite = bits >= 1 && bits < 16 ? largest : 65535.0;
        // A white that leaves fewer than half the data's bits is a damaged
        // tag, not a sensor: 10-bit data whose white is 1 would render white.
        const double faintest = floats ? 0.0 : std::sqrt(largest + 1.0);
        std::vector<double>& black = ifd.fLinearizationTags.fBlackLevel;
        double blackest = 0;
        for (double b : black)
            if (std::isfinite(b)) blackest = std::max(blackest, b);
        if (ifd.fHasWhiteLevel) {
            for (uint32 i = 0; i < dng_ifd::kMaxSamplesPerPixel; i++) {
                const double w = ifd.fWhiteLevel[i];
                std::string why;
                if (!std::isfinite(w) || w <= 0 || (!floats && w > largest))
                    why = "is " + ColorValueText(w) + ", outside 1 .. " + ColorValueText(largest);
                // The black is blamed instead when it is beyond the data itself.
                else if (w <= blackest && (floats || blackest < defaultWhite))
                    why = "is " + ColorValueText(w) + ", not above the BlackLevel " +
                          ColorValueText(blackest);
                else if (w < faintest)
                    why = "is " + ColorValueText(w) + ", far below the data's range of 0 .. " +
                          ColorValueText(largest);
                if (why.empty()) continue;
                ignore("WhiteLevel", why);
                for (double& level : ifd.fWhiteLevel) level = -1.0;
                ifd.fHasWhiteLevel = false;
                break;
            }
        }
        double white = HUGE_VAL;
        for (uint32 i = 0; i < dng_ifd::kMaxSamplesPerPixel; i++)
            white = std::min(white, ifd.fWhiteLevel[i] >= 0 ? ifd.fWhiteLevel[i] : defaultWhite);
        for (double b : black) {
            if (std::isfinite(b) && b >= 0 && (floats || b < white)) continue;
            ignore("BlackLevel", "is " + ColorValueText(b) + ", not below the white level " +
                                     ColorValueText(white));
            black.clear();
            ifd.fHasBlackLevel = false;
            break;
        }
    }

    dng_info& info_;
    std::string name_;
    ColorTagReview review_;
};

}  // namespace

ColorTagReview ReviewColorTags(dng_info& info, const std::string& fileName) {
    return Reviewer(info, fileName).run();
}
