#include "dng/image/dng_linearization_info.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_tile_buffer.h"
#include "platform/WideLoops.h"

namespace {

// Largest |value| x denominator that the rounded blacks may reach
// (30000 x 65536), so that every black stays an int32 rational.
constexpr real64 kMaxScaledBlack = 1966080000.0;

// Integer tables are clamped so that a lookup minus two black terms cannot
// overflow int32 even for a degenerate white level.
constexpr real64 kIntegerTableLimit = real64(1 << 29);

int32_t RoundToInt32(real64 v) {
    v = std::clamp(std::round(v), -kIntegerTableLimit, kIntegerTableLimit);
    return int32_t(v);
}

std::unique_ptr<dng_memory_block> ReadReals(dng_host& host, dng_stream& stream, uint32_t type,
                                            uint32_t count, uint64_t offset) {
    if (count == 0) return nullptr;
    const uint32_t size = TiffTagTypeSize(type);
    const uint64_t length = stream.Length();
    if (size == 0 || offset > length || uint64_t(size) * count > length - offset) {
        ThrowBadFormat("black level deltas outside the file");
    }
    std::unique_ptr<dng_memory_block> block = host.Allocate(SafeUint32Mult(count, 8));
    stream.SetReadPosition(offset);
    real64* p = block->Buffer_real64();
    for (uint32_t i = 0; i < count; ++i) p[i] = stream.ReadTagValueAsReal64(type);
    return block;
}

uint32_t BlockCount(const std::unique_ptr<dng_memory_block>& block, uint32_t entrySize) {
    return block ? block->LogicalSize() / entrySize : 0;
}

// At most this many entries of the black pattern are laid out for a tile.
constexpr uint64_t kLaidOutBlackMax = uint64_t(1) << 16;

// One row of adjacent 16-bit samples through the integer table, less the
// row's black and, where given, each column's black, in 1/256 steps.
QUORVEX_WIDE_LOOPS
void linearizeRowInteger(const uint16_t* __restrict src, uint32_t cols, const int32_t* lut,
                         int32_t rowBlack, const int32_t* __restrict black,
                         uint16_t* __restrict dst) {
    if (black) {
        for (uint32_t c = 0; c < cols; ++c) {
            int32_t v = lut[src[c]] - rowBlack;
            v -= black[c];
            v >>= 8;
            dst[c] = uint16_t(std::clamp(v, 0, 65535));
        }
    } else {
        for (uint32_t c = 0; c < cols; ++c) {
            const int32_t v = (lut[src[c]] - rowBlack) >> 8;
            dst[c] = uint16_t(std::clamp(v, 0, 65535));
        }
    }
}

}  // namespace

// ---- dng_linearization_info ---------------------------------------------------------

dng_linearization_info::dng_linearization_info() = default;

dng_linearization_info::~dng_linearization_info() = default;

