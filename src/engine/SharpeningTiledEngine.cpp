#include "engine/SharpeningTiledEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "color/SettingsKeys.h"
#include "engine/FileBackedFactoryNSData.h"
#include "platform/Log.h"
#include "platform/VImage.h"

namespace vi = platform::vimage;

namespace {

constexpr float kMinRadius = 0.05f;
constexpr size_t kFloatPixel = 4 * sizeof(float);
constexpr int kBandRows = 32;

// sqrt(v / 65535) for every 16-bit sample, made once.
const float* squareRootTable() {
    static const std::vector<float> table = [] {
        std::vector<float> t(65536);
        for (size_t v = 0; v < t.size(); ++v) t[v] = float(std::sqrt(double(v) / 65535.0));
        return t;
    }();
    return table.data();
}

float usableRadius(float r) { return std::isfinite(r) ? std::max(r, kMinRadius) : kMinRadius; }

float sigmaForRadius(float r) { return r < 1.0f ? r : std::sqrt(r); }

// Float images of a tile. A worker keeps its pair of ordinary size for the
// next tile: fresh blocks would cost a page fault and a clearing per page.
constexpr uint64_t kKeptImageBytes = uint64_t(8) << 20;

std::shared_ptr<FileBackedFactoryNSData> floatImage(int width, int height, int which) {
    thread_local std::shared_ptr<FileBackedFactoryNSData> kept[2];
    const uint64_t bytes = uint64_t(width) * uint64_t(height) * kFloatPixel;
    auto& slot = kept[which];
    if (slot && slot->length() >= bytes && slot.use_count() == 1) return slot;
    auto block = FileBackedFactoryNSData::initWithSize(bytes, false);
    if (!block || !block->mutableBytes())
        throw std::runtime_error("sharpening: no memory for a tile's float images");
    if (bytes <= kKeptImageBytes) slot = block;
    return block;
}

}  // namespace

SharpeningTiledEngine::SharpeningTiledEngine(platform::Size size,
                                             std::optional<std::string> imageID,
                                             bool releasePrecursors)
    : TiledEngine(size, std::move(imageID), releasePrecursors) {
    stageToKey().set(SettingsKeys::kInputRadius, 3);
    stageToKey().set(SettingsKeys::kInputIntensity, 3);
}

SharpeningTiledEngine::SharpeningTiledEngine(Ptr source, std::optional<std::string> imageID,
                                             bool releasePrecursors)
    : TiledEngine(std::move(source), std::move(imageID), releasePrecursors) {
    stageToKey().set(SettingsKeys::kInputRadius, 3);
    stageToKey().set(SettingsKeys::kInputIntensity, 3);
}

std::shared_ptr<SharpeningTiledEngine> SharpeningTiledEngine::initWithSize(
    platform::Size size, std::optional<std::string> imageID, bool releasePrecursors) {
    if (!ImageBuffer::sizeFits(size)) return nullptr;
    return std::make_shared<SharpeningTiledEngine>(size, std::move(imageID), releasePrecursors);
}

std::shared_ptr<SharpeningTiledEngine> SharpeningTiledEngine::initWithImage(
    Ptr source, std::optional<std::string> imageID, bool releasePrecursors) {
    return std::make_shared<SharpeningTiledEngine>(std::move(source), std::move(imageID),
                                                   releasePrecursors);
}

std::string SharpeningTiledEngine::engineName() const {
    char name[96];
    std::snprintf(name, sizeof name, "QuorvexSharpeningEngine_%p", static_cast<const void*>(this));
    return name;
}

void SharpeningTiledEngine::setParameters(const std::optional<std::string>& key,
                                          const platform::Dictionary& parameters) {
    if (key && !stageToKey().contains(*key)) {
        TiledEngine::setParameters(key, parameters);
        return;
    }
    intensity_ = parameters[SettingsKeys::kInputIntensity].floatValue(0);
    radius_ = parameters[SettingsKeys::kInputRadius].floatValue(0);
    markAllDirty();
    TiledEngine::setParameters(key, parameters);
}

// ---------------------------------------------------------------------------
// Kernel

int SharpeningTiledEngine::kernelLengthForRadius(float radius) {
    const float sigma = sigmaForRadius(usableRadius(radius));
    const double n0 = std::trunc(2.0 * double(sigma) + 1.0);
    int n = n0 > double(kMaxKernelLength) ? kMaxKernelLength : int(n0);
    if (n <= 2) n = 3;
    return (n % 2 == 1) ? n : std::min(n + 1, kMaxKernelLength);
}

