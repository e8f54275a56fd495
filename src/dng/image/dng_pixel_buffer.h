// A rectangle of pixels lying in memory: where its first sample is, how far
// apart rows, columns and planes are (in samples, signed) and the TIFF type of
// each sample. Every pixel operation of the DNG code goes through it.
//
// Ownership: the buffer owns nothing; its memory belongs to an image, a tile
// buffer or a temporary block that must outlive it. Copies share the data.
// Threads: a plain value without locking; concurrent use is safe only on
// disjoint memory.
#pragma once

#include <cstdint>

#include "dng/core/dng_point.h"
#include "dng/core/dng_rect.h"
#include "dng/core/dng_tag_values.h"

// Row-interleaved planes, each plane row padded to a multiple of 32 bytes.
enum : uint32_t { pcRowInterleavedAlignSIMD = 100001 };

class dng_pixel_buffer {
public:
    dng_rect fArea;
    uint32_t fPlane = 0;
    uint32_t fPlanes = 1;
    int32_t fRowStep = 1;
    int32_t fColStep = 1;
    int32_t fPlaneStep = 1;
    uint32_t fPixelType = 7;
    uint32_t fPixelSize = 0;
    void* fData = nullptr;
    bool fDirty = true;

    dng_pixel_buffer() = default;
    dng_pixel_buffer(const dng_rect& area, uint32_t plane, uint32_t planes, uint32_t pixelType,
                     uint32_t planarConfiguration, void* data);
    dng_pixel_buffer(const dng_pixel_buffer&) = default;
    dng_pixel_buffer& operator=(const dng_pixel_buffer&) = default;
    virtual ~dng_pixel_buffer() = default;

    // 255, 65535 or 4294967295 for the integer types, 0 for the others.
    uint32_t PixelRange() const;

    const dng_rect& Area() const { return fArea; }
    uint32_t Plane() const { return fPlane; }
    uint32_t Planes() const { return fPlanes; }
    int32_t RowStep() const { return fRowStep; }
    int32_t ColStep() const { return fColStep; }
    int32_t PlaneStep() const { return fPlaneStep; }
    uint32_t PixelType() const { return fPixelType; }
    uint32_t PixelSize() const { return fPixelSize; }

    const void* ConstPixel(int32_t row, int32_t col, uint32_t plane = 0) const {
        return static_cast<const uint8_t*>(fData) + ByteOffset(row, col, plane);
    }
    void* DirtyPixel(int32_t row, int32_t col, uint32_t plane = 0) {
        return static_cast<uint8_t*>(fData) + ByteOffset(row, col, plane);
    }

    const uint8_t* ConstPixel_uint8(int32_t row, int32_t col, uint32_t plane = 0) const {
        return static_cast<const uint8_t*>(ConstPixel(row, col, plane));
    }
    uint8_t* DirtyPixel_uint8(int32_t row, int32_t col, uint32_t plane = 0) {
        return static_cast<uint8_t*>(DirtyPixel(row, col, plane));
    }
    const uint16_t* ConstPixel_uint16(int32_t row, int32_t col, uint32_t plane = 0) const {
        return static_cast<const uint16_t*>(ConstPixel(row, col, plane));
    }
    uint16_t* DirtyPixel_uint16(int32_t row, int32_t col, uint32_t plane = 0) {
        return static_cast<uint16_t*>(DirtyPixel(row, col, plane));
    }
    const int16_t* ConstPixel_int16(int32_t row, int32_t col, uint32_t plane = 0) const {
        return static_cast<const int16_t*>(ConstPixel(row, col, plane));
    }
    int16_t* DirtyPixel_int16(int32_t row, int32_t col, uint32_t plane = 0) {
        return static_cast<int16_t*>(DirtyPixel(row, col, plane));
    }
    const uint32_t* ConstPixel_uint32(int32_t row, int32_t col, uint32_t plane = 0) const {
        return static_cast<const uint32_t*>(ConstPixel(row, col, plane));
    }
    uint32_t* DirtyPixel_uint32(int32_t row, int32_t col, uint32_t plane = 0) {
        return static_cast<uint32_t*>(DirtyPixel(row, col, plane));
    }
    const float* ConstPixel_real32(int32_t row, int32_t col, uint32_t plane = 0) const {
        return static_cast<const float*>(ConstPixel(row, col, plane));
    }
    float* DirtyPixel_real32(int32_t row, int32_t col, uint32_t plane = 0) {
        return static_cast<float*>(DirtyPixel(row, col, plane));
    }

    void SetConstant(const dng_rect& area, uint32_t plane, uint32_t planes, uint32_t value);
    void SetZero(const dng_rect& area, uint32_t plane, uint32_t planes);

    // Copies area x planes from src, converting between pixel types.
    void CopyArea(const dng_pixel_buffer& src, const dng_rect& area, uint32_t srcPlane,
                  uint32_t dstPlane, uint32_t planes);

    // Phase (v, h) of a pattern held in srcArea at the top-left corner of dstArea.
    static dng_point RepeatPhase(const dng_rect& srcArea, const dng_rect& dstArea);

    // Tiles the pattern held in srcArea of this buffer over dstArea, all planes.
    void RepeatArea(const dng_rect& srcArea, const dng_rect& dstArea);

    // Extends the valid rectangle subArea to the whole buffer by repeating its
    // outermost repeatV rows and repeatH columns.
    void RepeatSubArea(const dng_rect& subArea, uint32_t repeatV, uint32_t repeatH);

    // Shifts every 16-bit sample of the buffer right by shift bits.
    void ShiftRight(uint32_t shift);

    // Mirror the view without moving memory.
    void FlipH();
    void FlipV();
    void FlipZ();

    bool EqualArea(const dng_pixel_buffer& src, const dng_rect& area, uint32_t plane,
                   uint32_t planes) const;
    double MaximumDifference(const dng_pixel_buffer& rhs, const dng_rect& area, uint32_t plane,
                             uint32_t planes) const;

    // Reorders the three loop dimensions (count0 rows, count1 columns, count2
    // planes) so that the smallest stride is innermost, turning negative
    // strides positive and fusing contiguous loops. The same set of sample
    // pairs is visited.
    static void OptimizeOrder(const void*& sPtr, void*& dPtr, uint32_t sPixelSize,
                              uint32_t dPixelSize, uint32_t& count0, uint32_t& count1,
                              uint32_t& count2, int32_t& sStep0, int32_t& sStep1, int32_t& sStep2,
                              int32_t& dStep0, int32_t& dStep1, int32_t& dStep2);
    static void OptimizeOrderOneBuffer(const void*& sPtr, uint32_t sPixelSize, uint32_t& count0,
                                       uint32_t& count1, uint32_t& count2, int32_t& sStep0,
                                       int32_t& sStep1, int32_t& sStep2);
    static void OptimizeOrderOneBuffer(void*& dPtr, uint32_t dPixelSize, uint32_t& count0,
                                       uint32_t& count1, uint32_t& count2, int32_t& dStep0,
                                       int32_t& dStep1, int32_t& dStep2);

private:
    int64_t ByteOffset(int32_t row, int32_t col, uint32_t plane) const {
        return ((int64_t(row) - fArea.t) * fRowStep + (int64_t(col) - fArea.l) * fColStep +
                (int64_t(plane) - fPlane) * fPlaneStep) *
               int64_t(fPixelSize);
    }
};