void dng_linearization_info::Parse(dng_host& host, dng_stream& stream, const dng_ifd& ifd,
                                   const dng_linearization_tags& tags) {
    fActiveArea = ifd.fActiveArea;

    fMaskedAreaCount = std::min<uint32_t>(tags.fMaskedAreaCount, 4);
    for (uint32_t i = 0; i < fMaskedAreaCount; ++i) fMaskedArea[i] = tags.fMaskedArea[i];

    const uint32_t rows = tags.fBlackLevelRepeatRows;
    const uint32_t cols = tags.fBlackLevelRepeatCols;
    if (rows < 1 || rows > kMaxBlackPattern || cols < 1 || cols > kMaxBlackPattern) {
        ThrowBadFormat("bad black level repeat dimensions");
    }
    fBlackLevelRepeatRows = rows;
    fBlackLevelRepeatCols = cols;
    const uint32_t samples = std::clamp<uint32_t>(ifd.fSamplesPerPixel, 1, kMaxPlanes);
    if (!tags.fBlackLevel.empty()) {
        if (tags.fBlackLevel.size() != size_t(rows) * cols * samples) {
            ThrowBadFormat("black level count does not match its repeat pattern");
        }
        size_t i = 0;
        for (uint32_t r = 0; r < rows; ++r) {
            for (uint32_t c = 0; c < cols; ++c) {
                for (uint32_t p = 0; p < samples; ++p) fBlackLevel[r][c][p] = tags.fBlackLevel[i++];
            }
        }
    }

    for (uint32_t p = 0; p < kMaxPlanes; ++p) {
        const uint32_t bits = ifd.fBitsPerSample[std::min(p, samples - 1)];
        const real64 defaultWhite = (bits >= 1 && bits < 16) ? real64((1u << bits) - 1) : 65535.0;
        const real64 white = ifd.fWhiteLevel[std::min(p, samples - 1)];
        fWhiteLevel[p] = white >= 0.0 ? white : defaultWhite;
    }

    if (ifd.fLinearizationTableCount) {
        const uint32_t count = ifd.fLinearizationTableCount;
        const uint32_t size = TiffTagTypeSize(ifd.fLinearizationTableType);
        const uint64_t length = stream.Length();
        if (count > 65536 || size == 0 || ifd.fLinearizationTableOffset > length ||
            uint64_t(size) * count > length - ifd.fLinearizationTableOffset) {
            ThrowBadFormat("bad linearization table");
        }
        fLinearizationTable = host.Allocate(count * 2);
        stream.SetReadPosition(ifd.fLinearizationTableOffset);
        uint16_t* table = fLinearizationTable->Buffer_uint16();
        for (uint32_t i = 0; i < count; ++i) {
            table[i] = uint16_t(std::min<uint32_t>(
                stream.ReadTagValueAsUInt32(ifd.fLinearizationTableType), 65535));
        }
    }

    fBlackDeltaH = ReadReals(host, stream, tags.fBlackLevelDeltaHType, tags.fBlackLevelDeltaHCount,
                             tags.fBlackLevelDeltaHOffset);
    fBlackDeltaV = ReadReals(host, stream, tags.fBlackLevelDeltaVType, tags.fBlackLevelDeltaVCount,
                             tags.fBlackLevelDeltaVOffset);

    RoundBlacks();
}

void dng_linearization_info::FixActiveArea(const dng_rect& stage1Bounds) {
    if (fActiveArea.IsEmpty()) fActiveArea = stage1Bounds;
}

uint32_t dng_linearization_info::RowBlackCount() const { return BlockCount(fBlackDeltaV, 8); }

uint32_t dng_linearization_info::ColumnBlackCount() const { return BlockCount(fBlackDeltaH, 8); }

const real64* dng_linearization_info::RowBlacks() const {
    return fBlackDeltaV ? fBlackDeltaV->Buffer_real64() : nullptr;
}

const real64* dng_linearization_info::ColumnBlacks() const {
    return fBlackDeltaH ? fBlackDeltaH->Buffer_real64() : nullptr;
}

void dng_linearization_info::RoundBlacks() {
    real64 maxAbs = 0.0;
    for (auto& rows : fBlackLevel) {
        for (auto& cols : rows) {
            for (real64 v : cols) maxAbs = std::max(maxAbs, std::fabs(v));
        }
    }
    const uint32_t hCount = ColumnBlackCount();
    const uint32_t vCount = RowBlackCount();
    real64* h = fBlackDeltaH ? fBlackDeltaH->Buffer_real64() : nullptr;
    real64* v = fBlackDeltaV ? fBlackDeltaV->Buffer_real64() : nullptr;
    for (uint32_t i = 0; i < hCount; ++i) maxAbs = std::max(maxAbs, std::fabs(h[i]));
    for (uint32_t i = 0; i < vCount; ++i) maxAbs = std::max(maxAbs, std::fabs(v[i]));

    fBlackDenom = 256;
    while (fBlackDenom > 1 && fBlackDenom * maxAbs >= kMaxScaledBlack) fBlackDenom >>= 1;
    if (fBlackDenom * maxAbs >= kMaxScaledBlack) ThrowBadFormat("black level too large");

    const real64 denom = fBlackDenom;
    auto round = [denom](real64& x) { x = std::round(x * denom) / denom; };
    for (auto& rows : fBlackLevel) {
        for (auto& cols : rows) {
            for (real64& x : cols) round(x);
        }
    }
    for (uint32_t i = 0; i < hCount; ++i) round(h[i]);
    for (uint32_t i = 0; i < vCount; ++i) round(v[i]);
}

