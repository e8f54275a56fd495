// An EXIF record with the fields a camera file usually carries, for the
// writer tests that read what they wrote back through outside tools.
#pragma once

#include "dng/core/dng_exif.h"

namespace writertest {

inline dng_date_time_info ExifDateTime(uint32 hour, const char* subseconds, int32 zoneMinutes) {
    dng_date_time_info info;
    info.SetDateTime(dng_date_time(2023, 6, 15, hour, 30, 45));
    info.SetSubseconds(dng_string(subseconds));
    dng_time_zone zone;
    zone.SetOffsetMinutes(zoneMinutes);
    info.SetZone(zone);
    return info;
}

// A record with the fields a camera file usually carries.
inline dng_exif FullExifRecord() {
    dng_exif exif;
    exif.SetVersion0231();
    exif.fMake.Set("Quorvex Test Camera Co");
    exif.fModel.Set("QTC-1");
    exif.fSoftware.Set("Quorvex");
    exif.fArtist.Set("A. Photographer");
    exif.fCopyright.Set("(c) 2023 A. Photographer");
    exif.fImageDescription.Set("A test scene");
    exif.fCameraSerialNumber.Set("SN12345");
    exif.fDateTime = ExifDateTime(16, "25", 120);
    exif.fDateTimeOriginal = ExifDateTime(14, "123", 120);
    exif.fDateTimeDigitized = ExifDateTime(15, "5", -330);
    exif.fExposureTime = dng_urational(1, 250);
    exif.SetFNumber(5.6);
    exif.fExposureBiasValue = dng_srational(-2, 3);
    exif.fFocalLength = dng_urational(50, 1);
    exif.fISOSpeedRatings[0] = 400;
    exif.fFlash = 16;
    exif.fExposureProgram = 3;
    exif.fMeteringMode = 5;
    exif.fWhiteBalance = 0;
    exif.fColorSpace = 1;
    exif.fFocalLengthIn35mmFilm = 75;
    exif.fSensitivityType = 2;
    exif.fRecommendedExposureIndex = 400;
    exif.fLensMake.Set("Quorvex Optics");
    exif.fLensName.Set("QO 24-70mm F2.8");
    exif.fLensSerialNumber.Set("L-777");
    exif.fLensInfo[0] = dng_urational(24, 1);
    exif.fLensInfo[1] = dng_urational(70, 1);
    exif.fLensInfo[2] = dng_urational(28, 10);
    exif.fLensInfo[3] = dng_urational(28, 10);
    exif.fUserComment.Set("hello");
    exif.fCFARepeatPatternRows = 2;
    exif.fCFARepeatPatternCols = 2;
    exif.fCFAPattern[0][0] = 0;
    exif.fCFAPattern[0][1] = 1;
    exif.fCFAPattern[1][0] = 1;
    exif.fCFAPattern[1][1] = 2;
    exif.fImageUniqueID.data[0] = 0xAB;
    exif.fImageUniqueID.data[15] = 0x01;

    exif.fGPSVersionID = 0x02030000;
    exif.fGPSLatitudeRef.Set("N");
    exif.fGPSLatitude[0] = dng_urational(48, 1);
    exif.fGPSLatitude[1] = dng_urational(51, 1);
    exif.fGPSLatitude[2] = dng_urational(2956, 100);
    exif.fGPSLongitudeRef.Set("W");
    exif.fGPSLongitude[0] = dng_urational(2, 1);
    exif.fGPSLongitude[1] = dng_urational(17, 1);
    exif.fGPSLongitude[2] = dng_urational(40, 1);
    exif.fGPSAltitudeRef = 1;
    exif.fGPSAltitude = dng_urational(123, 10);
    exif.fGPSTimeStamp[0] = dng_urational(12, 1);
    exif.fGPSTimeStamp[1] = dng_urational(34, 1);
    exif.fGPSTimeStamp[2] = dng_urational(56, 1);
    exif.fGPSDateStamp.Set("2023:06:15");
    exif.fGPSMapDatum.Set("WGS-84");
    exif.fGPSProcessingMethod.Set("GPS");
    return exif;
}

}  // namespace writertest
