#include "engine/ImageBuffer.h"

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "engine/CGImageBitMap.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/VImage.h"

using platform::Rect;

namespace {

std::shared_ptr<const platform::IccColorSpace> spaceOf(const ColorSyncProfileWrap::Ptr& p) {
    return p ? p->cgColorSpace() : nullptr;
}

}  // namespace

ImageBuffer::~ImageBuffer() = default;

bool ImageBuffer::sizeFits(platform::Size size) {
    auto fits = [](double v) { return v >= 0 && v <= 65535 && std::floor(v) == v; };
    return fits(size.width) && fits(size.height);
}

bool ImageBuffer::setUp(uint16_t width, uint16_t height,
                        std::shared_ptr<FileBackedFactoryNSData> block,
                        ColorSyncProfileWrap::Ptr profile) {
    imageWidth_ = width;
    imageHeight_ = height;
    rowStepInBytes_ = uint64_t(width) * bytesPerPixel();
    cropOffset_ = 0;
    const uint64_t needed = rowStepInBytes_ * height;
    if (block) {
        if (block->length() < needed || (needed && !block->bytes())) return false;
    } else {
        block = FileBackedFactoryNSData::initWithSize(needed, false);
        if (!block) return false;
    }
    bitmapData_ = std::move(block);
    bufferProfile_ = std::move(profile);
    engineList_.fill(kNoStage);
    return true;
}

void ImageBuffer::becomeCropOf(const ImageBuffer& parent, uint16_t x, uint16_t y, uint16_t width,
                               uint16_t height) {
    imageWidth_ = width;
    imageHeight_ = height;
    rowStepInBytes_ = parent.rowStepInBytes_;
    cropOffset_ = parent.cropOffset_ + uint64_t(y) * parent.rowStepInBytes_ +
                  uint64_t(x) * parent.bytesPerPixel();
    bitmapData_ = parent.bitmapData_;
    bufferProfile_ = parent.bufferProfile();
    validRegion_ = parent.validRegion();
}

std::shared_ptr<ImageBuffer> ImageBuffer::resizedImageFromBuffer(uint16_t, uint16_t) const {
    return nullptr;
}

std::shared_ptr<ImageBuffer> ImageBuffer::croppedImageFromBuffer(const Rect&) const {
    return nullptr;
}

uint16_t* ImageBuffer::bufferU16ForRow(int) const { return nullptr; }
uint16_t* ImageBuffer::bufferU16ForRow(int, int) const { return nullptr; }
float* ImageBuffer::bufferFloatForRow(int) const { return nullptr; }
float* ImageBuffer::bufferFloatForRow(int, int) const { return nullptr; }

uint8_t* ImageBuffer::pixelBase() const {
    if (!bitmapData_ || !bitmapData_->mutableBytes()) return nullptr;
    return static_cast<uint8_t*>(bitmapData_->mutableBytes()) + cropOffset_;
}

Rect ImageBuffer::extent() const { return Rect{0, 0, double(imageWidth_), double(imageHeight_)}; }

bool ImageBuffer::sampleValues(int x, int y, int patchSize, double* redAverage,
                               double* greenAverage, double* blueAverage,
                               double* alphaAverage) const {
    const uint8_t* base = pixelBase();
    if (!base) return false;
    if (x < 0 || y < 0 || x >= imageWidth_ || y >= imageHeight_) return false;
    const int half = std::max(patchSize, 1) / 2;
    const int x0 = std::max(x - half, 0), x1 = std::min(x + half, imageWidth_ - 1);
    const int y0 = std::max(y - half, 0), y1 = std::min(y + half, imageHeight_ - 1);
    if (x1 < x0 || y1 < y0) return false;
    double sum[4] = {0, 0, 0, 0};
    for (int row = y0; row <= y1; ++row) {
        const uint8_t* r = base + uint64_t(row) * rowStepInBytes_;
        for (int col = x0; col <= x1; ++col)
            for (int c = 0; c < 4; ++c) {
                if (isFloat_) {
                    float v;
                    std::memcpy(&v, r + uint64_t(col) * 16 + c * 4, 4);
                    sum[c] += v;
                } else {
                    uint16_t v;
                    std::memcpy(&v, r + uint64_t(col) * 8 + c * 2, 2);
                    sum[c] += v / 65535.0;
                }
            }
    }
    const double n = double(x1 - x0 + 1) * double(y1 - y0 + 1);
    *redAverage = sum[0] / n;
    *greenAverage = sum[1] / n;
    *blueAverage = sum[2] / n;
    *alphaAverage = sum[3] / n;
    return true;
}

