// The level tags of a DNG raw directory: active area, masked areas,
// linearization table, black-level pattern and deltas, and white levels, from
// the negative's linearization information (or, without it, the negative's
// own black and white levels).
//
// Ownership: the set owns its tags and value arrays and must outlive the
// directory's Put; the linearization-table tag points into the negative's
// table, so the negative must outlive it too. One thread at a time.
#pragma once

#include <vector>

#include "dng/writer/tiff_tag.h"
#include "dng/writer/tiff_tag_pool.h"

class dng_negative;
class dng_tiff_directory;

class dng_raw_levels_tag_set {
public:
    static constexpr uint32 kMaxBlackLevels = 8 * 8 * 4;

    dng_raw_levels_tag_set(dng_tiff_directory& directory, const dng_negative& negative);
    ~dng_raw_levels_tag_set();
    dng_raw_levels_tag_set(const dng_raw_levels_tag_set&) = delete;
    dng_raw_levels_tag_set& operator=(const dng_raw_levels_tag_set&) = delete;

private:
    uint32 fActiveAreaData[4] = {};
    uint32 fMaskedAreaData[16] = {};
    uint16 fBlackLevelRepeatDimData[2] = {};
    dng_urational fBlackLevelData[kMaxBlackLevels];
    std::vector<dng_srational> fBlackLevelDeltaHData;
    std::vector<dng_srational> fBlackLevelDeltaVData;
    uint16 fWhiteLevelData16[4] = {};
    uint32 fWhiteLevelData32[4] = {};

    tiff_tag_pool<8, tag_uint16_ptr, tag_uint32_ptr, tag_urational_ptr, tag_srational_ptr> fTags;
};
