// Correlated colour temperature and tint, converted to and from chromaticity
// along Robertson's isotemperature lines. A plain value type.
#pragma once

#include "dng/color/dng_xy_coord.h"

class dng_temperature {
public:
    dng_temperature() = default;

    dng_temperature(real64 temperature, real64 tint) : fTemperature(temperature), fTint(tint) {}

    explicit dng_temperature(const dng_xy_coord& xy) { Set_xy_coord(xy); }

    void SetTemperature(real64 temperature) { fTemperature = temperature; }
    real64 Temperature() const { return fTemperature; }

    void SetTint(real64 tint) { fTint = tint; }
    real64 Tint() const { return fTint; }

    void Set_xy_coord(const dng_xy_coord& xy);

    dng_xy_coord Get_xy_coord() const;

private:
    real64 fTemperature = 0.0;
    real64 fTint = 0.0;
};
