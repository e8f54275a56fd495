// What the core colour and tone stage applies to every pixel, computed from a
// document's settings and the decoded image's camera parameters:
//  - a 4×4 float matrix: white balance (by temperature and tint, relative to
//    the as-shot white), exposure (EV plus the camera's baseline exposure),
//    saturation and hue rotation in YIQ, transposed for the stage, with the
//    luma weights ×4096 in the fourth column and a zero fourth row;
//  - a gain table of w entries (four floats each: gain, gain, gain, 1) over
//    input levels x = i ÷ (w − 1), from contrast, brightness, fill light and
//    highlight recovery on the default tone curve, with an output offset;
//  - the highlight knee: knee low (linear) and the factor k of
//    ln(1 + k·x) ÷ k, or (0, −1) when the knee is off. The user's knee
//    (with "enableCinematic"), else the roll-off of a positive baseline
//    exposure, which brings the input's white to output white on whole
//    pixels (see kneeOnWholePixel).
//
// Settings keys ("Quorvex_..."), camera-parameter keys ("asShotWhitex",
// "cameraFromXYZ00".., "cameraBaselineExposure") and their defaults are those
// of the document and the raw decoder.
//
// State: the as-shot white (with the camera matrices derived from it) and the
// baseline exposure are taken from the first camera parameters that carry
// them and kept for the object's life, so one object serves one image.
//
// Ownership: the object keeps shared references to both dictionaries; the
// table and matrix belong to the caller. Not locked: one call at a time per
// object (the core stage holds its settings lock for writing).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Value.h"

class ComputeMatrixAndLUT {
public:
    using Ptr = std::shared_ptr<ComputeMatrixAndLUT>;
    using DictionaryPtr = std::shared_ptr<const platform::Dictionary>;

    // The highlight knee the computed values drive works in units of mid
    // grey (0.18), and is off where its factor is below kKneeOff.
    static constexpr float kMidGreyUnits = 5.5555553f;
    static constexpr float kKneeOff = 0.0001f;
    // The share of the roll-off of a positive baseline that is spread
    // evenly (see shoulderCurve), so the top tones keep their gradation.
    static constexpr float kRollOffEvenShare = 0.8f;
    // Where, as a share of output white, a near-white's roll-off under a
    // lifted curve starts: a colour whose lowest channel is at least
    // kNearWhiteShare of its top (in the output's space); it rises to knee
    // low as that share falls to half.
    static constexpr float kNearWhiteKneeStart = 0.8f;
    static constexpr float kNearWhiteShare = 0.7f;

    // A shoulder over u in [0, 1] that keeps 0 and 1 and starts with slope
    // `slope` (above 1): the share `even` of its rise is spread evenly and
    // the rest goes through the rational lift p·u ÷ (1 + (p − 1)·u), so its
    // slope never falls below `even` and the top keeps its gradation.
    // Beyond 1 it keeps rising.
    static float shoulderCurve(float u, float slope, float even) {
        const float power = (slope - even) / (1.0f - even);
        return even * u + (1.0f - even) * power * u / (1.0f + (power - 1.0f) * u);
    }

    ComputeMatrixAndLUT() = default;

    const DictionaryPtr& cameraParameters() const { return cameraParameters_; }
    void setCameraParameters(DictionaryPtr parameters) {
        cameraParameters_ = std::move(parameters);
    }
    void setCameraParameters(platform::Dictionary parameters) {
        cameraParameters_ = std::make_shared<const platform::Dictionary>(std::move(parameters));
    }
    const DictionaryPtr& imageParameters() const { return imageParameters_; }
    void setImageParameters(DictionaryPtr parameters) { imageParameters_ = std::move(parameters); }
    void setImageParameters(platform::Dictionary parameters) {
        imageParameters_ = std::make_shared<const platform::Dictionary>(std::move(parameters));
    }
    bool enableCinematic() const { return enableCinematic_; }
    void setEnableCinematic(bool enable) { enableCinematic_ = enable; }
    // Set when the caller's camera-profile curve lifts the image by a positive
    // baseline exposure under "Quorvex_MaintainWhites" (keeping white at
    // white); the matrix then leaves that exposure out instead of clipping
    // everything above 1 ÷ 2^B.
    bool positiveBaselineInCurve() const { return positiveBaselineInCurve_; }
    void setPositiveBaselineInCurve(bool inCurve) { positiveBaselineInCurve_ = inCurve; }
    // Set when that curve is the automatic profile's: the colours its lift
    // pushes past white then roll off through the knee. A profile of the
    // user's choice keeps its own rendering.
    bool rollOffLiftedColours() const { return rollOffLiftedColours_; }
    void setRollOffLiftedColours(bool rollOff) { rollOffLiftedColours_ = rollOff; }

    // Fills the gain table (lutWidth entries of four floats: a float image
    // buffer's row 0 and its width), the matrix and the three scalars. False, with nothing written,
    // when a dictionary, the table (or a width below 2), the matrix or an output is missing.
    bool populateFloatLUTAndMatrix(float* lut, uint16_t lutWidth, float matrix[4][4],
                                   float* outputOffset, float* kneeLow, float* kneeF);

    // The k with ln(1 + k·x) ÷ k = t, by doubling then 30 bisection steps.
    static float solveKnee(float x, float t);

    bool haveTemperature() const { return haveTemperature_; }
    bool haveBaseline() const { return haveBaseline_; }
    float baselineExposure() const { return baselineExposure_; }
    // Whether the last call's knee is the roll-off of a positive baseline,
    // applied to each pixel's top channel and the pixel as a whole: from
    // knee low, the top channel follows shoulderCurve (kRollOffEvenShare)
    // that takes kneeEnd (in units of mid grey, the input's white at this
    // exposure) to output white. When kneeStartsAtLuminance, a pixel whose
    // luminance lies above knee low rolls off from there instead, a
    // near-white from lower down (kNearWhiteKneeStart), and the renderer
    // takes the top channel in the output's space, so that a tinted
    // near-white does not pass its white where the neutral beside it does not.
    bool kneeOnWholePixel() const { return kneeWhole_; }
    float kneeEnd() const { return kneeEnd_; }
    bool kneeStartsAtLuminance() const { return kneeFromLuminance_; }
    // The diagonal of the last white-balance matrix.
    float wbMultiplier(int channel) const { return wbMultiplier_[channel][channel]; }

private:
    void readAsShotWhite();
    void computeWhiteBalance(bool useAsShot);
    void fillTable(float* lut, uint16_t width, float* outputOffset) const;
    // The knee from `start` (of output white) that takes the input's white at
    // this exposure to output white; left off when that white is not above it.
    void setBaselineKnee(float exposure, float start, float* kneeLow, float* kneeF);

    DictionaryPtr cameraParameters_;
    DictionaryPtr imageParameters_;
    bool haveTemperature_ = false;
    bool haveBaseline_ = false;
    float camFromXYZ_[3][3] = {};
    float camFromRGB_[3][3] = {};
    float asShotMultiplier_[3] = {};
    float wbMultiplier_[3][3] = {};
    float xformMatrix_[3][3] = {};
    float baselineExposure_ = 0;
    bool enableCinematic_ = false;
    bool positiveBaselineInCurve_ = false;
    bool rollOffLiftedColours_ = false;
    bool kneeWhole_ = false;
    bool kneeFromLuminance_ = false;
    float kneeEnd_ = 0;
};
