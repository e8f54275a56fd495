#include "dng/writer/dng_exif_tag_set.h"

#include <algorithm>

#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_codes.h"

namespace {

bool Is16Bit(uint32 value) { return value <= 0xFFFF; }
bool IsByte(uint32 value) { return value <= 0xFF; }

void BigEndianBytes(uint32 value, uint8 out[4]) {
    out[0] = static_cast<uint8>(value >> 24);
    out[1] = static_cast<uint8>(value >> 16);
    out[2] = static_cast<uint8>(value >> 8);
    out[3] = static_cast<uint8>(value);
}

}  // namespace

dng_exif_tag_set::dng_exif_tag_set(dng_tiff_directory& directory, const dng_exif& exif,
                                   bool makerNoteSafe, const void* makerNoteData,
                                   uint32 makerNoteLength, bool insideDNG)
    : fExifLink(tcExifIFD, 0), fGPSLink(tcGPSInfo, 0) {
    AddMainTags(directory, exif, makerNoteSafe, makerNoteData, makerNoteLength, insideDNG);
    AddExifTags(exif, makerNoteSafe, makerNoteData, makerNoteLength, insideDNG);
    AddGPSTags(exif);

    if (!fExifIFD.IsEmpty() && !fAddedExifLink) {
        directory.Add(&fExifLink);
        fAddedExifLink = true;
    }
    if (!fGPSIFD.IsEmpty() && !fAddedGPSLink) {
        directory.Add(&fGPSLink);
        fAddedGPSLink = true;
    }
}

dng_exif_tag_set::~dng_exif_tag_set() = default;

void dng_exif_tag_set::Locate(uint32 offset) {
    fExifLink.Set(offset);
    fGPSLink.Set(SafeUint32Add(offset, fExifIFD.Size()));
}

uint32 dng_exif_tag_set::Size() const { return SafeUint32Add(fExifIFD.Size(), fGPSIFD.Size()); }

void dng_exif_tag_set::AddMainTags(dng_tiff_directory& directory, const dng_exif& exif,
                                   bool makerNoteSafe, const void* makerNoteData,
                                   uint32 makerNoteLength, bool insideDNG) {
    if (insideDNG) {
        if (exif.fImageNumber != 0xFFFFFFFF) {
            directory.Add(&Make<tag_uint32>(tcImageNumber, exif.fImageNumber));
        }
        if (Is16Bit(exif.fSelfTimerMode)) {
            directory.Add(
                &Make<tag_uint16>(tcSelfTimerMode, static_cast<uint16>(exif.fSelfTimerMode)));
        }
        if (exif.fBatteryLevelA.NotEmpty()) {
            directory.Add(&Make<tag_string>(tcBatteryLevel, exif.fBatteryLevelA));
        } else if (exif.fBatteryLevelR.IsValid()) {
            directory.Add(&Make<tag_urational>(tcBatteryLevel, exif.fBatteryLevelR));
        }
        if (exif.fLensInfo[0].IsValid() && exif.fLensInfo[1].IsValid()) {
            directory.Add(&Make<tag_urational_ptr>(tcLensInfo, exif.fLensInfo, 4));
        }
    }

    if (exif.fDateTime.IsValid()) {
        directory.Add(&Make<tag_exif_date_time>(tcDateTime, exif.fDateTime.DateTime()));
    }

    const struct {
        uint16 code;
        const dng_string* text;
    } texts[] = {{tcMake, &exif.fMake},           {tcModel, &exif.fModel},
                 {tcArtist, &exif.fArtist},       {tcSoftware, &exif.fSoftware},
                 {tcCopyright, &exif.fCopyright}, {tcImageDescription, &exif.fImageDescription}};
    for (const auto& t : texts) {
        if (t.text->NotEmpty()) directory.Add(&Make<tag_string>(t.code, *t.text));
    }

    if (insideDNG && exif.fCameraSerialNumber.NotEmpty()) {
        directory.Add(&Make<tag_string>(tcCameraSerialNumber, exif.fCameraSerialNumber));
    }

    if (makerNoteSafe && makerNoteData != nullptr && makerNoteLength != 0) {
        directory.Add(&Make<tag_uint16>(tcMakerNoteSafety, 1));
    }
}

