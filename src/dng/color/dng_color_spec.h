// The colour transforms a white point needs for one negative and one camera
// profile: the colour matrix interpolated for that white between the
// profile's two calibration illuminants (in inverse temperature), the camera
// neutral for the white, and the matrices between camera space and the
// profile connection space (XYZ with the D50 white). Also finds the white a
// camera neutral stands for.
//
// Copies what it needs at construction; owns no reference to the negative or
// the profile afterwards. Not locked: SetWhiteXY changes the state, the const
// methods may be used from several threads when nobody sets a white.
#pragma once

#include "dng/color/dng_xy_coord.h"
#include "dng/core/dng_matrix.h"
#include "dng/core/dng_types.h"
#include "dng/core/dng_vector.h"

class dng_camera_profile;
class dng_negative_color_data;

// Linearised Bradford adaptation of XYZ colours seen under white1 to white2.
dng_matrix MapWhiteMatrix(const dng_xy_coord& white1, const dng_xy_coord& white2);

class dng_color_spec {
public:
    // dng_error_bad_format without a profile or with one that does not fit
    // the negative's channel count; dng_error_unknown for a stubbed profile.
    // A one-channel negative needs no profile.
    dng_color_spec(const dng_negative_color_data& negative, const dng_camera_profile* profile);
    virtual ~dng_color_spec();
    dng_color_spec(const dng_color_spec&) = delete;
    dng_color_spec& operator=(const dng_color_spec&) = delete;

    uint32 Channels() const { return fChannels; }

    void SetWhiteXY(const dng_xy_coord& white);

    const dng_xy_coord& WhiteXY() const { return fWhiteXY; }
    const dng_vector& CameraWhite() const { return fCameraWhite; }
    const dng_matrix& CameraToPCS() const { return fCameraToPCS; }
    const dng_matrix& PCStoCamera() const { return fPCStoCamera; }

    // The colour matrix for a white; the outputs, when given, receive the
    // forward and reduction matrices (empty when the profile has none) and
    // the camera calibration for that white.
    dng_matrix FindXYZtoCamera(const dng_xy_coord& white, dng_matrix* forwardMatrix = nullptr,
                               dng_matrix* reductionMatrix = nullptr,
                               dng_matrix* cameraCalibration = nullptr) const;

    // The white whose camera neutral is this vector (an iterative search).
    dng_xy_coord NeutralToXY(const dng_vector& neutral) const;

    // Calibration temperatures in kelvin, first not above second.
    real64 Temperature1() const { return fTemperature1; }
    real64 Temperature2() const { return fTemperature2; }

private:
    uint32 fChannels;

    real64 fTemperature1 = 0.0;
    real64 fTemperature2 = 0.0;

    dng_matrix fColorMatrix1;
    dng_matrix fColorMatrix2;

    dng_matrix fForwardMatrix1;
    dng_matrix fForwardMatrix2;

    dng_matrix fReductionMatrix1;
    dng_matrix fReductionMatrix2;

    dng_matrix fCameraCalibration1;
    dng_matrix fCameraCalibration2;

    dng_matrix fAnalogBalance;

    dng_xy_coord fWhiteXY;

    dng_vector fCameraWhite;
    dng_matrix fCameraToPCS;
    dng_matrix fPCStoCamera;
};
