// The metadata dictionary of a decoded raw file in image-property form: top
// level PixelWidth, PixelHeight and Depth, and sub-dictionaries "{TIFF}",
// "{Exif}", "{ExifAux}", "{DNG}" and "{GPS}" filled from the file's TIFF,
// EXIF, GPS and DNG tags. Keys are the constants below; the inspector and
// the export writers look them up by these same strings.
//
// Value kinds: numbers (integers for codes and counts, reals for rationals),
// strings (dates as "YYYY:MM:DD HH:MM:SS"), arrays for versions (e.g.
// {2, 3, 2}), ISO ratings and lens information. GPS latitudes and longitudes
// are decimal degrees with their reference letters alongside. A tag the file
// lacks is left out.
//
// Plain functions over read-only records; safe from several threads.
#pragma once

#include <cstdint>

#include "platform/Value.h"

class dng_exif;
class dng_shared;
class dng_ifd;

// Sub-dictionary keys.
inline constexpr const char* kCGImagePropertyTIFFDictionary = "{TIFF}";
inline constexpr const char* kCGImagePropertyExifDictionary = "{Exif}";
inline constexpr const char* kCGImagePropertyExifAuxDictionary = "{ExifAux}";
inline constexpr const char* kCGImagePropertyDNGDictionary = "{DNG}";
inline constexpr const char* kCGImagePropertyGPSDictionary = "{GPS}";

// Top level.
inline constexpr const char* kCGImagePropertyPixelWidth = "PixelWidth";
inline constexpr const char* kCGImagePropertyPixelHeight = "PixelHeight";
inline constexpr const char* kCGImagePropertyDepth = "Depth";

// {TIFF}
inline constexpr const char* kCGImagePropertyTIFFCompression = "Compression";
inline constexpr const char* kCGImagePropertyTIFFPhotometricInterpretation =
    "PhotometricInterpretation";
inline constexpr const char* kCGImagePropertyTIFFDocumentName = "DocumentName";
inline constexpr const char* kCGImagePropertyTIFFImageDescription = "ImageDescription";
inline constexpr const char* kCGImagePropertyTIFFMake = "Make";
inline constexpr const char* kCGImagePropertyTIFFModel = "Model";
inline constexpr const char* kCGImagePropertyTIFFOrientation = "Orientation";
inline constexpr const char* kCGImagePropertyTIFFXResolution = "XResolution";
inline constexpr const char* kCGImagePropertyTIFFYResolution = "YResolution";
inline constexpr const char* kCGImagePropertyTIFFResolutionUnit = "ResolutionUnit";
inline constexpr const char* kCGImagePropertyTIFFSoftware = "Software";
inline constexpr const char* kCGImagePropertyTIFFTransferFunction = "TransferFunction";
inline constexpr const char* kCGImagePropertyTIFFDateTime = "DateTime";
inline constexpr const char* kCGImagePropertyTIFFArtist = "Artist";
inline constexpr const char* kCGImagePropertyTIFFHostComputer = "HostComputer";
inline constexpr const char* kCGImagePropertyTIFFCopyright = "Copyright";
inline constexpr const char* kCGImagePropertyTIFFWhitePoint = "WhitePoint";
inline constexpr const char* kCGImagePropertyTIFFPrimaryChromaticities = "PrimaryChromaticities";

// {Exif}
inline constexpr const char* kCGImagePropertyExifExposureTime = "ExposureTime";
inline constexpr const char* kCGImagePropertyExifFNumber = "FNumber";
inline constexpr const char* kCGImagePropertyExifExposureProgram = "ExposureProgram";
inline constexpr const char* kCGImagePropertyExifSpectralSensitivity = "SpectralSensitivity";
inline constexpr const char* kCGImagePropertyExifISOSpeedRatings = "ISOSpeedRatings";
inline constexpr const char* kCGImagePropertyExifOECF = "OECF";
inline constexpr const char* kCGImagePropertyExifVersion = "ExifVersion";
inline constexpr const char* kCGImagePropertyExifDateTimeOriginal = "DateTimeOriginal";
inline constexpr const char* kCGImagePropertyExifDateTimeDigitized = "DateTimeDigitized";
inline constexpr const char* kCGImagePropertyExifComponentsConfiguration =
    "ComponentsConfiguration";
