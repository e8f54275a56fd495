// A camera profile: colour, forward and reduction matrices for up to two
// calibration illuminants, hue/sat maps, a look table, a tone curve and the
// profile's identity, with an MD5 fingerprint over its data. Filled from a
// standalone profile file or by setters; checked against a camera's channel
// count before use.
//
// A value owned by one holder (usually a negative or a profile object). Not
// locked: the fingerprint is computed lazily on first request, so even the
// const accessors must not be used from several threads at once unless the
// fingerprint has been computed first.
#pragma once

#include <memory>

#include "dng/color/dng_hue_sat_map.h"
#include "dng/color/dng_tone_curve.h"
#include "dng/color/dng_xy_coord.h"
#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_matrix.h"
#include "dng/core/dng_rational.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_types.h"

class dng_1d_table;
class dng_camera_profile_info;
class dng_memory_allocator;
class dng_stream;

class dng_camera_profile {
public:
    // Tone curves longer than this many values (x and y counted apart) are refused.
    static constexpr uint32 kMaxToneCurveValues = 16385;

    dng_camera_profile();
    virtual ~dng_camera_profile();
    dng_camera_profile(const dng_camera_profile&) = default;
    dng_camera_profile& operator=(const dng_camera_profile&) = default;

    // EXIF light-source code to kelvin; 0 for codes without a temperature.
    static real64 IlluminantToTemperature(uint32 light);

    void SetName(const char* name);
    const dng_string& Name() const { return fName; }
    bool NameIsEmbedded() const { return fName.Matches("Embedded", true); }

    void SetCalibrationIlluminant1(uint32 light);
    void SetCalibrationIlluminant2(uint32 light);
    uint32 CalibrationIlluminant1() const { return fCalibrationIlluminant1; }
    uint32 CalibrationIlluminant2() const { return fCalibrationIlluminant2; }
    real64 CalibrationTemperature1() const {
        return IlluminantToTemperature(fCalibrationIlluminant1);
    }
    real64 CalibrationTemperature2() const {
        return IlluminantToTemperature(fCalibrationIlluminant2);
    }

    // Copied, then scaled when the D50 response peaks outside 0.99..1.01 and
    // rounded to 1/10000.
    void SetColorMatrix1(const dng_matrix& m);
    void SetColorMatrix2(const dng_matrix& m);
    const dng_matrix& ColorMatrix1() const { return fColorMatrix1; }
    const dng_matrix& ColorMatrix2() const { return fColorMatrix2; }

    // 3 columns and more than one row.
    bool HasColorMatrix1() const;
    // 3 columns and as many rows as colour matrix 1.
    bool HasColorMatrix2() const;

    // Copied and rounded to 1/10000.
    void SetForwardMatrix1(const dng_matrix& m);
    void SetForwardMatrix2(const dng_matrix& m);
    const dng_matrix& ForwardMatrix1() const { return fForwardMatrix1; }
    const dng_matrix& ForwardMatrix2() const { return fForwardMatrix2; }

    void SetReductionMatrix1(const dng_matrix& m);
    void SetReductionMatrix2(const dng_matrix& m);
    const dng_matrix& ReductionMatrix1() const { return fReductionMatrix1; }
    const dng_matrix& ReductionMatrix2() const { return fReductionMatrix2; }

    void SetCopyright(const char* copyright);
    const dng_string& Copyright() const { return fCopyright; }

    // 0 allow copying, 1 embed if used, 2 embed never, 3 no restrictions.
    void SetEmbedPolicy(uint32 policy);
    uint32 EmbedPolicy() const { return fEmbedPolicy; }

    void SetHueSatDeltas1(const dng_hue_sat_map& deltas);
    void SetHueSatDeltas2(const dng_hue_sat_map& deltas);
    const dng_hue_sat_map& HueSatDeltas1() const { return fHueSatDeltas1; }
    const dng_hue_sat_map& HueSatDeltas2() const { return fHueSatDeltas2; }
    void SetHueSatMapEncoding(uint32 encoding);
    uint32 HueSatMapEncoding() const { return fHueSatMapEncoding; }

    void SetLookTable(const dng_hue_sat_map& table);
    const dng_hue_sat_map& LookTable() const { return fLookTable; }
    void SetLookTableEncoding(uint32 encoding);
    uint32 LookTableEncoding() const { return fLookTableEncoding; }

    void SetBaselineExposureOffset(real64 exposureOffset);
    const dng_srational& BaselineExposureOffset() const { return fBaselineExposureOffset; }

    void SetDefaultBlackRender(uint32 defaultBlackRender);
    uint32 DefaultBlackRender() const { return fDefaultBlackRender; }