bool SharpeningTiledEngine::buildKernel() {
    const float r = usableRadius(radius_);
    radius_ = r;
    const float sigma = sigmaForRadius(r);
    const int n = kernelLengthForRadius(r);
    try {
        kernel_.assign(size_t(n) * size_t(n), 0.0f);
    } catch (const std::bad_alloc&) {
        kernel_.clear();
        platform::log("%s could not malloc kernel: %i",
                      "-[SharpeningTiledEngine runProcessToCompletion:]", n);
        return false;
    }
    length_ = n;
    fill2DGaussian(kernel_.data(), sigma, intensity_);
    float sum = 0.0f;
    for (float k : kernel_) sum += k;
    for (float& k : kernel_) k /= sum;
    return true;
}

void SharpeningTiledEngine::fill2DGaussian(float* array, float sigma, float ammount) const {
    if (!array) return;
    const int n = length_, h = n / 2;
    const double twoSigma2 = 2.0 * double(sigma) * double(sigma);
    const double norm = 2.0 * M_PI * double(sigma) * double(sigma);
    float sum = 0.0f;
    float* entry = array;
    for (int y = -h; y <= h; ++y)
        for (int x = -h; x <= h; ++x, ++entry) {
            const float numerator = -float(x * x + y * y);
            const float g = std::exp(float(double(numerator) / twoSigma2));
            *entry = float(-double(g) / norm * double(ammount));
            sum += *entry;
        }
    array[size_t(n) * size_t(n) / 2] = 1.0f - sum;
}

void SharpeningTiledEngine::fillGaussian(float* array, float sigma) const {
    if (!array) return;
    const int n = length_, k = n / 2;
    const double norm = std::sqrt(2.0 * M_PI) * double(sigma);
    for (int i = 0; i <= k; ++i) {
        const float v =
            float(std::exp(-double(i * i) / (2.0 * double(sigma) * double(sigma))) / norm);
        array[k + i] = v;
        array[k - i] = v;
    }
}

// ---------------------------------------------------------------------------
// The run

std::shared_ptr<TileProcess> SharpeningTiledEngine::runProcessToCompletion(
    const TileRegion& region) {
    setNumberOfPasses(4);
    if (!buildKernel()) return nullptr;
    auto result = TiledEngine::runProcessToCompletion(region);
    if (result)
        if (auto buffer = result->buffer()) buffer->setBufferOwner(stageId());
    return result;
}

void SharpeningTiledEngine::processTile(int colStart, int colEnd, int rowStart, int rowEnd,
                                        ImageBuffer* srcBuffer, ImageBuffer* destBuffer, int pass) {
    // Later passes of a run would write the same pixels again from an
    // unchanged source (or, in place, sharpen twice): the first one does it.
    if (pass > 0) return;
    if (!srcBuffer || !destBuffer || srcBuffer->isFloat() || destBuffer->isFloat()) return;
    if (!srcBuffer->pixelBase() || !destBuffer->pixelBase()) return;
    const int W = std::min(srcBuffer->imageWidth(), destBuffer->imageWidth());
    const int H = std::min(srcBuffer->imageHeight(), destBuffer->imageHeight());
    colStart = std::max(colStart, 0);
    rowStart = std::max(rowStart, 0);
    colEnd = std::min(colEnd, W);
    rowEnd = std::min(rowEnd, H);
    if (colStart >= colEnd || rowStart >= rowEnd || kernel_.empty()) return;
    const int h = length_ / 2;
    const int colStartAdj = std::max(0, colStart - h), colEndAdj = std::min(W, colEnd + h);
    // Bands of rows, each with its own half-kernel margin, keep a worker's
    // float images in its cache; every output pixel still sees the same
    // input, and only the image border stops its kernel.
    const int band = std::max(kBandRows, h);
    for (int r0 = rowStart; r0 < rowEnd; r0 += band) {
        const int r1 = std::min(rowEnd, r0 + band);
        const int rowStartAdj = std::max(0, r0 - h), rowEndAdj = std::min(H, r1 + h);
        auto input = floatImage(colEndAdj - colStartAdj, rowEndAdj - rowStartAdj, 0);
        auto output = floatImage(colEndAdj - colStartAdj, rowEndAdj - rowStartAdj, 1);
        if (isCanceled()) return;
        convertToFloat(colStartAdj, colEndAdj, rowStartAdj, rowEndAdj, *srcBuffer, *input);
        twoDConvolve(colStart, colEnd, r0, r1, *input, *output, colStartAdj, colEndAdj, rowStartAdj,
                     rowEndAdj);
        convertToInt(*output, colStart, colEnd, r0, r1, *destBuffer, colStartAdj, colEndAdj,
                     rowStartAdj, rowEndAdj);
    }
}