inline constexpr const char* kCGImagePropertyExifCompressedBitsPerPixel = "CompressedBitsPerPixel";
inline constexpr const char* kCGImagePropertyExifShutterSpeedValue = "ShutterSpeedValue";
inline constexpr const char* kCGImagePropertyExifApertureValue = "ApertureValue";
inline constexpr const char* kCGImagePropertyExifBrightnessValue = "BrightnessValue";
inline constexpr const char* kCGImagePropertyExifExposureBiasValue = "ExposureBiasValue";
inline constexpr const char* kCGImagePropertyExifMaxApertureValue = "MaxApertureValue";
inline constexpr const char* kCGImagePropertyExifSubjectDistance = "SubjectDistance";
inline constexpr const char* kCGImagePropertyExifMeteringMode = "MeteringMode";
inline constexpr const char* kCGImagePropertyExifLightSource = "LightSource";
inline constexpr const char* kCGImagePropertyExifFlash = "Flash";
inline constexpr const char* kCGImagePropertyExifFocalLength = "FocalLength";
inline constexpr const char* kCGImagePropertyExifSubjectArea = "SubjectArea";
inline constexpr const char* kCGImagePropertyExifMakerNote = "MakerNote";
inline constexpr const char* kCGImagePropertyExifUserComment = "UserComment";
inline constexpr const char* kCGImagePropertyExifSubsecTime = "SubsecTime";
inline constexpr const char* kCGImagePropertyExifSubsecTimeOrginal = "SubsecTimeOriginal";
inline constexpr const char* kCGImagePropertyExifSubsecTimeDigitized = "SubsecTimeDigitized";
inline constexpr const char* kCGImagePropertyExifOffsetTimeOriginal = "OffsetTimeOriginal";
inline constexpr const char* kCGImagePropertyExifLensMake = "LensMake";
inline constexpr const char* kCGImagePropertyExifFlashPixVersion = "FlashPixVersion";
inline constexpr const char* kCGImagePropertyExifColorSpace = "ColorSpace";
inline constexpr const char* kCGImagePropertyExifPixelXDimension = "PixelXDimension";
inline constexpr const char* kCGImagePropertyExifPixelYDimension = "PixelYDimension";
inline constexpr const char* kCGImagePropertyExifRelatedSoundFile = "RelatedSoundFile";
inline constexpr const char* kCGImagePropertyExifFlashEnergy = "FlashEnergy";
inline constexpr const char* kCGImagePropertyExifSpatialFrequencyResponse =
    "SpatialFrequencyResponse";
inline constexpr const char* kCGImagePropertyExifFocalPlaneXResolution = "FocalPlaneXResolution";
inline constexpr const char* kCGImagePropertyExifFocalPlaneYResolution = "FocalPlaneYResolution";
inline constexpr const char* kCGImagePropertyExifFocalPlaneResolutionUnit =
    "FocalPlaneResolutionUnit";
inline constexpr const char* kCGImagePropertyExifSubjectLocation = "SubjectLocation";
inline constexpr const char* kCGImagePropertyExifExposureIndex = "ExposureIndex";
inline constexpr const char* kCGImagePropertyExifSensingMethod = "SensingMethod";
inline constexpr const char* kCGImagePropertyExifFileSource = "FileSource";
inline constexpr const char* kCGImagePropertyExifSceneType = "SceneType";
inline constexpr const char* kCGImagePropertyExifCFAPattern = "CFAPattern";
inline constexpr const char* kCGImagePropertyExifCustomRendered = "CustomRendered";
inline constexpr const char* kCGImagePropertyExifExposureMode = "ExposureMode";
inline constexpr const char* kCGImagePropertyExifWhiteBalance = "WhiteBalance";
inline constexpr const char* kCGImagePropertyExifDigitalZoomRatio = "DigitalZoomRatio";
inline constexpr const char* kCGImagePropertyExifFocalLenIn35mmFilm = "FocalLenIn35mmFilm";
inline constexpr const char* kCGImagePropertyExifSceneCaptureType = "SceneCaptureType";
inline constexpr const char* kCGImagePropertyExifGainControl = "GainControl";
inline constexpr const char* kCGImagePropertyExifContrast = "Contrast";
inline constexpr const char* kCGImagePropertyExifSaturation = "Saturation";
inline constexpr const char* kCGImagePropertyExifSharpness = "Sharpness";
inline constexpr const char* kCGImagePropertyExifDeviceSettingDescription =
    "DeviceSettingDescription";
inline constexpr const char* kCGImagePropertyExifSubjectDistRange = "SubjectDistRange";
inline constexpr const char* kCGImagePropertyExifImageUniqueID = "ImageUniqueID";
inline constexpr const char* kCGImagePropertyExifGamma = "Gamma";