namespace {

std::shared_ptr<const platform::BitmapImage> imageOver(
    const std::shared_ptr<FileBackedFactoryNSData>& block, uint64_t offset, uint16_t width,
    uint16_t height, uint64_t rowStep, bool isFloat,
    std::shared_ptr<const platform::IccColorSpace> space) {
    if (!block || !block->bytes() || width == 0 || height == 0) return nullptr;
    if (offset > block->length()) return nullptr;
    // A crop's last row ends before the block does, but its padding may not.
    const uint64_t length =
        std::min<uint64_t>(uint64_t(height) * rowStep, block->length() - offset);
    auto provider = std::make_shared<const platform::BitmapDataProvider>(
        block, static_cast<const uint8_t*>(block->bytes()) + offset, length);
    const uint32_t info =
        platform::kBitmapAlphaPremultipliedLast |
        (isFloat ? platform::kBitmapFloatComponents | platform::kBitmapByteOrder32Little
                 : platform::kBitmapByteOrder16Little);
    return platform::BitmapImage::create(width, height, isFloat ? 32 : 16, isFloat ? 128 : 64,
                                         rowStep, info, std::move(space), std::move(provider));
}

}  // namespace

std::shared_ptr<const platform::BitmapImage> ImageBuffer::createCGImage(bool) const {
    std::lock_guard<std::mutex> guard(monitor_);
    auto space = spaceOf(bufferProfile_);
    if (!space) space = platform::genericLinearRGBColorSpace();
    return imageOver(bitmapData_, cropOffset_, imageWidth_, imageHeight_, rowStepInBytes_, isFloat_,
                     std::move(space));
}

std::shared_ptr<const platform::BitmapImage> ImageBuffer::getImage(
    const ColorSyncProfileWrap::Ptr& profile) const {
    auto space = spaceOf(profile);
    if (!space) space = platform::sRGBColorSpace();
    return imageOver(bitmapData_, cropOffset_, imageWidth_, imageHeight_, rowStepInBytes_, isFloat_,
                     std::move(space));
}

std::shared_ptr<CGImageBitMap> ImageBuffer::getCGImageBitMapWithOrientation(int orientation) const {
    auto image = createCGImage(false);
    if (!image) return nullptr;
    if (orientation < 2) return CGImageBitMap::initWithCGImageRef(image);
    const char* method = "-[ImageBuffer getCGImageBitMapWithOrientation:]";
    if (orientation == 2 || orientation == 4 || orientation == 5 || orientation == 7 ||
        orientation > 8)
        platform::log("Invalid image rotate %i in %s", orientation, method);
    if (orientation > 8) return CGImageBitMap::initWithCGImageRef(image);
    const size_t w = image->width(), h = image->height();
    // Every transposing orientation needs a context of swapped size, or half
    // the picture would land outside it.
    const bool swap = orientation >= 5;
    const size_t newW = swap ? h : w, newH = swap ? w : h;
    size_t rowBytes = image->bytesPerRow() * newW / w;
    if (rowBytes < newW * (image->bitsPerPixel() / 8)) rowBytes = 0;
    auto ctx = platform::BitmapContext::create(newW, newH, image->bitsPerComponent(),
                                               image->bitsPerPixel(), rowBytes, image->colorSpace(),
                                               image->bitmapInfo());
    if (!ctx) return nullptr;
    ctx->concatCTM(CGImageBitMap::orientationTransform(orientation, double(w), double(h)));
    ctx->setInterpolationQuality(platform::BitmapInterpolation::Default);
    if (!ctx->drawImage(Rect{0, 0, double(w), double(h)}, *image)) return nullptr;
    return CGImageBitMap::initWithCGImageRef(ctx->makeImage());
}

bool ImageBuffer::testReadOnlyAndAddtoEngineList(StageId stage) {
    std::lock_guard<std::mutex> guard(monitor_);
    if (stage != kNoStage && stage == bufferOwner_) return false;
    auto slot = std::find_if(engineList_.begin(), engineList_.end(),
                             [&](StageId s) { return s == kNoStage || s == stage; });
    if (slot != engineList_.end() && *slot == stage && stage != kNoStage) return false;
    if (bufferOwner_ != kNoStage || slot == engineList_.end() || stage == kNoStage) return true;
    *slot = stage;
    return false;
}

void ImageBuffer::lock(StageId) { bufferLock_.lock(); }

bool ImageBuffer::tryLock(StageId) { return bufferLock_.try_lock(); }

void ImageBuffer::unlock(StageId) { bufferLock_.unlock(); }