void SharpeningTiledEngine::convertToFloat(int colStart, int colEnd, int rowStart, int rowEnd,
                                           const ImageBuffer& srcBuffer,
                                           FileBackedFactoryNSData& finputImage) const {
    const size_t w = size_t(colEnd - colStart);
    if (finputImage.length() < w * size_t(rowEnd - rowStart) * kFloatPixel) return;
    float* out = static_cast<float*>(finputImage.mutableBytes());
    const float* root = squareRootTable();
    for (int row = rowStart; row < rowEnd; ++row) {
        const uint16_t* s = srcBuffer.bufferU16ForRow(row, colStart);
        for (size_t i = 0; i < w; ++i, s += 4, out += 4) {
            out[0] = root[s[0]];
            out[1] = root[s[1]];
            out[2] = root[s[2]];
            out[3] = 1.0f;
        }
    }
}

void SharpeningTiledEngine::twoDConvolve(int colStart, int colEnd, int rowStart, int rowEnd,
                                         FileBackedFactoryNSData& finputImage,
                                         FileBackedFactoryNSData& foutputImage, int colStartAdj,
                                         int colEndAdj, int rowStartAdj, int rowEndAdj) const {
    const size_t aw = size_t(colEndAdj - colStartAdj), ah = size_t(rowEndAdj - rowStartAdj);
    if (finputImage.length() < aw * ah * kFloatPixel ||
        foutputImage.length() < aw * ah * kFloatPixel)
        return;
    const size_t offX = size_t(colStart - colStartAdj), offY = size_t(rowStart - rowStartAdj);
    vi::Buffer src{finputImage.mutableBytes(), ah, aw, aw * kFloatPixel};
    vi::Buffer dest{
        static_cast<uint8_t*>(foutputImage.mutableBytes()) + (offY * aw + offX) * kFloatPixel,
        size_t(rowEnd - rowStart), size_t(colEnd - colStart), aw * kFloatPixel};
    const float background[4] = {0, 0, 0, 0};
    const auto err =
        vi::convolveARGBFFFF(src, dest, offX, offY, kernel_.data(), uint32_t(length_),
                             uint32_t(length_), background, vi::kCopyInPlace | vi::kDoNotTile);
    if (err != vi::kNoError)
        throw std::runtime_error("sharpening: convolution failed (" + std::to_string(err) + ")");
}

void SharpeningTiledEngine::convertToInt(FileBackedFactoryNSData& foutputImage, int colStart,
                                         int colEnd, int rowStart, int rowEnd,
                                         ImageBuffer& destBuffer, int colStartAdj, int colEndAdj,
                                         int rowStartAdj, int rowEndAdj) const {
    const size_t aw = size_t(colEndAdj - colStartAdj), ah = size_t(rowEndAdj - rowStartAdj);
    if (foutputImage.length() < aw * ah * kFloatPixel) return;
    const size_t w = size_t(colEnd - colStart);
    float* first = static_cast<float*>(foutputImage.mutableBytes()) +
                   (size_t(rowStart - rowStartAdj) * aw + size_t(colStart - colStartAdj)) * 4;
    for (int row = 0; row < rowEnd - rowStart; ++row) {
        float* p = first + size_t(row) * aw * 4;
        for (size_t i = 0; i < w; ++i, p += 4) {
            p[0] *= p[0];
            p[1] *= p[1];
            p[2] *= p[2];
            p[3] = 1.0f;
        }
    }
    vi::Buffer src{first, size_t(rowEnd - rowStart), w * 4, aw * kFloatPixel};
    vi::Buffer dest{destBuffer.bufferU16ForRow(rowStart, colStart), size_t(rowEnd - rowStart),
                    w * 4, size_t(destBuffer.rowStepInBytes())};
    vi::convertPlanarFTo16U(src, dest, 0.0f, 1.0f / 65325.0f, vi::kDoNotTile);
}

void SharpeningTiledEngine::oneDConvolve(int width, int height, int dir,
                                         FileBackedFactoryNSData& finputImage,
                                         FileBackedFactoryNSData& foutputImage) const {
    const size_t w = size_t(std::max(width, 0)), h = size_t(std::max(height, 0));
    if (finputImage.length() < w * h * kFloatPixel || foutputImage.length() < w * h * kFloatPixel ||
        kernel_.size() < size_t(length_))
        return;
    vi::Buffer a{finputImage.mutableBytes(), h, w, w * kFloatPixel};
    vi::Buffer b{foutputImage.mutableBytes(), h, w, w * kFloatPixel};
    const float background[4] = {0, 0, 0, 0};
    const uint32_t n = uint32_t(length_);
    if (dir == 0)
        vi::convolveARGBFFFF(a, b, 0, 0, kernel_.data(), 1, n, background,
                             vi::kCopyInPlace | vi::kDoNotTile);
    else
        vi::convolveARGBFFFF(b, a, 0, 0, kernel_.data(), n, 1, background,
                             vi::kCopyInPlace | vi::kDoNotTile);
}
