// Mosaic information: down-scale choice and the two demosaicing drivers.
// Full size: destination tiles of at most 128 x 128 pixels, each reading its
// source area (tile / full scale, widened by the pattern size on every side,
// edges repeated with the pattern's phase) into one 16-bit plane and
// interpolating every colour plane. Reduced size: the fast interpolator as a
// host area task.
#include "dng/image/dng_mosaic_info.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "dng/core/dng_area_task.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_tag_values.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_bilinear_interpolator.h"
#include "dng/image/dng_fast_interpolator.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_pixel_buffer.h"

namespace {

constexpr int32_t kTileSize = 128;

int32_t ceilDiv(int32_t a, int32_t b) { return -FloorDiv(-a, b); }

int32_t roundHalfAway(double x) {
    const double r = x >= 0.0 ? std::floor(x + 0.5) : std::ceil(x - 0.5);
    if (!(r > -2147483648.0 && r < 2147483647.0)) return r > 0 ? 2147483647 : -2147483647;
    return int32_t(r);
}

}  // namespace

dng_mosaic_info::dng_mosaic_info() = default;
dng_mosaic_info::~dng_mosaic_info() = default;

void dng_mosaic_info::Parse(dng_host&, dng_stream&, const dng_ifd& ifd, uint32_t colorPlanes,
                            const uint8_t* planeColors, uint32_t bayerGreenSplit) {
    if (ifd.fPhotometricInterpretation != piCFA) return;
    // Sizes come from a file: a pattern or plane count the record cannot
    // hold is a damaged file, not something to index with.
    if (ifd.fCFARepeatPatternRows > kMaxCFAPattern || ifd.fCFARepeatPatternCols > kMaxCFAPattern ||
        colorPlanes > kMaxColorPlanes || (colorPlanes != 0 && planeColors == nullptr))
        ThrowBadFormat("Invalid CFA description");
    fCFAPatternSize =
        dng_point(int32_t(ifd.fCFARepeatPatternRows), int32_t(ifd.fCFARepeatPatternCols));
    for (uint32_t r = 0; r < kMaxCFAPattern; ++r)
        for (uint32_t c = 0; c < kMaxCFAPattern; ++c) fCFAPattern[r][c] = ifd.fCFAPattern[r][c];
    fColorPlanes = colorPlanes;
    for (uint32_t p = 0; p < kMaxColorPlanes; ++p)
        fCFAPlaneColor[p] = p < colorPlanes ? planeColors[p] : 0;
    fCFALayout = ifd.fCFALayout;
    fBayerGreenSplit = bayerGreenSplit;
}

void dng_mosaic_info::SetSizes(const dng_point& srcSize, const dng_point& croppedSize,
                               double aspectRatio) {
    fSrcSize = srcSize;
    fCroppedSize = croppedSize;
    fAspectRatio = aspectRatio;
}

bool dng_mosaic_info::SetFourColorBayer() {
    if (fCFAPatternSize != dng_point(2, 2) || fColorPlanes != 3) return false;
    const uint8_t green = fCFAPlaneColor[1];
    const bool mainDiagonal = fCFAPattern[0][0] == green && fCFAPattern[1][1] == green;
    const bool otherDiagonal = fCFAPattern[0][1] == green && fCFAPattern[1][0] == green;
    if (!mainDiagonal && !otherDiagonal) return false;

    uint8_t fourth = 0;
    while (fourth == fCFAPlaneColor[0] || fourth == fCFAPlaneColor[1] ||
           fourth == fCFAPlaneColor[2])
        ++fourth;

    // The green sharing a column with the first plane's colour is the new one.
    for (int32_t r = 0; r < 2; ++r) {
        for (int32_t c = 0; c < 2; ++c) {
            if (fCFAPattern[r][c] == fCFAPlaneColor[0]) {
                const int32_t other = 1 - r;
                if (fCFAPattern[other][c] != green) return false;
                fCFAPattern[other][c] = fourth;
                fCFAPlaneColor[3] = fourth;
                fColorPlanes = 4;
                return true;
            }
        }
    }
    return false;
}

dng_point dng_mosaic_info::FullScale() const {
    switch (fCFALayout) {
        case 2:
        case 3:
            return dng_point(2, 1);
        case 4:
        case 5:
            return dng_point(1, 2);
        default:
            return dng_point(1, 1);
    }
}

bool dng_mosaic_info::IsSafeDownScale(const dng_point& downScale) const {
    if (downScale.v < 1 || downScale.h < 1) return false;
    const int32_t rows = fCFAPatternSize.v;
    const int32_t cols = fCFAPatternSize.h;
    if (downScale.v >= rows && downScale.h >= cols) return true;
    if (rows == 0) return true;
    if (rows > int32_t(kMaxCFAPattern) || cols < 1 || cols > int32_t(kMaxCFAPattern)) return false;
    const int32_t blockRows = std::min(downScale.v, rows);
    const int32_t blockCols = std::min(downScale.h, cols);
    const uint32_t planes = std::min<uint32_t>(fColorPlanes, kMaxColorPlanes);
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < cols; ++c) {
            for (uint32_t p = 0; p < planes; ++p) {
                bool found = false;
                for (int32_t i = 0; i < blockRows && !found; ++i)
                    for (int32_t j = 0; j < blockCols && !found; ++j)
                        found = fCFAPattern[(r + i) % rows][(c + j) % cols] == fCFAPlaneColor[p];
                if (!found) return false;
            }
        }
    }
    return true;
}