bool ImageBuffer::lockWithinSeconds(StageId, double seconds) {
    if (bufferLock_.try_lock()) return true;
    // Polled rather than a timed lock: waits are short (a run's end), and the
    // plain recursive lock is the one every other path uses.
    platform::BlockingScope blocked;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(std::max(seconds, 0.0)));
    auto pause = std::chrono::microseconds(50);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(pause);
        if (bufferLock_.try_lock()) return true;
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
    return false;
}

StageId ImageBuffer::bufferOwner() const {
    std::lock_guard<std::mutex> guard(monitor_);
    return bufferOwner_;
}

void ImageBuffer::setBufferOwner(StageId stage) {
    std::lock_guard<std::mutex> guard(monitor_);
    bufferOwner_ = stage;
}

Rect ImageBuffer::validRegion() const {
    std::lock_guard<std::mutex> guard(monitor_);
    return validRegion_;
}

void ImageBuffer::setValidRegion(const Rect& r) {
    std::lock_guard<std::mutex> guard(monitor_);
    validRegion_ = r;
}

ColorSyncProfileWrap::Ptr ImageBuffer::bufferProfile() const {
    std::lock_guard<std::mutex> guard(monitor_);
    return bufferProfile_;
}

void ImageBuffer::setBufferProfile(ColorSyncProfileWrap::Ptr profile) {
    std::lock_guard<std::mutex> guard(monitor_);
    bufferProfile_ = std::move(profile);
}

std::array<StageId, ImageBuffer::kEngineListSlots> ImageBuffer::engineList() const {
    std::lock_guard<std::mutex> guard(monitor_);
    return engineList_;
}

// ---------------------------------------------------------------------------

namespace {

// All four channels of every row as one plane of samples.
platform::vimage::Buffer planar(const ImageBuffer& b) {
    return platform::vimage::Buffer{b.pixelBase(), b.imageHeight(), size_t(b.imageWidth()) * 4,
                                    size_t(b.rowStepInBytes())};
}

platform::vimage::Buffer pixels(const ImageBuffer& b) {
    return platform::vimage::Buffer{b.pixelBase(), b.imageHeight(), b.imageWidth(),
                                    size_t(b.rowStepInBytes())};
}

// Same format: row by row for the source's width.
void copyRows(const ImageBuffer& from, const ImageBuffer& to) {
    const size_t rowBytes = size_t(from.imageWidth()) * from.bytesPerPixel();
    for (int y = 0; y < from.imageHeight(); ++y)
        std::memcpy(to.pixelBase() + uint64_t(y) * to.rowStepInBytes(),
                    from.pixelBase() + uint64_t(y) * from.rowStepInBytes(), rowBytes);
}

// (x, y, w, h) of a crop rectangle clipped to the image; false when nothing is left.
bool clipCrop(const ImageBuffer& b, const Rect& rect, bool widenSlivers, uint16_t out[4]) {
    Rect r = rect.intersection(b.extent());
    if (r.isNull()) return false;
    if (widenSlivers) {
        if (r.width <= 1 && r.x > 1) {
            r.width = 1;
            r.x -= 1;
        }
        if (r.height <= 1 && r.y > 1) {
            r.height = 1;
            r.y -= 1;
        }
    }
    const double x = std::trunc(r.x), y = std::trunc(r.y);
    const double w = std::trunc(r.width), h = std::trunc(r.height);
    if (x < 0 || y < 0 || x + w > b.imageWidth() || y + h > b.imageHeight()) return false;
    out[0] = uint16_t(x);
    out[1] = uint16_t(y);
    out[2] = uint16_t(w);
    out[3] = uint16_t(h);
    return true;
}

}  // namespace

std::shared_ptr<ImageBufferU16> ImageBufferU16::initWithSize(
    uint16_t width, uint16_t height, std::shared_ptr<FileBackedFactoryNSData> usingBuffer,
    ColorSyncProfileWrap::Ptr colorProfile) {
    auto b = std::make_shared<ImageBufferU16>();
    if (!b->setUp(width, height, std::move(usingBuffer), std::move(colorProfile))) return nullptr;
    return b;
}

std::shared_ptr<ImageBufferU16> ImageBufferU16::initWithCopyFrom(const ImageBuffer& other) {
    if (!other.pixelBase()) return nullptr;
    auto b = initWithSize(other.imageWidth(), other.imageHeight(), nullptr, other.bufferProfile());
    if (!b) return nullptr;
    if (!other.isFloat()) {
        copyRows(other, *b);
    } else if (long e = platform::vimage::convertPlanarFTo16U(planar(other), planar(*b), 0,
                                                              float(1.0 / kFloatScale),
                                                              platform::vimage::kNoFlags)) {
        platform::log("Error in %s : %zi", "-[ImageBufferU16 initWithCopyFrom:]", ssize_t(e));
        return nullptr;
    }
    return b;
}

