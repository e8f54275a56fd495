// Values of common TIFF/DNG tags: compression, predictor, photometric
// interpretation, planar configuration, sample format, subfile types.
#pragma once

#include "dng/core/dng_types.h"

enum : uint32 {
    ccUncompressed = 1,
    ccLZW = 5,
    ccOldJPEG = 6,
    ccJPEG = 7,
    ccDeflate = 8,
    ccPackBits = 32773,
    ccOldDeflate = 32946,
    ccLossyJPEG = 34892
};

enum : uint32 {
    cpNullPredictor = 1,
    cpHorizontalDifference = 2,
    cpFloatingPoint = 3,
    cpHorizontalDifferenceX2 = 34892,
    cpHorizontalDifferenceX4 = 34893,
    cpFloatingPointX2 = 34894,
    cpFloatingPointX4 = 34895
};

enum : uint32 {
    piWhiteIsZero = 0,
    piBlackIsZero = 1,
    piRGB = 2,
    piRGBPalette = 3,
    piTransparencyMask = 4,
    piCMYK = 5,
    piYCbCr = 6,
    piCIELab = 8,
    piICCLab = 9,
    piCFA = 32803,
    piLinearRaw = 34892,
    piDepth = 51177
};

enum : uint32 { pcInterleaved = 1, pcPlanar = 2, pcRowInterleaved = 100000 };

enum : uint32 { sfUnsignedInteger = 1, sfSignedInteger = 2, sfFloatingPoint = 3, sfUndefined = 4 };

// NewSubFileType values.
enum : uint32 {
    sfMainImage = 0,
    sfPreviewImage = 1,
    sfTransparencyMask = 4,
    sfPreviewMask = sfPreviewImage + sfTransparencyMask,
    sfDepthMap = 8,
    sfPreviewDepthMap = sfPreviewImage + sfDepthMap,
    sfEnhancedImage = 16,
    sfAltPreviewImage = 0x10001
};

enum : uint32 { ruNone = 1, ruInch = 2, ruCM = 3, ruMM = 4, ruMicroM = 5 };

enum : uint32 { esUnspecified = 0, esAssociatedAlpha = 1, esUnassociatedAlpha = 2 };

// Orientation codes as EXIF stores them.
enum : uint32 {
    kOrientationNormal = 1,
    kOrientationMirror = 2,
    kOrientationRotate180 = 3,
    kOrientationMirror180 = 4,
    kOrientationMirror90CCW = 5,
    kOrientationRotate90CW = 6,
    kOrientationMirror90CW = 7,
    kOrientationRotate90CCW = 8
};
