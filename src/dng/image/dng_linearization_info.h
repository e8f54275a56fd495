// Linearization: turns stored raw samples (stage 1) into linear stage-2
// samples over the active area: the optional linearization table, minus the
// black level (a repeating pattern plus per-column and per-row deltas),
// scaled so that the white level becomes full scale. Output is 16-bit (with
// an optional kept black level D: 0..1 maps to D..65535) or float (0..1).
//
// dng_linearization_info owns its tables. Linearize builds read-only
// per-plane tables first and then runs an area task over the active area;
// the task may run tiles on several threads, each writing disjoint tiles.
#pragma once

#include <cstdint>
#include <memory>

#include "dng/core/dng_area_task.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_rational.h"
#include "dng/core/dng_rect.h"
#include "dng/image/dng_linearization_source.h"

class dng_host;
class dng_ifd;
class dng_image;
class dng_stream;

class dng_linearization_info {
public:
    static constexpr uint32_t kMaxBlackPattern = 8;
    static constexpr uint32_t kMaxPlanes = 4;

    dng_linearization_info();
    virtual ~dng_linearization_info();

    dng_linearization_info(const dng_linearization_info&) = delete;
    dng_linearization_info& operator=(const dng_linearization_info&) = delete;

    // Copies the raw directory's areas and levels and reads the table and
    // delta lists from the stream; then rounds the blacks.
    virtual void Parse(dng_host& host, dng_stream& stream, const dng_ifd& ifd,
                       const dng_linearization_tags& tags);

    // An empty active area becomes the stage-1 image's bounds.
    virtual void FixActiveArea(const dng_rect& stage1Bounds);

    virtual void Linearize(dng_host& host, dng_linearization_source& negative,
                           const dng_image& srcImage, dng_image& dstImage);
    // True when Linearize would copy 16-bit `srcImage` into a 16-bit image
    // sample for sample (the whole image active, every value mapped to
    // itself): the image itself can then serve as the linear one.
    bool PassesThrough(dng_host& host, dng_linearization_source& negative,
                       const dng_image& srcImage) const;

    // Rounds every black level and delta to a multiple of 1 / fBlackDenom,
    // choosing the denominator so that the largest value still fits.
    void RoundBlacks();

    real64 MaxBlackLevel(uint32_t plane) const;

    uint32_t RowBlackCount() const;
    uint32_t ColumnBlackCount() const;
    const real64* RowBlacks() const;
    const real64* ColumnBlacks() const;

    dng_srational BlackLevel(uint32_t row, uint32_t col, uint32_t plane) const;
    dng_srational RowBlack(uint32_t row) const;
    dng_srational ColumnBlack(uint32_t col) const;

    dng_rect fActiveArea;
    uint32_t fMaskedAreaCount = 0;
    dng_rect fMaskedArea[4];

    std::unique_ptr<dng_memory_block> fLinearizationTable;  // uint16 entries

    uint32_t fBlackLevelRepeatRows = 1;
    uint32_t fBlackLevelRepeatCols = 1;
    real64 fBlackLevel[kMaxBlackPattern][kMaxBlackPattern][kMaxPlanes] = {};

    std::unique_ptr<dng_memory_block> fBlackDeltaH;  // real64, one per active column
    std::unique_ptr<dng_memory_block> fBlackDeltaV;  // real64, one per active row

    real64 fWhiteLevel[kMaxPlanes] = {65535.0, 65535.0, 65535.0, 65535.0};

    uint32_t fBlackDenom = 256;
};

// The per-plane tables and inner loops of linearization. Built before the
// task runs; Process only reads them, so one plane may serve several threads.
class dng_linearize_plane {
public:
    dng_linearize_plane(dng_host& host, const dng_linearization_info& info, uint16_t dstBlackLevel,
                        bool forceClipBlackLevel, const dng_image& srcImage, dng_image& dstImage,
                        uint32_t plane);
    ~dng_linearize_plane();

    dng_linearize_plane(const dng_linearize_plane&) = delete;
    dng_linearize_plane& operator=(const dng_linearize_plane&) = delete;

    // srcTile lies in stage-1 coordinates within the active area.
    void Process(const dng_rect& srcTile);
    // Maps every 16-bit value to itself.
    bool IsIdentity() const;

private:
    template <typename S, typename D>
    void ProcessRows(const dng_rect& srcTile);

    const dng_image& fSrcImage;
    dng_image& fDstImage;
    uint32_t fPlane;
    dng_rect fActiveArea;
    uint32_t fSrcPixelType;
    uint32_t fDstPixelType;
    bool fReal32 = false;
    real32 fScale = 0.0f;

    std::unique_ptr<dng_memory_block> fScale_buffer;
    uint32_t fBlack_2D_rows = 0;
    uint32_t fBlack_2D_cols = 0;
    std::unique_ptr<dng_memory_block> fBlack_2D_buffer;
    uint32_t fBlack_1D_rows = 0;
    std::unique_ptr<dng_memory_block> fBlack_1D_buffer;

    enum class Mode { LookupOnly, Integer, Real };
    Mode fMode = Mode::LookupOnly;
};

class dng_linearize_image : public dng_area_task {
public:
    dng_linearize_image(dng_host& host, const dng_linearization_info& info, uint16_t dstBlackLevel,
                        bool forceClipBlackLevel, const dng_image& srcImage, dng_image& dstImage);
    ~dng_linearize_image() override;

    const dng_rect& ActiveArea() const { return fActiveArea; }

    void Process(uint32_t threadIndex, const dng_rect& tile, dng_abort_sniffer* sniffer) override;

private:
    dng_rect fActiveArea;
    uint32_t fPlanes;
    std::unique_ptr<dng_linearize_plane> fPlaneTask[dng_linearization_info::kMaxPlanes];
};