std::shared_ptr<ImageBuffer> ImageBufferU16::resizedImageFromBuffer(uint16_t width,
                                                                    uint16_t height) const {
    if (width == imageWidth_ && height == imageHeight_) {
        auto copy = initWithCopyFrom(*this);
        if (copy) copy->setValidRegion(validRegion());
        return copy;
    }
    if (!pixelBase() || width == 0 || height == 0) return nullptr;
    auto b = initWithSize(width, height, nullptr, bufferProfile());
    if (!b) return nullptr;
    if (platform::vimage::scaleARGB16U(pixels(*this), pixels(*b),
                                       platform::vimage::kHighQualityResampling |
                                           platform::vimage::kPrintDiagnosticsToConsole))
        return nullptr;
    b->setValidRegion(validRegion());
    return b;
}

std::shared_ptr<ImageBuffer> ImageBufferU16::croppedImageFromBuffer(const Rect& rect) const {
    uint16_t c[4];
    if (!bitmapData_ || !clipCrop(*this, rect, true, c)) return nullptr;
    auto b = std::make_shared<ImageBufferU16>();
    b->becomeCropOf(*this, c[0], c[1], c[2], c[3]);
    return b;
}

uint16_t* ImageBufferU16::bufferU16ForRow(int row) const { return bufferU16ForRow(row, 0); }

uint16_t* ImageBufferU16::bufferU16ForRow(int row, int col) const {
    uint8_t* base = pixelBase();
    if (!base || row < 0 || col < 0 || row >= imageHeight_ || col >= imageWidth_) return nullptr;
    return reinterpret_cast<uint16_t*>(base + uint64_t(row) * rowStepInBytes_ + uint64_t(col) * 8);
}

std::shared_ptr<ImageBufferF32> ImageBufferF32::initWithSize(
    uint16_t width, uint16_t height, std::shared_ptr<FileBackedFactoryNSData> usingBuffer,
    ColorSyncProfileWrap::Ptr colorProfile) {
    auto b = std::make_shared<ImageBufferF32>();
    if (!b->setUp(width, height, std::move(usingBuffer), std::move(colorProfile))) return nullptr;
    return b;
}

std::shared_ptr<ImageBufferF32> ImageBufferF32::initWithCopyFrom(const ImageBuffer& other) {
    if (!other.pixelBase()) return nullptr;
    auto b = initWithSize(other.imageWidth(), other.imageHeight(), nullptr, other.bufferProfile());
    if (!b) return nullptr;
    if (other.isFloat()) {
        copyRows(other, *b);
    } else if (long e = platform::vimage::convertPlanar16UToF(planar(other), planar(*b), 0,
                                                              float(1.0 / kFloatScale),
                                                              platform::vimage::kNoFlags)) {
        platform::log("Error in %s : %zi", "-[ImageBufferF32 initWithCopyFrom:]", ssize_t(e));
        return nullptr;
    }
    return b;
}

std::shared_ptr<ImageBuffer> ImageBufferF32::resizedImageFromBuffer(uint16_t width,
                                                                    uint16_t height) const {
    if (width == imageWidth_ && height == imageHeight_) {
        auto copy = initWithCopyFrom(*this);
        if (copy) copy->setValidRegion(validRegion());
        return copy;
    }
    if (!pixelBase() || width == 0 || height == 0) return nullptr;
    auto b = initWithSize(width, height, nullptr, bufferProfile());
    if (!b) return nullptr;
    if (platform::vimage::scaleARGBFFFF(pixels(*this), pixels(*b),
                                        platform::vimage::kHighQualityResampling |
                                            platform::vimage::kPrintDiagnosticsToConsole))
        return nullptr;
    b->setValidRegion(validRegion());
    return b;
}

std::shared_ptr<ImageBuffer> ImageBufferF32::croppedImageFromBuffer(const Rect& rect) const {
    uint16_t c[4];
    if (!bitmapData_ || !clipCrop(*this, rect, false, c)) return nullptr;
    auto b = std::make_shared<ImageBufferF32>();
    b->becomeCropOf(*this, c[0], c[1], c[2], c[3]);
    return b;
}

float* ImageBufferF32::bufferFloatForRow(int row) const { return bufferFloatForRow(row, 0); }

float* ImageBufferF32::bufferFloatForRow(int row, int col) const {
    uint8_t* base = pixelBase();
    if (!base || row < 0 || col < 0 || row >= imageHeight_ || col >= imageWidth_) return nullptr;
    return reinterpret_cast<float*>(base + uint64_t(row) * rowStepInBytes_ + uint64_t(col) * 16);
}