real64 dng_linearization_info::MaxBlackLevel(uint32_t plane) const {
    const uint32_t rows = fBlackLevelRepeatRows;
    const uint32_t cols = fBlackLevelRepeatCols;
    const uint32_t hCount = ColumnBlackCount();
    const uint32_t vCount = RowBlackCount();
    if ((hCount && cols == 0) || (vCount && rows == 0)) {
        ThrowProgramError("black deltas without a repeat pattern");
    }
    // Fold each delta list by its repeat phase, keeping the largest value.
    constexpr real64 kNone = -std::numeric_limits<real64>::infinity();
    real64 colTerm[kMaxBlackPattern];
    real64 rowTerm[kMaxBlackPattern];
    std::fill(std::begin(colTerm), std::end(colTerm), hCount ? kNone : 0.0);
    std::fill(std::begin(rowTerm), std::end(rowTerm), vCount ? kNone : 0.0);
    for (uint32_t i = 0; i < hCount; ++i) {
        colTerm[i % cols] = std::max(colTerm[i % cols], ColumnBlacks()[i]);
    }
    for (uint32_t i = 0; i < vCount; ++i) {
        rowTerm[i % rows] = std::max(rowTerm[i % rows], RowBlacks()[i]);
    }
    for (real64& x : colTerm) x = x == kNone ? 0.0 : x;
    for (real64& x : rowTerm) x = x == kNone ? 0.0 : x;

    real64 result = kNone;
    for (uint32_t r = 0; r < rows; ++r) {
        for (uint32_t c = 0; c < cols; ++c) {
            result = std::max(result, fBlackLevel[r][c][plane] + colTerm[c] + rowTerm[r]);
        }
    }
    return result;
}

dng_srational dng_linearization_info::BlackLevel(uint32_t row, uint32_t col, uint32_t plane) const {
    return dng_srational(int32_t(std::round(fBlackLevel[row][col][plane] * fBlackDenom)),
                         int32_t(fBlackDenom));
}

dng_srational dng_linearization_info::RowBlack(uint32_t row) const {
    if (!fBlackDeltaV) return dng_srational(0, 1);
    return dng_srational(int32_t(std::round(RowBlacks()[row] * fBlackDenom)), int32_t(fBlackDenom));
}

dng_srational dng_linearization_info::ColumnBlack(uint32_t col) const {
    if (!fBlackDeltaH) return dng_srational(0, 1);
    return dng_srational(int32_t(std::round(ColumnBlacks()[col] * fBlackDenom)),
                         int32_t(fBlackDenom));
}

void dng_linearization_info::Linearize(dng_host& host, dng_linearization_source& negative,
                                       const dng_image& srcImage, dng_image& dstImage) {
    uint16_t dstBlackLevel = 0;
    const bool keepsBlack = negative.Stage2KeepsBlackLevel(host, srcImage, dstImage);
    if (keepsBlack && !negative.Stage3BlackLevelDisabled() && dstImage.PixelType() == ttShort) {
        real64 ratio = 0.0;
        for (uint32_t p = 0; p < std::min(srcImage.Planes(), kMaxPlanes); ++p) {
            const real64 black = MaxBlackLevel(p);
            if (black > 0.0 && black < fWhiteLevel[p])
                ratio = std::max(ratio, black / fWhiteLevel[p]);
        }
        uint32_t level = uint32_t(std::max(0.0, std::min(ratio, 0.2) * 65535.0 + 0.5));
        if (negative.Stage3BlackLevelAtLeast1028()) level = std::max<uint32_t>(level, 1028);
        dstBlackLevel = uint16_t(std::min<uint32_t>(level, 65535));
        negative.SetStage3BlackLevel(dstBlackLevel);
    }

    dng_linearize_image task(host, *this, dstBlackLevel, !keepsBlack, srcImage, dstImage);
    host.PerformAreaTask(task, task.ActiveArea());
}