uint32_t dng_mosaic_info::SizeForDownScale(const dng_point& downScale) const {
    const int64_t rows = std::max<int64_t>(
        (int64_t(fCroppedSize.v) + downScale.v / 2) / std::max(downScale.v, 1), 1);
    const int64_t cols = std::max<int64_t>(
        (int64_t(fCroppedSize.h) + downScale.h / 2) / std::max(downScale.h, 1), 1);
    return uint32_t(std::max(rows, cols));
}

bool dng_mosaic_info::ValidSizeDownScale(const dng_point& downScale, uint32_t minSize) const {
    return downScale.v <= int32_t(kMaxDownScale) && downScale.h <= int32_t(kMaxDownScale) &&
           SizeForDownScale(downScale) >= minSize;
}

dng_point dng_mosaic_info::DstSize(const dng_point& downScale) const {
    if (downScale == dng_point(1, 1)) {
        const dng_point scale = FullScale();
        return dng_point(fSrcSize.v * scale.v, fSrcSize.h * scale.h);
    }
    if (downScale.v < 1 || downScale.h < 1 || downScale.v > int32_t(kMaxDownScale) ||
        downScale.h > int32_t(kMaxDownScale))
        return dng_point(0, 0);
    return dng_point(std::max((fSrcSize.v + downScale.v / 2) / downScale.v, 1),
                     std::max((fSrcSize.h + downScale.h / 2) / downScale.h, 1));
}

dng_point dng_mosaic_info::DownScale(uint32_t minSize, uint32_t prefSize, double cropFactor) const {
    dng_point best(1, 1);
    if (prefSize == 0 || !IsColorFilterArray() || !(cropFactor > 0.0)) return best;

    const uint32_t minReduced = uint32_t(std::max(roundHalfAway(minSize / cropFactor), 0));
    const uint32_t prefReduced = uint32_t(std::max(roundHalfAway(prefSize / cropFactor), 0));
    const int64_t target = std::max(minReduced, prefReduced);
    const int64_t fullSize = std::max(std::max(fCroppedSize.v, 1), std::max(fCroppedSize.h, 1));

    dng_point step(1, 1);
    if (fAspectRatio > 1.8) step.v = std::min(roundHalfAway(fAspectRatio), 4);
    if (fAspectRatio < 0.5555555555555556) step.h = std::min(roundHalfAway(1.0 / fAspectRatio), 4);

    auto nextSafe = [&](dng_point test) {
        while (!IsSafeDownScale(test) && test.v <= int32_t(kMaxDownScale) &&
               test.h <= int32_t(kMaxDownScale)) {
            test.v += step.v;
            test.h += step.h;
        }
        return test;
    };
    auto distance = [&](const dng_point& scale) {
        return std::llabs(int64_t(SizeForDownScale(scale)) - target);
    };

    dng_point test = nextSafe(step);
    if (!IsSafeDownScale(test) || !ValidSizeDownScale(test, minReduced)) return best;
    if (distance(test) > std::llabs(fullSize - target)) return best;
    best = test;
    for (;;) {
        test.v += step.v;
        test.h += step.h;
        test = nextSafe(test);
        if (!IsSafeDownScale(test) || !ValidSizeDownScale(test, minReduced)) break;
        if (distance(test) <= distance(best)) {
            best = test;
        } else {
            break;
        }
    }
    return best;
}

namespace {

// Full-size demosaic over destination tiles of at most 128 x 128 pixels, run
// by the host (on its area-task threads; one by default). Each thread has
// its own source and destination buffers, all with the steps of the largest
// tile so that one interpolator serves every tile.
class generic_interpolate_task : public dng_area_task {
public:
    generic_interpolate_task(const dng_mosaic_info& info, const dng_image& srcImage,
                             dng_image& dstImage, uint32_t srcPlane)
        : dng_area_task("dng_mosaic_info::InterpolateGeneric"),
          fInfo(info),
          fSrcImage(srcImage),
          fDstImage(dstImage),
          fSrcPlane(srcPlane),
          fSrcType(dstImage.PixelType() == 11 ? 11 : 3),
          fScale(info.FullScale()),
          fPattern(info.fCFAPatternSize),
          fSrcMax(0, 0, ceilDiv(kTileSize, fScale.v) + 1 + 2 * fPattern.v,
                  ceilDiv(kTileSize, fScale.h) + 1 + 2 * fPattern.h) {
        fMaxTileSize = dng_point(kTileSize, kTileSize);
        fMinTaskArea = kTileSize * kTileSize;
    }

