// One image directory of a DNG file as the file parser reads it: the TIFF
// layout of dng_ifd plus the per-image DNG tags that the negative, the
// linearization and the mosaic information take from the raw directory
// (black levels, plane colours, noise data, user crop, enhanced-image data).
//
// A plain value filled by one thread through ParseTag; read-only afterwards.
#pragma once

#include "dng/core/dng_ifd.h"
#include "dng/core/dng_string.h"
#include "dng/image/dng_linearization_source.h"
#include "dng/image/dng_noise_profile.h"

class dng_stream;

class dng_parsed_ifd : public dng_ifd {
public:
    // More black levels than this are refused (8 x 8 pattern, 4 samples).
    static constexpr uint32 kMaxBlackLevels = 8 * 8 * 4;

    dng_parsed_ifd();
    ~dng_parsed_ifd() override;
    dng_parsed_ifd(const dng_parsed_ifd&) = default;
    dng_parsed_ifd& operator=(const dng_parsed_ifd&) = default;

    // Parses one tag whose value lies at the stream's position (tagOffset);
    // true when the tag belongs to an image directory and was taken.
    // Values that lie beyond the end of the stream throw.
    bool ParseTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                  uint32 tagCount, uint64 tagOffset);

    // Completes defaults that depend on other tags (strip height, bits of
    // every sample, crop size) once all tags are read.
    void PostParse();

    // Checks a directory chosen as the main raw image: sizes, samples,
    // layout and DNG fields that the negative and the reader rely on.
    // dng_error_bad_format for anything unusable.
    void ValidateMainIFD(uint32 colorPlanes) const;

    // The directory's role from NewSubFileType.
    bool IsMainImage() const { return fNewSubFileType == 0; }

    bool fHasRowsPerStrip = false;
    uint32 fRowsPerStrip = 0xFFFFFFFF;
    uint32 fBitsPerSampleCount = 0;

    dng_linearization_tags fLinearizationTags;

    uint32 fCFAPlaneColorCount = 3;
    uint8 fCFAPlaneColor[4] = {0, 1, 2, 3};
    uint32 fBayerGreenSplit = 0;

    dng_urational fChromaBlurRadius;
    dng_urational fAntiAliasStrength{1, 1};
    dng_urational fNoiseReductionApplied;
    dng_urational fBaselineSharpness;
    dng_noise_profile fNoiseProfile;

    // Top, left, bottom, right as fractions of the default crop.
    dng_urational fDefaultUserCropT{0, 1};
    dng_urational fDefaultUserCropL{0, 1};
    dng_urational fDefaultUserCropB{1, 1};
    dng_urational fDefaultUserCropR{1, 1};

    bool fHasBlackLevel = false;
    bool fHasWhiteLevel = false;
    bool fHasDefaultCropSize = false;

    dng_string fEnhanceParams;
    // Stage-3 black level an enhanced image carries.
    real64 fEnhancedBlackLevel = 0.0;
};
