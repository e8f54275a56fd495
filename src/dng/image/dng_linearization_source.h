// What linearization needs from outside the raw directory record: the
// negative's answers about black levels kept in stage 2 (and where the
// chosen stage-3 black goes), and the raw directory's black-level tags.
// The negative implements dng_linearization_source; tests use a stub.
#pragma once

#include <cstdint>
#include <vector>

#include "dng/core/dng_rect.h"

class dng_host;
class dng_image;

class dng_linearization_source {
public:
    virtual ~dng_linearization_source() = default;

    // The negative's query whether stage 2 keeps a black level above zero.
    virtual bool Stage2KeepsBlackLevel(dng_host& host, const dng_image& srcImage,
                                       const dng_image& dstImage) const = 0;

    // A flag of the negative that, when set, keeps the stage-3 black at 0
    // even when stage 2 would keep one.
    virtual bool Stage3BlackLevelDisabled() const = 0;

    // A flag of the negative that raises a kept stage-3 black to at least 1028.
    virtual bool Stage3BlackLevelAtLeast1028() const = 0;

    // Receives the stage-3 black level chosen by linearization.
    virtual void SetStage3BlackLevel(uint16_t level) = 0;
};

// Black-level tags of the raw directory as a directory parser reads them.
// Values of the delta lists stay in the file and are read at their offsets.
struct dng_linearization_tags {
    uint32_t fMaskedAreaCount = 0;
    dng_rect fMaskedArea[4];

    uint32_t fBlackLevelRepeatRows = 1;
    uint32_t fBlackLevelRepeatCols = 1;
    // BlackLevel values in row, column, sample order (rows x cols x samples).
    std::vector<double> fBlackLevel;

    uint32_t fBlackLevelDeltaHType = 0;
    uint32_t fBlackLevelDeltaHCount = 0;
    uint64_t fBlackLevelDeltaHOffset = 0;

    uint32_t fBlackLevelDeltaVType = 0;
    uint32_t fBlackLevelDeltaVCount = 0;
    uint64_t fBlackLevelDeltaVOffset = 0;
};