    void SetToneCurve(const dng_tone_curve& curve);
    const dng_tone_curve& ToneCurve() const { return fToneCurve; }

    void SetProfileCalibrationSignature(const char* signature);
    const dng_string& ProfileCalibrationSignature() const { return fProfileCalibrationSignature; }

    void SetUniqueCameraModelRestriction(const char* model);
    const dng_string& UniqueCameraModelRestriction() const { return fUniqueCameraModelRestriction; }

    void SetWasReadFromDNG(bool state = true) { fWasReadFromDNG = state; }
    bool WasReadFromDNG() const { return fWasReadFromDNG; }
    void SetWasReadFromDisk(bool state = true) { fWasReadFromDisk = state; }
    bool WasReadFromDisk() const { return fWasReadFromDisk; }
    void SetWasBuiltinMatrix(bool state = true) { fWasBuiltinMatrix = state; }
    bool WasBuiltinMatrix() const { return fWasBuiltinMatrix; }
    void SetWasStubbed(bool state = true) { fWasStubbed = state; }
    bool WasStubbed() const { return fWasStubbed; }

    // Consistent with a camera of this many colour channels.
    bool IsValid(uint32 channels) const;

    // Same colour data, whatever the names, copyright and embed policy.
    bool EqualData(const dng_camera_profile& profile) const;

    // MD5 over the data and identity; the stored fingerprint is computed on
    // first request and cleared by every setter.
    dng_fingerprint CalculateFingerprint() const;
    const dng_fingerprint& Fingerprint() const;
    void ClearFingerprint() { fFingerprint.Clear(); }
    // The fingerprint combined with the camera model restriction.
    dng_fingerprint UniqueID() const;

    // Copies a parsed record and reads its tables from the stream. Throws on
    // malformed or truncated tables.
    void Parse(dng_stream& stream, const dng_camera_profile_info& profileInfo);

    // Reads a standalone profile file; false on any failure, leaving the
    // profile partly filled.
    bool ParseExtended(dng_stream& stream);

    // A three-channel profile becomes a four-colour one whose fourth channel
    // repeats the second (green); other profiles are left alone.
    virtual void SetFourColorBayer();

    // The hue/sat map for a white, blended between the two illuminants'
    // maps; null when there is no usable map. Owned by the caller.
    std::unique_ptr<dng_hue_sat_map> HueSatMapForWhite(const dng_xy_coord& white) const;

    static void SplitCameraProfileName(const dng_string& name, dng_string& baseName,
                                       int32& version);

    // For one channel: a gamma 2.2 encoding table and its inverse (4096
    // entries each); for other counts both tables are left as they are.
    static void MakeGammaTables(dng_memory_allocator& allocator, uint32 channels, bool subSample,
                                std::unique_ptr<dng_1d_table>& encodeTable,
                                std::unique_ptr<dng_1d_table>& decodeTable);

    // Scaled so that the PCS white reaches 1 in its largest channel, then
    // rounded to 1/10000: a colour matrix as the profile keeps it.
    static void NormalizeColorMatrix(dng_matrix& m);

private:
    static void ReadHueSatMap(dng_stream& stream, uint64 offset, uint32 count, uint32 hues,
                              uint32 sats, uint32 vals, dng_hue_sat_map& map);
    void ReadToneCurve(dng_stream& stream, uint64 offset, uint32 count);

    dng_string fName;
    uint32 fCalibrationIlluminant1 = 0;
    uint32 fCalibrationIlluminant2 = 0;
    dng_matrix fColorMatrix1;
    dng_matrix fColorMatrix2;
    dng_matrix fForwardMatrix1;
    dng_matrix fForwardMatrix2;
    dng_matrix fReductionMatrix1;
    dng_matrix fReductionMatrix2;
    mutable dng_fingerprint fFingerprint;
    dng_string fCopyright;
    uint32 fEmbedPolicy = 0;
    dng_hue_sat_map fHueSatDeltas1;
    dng_hue_sat_map fHueSatDeltas2;
    uint32 fHueSatMapEncoding = 0;
    dng_hue_sat_map fLookTable;
    uint32 fLookTableEncoding = 0;
    dng_srational fBaselineExposureOffset{0, 100};
    uint32 fDefaultBlackRender = 0;
    dng_tone_curve fToneCurve;
    dng_string fProfileCalibrationSignature;
    dng_string fUniqueCameraModelRestriction;
    bool fWasReadFromDNG = false;
    bool fWasReadFromDisk = false;
    bool fWasBuiltinMatrix = false;
    bool fWasStubbed = false;
};
