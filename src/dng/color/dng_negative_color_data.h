// What `dng_color_spec` reads from a negative: its colour channel
// count, camera calibrations with their signature, and analog balance.
// dng_negative implements it; tests and other callers may supply their own.
// Implementations are read only during dng_color_spec construction.
#pragma once

#include "dng/core/dng_matrix.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_types.h"

class dng_negative_color_data {
public:
    virtual ~dng_negative_color_data() = default;

    virtual uint32 ColorChannels() const = 0;

    virtual const dng_string& CameraCalibrationSignature() const = 0;

    // channels × channels when present, else empty.
    virtual const dng_matrix& CameraCalibration1() const = 0;
    virtual const dng_matrix& CameraCalibration2() const = 0;

    // 1.0 for channels the negative has no balance for.
    virtual real64 AnalogBalance(uint32 channel) const = 0;
};
