// The colour-filter-array tags of a DNG raw directory (repeat size, pattern,
// plane colours, layout, Bayer green split), built from a dng_mosaic_info.
// Nothing is added for a record without a pattern.
//
// Ownership: the set owns its tags and their values and must outlive the
// directory's Put. One thread at a time.
#pragma once

#include "dng/core/dng_tag_codes.h"
#include "dng/writer/tiff_tag.h"

class dng_mosaic_info;
class dng_tiff_directory;

class dng_cfa_tag_set {
public:
    // A pattern larger than 8 × 8 or with more than four plane colours fails
    // with dng_error_unknown.
    dng_cfa_tag_set(dng_tiff_directory& directory, const dng_mosaic_info& info);
    ~dng_cfa_tag_set();
    dng_cfa_tag_set(const dng_cfa_tag_set&) = delete;
    dng_cfa_tag_set& operator=(const dng_cfa_tag_set&) = delete;

private:
    uint16 fCFARepeatPatternDimData[2] = {};
    uint8 fCFAPatternData[64] = {};
    uint8 fCFAPlaneColorData[4] = {};

    tag_uint16_ptr fCFARepeatPatternDim;
    tag_uint8_ptr fCFAPattern;
    tag_uint8_ptr fCFAPlaneColor;
    tag_uint16 fCFALayout;
    tag_uint32 fBayerGreenSplit;
};