void dng_exif_tag_set::AddExifTags(const dng_exif& exif, bool makerNoteSafe,
                                   const void* makerNoteData, uint32 makerNoteLength,
                                   bool insideDNG) {
    dng_tiff_directory& dir = fExifIFD;

    if (exif.fExifVersion != 0) {
        BigEndianBytes(exif.fExifVersion, fExifVersionData);
        dir.Add(&Make<tag_data_ptr>(tcExifVersion, ttUndefined, 4, fExifVersionData));
    }
    if (exif.fFlashPixVersion != 0) {
        BigEndianBytes(exif.fFlashPixVersion, fFlashPixVersionData);
        dir.Add(&Make<tag_data_ptr>(tcFlashPixVersion, ttUndefined, 4, fFlashPixVersionData));
    }

    // A DNG states its own layout; these describe the compressed image of a
    // JPEG or similar file.
    if (!insideDNG && exif.fComponentsConfiguration != 0) {
        BigEndianBytes(exif.fComponentsConfiguration, fComponentsConfigurationData);
        dir.Add(&Make<tag_data_ptr>(tcComponentsConfiguration, ttUndefined, 4,
                                    fComponentsConfigurationData));
    }
    if (!insideDNG && exif.fPixelXDimension != 0 && exif.fPixelYDimension != 0) {
        dir.Add(&Make<tag_uint32>(tcPixelXDimension, exif.fPixelXDimension));
        dir.Add(&Make<tag_uint32>(tcPixelYDimension, exif.fPixelYDimension));
    }

    auto addURational = [&](uint16 code, const dng_urational& value) {
        if (value.IsValid()) dir.Add(&Make<tag_urational>(code, value));
    };
    auto addSRational = [&](uint16 code, const dng_srational& value) {
        if (value.IsValid()) dir.Add(&Make<tag_srational>(code, value));
    };
    auto addShort = [&](uint16 code, uint32 value) {
        if (Is16Bit(value)) dir.Add(&Make<tag_uint16>(code, static_cast<uint16>(value)));
    };
    auto addText = [&](uint16 code, const dng_string& text) {
        if (text.NotEmpty()) dir.Add(&Make<tag_string>(code, text));
    };

    addURational(tcExposureTime, exif.fExposureTime);
    addSRational(tcShutterSpeedValue, exif.fShutterSpeedValue);
    addURational(tcFNumber, exif.fFNumber);
    addURational(tcApertureValue, exif.fApertureValue);
    addSRational(tcBrightnessValue, exif.fBrightnessValue);
    addSRational(tcExposureBiasValue, exif.fExposureBiasValue);
    addURational(tcMaxApertureValue, exif.fMaxApertureValue);
    addURational(tcSubjectDistance, exif.fSubjectDistance);
    addURational(tcFocalLength, exif.fFocalLength);

    if (exif.fISOSpeedRatings[0] != 0) {
        dir.Add(&Make<tag_uint16>(tcISOSpeedRatings, static_cast<uint16>(std::min<uint32>(
                                                         exif.fISOSpeedRatings[0], 0xFFFF))));
    }

    addShort(tcFlash, exif.fFlash);
    addShort(tcExposureProgram, exif.fExposureProgram);
    addShort(tcMeteringMode, exif.fMeteringMode);
    addShort(tcLightSource, exif.fLightSource);
    addShort(tcSensingMethod, exif.fSensingMethod);
    if (exif.fFocalLengthIn35mmFilm != 0)
        addShort(tcFocalLengthIn35mmFilm, exif.fFocalLengthIn35mmFilm);

    if (IsByte(exif.fFileSource)) {
        fFileSourceData = static_cast<uint8>(exif.fFileSource);
        dir.Add(&Make<tag_data_ptr>(tcFileSource, ttUndefined, 1, &fFileSourceData));
    }
    if (IsByte(exif.fSceneType)) {
        fSceneTypeData = static_cast<uint8>(exif.fSceneType);
        dir.Add(&Make<tag_data_ptr>(tcSceneType, ttUndefined, 1, &fSceneTypeData));
    }
    // A pattern larger than the record's 8 × 8 array cannot be real data.
    const uint32 cfaRows = exif.fCFARepeatPatternRows;
    const uint32 cfaCols = exif.fCFARepeatPatternCols;
    if (cfaRows != 0 && cfaCols != 0 && cfaRows <= dng_exif::kMaxCFAPattern &&
        cfaCols <= dng_exif::kMaxCFAPattern) {
        dir.Add(&Make<tag_cfa_pattern>(tcCFAPatternExif, exif.fCFARepeatPatternRows,
                                       exif.fCFARepeatPatternCols, &exif.fCFAPattern[0][0]));
    }

    addShort(tcCustomRendered, exif.fCustomRendered);
    addShort(tcExposureMode, exif.fExposureMode);
    addShort(tcWhiteBalance, exif.fWhiteBalance);
    addShort(tcSceneCaptureType, exif.fSceneCaptureType);
    addShort(tcGainControl, exif.fGainControl);
    addShort(tcContrast, exif.fContrast);
    addShort(tcSaturation, exif.fSaturation);
    addShort(tcSharpness, exif.fSharpness);
    addShort(tcSubjectDistanceRange, exif.fSubjectDistanceRange);
    addURational(tcDigitalZoomRatio, exif.fDigitalZoomRatio);
    addURational(tcExposureIndex, exif.fExposureIndex);
    if (exif.fColorSpace == 1 || exif.fColorSpace == 0xFFFF)
        addShort(tcColorSpace, exif.fColorSpace);
    addURational(tcFocalPlaneXResolution, exif.fFocalPlaneXResolution);
    addURational(tcFocalPlaneYResolution, exif.fFocalPlaneYResolution);
    addShort(tcFocalPlaneResolutionUnit, exif.fFocalPlaneResolutionUnit);

    const uint32 subjectAreaCount = std::min<uint32>(exif.fSubjectAreaCount, 4);
    if (subjectAreaCount != 0) {
        for (uint32 i = 0; i < subjectAreaCount; i++) {
            fSubjectAreaData[i] = static_cast<uint16>(exif.fSubjectArea[i]);
        }
        dir.Add(&Make<tag_uint16_ptr>(tcSubjectArea, fSubjectAreaData, subjectAreaCount));
    }

    if (exif.fDateTime.IsValid()) addText(tcSubsecTime, exif.fDateTime.Subseconds());
    if (exif.fDateTimeOriginal.IsValid()) {
        dir.Add(&Make<tag_exif_date_time>(tcDateTimeOriginal, exif.fDateTimeOriginal.DateTime()));
        addText(tcSubsecTimeOriginal, exif.fDateTimeOriginal.Subseconds());
    }
    if (exif.fDateTimeDigitized.IsValid()) {
        dir.Add(&Make<tag_exif_date_time>(tcDateTimeDigitized, exif.fDateTimeDigitized.DateTime()));
        addText(tcSubsecTimeDigitized, exif.fDateTimeDigitized.Subseconds());
    }

    if (makerNoteSafe && makerNoteData != nullptr && makerNoteLength != 0) {
        dir.Add(&Make<tag_data_ptr>(tcMakerNote, ttUndefined, makerNoteLength, makerNoteData));
    }

    if (exif.fUserComment.NotEmpty()) {
        dir.Add(&Make<tag_encoded_text>(tcUserComment, exif.fUserComment));
    }

    if (exif.fImageUniqueID.IsValid()) {
        exif.fImageUniqueID.ToHexText(fImageUniqueIDData);
        dir.Add(&Make<tag_data_ptr>(tcImageUniqueID, ttAscii, 33, fImageUniqueIDData));
    }

    if (exif.AtLeastVersion0230()) {
        const uint32 iso = exif.fISOSpeedRatings[0];
        if (exif.fSensitivityType != 0) {
            addShort(tcSensitivityType, exif.fSensitivityType);
            if (iso != 0) {
                if (exif.fStandardOutputSensitivity != 0) {
                    dir.Add(&Make<tag_uint32>(tcStandardOutputSensitivity,
                                              exif.fStandardOutputSensitivity));
                }
                if (exif.fRecommendedExposureIndex != 0) {
                    dir.Add(&Make<tag_uint32>(tcRecommendedExposureIndex,
                                              exif.fRecommendedExposureIndex));
                }
                if (exif.fISOSpeed != 0) {
                    dir.Add(&Make<tag_uint32>(tcISOSpeed, exif.fISOSpeed));
                    if (exif.fISOSpeedLatitudeyyy != 0 && exif.fISOSpeedLatitudezzz != 0) {
                        dir.Add(
                            &Make<tag_uint32>(tcISOSpeedLatitudeyyy, exif.fISOSpeedLatitudeyyy));
                        dir.Add(
                            &Make<tag_uint32>(tcISOSpeedLatitudezzz, exif.fISOSpeedLatitudezzz));
                    }
                }
            }
        }
        addText(tcCameraOwnerNameExif, exif.fOwnerName);
        addText(tcCameraSerialNumberExif, exif.fCameraSerialNumber);
        if (exif.fLensInfo[0].IsValid() && exif.fLensInfo[1].IsValid()) {
            dir.Add(&Make<tag_urational_ptr>(tcLensSpecificationExif, exif.fLensInfo, 4));
        }
        addText(tcLensMakeExif, exif.fLensMake);
        addText(tcLensModelExif, exif.fLensName);
        addText(tcLensSerialNumberExif, exif.fLensSerialNumber);
    }

    if (exif.AtLeastVersion0231()) {
        const struct {
            uint16 code;
            const dng_date_time_info* dt;
        } offsets[] = {{tcOffsetTime, &exif.fDateTime},
                       {tcOffsetTimeOriginal, &exif.fDateTimeOriginal},
                       {tcOffsetTimeDigitized, &exif.fDateTimeDigitized}};
        for (const auto& o : offsets) {
            if (o.dt->IsValid() && o.dt->TimeZone().IsValid()) {
                dir.Add(&Make<tag_string>(o.code, o.dt->TimeZone().EncodeExifOffset()));
            }
        }
        addSRational(tcTemperature, exif.fTemperature);
        addURational(tcHumidity, exif.fHumidity);
        addURational(tcPressure, exif.fPressure);
        addSRational(tcWaterDepth, exif.fWaterDepth);
        addURational(tcAcceleration, exif.fAcceleration);
        addSRational(tcCameraElevationAngle, exif.fCameraElevationAngle);
    }
}

