#include "dng/writer/dng_cfa_tag_set.h"

#include "dng/core/dng_exception.h"
#include "dng/image/dng_mosaic_info.h"
#include "dng/writer/dng_tiff_directory.h"

dng_cfa_tag_set::dng_cfa_tag_set(dng_tiff_directory& directory, const dng_mosaic_info& info)
    : fCFARepeatPatternDim(tcCFARepeatPatternDim, fCFARepeatPatternDimData, 2),
      fCFAPattern(tcCFAPattern, fCFAPatternData, 0),
      fCFAPlaneColor(tcCFAPlaneColor, fCFAPlaneColorData, 0),
      fCFALayout(tcCFALayout, static_cast<uint16>(info.fCFALayout)),
      fBayerGreenSplit(tcBayerGreenSplit, info.fBayerGreenSplit) {
    const int32 rows = info.fCFAPatternSize.v;
    const int32 cols = info.fCFAPatternSize.h;
    if (rows == 0 && cols == 0) return;
    if (rows < 1 || rows > 8 || cols < 1 || cols > 8 ||
        info.fColorPlanes > dng_mosaic_info::kMaxColorPlanes) {
        ThrowProgramError("Bad CFA pattern");
    }

    fCFARepeatPatternDimData[0] = static_cast<uint16>(rows);
    fCFARepeatPatternDimData[1] = static_cast<uint16>(cols);
    uint32 index = 0;
    for (int32 r = 0; r < rows; r++) {
        for (int32 c = 0; c < cols; c++) fCFAPatternData[index++] = info.fCFAPattern[r][c];
    }
    fCFAPattern.SetCount(index);
    for (uint32 p = 0; p < info.fColorPlanes; p++) fCFAPlaneColorData[p] = info.fCFAPlaneColor[p];
    fCFAPlaneColor.SetCount(info.fColorPlanes);

    directory.Add(&fCFARepeatPatternDim);
    directory.Add(&fCFAPattern);
    directory.Add(&fCFAPlaneColor);
    directory.Add(&fCFALayout);
    if (rows == 2 && cols == 2 && info.fColorPlanes == 3) directory.Add(&fBayerGreenSplit);
}

dng_cfa_tag_set::~dng_cfa_tag_set() = default;
