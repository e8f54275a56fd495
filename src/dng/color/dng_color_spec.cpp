#include "dng/color/dng_color_spec.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_negative_color_data.h"
#include "dng/color/dng_temperature.h"
#include "dng/core/dng_exception.h"

namespace {

constexpr real64 kSingleSetTemperature = 5000.0;
constexpr uint32 kMaxNeutralPasses = 30;
constexpr real64 kNeutralConvergence = 0.0000001;

// Each row scaled so that camera white (all ones) maps to the PCS white.
void NormalizeForwardMatrix(dng_matrix& m) {
    if (m.IsEmpty()) return;
    dng_vector ones;
    ones.SetIdentity(m.Cols());
    const dng_vector xyz = m * ones;
    m = PCStoXYZ().AsDiagonal() * Invert(xyz.AsDiagonal()) * m;
}

dng_matrix Blend(const dng_matrix& m1, const dng_matrix& m2, real64 weight1) {
    if (weight1 >= 1.0) return m1;
    if (weight1 <= 0.0) return m2;
    return weight1 * m1 + (1.0 - weight1) * m2;
}

// Like Blend, but either matrix may be missing.
dng_matrix BlendOptional(const dng_matrix& m1, const dng_matrix& m2, real64 weight1) {
    if (m1.NotEmpty() && m2.NotEmpty()) return Blend(m1, m2, weight1);
    if (m1.NotEmpty()) return m1;
    return m2;
}

dng_matrix Identity(uint32 n) {
    dng_matrix m;
    m.SetIdentity(n);
    return m;
}

}  // namespace

dng_matrix MapWhiteMatrix(const dng_xy_coord& white1, const dng_xy_coord& white2) {
    const dng_matrix_3by3 mb(0.8951, 0.2664, -0.1614, -0.7502, 1.7135, 0.0367, 0.0389, -0.0685,
                             1.0296);
    dng_vector w1 = mb * XYtoXYZ(white1);
    dng_vector w2 = mb * XYtoXYZ(white2);

    dng_matrix_3by3 a;
    for (uint32 i = 0; i < 3; i++) {
        w1[i] = std::max(w1[i], 0.0);
        w2[i] = std::max(w2[i], 0.0);
        const real64 ratio = w1[i] > 0.0 ? w2[i] / w1[i] : 10.0;
        a[i][i] = std::clamp(ratio, 0.1, 10.0);
    }
    return Invert(mb) * a * mb;
}

dng_color_spec::dng_color_spec(const dng_negative_color_data& negative,
                               const dng_camera_profile* profile)
    : fChannels(negative.ColorChannels()) {
    if (fChannels < 2) return;

    if (profile == nullptr || !profile->IsValid(fChannels))
        ThrowBadFormat("No usable camera profile");
    if (profile->WasStubbed()) ThrowProgramError("Using stubbed profile");

    fTemperature1 = profile->CalibrationTemperature1();
    fTemperature2 = profile->CalibrationTemperature2();

    fColorMatrix1 = profile->ColorMatrix1();
    fColorMatrix2 = profile->ColorMatrix2();
    fForwardMatrix1 = profile->ForwardMatrix1();
    fForwardMatrix2 = profile->ForwardMatrix2();
    fReductionMatrix1 = profile->ReductionMatrix1();
    fReductionMatrix2 = profile->ReductionMatrix2();

    fCameraCalibration1 = Identity(fChannels);
    fCameraCalibration2 = Identity(fChannels);
    if (negative.CameraCalibrationSignature() == profile->ProfileCalibrationSignature()) {
        auto fits = [this](const dng_matrix& m) {
            return m.Rows() == fChannels && m.Cols() == fChannels;
        };
        if (fits(negative.CameraCalibration1()))
            fCameraCalibration1 = negative.CameraCalibration1();
        if (fits(negative.CameraCalibration2()))
            fCameraCalibration2 = negative.CameraCalibration2();
    }

    dng_vector balance(fChannels);
    for (uint32 j = 0; j < fChannels; j++) balance[j] = negative.AnalogBalance(j);
    fAnalogBalance = balance.AsDiagonal();

    NormalizeForwardMatrix(fForwardMatrix1);
    fColorMatrix1 = fAnalogBalance * fCameraCalibration1 * fColorMatrix1;

    if (profile->HasColorMatrix2() && fTemperature1 > 0.0 && fTemperature2 > 0.0 &&
        fTemperature1 != fTemperature2) {
        NormalizeForwardMatrix(fForwardMatrix2);
        fColorMatrix2 = fAnalogBalance * fCameraCalibration2 * fColorMatrix2;

        if (fTemperature1 > fTemperature2) {
            std::swap(fTemperature1, fTemperature2);
            std::swap(fColorMatrix1, fColorMatrix2);
            std::swap(fForwardMatrix1, fForwardMatrix2);
            std::swap(fReductionMatrix1, fReductionMatrix2);
            std::swap(fCameraCalibration1, fCameraCalibration2);
        }
    } else {
        fTemperature1 = kSingleSetTemperature;
        fTemperature2 = kSingleSetTemperature;
        fColorMatrix2 = fColorMatrix1;
        fForwardMatrix2 = fForwardMatrix1;
        fReductionMatrix2 = fReductionMatrix1;
        fCameraCalibration2 = fCameraCalibration1;
    }
}

