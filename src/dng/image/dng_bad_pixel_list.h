// Repair of listed defective pixels (FixBadPixelsList) in a one-plane 16-bit
// Bayer mosaic: isolated points and one-column or one-row defects are
// estimated along the direction in which the neighbourhood changes least;
// clustered points and rectangles take the average of the nearest valid
// same-colour ring.
//
// The list is sorted once and only read during application; each tile works
// in its own source buffer, so tiles may run on several threads.
#pragma once

#include <memory>
#include <vector>

#include "dng/core/dng_point.h"
#include "dng/core/dng_rect.h"
#include "dng/image/dng_opcodes.h"

class dng_bad_pixel_list {
public:
    static constexpr uint32 kNoIndex = 0xFFFFFFFF;

    uint32 PointCount() const { return uint32(fPoints.size()); }
    uint32 RectCount() const { return uint32(fRects.size()); }
    const dng_point& Point(uint32 index) const { return fPoints[index]; }
    const dng_rect& Rect(uint32 index) const { return fRects[index]; }

    void AddPoint(const dng_point& point) { fPoints.push_back(point); }
    void AddRect(const dng_rect& rect) { fRects.push_back(rect); }
    void Sort();

    bool IsPointIsolated(uint32 index, uint32 radius) const;
    bool IsRectIsolated(uint32 index, uint32 radius) const;
    bool IsPointValid(const dng_point& point, const dng_rect& imageBounds,
                      uint32 index = kNoIndex) const;

private:
    std::vector<dng_point> fPoints;
    std::vector<dng_rect> fRects;
};

class dng_opcode_FixBadPixelsList : public dng_filter_opcode {
public:
    dng_opcode_FixBadPixelsList(std::unique_ptr<dng_bad_pixel_list> list, uint32 bayerPhase);
    dng_opcode_FixBadPixelsList(dng_host& host, dng_stream& stream);

    void PutData(dng_stream& stream) const override;
    dng_point SrcRepeat() override { return dng_point(2, 2); }
    dng_rect SrcArea(const dng_rect& dstArea, const dng_rect& imageBounds) override;
    void Prepare(dng_negative& negative, uint32 threadCount, const dng_point& tileSize,
                 const dng_rect& imageBounds, uint32 imagePlanes, uint32 bufferPixelType,
                 dng_memory_allocator& allocator) override;
    void ProcessArea(dng_negative& negative, uint32 threadIndex, dng_pixel_buffer& srcBuffer,
                     dng_pixel_buffer& dstBuffer, const dng_rect& dstArea,
                     const dng_rect& imageBounds) override;

    const dng_bad_pixel_list& List() const { return *fList; }

protected:
    virtual void FixIsolatedPixel(dng_pixel_buffer& buffer, const dng_point& badPoint);
    virtual void FixClusteredPixel(dng_pixel_buffer& buffer, uint32 pointIndex,
                                   const dng_rect& imageBounds);
    virtual void FixSingleColumn(dng_pixel_buffer& buffer, const dng_rect& badRect);
    virtual void FixSingleRow(dng_pixel_buffer& buffer, const dng_rect& badRect);
    virtual void FixClusteredRect(dng_pixel_buffer& buffer, const dng_rect& badRect,
                                  const dng_rect& imageBounds);

private:
    bool IsGreen(int32 row, int32 col) const {
        return ((int64(row) + col + fBayerPhase + (fBayerPhase >> 1)) & 1) == 0;
    }

    std::unique_ptr<dng_bad_pixel_list> fList;
    uint32 fBayerPhase;
};
