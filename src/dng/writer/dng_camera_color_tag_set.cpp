#include "dng/writer/dng_camera_color_tag_set.h"

#include "dng/core/dng_exception.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/image/dng_negative.h"
#include "dng/writer/dng_tiff_directory.h"

dng_camera_color_tag_set::dng_camera_color_tag_set(dng_tiff_directory& directory,
                                                   const dng_negative& negative) {
    const uint32 channels = negative.ColorChannels();
    if (channels < 2) return;
    if (channels > 4) ThrowProgramError("Too many colour channels");

    auto add = [&](const tiff_tag& tag) { directory.Add(&tag); };

    bool addedCalibration = false;
    const struct {
        uint16 code;
        const dng_matrix* matrix;
    } calibrations[] = {{tcCameraCalibration1, &negative.CameraCalibration1()},
                        {tcCameraCalibration2, &negative.CameraCalibration2()}};
    for (const auto& c : calibrations) {
        if (c.matrix->Rows() * c.matrix->Cols() == channels * channels) {
            add(fTags.Make<tag_matrix>(c.code, *c.matrix));
            addedCalibration = true;
        }
    }
    if (addedCalibration && negative.CameraCalibrationSignature().NotEmpty()) {
        add(fTags.Make<tag_string>(tcCameraCalibrationSignature,
                                   negative.CameraCalibrationSignature()));
    }
    if (negative.AsShotProfileName().NotEmpty()) {
        add(fTags.Make<tag_string>(tcAsShotProfileName, negative.AsShotProfileName()));
    }

    for (uint32 i = 0; i < channels; i++) fAnalogBalanceData[i] = negative.AnalogBalanceR(i);
    add(fTags.Make<tag_urational_ptr>(tcAnalogBalance, fAnalogBalanceData, channels));

    if (negative.HasCameraNeutral()) {
        for (uint32 i = 0; i < channels; i++) fAsShotNeutralData[i] = negative.CameraNeutralR(i);
        add(fTags.Make<tag_urational_ptr>(tcAsShotNeutral, fAsShotNeutralData, channels));
    } else if (negative.HasCameraWhiteXY()) {
        negative.GetCameraWhiteXY(fAsShotWhiteXYData[0], fAsShotWhiteXYData[1]);
        add(fTags.Make<tag_urational_ptr>(tcAsShotWhiteXY, fAsShotWhiteXYData, 2));
    }

    add(fTags.Make<tag_urational>(tcLinearResponseLimit, negative.LinearResponseLimitR()));
}

dng_camera_color_tag_set::~dng_camera_color_tag_set() = default;
