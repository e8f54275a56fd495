// The abstract image of the DNG code: bounds, planes and a pixel type, whose
// pixels are reached only through pixel buffers. Readers ask for a region
// with Get (which can synthesise pixels outside the bounds) and store one with
// Put; subclasses decide where pixels live by lending tile buffers.
//
// Ownership: an image owns its pixels (in subclasses); tile buffers borrow
// them for one loop iteration and must not outlive the image.
// Threads: not locked. Several threads may read one image at once; writers
// must give each thread disjoint areas.
#pragma once

#include <cstdint>
#include <memory>

#include "dng/core/dng_rect.h"
#include "dng/image/dng_orientation.h"

class dng_pixel_buffer;
class dng_tile_buffer;

class dng_image {
public:
    enum edge_option : uint32_t {
        edge_none = 0,             // pixels outside the bounds are left untouched
        edge_zero = 1,             // zeroed
        edge_repeat = 2,           // repeat the edge rows and columns
        edge_repeat_zero_last = 3  // repeat in all planes but the last, which is zeroed
    };

    dng_image(const dng_rect& bounds, uint32_t planes, uint32_t pixelType);
    dng_image(const dng_image&) = delete;
    dng_image& operator=(const dng_image&) = delete;
    virtual ~dng_image();

    // A deep copy; the base class cannot make one.
    virtual std::unique_ptr<dng_image> Clone() const;

    const dng_rect& Bounds() const { return fBounds; }
    dng_point Size() const;
    uint32_t Width() const;
    uint32_t Height() const;
    uint32_t Planes() const { return fPlanes; }
    uint32_t PixelType() const { return fPixelType; }
    uint32_t PixelSize() const;
    uint32_t PixelRange() const;

    // Changes the type between types of the same sample size (3 and 8; 4, 9 and 11).
    virtual void SetPixelType(uint32_t pixelType);

    // The storage tile grid: tile iteration is anchored on this rectangle.
    virtual dng_rect RepeatingTile() const;

    virtual void Trim(const dng_rect& r);
    virtual void Rotate(const dng_orientation& orientation);

    // Fills the buffer's area and planes; outside the bounds by the edge option,
    // keeping a repeating pattern of repeatV x repeatH pixels.
    void Get(dng_pixel_buffer& buffer, edge_option edgeOption = edge_none, uint32_t repeatV = 1,
             uint32_t repeatH = 1) const;

    // Stores the buffer's area, clipped to the bounds.
    void Put(const dng_pixel_buffer& buffer);

    virtual bool EqualArea(const dng_image& other, const dng_rect& area, uint32_t plane,
                           uint32_t planes) const;

    virtual void CopyArea(const dng_image& src, const dng_rect& area, uint32_t srcPlane,
                          uint32_t dstPlane, uint32_t planes);
    void CopyArea(const dng_image& src, const dng_rect& area, uint32_t plane, uint32_t planes) {
        CopyArea(src, area, plane, plane, planes);
    }

    virtual void SetConstant(uint32_t value, const dng_rect& area);
    void SetConstant(uint32_t value) { SetConstant(value, fBounds); }

protected:
    friend class dng_tile_buffer;

    // Makes the tile buffer describe the area's pixels; dirty when it will be written.
    virtual void AcquireTileBuffer(dng_tile_buffer& buffer, const dng_rect& area, bool dirty) const;
    // Must not throw.
    virtual void ReleaseTileBuffer(dng_tile_buffer& buffer) const;

    virtual void DoGet(dng_pixel_buffer& buffer) const;
    virtual void DoPut(const dng_pixel_buffer& buffer);

    void GetEdge(dng_pixel_buffer& buffer, edge_option edgeOption, const dng_rect& srcArea,
                 const dng_rect& dstArea) const;
    virtual void GetRepeat(dng_pixel_buffer& buffer, const dng_rect& srcArea,
                           const dng_rect& dstArea) const;

    // Narrows a buffer to the planes this image has; false when none remain.
    bool ClipPlanes(dng_pixel_buffer& buffer) const;
    // Planes [plane, plane + planes) must exist (dng_error_unknown otherwise).
    void CheckPlanes(uint32_t plane, uint32_t planes) const;

    dng_rect fBounds;
    uint32_t fPlanes;
    uint32_t fPixelType;
};
