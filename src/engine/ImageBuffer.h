// Pixels flowing between stages: four channels (R, G, B, A) per pixel, either
// unsigned 16-bit (ImageBufferU16) or 32-bit float (ImageBufferF32), in rows
// of a fixed byte step inside one FileBackedFactoryNSData block. A buffer can
// be a crop (a view sharing its parent's block), names the stage that owns
// it, lists up to 32 other stages allowed to write into it in place, and
// turns itself into bitmap images.
//
// 16-bit samples convert to and from float at full scale 65325; pixel
// readouts divide 16-bit samples by 65535.
//
// Ownership: the block is shared by the buffer and its crops and by bitmap
// images made over it; it is freed when the last of them goes. Stages are
// named by their stable ids (never addresses), so a dead stage can never be
// mistaken for a new one.
//
// Thread safety: the pixels are guarded by the buffer lock (recursive), which
// a stage holds for a whole run; readers take it (lock, tryLock or
// lockWithinSeconds) before reading. The owner, engine list, profile and
// valid region are guarded by the object's own monitor and may be used from
// any thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "color/ColorSyncProfileWrap.h"
#include "engine/FileBackedFactoryNSData.h"
#include "platform/BitmapGeometry.h"
#include "platform/BitmapImage.h"
#include "platform/Locks.h"

class CGImageBitMap;

// A stage's identity; 0 names no stage.
using StageId = uint64_t;
inline constexpr StageId kNoStage = 0;

class ImageBuffer {
public:
    static constexpr int kEngineListSlots = 32;
    static constexpr double kFloatScale = 65325.0;

    virtual ~ImageBuffer();
    ImageBuffer(const ImageBuffer&) = delete;
    ImageBuffer& operator=(const ImageBuffer&) = delete;

    // A size in pixels fits a buffer when both sides are whole numbers from 0
    // to 65535.
    static bool sizeFits(platform::Size size);

    // Null for the base class and when the memory cannot be had.
    virtual std::shared_ptr<ImageBuffer> resizedImageFromBuffer(uint16_t width,
                                                                uint16_t height) const;
    // A view on the part of the image inside `rect`; null when the rectangle
    // misses the image (or for the base class).
    virtual std::shared_ptr<ImageBuffer> croppedImageFromBuffer(const platform::Rect& rect) const;

    // Row and pixel addresses; null for the other format and outside the image.
    virtual uint16_t* bufferU16ForRow(int row) const;
    virtual uint16_t* bufferU16ForRow(int row, int col) const;
    virtual float* bufferFloatForRow(int row) const;
    virtual float* bufferFloatForRow(int row, int col) const;

    // Averages the pixels of a patch centred on (x, y) and clipped to the
    // image. NO without memory, for a point outside the image and when no
    // pixel is left to average.
    bool sampleValues(int x, int y, int patchSize, double* redAverage, double* greenAverage,
                      double* blueAverage, double* alphaAverage) const;
    platform::Rect extent() const;

    // An image over the pixels (crop offset applied) that keeps the block
    // alive; premultiplied alpha last, little-endian samples. Null without
    // memory or for a size of 0.
    std::shared_ptr<const platform::BitmapImage> createCGImage(bool unused = false) const;
    // The same pixels as a float-or-16-bit RGBA image in the given profile's
    // colour space (sRGB without one); the crop offset is applied.
    std::shared_ptr<const platform::BitmapImage> getImage(
        const ColorSyncProfileWrap::Ptr& profile) const;
    // The image turned by an EXIF orientation (1 to 8; 0 counts as 1).
    std::shared_ptr<CGImageBitMap> getCGImageBitMapWithOrientation(int orientation) const;

    // YES when the stage must not write into the buffer.
    bool testReadOnlyAndAddtoEngineList(StageId stage);

    void lock(StageId stage);
    bool tryLock(StageId stage);
    void unlock(StageId stage);
    bool lockWithinSeconds(StageId stage, double seconds);