void dng_exif_tag_set::AddGPSTags(const dng_exif& exif) {
    dng_tiff_directory& dir = fGPSIFD;

    auto addURational = [&](uint16 code, const dng_urational& value) {
        if (value.IsValid()) dir.Add(&Make<tag_urational>(code, value));
    };
    auto addText = [&](uint16 code, const dng_string& text) {
        if (text.NotEmpty()) dir.Add(&Make<tag_string>(code, text));
    };
    auto addTriple = [&](uint16 refCode, const dng_string& ref, uint16 code,
                         const dng_urational* values) {
        if (ref.NotEmpty() && values[0].IsValid()) {
            dir.Add(&Make<tag_string>(refCode, ref));
            dir.Add(&Make<tag_urational_ptr>(code, values, 3));
        }
    };

    if (exif.fGPSVersionID != 0) {
        BigEndianBytes(exif.fGPSVersionID, fGPSVersionData);
        dir.Add(&Make<tag_uint8_ptr>(tcGPSVersionID, fGPSVersionData, 4));
    }
    addTriple(tcGPSLatitudeRef, exif.fGPSLatitudeRef, tcGPSLatitude, exif.fGPSLatitude);
    addTriple(tcGPSLongitudeRef, exif.fGPSLongitudeRef, tcGPSLongitude, exif.fGPSLongitude);
    if (IsByte(exif.fGPSAltitudeRef)) {
        dir.Add(&Make<tag_uint8>(tcGPSAltitudeRef, static_cast<uint8>(exif.fGPSAltitudeRef)));
    }
    addURational(tcGPSAltitude, exif.fGPSAltitude);
    if (exif.fGPSTimeStamp[0].IsValid()) {
        dir.Add(&Make<tag_urational_ptr>(tcGPSTimeStamp, exif.fGPSTimeStamp, 3));
    }
    addText(tcGPSSatellites, exif.fGPSSatellites);
    addText(tcGPSStatus, exif.fGPSStatus);
    addText(tcGPSMeasureMode, exif.fGPSMeasureMode);
    addURational(tcGPSDOP, exif.fGPSDOP);
    addText(tcGPSSpeedRef, exif.fGPSSpeedRef);
    addURational(tcGPSSpeed, exif.fGPSSpeed);
    addText(tcGPSTrackRef, exif.fGPSTrackRef);
    addURational(tcGPSTrack, exif.fGPSTrack);
    addText(tcGPSImgDirectionRef, exif.fGPSImgDirectionRef);
    addURational(tcGPSImgDirection, exif.fGPSImgDirection);
    addText(tcGPSMapDatum, exif.fGPSMapDatum);
    addTriple(tcGPSDestLatitudeRef, exif.fGPSDestLatitudeRef, tcGPSDestLatitude,
              exif.fGPSDestLatitude);
    addTriple(tcGPSDestLongitudeRef, exif.fGPSDestLongitudeRef, tcGPSDestLongitude,
              exif.fGPSDestLongitude);
    addText(tcGPSDestBearingRef, exif.fGPSDestBearingRef);
    addURational(tcGPSDestBearing, exif.fGPSDestBearing);
    addText(tcGPSDestDistanceRef, exif.fGPSDestDistanceRef);
    addURational(tcGPSDestDistance, exif.fGPSDestDistance);
    if (exif.fGPSProcessingMethod.NotEmpty()) {
        dir.Add(&Make<tag_encoded_text>(tcGPSProcessingMethod, exif.fGPSProcessingMethod));
    }
    if (exif.fGPSAreaInformation.NotEmpty()) {
        dir.Add(&Make<tag_encoded_text>(tcGPSAreaInformation, exif.fGPSAreaInformation));
    }
    addText(tcGPSDateStamp, exif.fGPSDateStamp);
    if (Is16Bit(exif.fGPSDifferential)) {
        dir.Add(&Make<tag_uint16>(tcGPSDifferential, static_cast<uint16>(exif.fGPSDifferential)));
    }
    if (exif.AtLeastVersion0230()) addURational(tcGPSHPositioningError, exif.fGPSHPositioningError);
}