bool dng_linearization_info::PassesThrough(dng_host& host, dng_linearization_source& negative,
                                           const dng_image& srcImage) const {
    if (srcImage.PixelType() != ttShort || srcImage.Planes() > kMaxPlanes ||
        fActiveArea != srcImage.Bounds() ||
        negative.Stage2KeepsBlackLevel(host, srcImage, srcImage)) {
        return false;
    }
    // The planes only read the destination's pixel type, which is the source's.
    for (uint32_t p = 0; p < srcImage.Planes(); ++p) {
        const dng_linearize_plane plane(host, *this, 0, true, srcImage,
                                        const_cast<dng_image&>(srcImage), p);
        if (!plane.IsIdentity()) return false;
    }
    return true;
}

// ---- dng_linearize_plane ----------------------------------------------------------------

dng_linearize_plane::dng_linearize_plane(dng_host& host, const dng_linearization_info& info,
                                         uint16_t dstBlackLevel, bool forceClipBlackLevel,
                                         const dng_image& srcImage, dng_image& dstImage,
                                         uint32_t plane)
    : fSrcImage(srcImage),
      fDstImage(dstImage),
      fPlane(plane),
      fActiveArea(info.fActiveArea),
      fSrcPixelType(srcImage.PixelType()),
      fDstPixelType(dstImage.PixelType()) {
    const bool srcSmall = fSrcPixelType == ttByte || fSrcPixelType == ttShort;
    if ((!srcSmall && fSrcPixelType != ttLong && fSrcPixelType != ttFloat) ||
        (fDstPixelType != ttShort && fDstPixelType != ttFloat) ||
        (fSrcPixelType == ttFloat && fDstPixelType != ttFloat)) {
        ThrowProgramError("unsupported pixel types for linearization");
    }
    fReal32 = fSrcPixelType == ttLong || fSrcPixelType == ttFloat || fDstPixelType == ttFloat;

    const real64 maxBlack = info.MaxBlackLevel(plane);
    const real64 range = info.fWhiteLevel[plane] - maxBlack;
    if (!(range > 0.0)) ThrowBadFormat("white level not above the black level");
    const real64 scale = 1.0 / range;
    fScale = real32(scale);

    const real64 dstBlack = fDstPixelType == ttShort ? real64(dstBlackLevel) : 0.0;
    const real64 intFactor = (65535.0 - dstBlack) * 256.0;
    auto store = [&](dng_memory_block& block, uint32_t index, real64 value) {
        if (fReal32) {
            block.Buffer_real32()[index] = real32(value);
        } else {
            block.Buffer_int32()[index] = RoundToInt32(value * intFactor);
        }
    };

    const uint32_t repeatRows = info.fBlackLevelRepeatRows;
    const uint32_t repeatCols = info.fBlackLevelRepeatCols;
    const uint32_t hCount = info.ColumnBlackCount();
    const uint32_t vCount = info.RowBlackCount();
    const real64* deltaH = info.ColumnBlacks();
    const real64* deltaV = info.RowBlacks();

    // Two-dimensional black table.
    if (hCount) {
        fBlack_2D_rows = repeatRows;
        fBlack_2D_cols = hCount;
    } else if (repeatCols >= 2) {
        fBlack_2D_rows = repeatRows;
        fBlack_2D_cols = repeatCols;
    }
    if (fBlack_2D_cols) {
        if (fBlack_2D_rows == 0) ThrowProgramError("black table without rows");
        const uint32_t count = SafeUint32Mult(fBlack_2D_rows, fBlack_2D_cols);
        fBlack_2D_buffer = host.Allocate(SafeUint32Mult(count, 4));
        bool allZero = true;
        for (uint32_t r = 0; r < fBlack_2D_rows; ++r) {
            for (uint32_t c = 0; c < fBlack_2D_cols; ++c) {
                const real64 black =
                    info.fBlackLevel[r][c % repeatCols][plane] + (hCount ? deltaH[c] : 0.0);
                allZero = allZero && black == 0.0;
                store(*fBlack_2D_buffer, r * fBlack_2D_cols + c, black * scale);
            }
        }
        if (allZero) {
            fBlack_2D_buffer.reset();
            fBlack_2D_rows = fBlack_2D_cols = 0;
        }
    }
    const bool has2D = fBlack_2D_cols != 0 || hCount != 0 || repeatCols >= 2;

    // Per-row black table.
    if (vCount) {
        fBlack_1D_rows = vCount;
    } else if (!has2D && (repeatRows >= 2 || !srcSmall)) {
        fBlack_1D_rows = repeatRows;
    }
    if (fBlack_1D_rows) {
        fBlack_1D_buffer = host.Allocate(SafeUint32Mult(fBlack_1D_rows, 4));
        bool allZero = true;
        for (uint32_t r = 0; r < fBlack_1D_rows; ++r) {
            const real64 black = (has2D ? 0.0 : info.fBlackLevel[r % repeatRows][0][plane]) +
                                 (vCount ? deltaV[r] : 0.0);
            allZero = allZero && black == 0.0;
            store(*fBlack_1D_buffer, r, black * scale);
        }
        if (allZero) {
            fBlack_1D_buffer.reset();
            fBlack_1D_rows = 0;
        }
    }

    if (!srcSmall) {
        fMode = Mode::Real;
        return;
    }

    const uint32_t tableCount =
        info.fLinearizationTable ? info.fLinearizationTable->LogicalSize() / 2 : 0;
    const uint16_t* table = tableCount ? info.fLinearizationTable->Buffer_uint16() : nullptr;
    auto linear = [&](uint32_t i) -> real64 {
        return table ? real64(table[std::min(i, tableCount - 1)]) : real64(i);
    };

    if (!fBlack_2D_buffer && !fBlack_1D_buffer) {
        fMode = Mode::LookupOnly;
        const uint32_t count = fSrcPixelType == ttByte ? 256 : 65536;
        const real64 black = info.fBlackLevel[0][0][plane];
        if (fDstPixelType == ttShort) {
            fScale_buffer = host.Allocate(count * 2);
            uint16_t* lut = fScale_buffer->Buffer_uint16();
            for (uint32_t i = 0; i < count; ++i) {
                real64 v = (linear(i) - black) * scale;
                if (forceClipBlackLevel) v = std::clamp(v, 0.0, 1.0);
                lut[i] = uint16_t(
                    std::clamp(std::round(v * (65535.0 - dstBlack) + dstBlack), 0.0, 65535.0));
            }
        } else {
            fScale_buffer = host.Allocate(count * 4);
            real32* lut = fScale_buffer->Buffer_real32();
            for (uint32_t i = 0; i < count; ++i) {
                real64 v = (linear(i) - black) * scale;
                if (forceClipBlackLevel) v = std::clamp(v, 0.0, 1.0);
                lut[i] = real32(v);
            }
        }
        return;
    }

    fMode = fReal32 ? Mode::Real : Mode::Integer;
    fScale_buffer = host.Allocate(65536 * 4);
    for (uint32_t i = 0; i < 65536; ++i) {
        const real64 v = linear(i) * scale;
        if (fReal32) {
            fScale_buffer->Buffer_real32()[i] = real32(v);
        } else {
            fScale_buffer->Buffer_int32()[i] =
                RoundToInt32((v * (65535.0 - dstBlack) + dstBlack) * 256.0);
        }
    }
}

