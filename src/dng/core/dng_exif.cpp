#include "dng/core/dng_exif.h"

#include <cmath>

dng_exif::~dng_exif() = default;

std::unique_ptr<dng_exif> dng_exif::Clone(dng_memory_allocator*) const {
    return std::make_unique<dng_exif>(*this);
}

void dng_exif::SetEmpty() { *this = dng_exif(); }

void dng_exif::CopyGPSFrom(const dng_exif& o) {
    fGPSVersionID = o.fGPSVersionID;
    fGPSLatitudeRef = o.fGPSLatitudeRef;
    fGPSLongitudeRef = o.fGPSLongitudeRef;
    for (uint32 i = 0; i < 3; i++) {
        fGPSLatitude[i] = o.fGPSLatitude[i];
        fGPSLongitude[i] = o.fGPSLongitude[i];
        fGPSTimeStamp[i] = o.fGPSTimeStamp[i];
        fGPSDestLatitude[i] = o.fGPSDestLatitude[i];
        fGPSDestLongitude[i] = o.fGPSDestLongitude[i];
    }
    fGPSAltitudeRef = o.fGPSAltitudeRef;
    fGPSAltitude = o.fGPSAltitude;
    fGPSSatellites = o.fGPSSatellites;
    fGPSStatus = o.fGPSStatus;
    fGPSMeasureMode = o.fGPSMeasureMode;
    fGPSDOP = o.fGPSDOP;
    fGPSSpeedRef = o.fGPSSpeedRef;
    fGPSSpeed = o.fGPSSpeed;
    fGPSTrackRef = o.fGPSTrackRef;
    fGPSTrack = o.fGPSTrack;
    fGPSImgDirectionRef = o.fGPSImgDirectionRef;
    fGPSImgDirection = o.fGPSImgDirection;
    fGPSMapDatum = o.fGPSMapDatum;
    fGPSDestLatitudeRef = o.fGPSDestLatitudeRef;
    fGPSDestLongitudeRef = o.fGPSDestLongitudeRef;
    fGPSDestBearingRef = o.fGPSDestBearingRef;
    fGPSDestBearing = o.fGPSDestBearing;
    fGPSDestDistanceRef = o.fGPSDestDistanceRef;
    fGPSDestDistance = o.fGPSDestDistance;
    fGPSProcessingMethod = o.fGPSProcessingMethod;
    fGPSAreaInformation = o.fGPSAreaInformation;
    fGPSDateStamp = o.fGPSDateStamp;
    fGPSDifferential = o.fGPSDifferential;
    fGPSHPositioningError = o.fGPSHPositioningError;
}

void dng_exif::SetVersion0231() { fExifVersion = 0x30323331; }

bool dng_exif::AtLeastVersion0230() const { return fExifVersion >= 0x30323330; }

bool dng_exif::AtLeastVersion0231() const { return fExifVersion >= 0x30323331; }

// Third-stop shutter steps as cameras mark them. A time within 1/6 stop of a
// step is taken to be that step; others are kept as measured.
real64 dng_exif::SnapExposureTime(real64 et) {
    static const real64 kSteps[] = {
        1.0 / 32000, 1.0 / 25000, 1.0 / 20000, 1.0 / 16000, 1.0 / 12800, 1.0 / 10000, 1.0 / 8000,
        1.0 / 6400,  1.0 / 5000,  1.0 / 4000,  1.0 / 3200,  1.0 / 2500,  1.0 / 2000,  1.0 / 1600,
        1.0 / 1250,  1.0 / 1000,  1.0 / 800,   1.0 / 640,   1.0 / 500,   1.0 / 400,   1.0 / 320,
        1.0 / 250,   1.0 / 200,   1.0 / 160,   1.0 / 125,   1.0 / 100,   1.0 / 80,    1.0 / 60,
        1.0 / 50,    1.0 / 40,    1.0 / 30,    1.0 / 25,    1.0 / 20,    1.0 / 15,    1.0 / 13,
        1.0 / 10,    1.0 / 8,     1.0 / 6,     1.0 / 5,     1.0 / 4,     0.3,         0.4,
        0.5,         0.6,         0.8,         1.0,         1.3,         1.6,         2.0,
        2.5,         3.2,         4.0,         5.0,         6.0,         8.0,         10.0,
        13.0,        15.0,        20.0,        25.0,        30.0,        40.0,        50.0,
        60.0};
    if (!(et > 0.0)) return et;
    real64 best = et;
    real64 bestDistance = 1.0 / 6.0;
    for (real64 step : kSteps) {
        const real64 distance = std::fabs(std::log2(et / step));
        if (distance < bestDistance) {
            bestDistance = distance;
            best = step;
        }
    }
    return best;
}