    uint16_t imageWidth() const { return imageWidth_; }
    uint16_t imageHeight() const { return imageHeight_; }
    uint64_t rowStepInBytes() const { return rowStepInBytes_; }
    uint64_t cropOffset() const { return cropOffset_; }
    const std::shared_ptr<FileBackedFactoryNSData>& bitmapData() const { return bitmapData_; }
    bool isFloat() const { return isFloat_; }
    size_t bytesPerPixel() const { return isFloat_ ? 16 : 8; }
    StageId bufferOwner() const;
    void setBufferOwner(StageId stage);
    platform::Rect validRegion() const;
    void setValidRegion(const platform::Rect& r);
    ColorSyncProfileWrap::Ptr bufferProfile() const;
    void setBufferProfile(ColorSyncProfileWrap::Ptr profile);
    std::array<StageId, kEngineListSlots> engineList() const;

    // The start of pixel (0, 0).
    uint8_t* pixelBase() const;

protected:
    ImageBuffer(bool isFloat) : isFloat_(isFloat) {}
    // Sizes, step, block and profile of a new buffer; false when no memory.
    bool setUp(uint16_t width, uint16_t height, std::shared_ptr<FileBackedFactoryNSData> block,
               ColorSyncProfileWrap::Ptr profile);
    // Makes this buffer a view of `parent` at `rect` (already clipped, whole pixels).
    void becomeCropOf(const ImageBuffer& parent, uint16_t x, uint16_t y, uint16_t width,
                      uint16_t height);

    uint16_t imageWidth_ = 0;
    uint16_t imageHeight_ = 0;
    uint64_t rowStepInBytes_ = 0;
    uint64_t cropOffset_ = 0;
    std::shared_ptr<FileBackedFactoryNSData> bitmapData_;
    const bool isFloat_;

private:
    mutable std::mutex monitor_;
    StageId bufferOwner_ = kNoStage;
    platform::Rect validRegion_ = platform::Rect::null();
    ColorSyncProfileWrap::Ptr bufferProfile_;
    std::array<StageId, kEngineListSlots> engineList_{};
    platform::RecursiveMutex bufferLock_;
};

class ImageBufferU16 : public ImageBuffer {
public:
    // Null when no memory could be had or `usingBuffer` is too small.
    static std::shared_ptr<ImageBufferU16> initWithSize(
        uint16_t width, uint16_t height, std::shared_ptr<FileBackedFactoryNSData> usingBuffer,
        ColorSyncProfileWrap::Ptr colorProfile);
    // A copy of any buffer in this format (float samples x 65325, rounded and clamped).
    static std::shared_ptr<ImageBufferU16> initWithCopyFrom(const ImageBuffer& other);

    std::shared_ptr<ImageBuffer> resizedImageFromBuffer(uint16_t width,
                                                        uint16_t height) const override;
    std::shared_ptr<ImageBuffer> croppedImageFromBuffer(const platform::Rect& rect) const override;
    uint16_t* bufferU16ForRow(int row) const override;
    uint16_t* bufferU16ForRow(int row, int col) const override;

    ImageBufferU16() : ImageBuffer(false) {}
};

class ImageBufferF32 : public ImageBuffer {
public:
    static std::shared_ptr<ImageBufferF32> initWithSize(
        uint16_t width, uint16_t height, std::shared_ptr<FileBackedFactoryNSData> usingBuffer,
        ColorSyncProfileWrap::Ptr colorProfile);
    // A copy of any buffer in this format (16-bit samples / 65325).
    static std::shared_ptr<ImageBufferF32> initWithCopyFrom(const ImageBuffer& other);

    std::shared_ptr<ImageBuffer> resizedImageFromBuffer(uint16_t width,
                                                        uint16_t height) const override;
    std::shared_ptr<ImageBuffer> croppedImageFromBuffer(const platform::Rect& rect) const override;
    float* bufferFloatForRow(int row) const override;
    float* bufferFloatForRow(int row, int col) const override;

    ImageBufferF32() : ImageBuffer(true) {}
};