dng_linearize_plane::~dng_linearize_plane() = default;

bool dng_linearize_plane::IsIdentity() const {
    if (fMode != Mode::LookupOnly || fSrcPixelType != ttShort || fDstPixelType != ttShort)
        return false;
    const uint16_t* lut = fScale_buffer->Buffer_uint16();
    for (uint32_t i = 0; i < 65536; ++i)
        if (lut[i] != i) return false;
    return true;
}

template <typename S, typename D>
void dng_linearize_plane::ProcessRows(const dng_rect& srcTile) {
    const dng_rect dstTile(srcTile.t - fActiveArea.t, srcTile.l - fActiveArea.l,
                           srcTile.b - fActiveArea.t, srcTile.r - fActiveArea.l);
    dng_const_tile_buffer src(fSrcImage, srcTile);
    dng_dirty_tile_buffer dst(fDstImage, dstTile);
    const int32_t sStep = src.ColStep();
    const int32_t dStep = dst.ColStep();
    const uint32_t cols = srcTile.W();
    const uint32_t firstCol = uint32_t(srcTile.l - fActiveArea.l);

    // Integer rows of adjacent samples go through one plain loop, the
    // repeating black pattern laid out along the row beforehand.
    bool plainRows = false;
    std::vector<int32_t> blackRows;
    if constexpr (std::is_same_v<S, uint16_t> && std::is_same_v<D, uint16_t>) {
        plainRows = fMode == Mode::Integer && sStep == 1 && dStep == 1;
        if (plainRows && fBlack_2D_buffer) {
            plainRows = fBlack_2D_rows != 0 && fBlack_2D_cols != 0 &&
                        uint64_t(fBlack_2D_rows) * cols <= kLaidOutBlackMax;
            if (plainRows) {
                blackRows.resize(size_t(fBlack_2D_rows) * cols);
                const int32_t* b = fBlack_2D_buffer->Buffer_int32();
                for (uint32_t r2 = 0; r2 < fBlack_2D_rows; ++r2)
                    for (uint32_t c = 0, k = firstCol % fBlack_2D_cols; c < cols; ++c) {
                        blackRows[size_t(r2) * cols + c] = b[size_t(r2) * fBlack_2D_cols + k];
                        if (++k == fBlack_2D_cols) k = 0;
                    }
            }
        }
    }

    for (int32_t row = srcTile.t; row < srcTile.b; ++row) {
        const S* sp = static_cast<const S*>(src.ConstPixel(row, srcTile.l, fPlane));
        D* dp = static_cast<D*>(dst.DirtyPixel(row - fActiveArea.t, dstTile.l, fPlane));
        const uint32_t r = uint32_t(row - fActiveArea.t);
        const uint32_t c2Start = fBlack_2D_cols ? firstCol % fBlack_2D_cols : 0;
        const uint32_t r2 = fBlack_2D_rows ? r % fBlack_2D_rows : 0;

        if (fMode == Mode::LookupOnly) {
            if constexpr (sizeof(S) <= 2) {
                const D* lut = static_cast<const D*>(fScale_buffer->Buffer());
                for (uint32_t c = 0; c < cols; ++c)
                    dp[int64_t(c) * dStep] = lut[sp[int64_t(c) * sStep]];
            }
        } else if (fMode == Mode::Integer) {
            if constexpr (sizeof(S) <= 2 && std::is_same_v<D, uint16_t>) {
                const int32_t* lut = fScale_buffer->Buffer_int32();
                const int32_t rowBlack =
                    fBlack_1D_buffer ? fBlack_1D_buffer->Buffer_int32()[r % fBlack_1D_rows] : 0;
                const int32_t* b2 = fBlack_2D_buffer ? fBlack_2D_buffer->Buffer_int32() +
                                                           size_t(r2) * fBlack_2D_cols
                                                     : nullptr;
                if constexpr (std::is_same_v<S, uint16_t>)
                    if (plainRows) {
                        linearizeRowInteger(sp, cols, lut, rowBlack - 128,
                                            b2 ? blackRows.data() + size_t(r2) * cols : nullptr,
                                            dp);
                        continue;
                    }
                uint32_t c2 = c2Start;
                for (uint32_t c = 0; c < cols; ++c) {
                    int32_t v = lut[sp[int64_t(c) * sStep]] - (rowBlack - 128);
                    if (b2) {
                        v -= b2[c2];
                        if (++c2 == fBlack_2D_cols) c2 = 0;
                    }
                    v >>= 8;
                    dp[int64_t(c) * dStep] = uint16_t(std::clamp(v, 0, 65535));
                }
            }
        } else {
            const real32 rowBlack =
                fBlack_1D_buffer ? fBlack_1D_buffer->Buffer_real32()[r % fBlack_1D_rows] : 0.0f;
            const real32* b2 = fBlack_2D_buffer
                                   ? fBlack_2D_buffer->Buffer_real32() + size_t(r2) * fBlack_2D_cols
                                   : nullptr;
            const real32* lut = fScale_buffer ? fScale_buffer->Buffer_real32() : nullptr;
            uint32_t c2 = c2Start;
            for (uint32_t c = 0; c < cols; ++c) {
                const S in = sp[int64_t(c) * sStep];
                real32 v;
                if constexpr (sizeof(S) <= 2) {
                    v = lut[in];
                } else {
                    v = real32(in) * fScale;
                }
                v -= rowBlack;
                if (b2) {
                    v -= b2[c2];
                    if (++c2 == fBlack_2D_cols) c2 = 0;
                }
                v = v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
                if constexpr (std::is_same_v<D, real32>) {
                    dp[int64_t(c) * dStep] = v;
                } else {
                    dp[int64_t(c) * dStep] = uint16_t(v * 65535.0f + 0.5f);
                }
            }
        }
    }
}