// {ExifAux}
inline constexpr const char* kCGImagePropertyExifAuxLensInfo = "LensInfo";
inline constexpr const char* kCGImagePropertyExifAuxLensModel = "LensModel";
inline constexpr const char* kCGImagePropertyExifAuxSerialNumber = "SerialNumber";
inline constexpr const char* kCGImagePropertyExifAuxLensID = "LensID";
inline constexpr const char* kCGImagePropertyExifAuxLensSerialNumber = "LensSerialNumber";
inline constexpr const char* kCGImagePropertyExifAuxImageNumber = "ImageNumber";
inline constexpr const char* kCGImagePropertyExifAuxFlashCompensation = "FlashCompensation";
inline constexpr const char* kCGImagePropertyExifAuxOwnerName = "OwnerName";
inline constexpr const char* kCGImagePropertyExifAuxFirmware = "Firmware";

// {DNG}
inline constexpr const char* kCGImagePropertyDNGVersion = "DNGVersion";
inline constexpr const char* kCGImagePropertyDNGBackwardVersion = "DNGBackwardVersion";
inline constexpr const char* kCGImagePropertyDNGUniqueCameraModel = "UniqueCameraModel";
inline constexpr const char* kCGImagePropertyDNGLocalizedCameraModel = "LocalizedCameraModel";
inline constexpr const char* kCGImagePropertyDNGCameraSerialNumber = "CameraSerialNumber";
inline constexpr const char* kCGImagePropertyDNGLensInfo = "LensInfo";

// {GPS}
inline constexpr const char* kCGImagePropertyGPSVersion = "GPSVersion";
inline constexpr const char* kCGImagePropertyGPSLatitudeRef = "LatitudeRef";
inline constexpr const char* kCGImagePropertyGPSLatitude = "Latitude";
inline constexpr const char* kCGImagePropertyGPSLongitudeRef = "LongitudeRef";
inline constexpr const char* kCGImagePropertyGPSLongitude = "Longitude";
inline constexpr const char* kCGImagePropertyGPSAltitudeRef = "AltitudeRef";
inline constexpr const char* kCGImagePropertyGPSAltitude = "Altitude";
inline constexpr const char* kCGImagePropertyGPSTimeStamp = "TimeStamp";
inline constexpr const char* kCGImagePropertyGPSSatellites = "Satellites";
inline constexpr const char* kCGImagePropertyGPSStatus = "Status";
inline constexpr const char* kCGImagePropertyGPSMeasureMode = "MeasureMode";
inline constexpr const char* kCGImagePropertyGPSDOP = "DOP";
inline constexpr const char* kCGImagePropertyGPSSpeedRef = "SpeedRef";
inline constexpr const char* kCGImagePropertyGPSSpeed = "Speed";
inline constexpr const char* kCGImagePropertyGPSTrackRef = "TrackRef";
inline constexpr const char* kCGImagePropertyGPSTrack = "Track";
inline constexpr const char* kCGImagePropertyGPSImgDirectionRef = "ImgDirectionRef";
inline constexpr const char* kCGImagePropertyGPSImgDirection = "ImgDirection";
inline constexpr const char* kCGImagePropertyGPSMapDatum = "MapDatum";
inline constexpr const char* kCGImagePropertyGPSDestLatitudeRef = "DestLatitudeRef";
inline constexpr const char* kCGImagePropertyGPSDestLatitude = "DestLatitude";
inline constexpr const char* kCGImagePropertyGPSDestLongitudeRef = "DestLongitudeRef";
inline constexpr const char* kCGImagePropertyGPSDestLongitude = "DestLongitude";
inline constexpr const char* kCGImagePropertyGPSDestBearingRef = "DestBearingRef";
inline constexpr const char* kCGImagePropertyGPSDestBearing = "DestBearing";
inline constexpr const char* kCGImagePropertyGPSDestDistanceRef = "DestDistanceRef";
inline constexpr const char* kCGImagePropertyGPSDestDistance = "DestDistance";
inline constexpr const char* kCGImagePropertyGPSProcessingMethod = "ProcessingMethod";
inline constexpr const char* kCGImagePropertyGPSAreaInformation = "AreaInformation";
inline constexpr const char* kCGImagePropertyGPSDateStamp = "DateStamp";
inline constexpr const char* kCGImagePropertyGPSDifferental = "Differential";

// Everything the file says. width and height are the decoded image's
// oriented size, depth its bits per sample; orientation the TIFF code the
// image was turned by. shared may be null (no DNG tags). The TIFF layout
// tags (Compression, PhotometricInterpretation, resolution) come from the
// raw image's directory.
platform::Dictionary RawMetadataDictionary(const dng_exif& exif, const dng_shared* shared,
                                           const dng_ifd& rawIFD, uint32_t width, uint32_t height,
                                           uint32_t depth, uint32_t orientation);