dng_color_spec::~dng_color_spec() = default;

dng_matrix dng_color_spec::FindXYZtoCamera(const dng_xy_coord& white, dng_matrix* forwardMatrix,
                                           dng_matrix* reductionMatrix,
                                           dng_matrix* cameraCalibration) const {
    const real64 t = dng_temperature(white).Temperature();

    real64 g;
    if (t <= fTemperature1)
        g = 1.0;
    else if (t >= fTemperature2)
        g = 0.0;
    else
        g = (1.0 / t - 1.0 / fTemperature2) / (1.0 / fTemperature1 - 1.0 / fTemperature2);

    if (forwardMatrix) *forwardMatrix = BlendOptional(fForwardMatrix1, fForwardMatrix2, g);
    if (reductionMatrix) *reductionMatrix = BlendOptional(fReductionMatrix1, fReductionMatrix2, g);
    if (cameraCalibration) *cameraCalibration = Blend(fCameraCalibration1, fCameraCalibration2, g);
    return Blend(fColorMatrix1, fColorMatrix2, g);
}

void dng_color_spec::SetWhiteXY(const dng_xy_coord& white) {
    fWhiteXY = white;

    if (fChannels == 1) {
        fCameraWhite.SetIdentity(1);
        fCameraToPCS = PCStoXYZ().AsColumn();
        return;
    }

    dng_matrix forward, reduction, calibration;
    const dng_matrix colorMatrix = FindXYZtoCamera(white, &forward, &reduction, &calibration);

    dng_vector cameraWhite = colorMatrix * XYtoXYZ(white);
    // A white the camera cannot see at all leaves every channel at the floor.
    const real64 maxWhite = cameraWhite.MaxEntry();
    const real64 whiteScale = maxWhite > 0.0 ? 1.0 / maxWhite : 0.0;
    for (uint32 j = 0; j < fChannels; j++)
        cameraWhite[j] = std::clamp(cameraWhite[j] * whiteScale, 0.001, 1.0);
    fCameraWhite = cameraWhite;

    // PCS white just reaches 1.0 in the first channel to saturate.
    fPCStoCamera = colorMatrix * MapWhiteMatrix(D50_xy_coord(), white);
    const real64 scale = (fPCStoCamera * PCStoXYZ()).MaxEntry();
    if (!(scale > 0.0)) ThrowMatrixMath("PCS white maps to no camera response");
    fPCStoCamera = (1.0 / scale) * fPCStoCamera;

    if (forward.NotEmpty()) {
        const dng_matrix individualToReference = Invert(fAnalogBalance * calibration);
        const dng_vector refCameraWhite = individualToReference * fCameraWhite;
        fCameraToPCS = forward * Invert(refCameraWhite.AsDiagonal()) * individualToReference;
    } else {
        fCameraToPCS = Invert(fPCStoCamera, reduction);
    }
}

dng_xy_coord dng_color_spec::NeutralToXY(const dng_vector& neutral) const {
    if (fChannels == 1) return D50_xy_coord();

    dng_xy_coord last = D50_xy_coord();
    for (uint32 pass = 0; pass < kMaxNeutralPasses; pass++) {
        const dng_matrix xyzToCamera = FindXYZtoCamera(last);
        const dng_xy_coord next = XYZtoXY(dng_vector_3(Invert(xyzToCamera) * neutral));
        if (std::fabs(next.x - last.x) + std::fabs(next.y - last.y) < kNeutralConvergence)
            return next;
        if (pass == kMaxNeutralPasses - 1)
            return dng_xy_coord((last.x + next.x) * 0.5, (last.y + next.y) * 0.5);
        last = next;
    }
    return last;
}