void dng_linearize_plane::Process(const dng_rect& srcTile) {
    const bool dstShort = fDstPixelType == ttShort;
    switch (fSrcPixelType) {
        case ttByte:
            dstShort ? ProcessRows<uint8_t, uint16_t>(srcTile)
                     : ProcessRows<uint8_t, real32>(srcTile);
            break;
        case ttShort:
            dstShort ? ProcessRows<uint16_t, uint16_t>(srcTile)
                     : ProcessRows<uint16_t, real32>(srcTile);
            break;
        case ttLong:
            dstShort ? ProcessRows<uint32_t, uint16_t>(srcTile)
                     : ProcessRows<uint32_t, real32>(srcTile);
            break;
        default:
            ProcessRows<real32, real32>(srcTile);
            break;
    }
}

// ---- dng_linearize_image ----------------------------------------------------------------

dng_linearize_image::dng_linearize_image(dng_host& host, const dng_linearization_info& info,
                                         uint16_t dstBlackLevel, bool forceClipBlackLevel,
                                         const dng_image& srcImage, dng_image& dstImage)
    : dng_area_task("dng_linearization_image"),
      fActiveArea(info.fActiveArea),
      fPlanes(std::min(srcImage.Planes(), dng_linearization_info::kMaxPlanes)) {
    fMaxTileSize = dng_point(1024, 1024);
    // The active area must lie in stage 1, and stage 2 must cover it.
    if (dng_rect::Intersect(fActiveArea, srcImage.Bounds()) != fActiveArea ||
        fActiveArea.H() > dstImage.Bounds().H() || fActiveArea.W() > dstImage.Bounds().W() ||
        dstImage.Planes() < fPlanes) {
        ThrowBadFormat("active area outside the raw image");
    }
    for (uint32_t p = 0; p < fPlanes; ++p) {
        fPlaneTask[p] = std::make_unique<dng_linearize_plane>(
            host, info, dstBlackLevel, forceClipBlackLevel, srcImage, dstImage, p);
    }
}

dng_linearize_image::~dng_linearize_image() = default;

void dng_linearize_image::Process(uint32_t /*threadIndex*/, const dng_rect& tile,
                                  dng_abort_sniffer* /*sniffer*/) {
    for (uint32_t p = 0; p < fPlanes; ++p) fPlaneTask[p]->Process(tile);
}
