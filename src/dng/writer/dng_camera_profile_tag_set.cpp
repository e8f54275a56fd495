#include "dng/writer/dng_camera_profile_tag_set.h"

#include "dng/color/dng_camera_profile.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/writer/dng_tiff_directory.h"

namespace {

// Floats of a map's entries (three per entry); 0 for a map that is not written.
uint32 MapFloatCount(const dng_hue_sat_map& map) {
    uint32 hues = 0, sats = 0, vals = 0;
    map.GetDivisions(hues, sats, vals);
    if (hues == 0 || sats < 2 || vals == 0 || map.GetConstDeltas() == nullptr) return 0;
    return SafeUint32Mult(SafeUint32Mult3(hues, sats, vals), 3);
}

}  // namespace

dng_camera_profile_tag_set::dng_camera_profile_tag_set(dng_tiff_directory& directory,
                                                       const dng_camera_profile& profile) {
    if (!profile.HasColorMatrix1()) return;

    const uint32 channels = profile.ColorMatrix1().Rows();
    const uint32 hueSatCount1 = MapFloatCount(profile.HueSatDeltas1());
    const uint32 hueSatCount2 =
        profile.HasColorMatrix2() ? MapFloatCount(profile.HueSatDeltas2()) : 0;
    const uint32 lookTableCount = MapFloatCount(profile.LookTable());

    auto addMatrix = [&](uint16 code, const dng_matrix& m) {
        directory.Add(&Make<tag_matrix>(code, m));
    };
    auto addSideMatrices = [&](uint16 forwardCode, const dng_matrix& forward, uint16 reductionCode,
                               const dng_matrix& reduction) {
        if (forward.Rows() * forward.Cols() == channels * 3) addMatrix(forwardCode, forward);
        if (channels >= 4 && reduction.Rows() * reduction.Cols() == channels * 3) {
            addMatrix(reductionCode, reduction);
        }
    };

    directory.Add(&Make<tag_uint16>(tcCalibrationIlluminant1,
                                    static_cast<uint16>(profile.CalibrationIlluminant1())));
    addMatrix(tcColorMatrix1, profile.ColorMatrix1());
    addSideMatrices(tcForwardMatrix1, profile.ForwardMatrix1(), tcReductionMatrix1,
                    profile.ReductionMatrix1());

    if (profile.HasColorMatrix2()) {
        directory.Add(&Make<tag_uint16>(tcCalibrationIlluminant2,
                                        static_cast<uint16>(profile.CalibrationIlluminant2())));
        addMatrix(tcColorMatrix2, profile.ColorMatrix2());
        addSideMatrices(tcForwardMatrix2, profile.ForwardMatrix2(), tcReductionMatrix2,
                        profile.ReductionMatrix2());
    }

    if (profile.Name().NotEmpty()) {
        directory.Add(&Make<tag_string>(tcProfileName, profile.Name(), false));
    }
    if (profile.ProfileCalibrationSignature().NotEmpty()) {
        directory.Add(&Make<tag_string>(tcProfileCalibrationSignature,
                                        profile.ProfileCalibrationSignature(), false));
    }
    directory.Add(&Make<tag_uint32>(tcProfileEmbedPolicy, profile.EmbedPolicy()));
    if (profile.Copyright().NotEmpty()) {
        directory.Add(&Make<tag_string>(tcProfileCopyright, profile.Copyright(), false));
    }

    if (hueSatCount1 != 0 || hueSatCount2 != 0) {
        const dng_hue_sat_map& dimsMap =
            hueSatCount1 != 0 ? profile.HueSatDeltas1() : profile.HueSatDeltas2();
        dimsMap.GetDivisions(fHueSatMapDimsData[0], fHueSatMapDimsData[1], fHueSatMapDimsData[2]);
        directory.Add(&Make<tag_uint32_ptr>(tcProfileHueSatMapDims, fHueSatMapDimsData, 3));
        if (profile.HueSatMapEncoding() != 0) {
            directory.Add(
                &Make<tag_uint32>(tcProfileHueSatMapEncoding, profile.HueSatMapEncoding()));
        }
        if (hueSatCount1 != 0) {
            directory.Add(&Make<tag_data_ptr>(tcProfileHueSatMapData1, ttFloat, hueSatCount1,
                                              profile.HueSatDeltas1().GetConstDeltas()));
        }
        if (hueSatCount2 != 0) {
            directory.Add(&Make<tag_data_ptr>(tcProfileHueSatMapData2, ttFloat, hueSatCount2,
                                              profile.HueSatDeltas2().GetConstDeltas()));
        }
    }

    if (lookTableCount != 0) {
        profile.LookTable().GetDivisions(fLookTableDimsData[0], fLookTableDimsData[1],
                                         fLookTableDimsData[2]);
        directory.Add(&Make<tag_uint32_ptr>(tcProfileLookTableDims, fLookTableDimsData, 3));
        directory.Add(&Make<tag_data_ptr>(tcProfileLookTableData, ttFloat, lookTableCount,
                                          profile.LookTable().GetConstDeltas()));
        if (profile.LookTableEncoding() != 0) {
            directory.Add(
                &Make<tag_uint32>(tcProfileLookTableEncoding, profile.LookTableEncoding()));
        }
    }

    const dng_srational& offset = profile.BaselineExposureOffset();
    if (offset.d != 0 && offset.n != 0) {
        directory.Add(&Make<tag_srational>(tcBaselineExposureOffset, offset));
    }

    if (profile.DefaultBlackRender() != 0) {
        directory.Add(&Make<tag_uint32>(tcDefaultBlackRender, profile.DefaultBlackRender()));
    }

    const dng_tone_curve& curve = profile.ToneCurve();
    if (curve.IsValid()) {
        fToneCurveData.reserve(curve.fCoord.size() * 2);
        for (const dng_tone_curve::point& p : curve.fCoord) {
            fToneCurveData.push_back(static_cast<real32>(p.h));
            fToneCurveData.push_back(static_cast<real32>(p.v));
        }
        directory.Add(&Make<tag_data_ptr>(tcProfileToneCurve, ttFloat,
                                          static_cast<uint32>(fToneCurveData.size()),
                                          fToneCurveData.data()));
    }
}

dng_camera_profile_tag_set::~dng_camera_profile_tag_set() = default;
