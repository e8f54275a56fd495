// The application's camera profile: either the built-in automatic profile
// (the camera's own colour matrix) or a DNG camera profile read from a ".dcp"
// file of the profile library. It hands the raw decoder two 3×3 colour
// matrices, builds the core stage's tone table from the profile's tone curve
// (or the default curve), names itself for menus and writes itself into
// property lists as {"Class_of_serialized_Object", "FileName"}.
//
// Ownership: shared through std::shared_ptr (settings dictionaries hold it as
// a platform::Object). A file profile owns its parsed dng_camera_profile.
//
// Thread safety: made and configured on one thread, then read from any.
// generateLUT/generateLUT16 may run on several threads at once: they
// serialise on the object's own lock because they rewrite the curve
// coefficients. computecurveAdjust and curveAdjust are unlocked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "platform/BitmapImage.h"
#include "platform/Value.h"

class dng_camera_profile;

class DNGCameraProfileAbstract : public platform::Object {
public:
    using Ptr = std::shared_ptr<DNGCameraProfileAbstract>;

    static constexpr const char* kAutoProfileName = "<Quorvex built-in profile>";
    static constexpr uint32_t kLUT16Size = 65536;
    // The default tone curve: 1,025 samples at k ÷ 1024.
    static constexpr int kDefaultCurveEntries = 1025;

    static Ptr initAsAutoProfile();
    // The profile read from a ".dcp" file; null when it cannot be read or its
    // colour matrices cannot serve a camera (logged; `problem`, when given,
    // says which, as "its colour matrix cannot be inverted").
    static Ptr initFromFile(const std::filesystem::path& url, std::string* problem = nullptr);
    // {"FileName": name} finds the file of that name in the profile folder;
    // without a usable name, or when initFromFile refuses the file, the
    // automatic profile, with one warning naming the file and its problem.
    // Never null. Names with a folder part are refused.
    static Ptr initFromPList(const platform::Dictionary& plist);

    ~DNGCameraProfileAbstract() override;
    DNGCameraProfileAbstract(const DNGCameraProfileAbstract&) = delete;
    DNGCameraProfileAbstract& operator=(const DNGCameraProfileAbstract&) = delete;

    // platform::Object
    std::string className() const override { return "DNGCameraProfileAbstract"; }
    // Same object, or both come from files with the same file name. Two
    // distinct automatic profiles are unequal.
    bool isEqualTo(const platform::Object& other) const override;
    platform::Value objectSerializeForPList() const override;

    bool isAutoProfile() const { return profileURL_.empty(); }
    // name, or "<restriction> : <name>" when the profile is restricted to a camera.
    std::string displayName() const;
    std::string description() const { return displayName(); }
    // Hash of the file name; 0 for the automatic profile.
    std::size_t hash() const;

    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    const std::string& uniqueCameraModelRestriction() const { return restriction_; }
    void setUniqueCameraModelRestriction(std::string restriction) {
        restriction_ = std::move(restriction);
    }
    const std::shared_ptr<const platform::BitmapImage>& icon() const { return icon_; }
    void setIcon(std::shared_ptr<const platform::BitmapImage> icon) { icon_ = std::move(icon); }
    // Empty for the automatic profile.
    const std::filesystem::path& profileURL() const { return profileURL_; }
    void setProfileURL(std::filesystem::path url) { profileURL_ = std::move(url); }
    // The parsed profile of a file profile; null for the automatic one.
    const dng_camera_profile* dngProfile() const { return dngProfile_.get(); }

    // Rows and columns 0..2; outside that, reads give 0 and writes are ignored.
    float getcolorMatrix1(int32_t row, int32_t col) const;
    float getcolorMatrix2(int32_t row, int32_t col) const;
    void setcolorMatrix1(int32_t row, int32_t col, float value);
    void setcolorMatrix2(int32_t row, int32_t col, float value);

    // The exposure curve for a baseline exposure: identity slope 2^EV for
    // EV ≥ 0; for EV < 0 a line of slope 2^EV up to 0.25 joined by a
    // quadratic that reaches 1 at 1.
    void computecurveAdjust(float ev) const;
    float curveAdjust(float x) const;
    // power·x ÷ (1 + (power − 1)·x) over x in [0, 1]: a brightening that
    // keeps 0 and 1, with slope power at 0 and 1 ÷ power at 1.
    static float liftCurve(float x, float power);

    // Fills a tone table of lutSize entries: 16-bit values (F·(n−1), clamped)
    // and/or float gains F[i] ÷ x_i (entry 0 keeps the curve's value at 0).
    // With clipWhites off, the baseline exposure darkens through curveAdjust
    // when negative and lifts through liftCurve (power 2^B) when positive;
    // toneCurve weighs the profile's curve (none for an output-referred
    // source). For the automatic profile the lifted curve keeps its shape up
    // to 0.9 × 2^-B and continues from there to its end along
    // ComputeMatrixAndLUT::shoulderCurve, nearly evenly.
    // Either table may be null.
    void generateLUT(uint16_t* lut, float* fLut, uint32_t lutSize, float baselineExposure,
                     bool processAsOutputReferred, bool clipWhites, float toneCurve) const;
    void generateLUT16(uint16_t* lut, float* fLut, float baselineExposure,
                       bool processAsOutputReferred, bool clipWhites, float toneCurve) const;

    // The default tone curve, linearly interpolated in its table; inputs
    // outside [0, 1) come back unchanged.
    static float dng_tone_curve_acr3_default(float x);
    // The default curve of (x − from) ÷ (to − from) for x in [from, to],
    // not mapped back into the range; x itself elsewhere.
    static float dng_tone_curve_acr3_defaultForNormalizedRange(float x, float from, float to);
    // The default curve stretched over [from, to] (from + D(...)·(to − from));
    // x itself outside. Equals dng_tone_curve_acr3_default for 0..1.
    static float dng_tone_curve_acr3_defaultInRange(float x, float from, float to);
    // The table behind the default curve (kDefaultCurveEntries values).
    static const float* defaultToneCurveTable();

    // A preview of a file: no thumbnail service reads profile files, so this
    // is the generic document icon at size × size (RGBA, 8 bits). Null for
    // an empty path or a size outside 1..1024.
    static std::shared_ptr<const platform::BitmapImage> imageWithPreviewOfFileAtPath(
        const std::filesystem::path& url, int size, bool asIcon);

protected:
    DNGCameraProfileAbstract();
    void localInitAsAutoProfile();
    bool localInitFromFile(const std::filesystem::path& url, std::string* problem = nullptr);

private:
    std::string readProfileFile(const std::filesystem::path& url);
    // Replaces the n-entry curve F above the input `from` by shoulderCurve
    // from F's value and slope there to its last value.
    static void evenOutLiftedTop(float* F, uint32_t n, float from);

    float colorMatrix1_[3][3] = {};
    float colorMatrix2_[3][3] = {};
    std::string name_;
    std::string restriction_;
    std::shared_ptr<const platform::BitmapImage> icon_;
    std::filesystem::path profileURL_;
    mutable float fSlope_ = 0, a_ = 0, b_ = 0, c_ = 0;
    std::unique_ptr<dng_camera_profile> dngProfile_;
    mutable std::mutex lutMutex_;
};
