#include "dng/writer/dng_raw_levels_tag_set.h"

#include <algorithm>
#include <cmath>

#include "dng/core/dng_tag_codes.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_negative.h"
#include "dng/writer/dng_tiff_directory.h"

namespace {

// value × denominator rounded half away from zero, clamped to the int32 range.
int32 ScaledNumerator(real64 value, uint32 denominator) {
    const real64 scaled = value * static_cast<real64>(denominator);
    if (!(scaled == scaled)) return 0;
    const real64 rounded = scaled >= 0.0 ? std::floor(scaled + 0.5) : -std::floor(-scaled + 0.5);
    return static_cast<int32>(std::clamp(rounded, -2147483648.0, 2147483647.0));
}

uint32 RectangleValue(int32 v) { return static_cast<uint32>(v); }

void StoreRectangle(const dng_rect& r, uint32* out) {
    out[0] = RectangleValue(r.t);
    out[1] = RectangleValue(r.l);
    out[2] = RectangleValue(r.b);
    out[3] = RectangleValue(r.r);
}

}  // namespace

dng_raw_levels_tag_set::dng_raw_levels_tag_set(dng_tiff_directory& directory,
                                               const dng_negative& negative) {
    auto add = [&](const tiff_tag& tag) { directory.Add(&tag); };

    const uint32 planes = std::min<uint32>(negative.RawImage().Planes(), 4);
    const dng_linearization_info* info = negative.GetLinearizationInfo();

    if (info == nullptr) {
        const uint16 black = negative.RawImageBlackLevel();
        if (black != 0 && planes != 0) {
            for (uint32 p = 0; p < planes; p++) fBlackLevelData[p] = dng_urational(black, 1);
            add(fTags.Make<tag_urational_ptr>(tcBlackLevel, fBlackLevelData, planes));
        }
    } else {
        if (!info->fActiveArea.IsEmpty()) {
            StoreRectangle(info->fActiveArea, fActiveAreaData);
            add(fTags.Make<tag_uint32_ptr>(tcActiveArea, fActiveAreaData, 4));
        }

        const uint32 masked = std::min<uint32>(info->fMaskedAreaCount, 4);
        if (masked != 0) {
            for (uint32 i = 0; i < masked; i++) {
                StoreRectangle(info->fMaskedArea[i], fMaskedAreaData + 4 * i);
            }
            add(fTags.Make<tag_uint32_ptr>(tcMaskedAreas, fMaskedAreaData, 4 * masked));
        }

        if (info->fLinearizationTable) {
            add(fTags.Make<tag_uint16_ptr>(tcLinearizationTable,
                                           info->fLinearizationTable->Buffer_uint16(),
                                           info->fLinearizationTable->LogicalSize() / 2));
        }

        const uint32 rows = std::clamp<uint32>(info->fBlackLevelRepeatRows, 1,
                                               dng_linearization_info::kMaxBlackPattern);
        const uint32 cols = std::clamp<uint32>(info->fBlackLevelRepeatCols, 1,
                                               dng_linearization_info::kMaxBlackPattern);
        fBlackLevelRepeatDimData[0] = static_cast<uint16>(rows);
        fBlackLevelRepeatDimData[1] = static_cast<uint16>(cols);
        add(fTags.Make<tag_uint16_ptr>(tcBlackLevelRepeatDim, fBlackLevelRepeatDimData, 2));

        const uint32 denominator = info->fBlackDenom != 0 ? info->fBlackDenom : 1;
        uint32 count = 0;
        for (uint32 r = 0; r < rows; r++) {
            for (uint32 c = 0; c < cols; c++) {
                for (uint32 p = 0; p < planes; p++) {
                    // BlackLevel is unsigned: a negative black cannot be stored.
                    const int32 n = ScaledNumerator(info->fBlackLevel[r][c][p], denominator);
                    fBlackLevelData[count++] =
                        dng_urational(static_cast<uint32>(std::max(n, 0)), denominator);
                }
            }
        }
        add(fTags.Make<tag_urational_ptr>(tcBlackLevel, fBlackLevelData, count));

        auto addDeltas = [&](uint16 code, const real64* values, uint32 n,
                             std::vector<dng_srational>& store) {
            if (values == nullptr || n == 0) return;
            store.resize(n);
            for (uint32 i = 0; i < n; i++) {
                store[i] = dng_srational(ScaledNumerator(values[i], denominator),
                                         static_cast<int32>(denominator));
            }
            add(fTags.Make<tag_srational_ptr>(code, store.data(), n));
        };
        addDeltas(tcBlackLevelDeltaH, info->ColumnBlacks(), info->ColumnBlackCount(),
                  fBlackLevelDeltaHData);
        addDeltas(tcBlackLevelDeltaV, info->RowBlacks(), info->RowBlackCount(),
                  fBlackLevelDeltaVData);
    }

    // Without planes there is no level to state, so no WhiteLevel at all.
    if (planes == 0) return;
    bool needsLong = false;
    for (uint32 p = 0; p < planes; p++) {
        fWhiteLevelData32[p] = negative.WhiteLevel(p);
        fWhiteLevelData16[p] = static_cast<uint16>(fWhiteLevelData32[p]);
        needsLong = needsLong || fWhiteLevelData32[p] > 0xFFFF;
    }
    if (needsLong) {
        add(fTags.Make<tag_uint32_ptr>(tcWhiteLevel, fWhiteLevelData32, planes));
    } else {
        add(fTags.Make<tag_uint16_ptr>(tcWhiteLevel, fWhiteLevelData16, planes));
    }
}

dng_raw_levels_tag_set::~dng_raw_levels_tag_set() = default;