    void Start(uint32_t threadCount, const dng_rect&, const dng_point&,
               dng_memory_allocator* allocator, dng_abort_sniffer*) override {
        dng_memory_allocator& memory = allocator ? *allocator : gDefaultDNGMemoryAllocator;
        const uint32_t dstType = fDstImage.PixelType();
        const uint32_t srcBytes = ComputeTileBufferSize(fSrcType, fSrcMax.Size(), 1, 1);
        const uint32_t dstBytes =
            ComputeTileBufferSize(dstType, dng_point(kTileSize, kTileSize), fDstImage.Planes(), 1);
        fSrcBlocks.resize(threadCount);
        fDstBlocks.resize(threadCount);
        for (uint32_t thread = 0; thread < threadCount; ++thread) {
            fSrcBlocks[thread] = memory.Allocate(srcBytes);
            fDstBlocks[thread] = memory.Allocate(dstBytes);
        }
        const dng_pixel_buffer src(fSrcMax, fSrcPlane, 1, fSrcType, pcInterleaved, nullptr);
        fInterpolator =
            std::make_unique<dng_bilinear_interpolator>(fInfo, src.fRowStep, src.fColStep);
    }

    void Process(uint32_t threadIndex, const dng_rect& tile, dng_abort_sniffer*) override {
        if (tile.W() > uint32_t(kTileSize) || tile.H() > uint32_t(kTileSize))
            ThrowMemoryFull("Area exceeds tile size.");
        dng_pixel_buffer src(fSrcMax, fSrcPlane, 1, fSrcType, pcInterleaved,
                             fSrcBlocks[threadIndex]->Buffer());
        src.fArea = dng_rect(
            FloorDiv(tile.t, fScale.v) - fPattern.v, FloorDiv(tile.l, fScale.h) - fPattern.h,
            ceilDiv(tile.b, fScale.v) + fPattern.v, ceilDiv(tile.r, fScale.h) + fPattern.h);
        fSrcImage.Get(src, dng_image::edge_repeat, uint32_t(fPattern.v), uint32_t(fPattern.h));

        dng_pixel_buffer dst(dng_rect(0, 0, kTileSize, kTileSize), 0, fDstImage.Planes(),
                             fDstImage.PixelType(), pcRowInterleaved,
                             fDstBlocks[threadIndex]->Buffer());
        dst.fArea = tile;
        fInterpolator->Interpolate(src, dst);
        fDstImage.Put(dst);
    }

private:
    const dng_mosaic_info& fInfo;
    const dng_image& fSrcImage;
    dng_image& fDstImage;
    uint32_t fSrcPlane;
    // The mosaic is read as 16-bit samples for a 16-bit result and as float
    // (0..1) for a float one.
    uint32_t fSrcType;
    dng_point fScale;
    dng_point fPattern;
    dng_rect fSrcMax;
    std::vector<std::unique_ptr<dng_memory_block>> fSrcBlocks;
    std::vector<std::unique_ptr<dng_memory_block>> fDstBlocks;
    std::unique_ptr<dng_bilinear_interpolator> fInterpolator;
};

}  // namespace

void dng_mosaic_info::InterpolateGeneric(dng_host& host, dng_negative*, const dng_image& srcImage,
                                         dng_image& dstImage, uint32_t srcPlane) const {
    if (!IsColorFilterArray() || fCFAPatternSize.v > int32_t(kMaxCFAPattern) ||
        fCFAPatternSize.h > int32_t(kMaxCFAPattern) || srcPlane >= srcImage.Planes())
        ThrowProgramError("Invalid mosaic interpolation set-up");
    const uint32_t dstType = dstImage.PixelType();
    if (dstType != 3 && dstType != 11) ThrowNotYetImplemented();
    generic_interpolate_task task(*this, srcImage, dstImage, srcPlane);
    host.PerformAreaTask(task, dstImage.Bounds());
}

void dng_mosaic_info::InterpolateFast(dng_host& host, dng_negative*, const dng_image& srcImage,
                                      dng_image& dstImage, const dng_point& downScale,
                                      uint32_t srcPlane) const {
    dng_fast_interpolator task(*this, srcImage, dstImage, downScale, srcPlane);
    host.PerformAreaTask(task, dstImage.Bounds());
}

void dng_mosaic_info::Interpolate(dng_host& host, dng_negative* negative, const dng_image& srcImage,
                                  dng_image& dstImage, const dng_point& downScale,
                                  uint32_t srcPlane, dng_point_real64* scales) const {
    const bool fullSize = downScale == dng_point(1, 1);
    if (scales && !fullSize) {
        for (uint32_t plane = 0; plane < dstImage.Planes(); ++plane)
            scales[plane] = dng_point_real64(1.0 / downScale.v, 1.0 / downScale.h);
    }
    if (fullSize) {
        InterpolateGeneric(host, negative, srcImage, dstImage, srcPlane);
    } else {
        InterpolateFast(host, negative, srcImage, dstImage, downScale, srcPlane);
    }
}