// Times under a second are kept as 1/n when n is close to a whole number, as
// EXIF readers show them; other times keep four to six significant digits.
dng_urational dng_exif::EncodeExposureTime(real64 et) {
    dng_urational r;
    if (!(et > 0.0) || !std::isfinite(et)) return r;
    if (et < 1.0) {
        const real64 inverse = 1.0 / et;
        const real64 whole = std::floor(inverse + 0.5);
        if (whole >= 1.0 && whole <= 4294967295.0 && std::fabs(inverse - whole) < 0.001 * whole) {
            r = dng_urational(1, static_cast<uint32>(whole));
            return r;
        }
        r.SetReal64(et, 1000000);
        r.ReduceByFactor(10);
        return r;
    }
    if (et < 100000.0) {
        r.SetReal64(et, 10000);
        r.ReduceByFactor(10);
    } else {
        r.SetReal64(et, 1);
    }
    return r;
}

real64 dng_exif::ApertureValueToFNumber(real64 value) { return std::pow(2.0, 0.5 * value); }

real64 dng_exif::FNumberToApertureValue(real64 fNumber) { return 2.0 * std::log2(fNumber); }

void dng_exif::SetExposureTime(real64 et, bool snap) {
    fExposureTime.Clear();
    fShutterSpeedValue.Clear();
    if (!(et > 0.0) || !std::isfinite(et)) return;
    if (snap) et = SnapExposureTime(et);
    fExposureTime = EncodeExposureTime(et);
    // APEX time value of the stored (rounded) time.
    fShutterSpeedValue.SetReal64(-std::log2(fExposureTime.AsReal64()), 1000000);
    fShutterSpeedValue.ReduceByFactor(10);
}

void dng_exif::SetShutterSpeedValue(real64 value) {
    fShutterSpeedValue.Clear();
    if (!std::isfinite(value)) return;
    fShutterSpeedValue.SetReal64(value, 1000000);
    fShutterSpeedValue.ReduceByFactor(10);
    if (fExposureTime.NotValid()) fExposureTime = EncodeExposureTime(std::pow(2.0, -value));
}

void dng_exif::SetFNumber(real64 fs) {
    fFNumber.Clear();
    fApertureValue.Clear();
    if (!(fs > 0.0 && fs <= 32768.0)) return;
    fFNumber.SetReal64(fs, 100);
    fFNumber.ReduceByFactor(10);
    fApertureValue.SetReal64(FNumberToApertureValue(fs), 1000000);
    fApertureValue.ReduceByFactor(10);
}

void dng_exif::SetApertureValue(real64 value) {
    fApertureValue.Clear();
    if (!std::isfinite(value)) return;
    fApertureValue.SetReal64(value, 1000000);
    fApertureValue.ReduceByFactor(10);
    if (fFNumber.NotValid()) {
        const real64 fs = ApertureValueToFNumber(value);
        if (fs > 0.0 && fs <= 32768.0) {
            fFNumber.SetReal64(fs, 100);
            fFNumber.ReduceByFactor(10);
        }
    }
}

bool dng_exif::HasLensDistortInfo() const {
    for (const dng_srational& r : fLensDistortInfo)
        if (r.d == 0) return false;
    return true;
}
