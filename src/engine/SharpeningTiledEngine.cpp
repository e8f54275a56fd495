// No trapping math: lets the compiler turn the clamps into blends; the
// results are the same.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-trapping-math")
#endif

#include "engine/SharpeningTiledEngine.h"

#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "color/SettingsKeys.h"
#include "engine/FileBackedFactoryNSData.h"
#include "platform/Log.h"
#include "platform/VImage.h"
#include "platform/WideLoops.h"

namespace vi = platform::vimage;

namespace {

constexpr float kMinRadius = 0.05f;
constexpr size_t kFloatPixel = 4 * sizeof(float);

// sqrt(v / 65535) for every 16-bit sample, made once and never destroyed:
// a worker may still read it while the program exits.
const float* squareRootTable() {
    static const float* const table = [] {
        auto* t = new float[65536];
        for (size_t v = 0; v < 65536; ++v) t[v] = float(std::sqrt(double(v) / 65535.0));
        return t;
    }();
    return table;
}

float usableRadius(float r) { return std::isfinite(r) ? std::max(r, kMinRadius) : kMinRadius; }

float sigmaForRadius(float r) { return r < 1.0f ? r : std::sqrt(r); }

// Eight lanes, loaded and stored unaligned through the type itself: a
// function taking or returning it would change its calling convention
// between the 256-bit and baseline builds.
using Float8 = float __attribute__((vector_size(32)));
using Float8Unaligned = float __attribute__((vector_size(32), aligned(4), may_alias));

// A worker's scratch of n floats, kept for its next tile when of ordinary
// size: a fresh block per tile would cost page faults and clearing.
constexpr size_t kKeptScratchFloats = size_t(2) << 20;

// The kept scratch goes with its thread through a thread-specific key: a
// thread_local with a destructor would register it by an allocation that the
// C library aborts on when memory is short.
std::vector<float>& keptScratch() {
    static const pthread_key_t key = [] {
        pthread_key_t k;
        pthread_key_create(&k, [](void* v) { delete static_cast<std::vector<float>*>(v); });
        return k;
    }();
    thread_local std::vector<float>* kept = nullptr;
    if (!kept) {
        auto fresh = std::make_unique<std::vector<float>>();
        if (pthread_setspecific(key, fresh.get()) != 0) throw std::bad_alloc();
        kept = fresh.release();
    }
    return *kept;
}

float* workerScratch(std::vector<float>& own, size_t n) {
    std::vector<float>& v = n <= kKeptScratchFloats ? keptScratch() : own;
    if (v.size() < n) v.resize(n);
    return v.data();
}

// out[x] = Σ over the taps, row by row, left to right, of k(i, j) ·
// rows[i][x + j], each sum started at 0: per pixel the order of the 2-D
// convolution. Sixteen outputs at a time keep their sums in registers. A
// fixed side (Fixed > 0) lets the compiler unroll the taps.
template <int Fixed>
[[gnu::always_inline]] inline void convolveRowFor(const float* const* rows, const float* k,
                                                  int side, int n, float* out) {
    const int L = Fixed > 0 ? Fixed : side;
    int x = 0;
    for (; x + 16 <= n; x += 16) {
        Float8 a0 = {}, a1 = a0;
        for (int i = 0; i < L; ++i) {
            const float* r = rows[i] + x;
            const float* kr = k + size_t(i) * size_t(L);
            for (int j = 0; j < L; ++j) {
                const float kk = kr[j];
                a0 += kk * *reinterpret_cast<const Float8Unaligned*>(r + j);
                a1 += kk * *reinterpret_cast<const Float8Unaligned*>(r + j + 8);
            }
        }
        *reinterpret_cast<Float8Unaligned*>(out + x) = a0;
        *reinterpret_cast<Float8Unaligned*>(out + x + 8) = a1;
    }
    for (; x < n; ++x) {
        float a = 0.0f;
        for (int i = 0; i < L; ++i)
            for (int j = 0; j < L; ++j) a += k[size_t(i) * size_t(L) + size_t(j)] * rows[i][x + j];
        out[x] = a;
    }
}

QUORVEX_WIDE_LOOPS
void convolveRow(const float* const* rows, const float* k, int side, int n, float* out) {
    if (side == 3) return convolveRowFor<3>(rows, k, side, n, out);
    if (side == 5) return convolveRowFor<5>(rows, k, side, n, out);
    convolveRowFor<0>(rows, k, side, n, out);
}

// The 16-bit value of a sharpened square root v: v² at full scale 65325,
// rounded, clamped to 0..65535 (NaN gives 0).
inline uint32_t toOutput(float v, float mul) {
    float f = (v * v) * mul;
    f = f > 0.0f ? f : 0.0f;
    f = f < 65535.0f ? f : 65535.0f;
    return uint32_t(int32_t(f + 0.5f));
}

// The square roots of a row's colours, a plane each.
QUORVEX_WIDE_LOOPS
void rootsOfRow(const uint16_t* __restrict s, size_t n, const float* root, const uint8_t* ahead,
                float* __restrict p0, float* __restrict p1, float* __restrict p2) {
    // A cache line of the next row asked for every eight pixels.
    for (size_t i = 0; i < n; i += 8) {
        if (ahead) __builtin_prefetch(ahead + i * 8);
        const size_t end = std::min(n, i + 8);
        for (size_t j = i; j < end; ++j) {
            p0[j] = root[s[4 * j]];
            p1[j] = root[s[4 * j + 1]];
            p2[j] = root[s[4 * j + 2]];
        }
    }
}

// 32-bit words written straight into 16-bit rows.
using Word = uint32_t __attribute__((may_alias, aligned(2)));

// A row of sharpened square roots (a plane per colour, w apart) as 16-bit
// RGBA. Two 32-bit words a pixel (R and G, B and A) vectorise far better
// than four 16-bit stores.
QUORVEX_WIDE_LOOPS
void outputRow(const float* values, size_t w, float mul, uint32_t alpha, uint16_t* out) {
    const float* __restrict v0 = values;
    const float* __restrict v1 = values + w;
    const float* __restrict v2 = values + 2 * w;
    Word* __restrict words = reinterpret_cast<Word*>(out);
    for (size_t i = 0; i < w; ++i) {
        const uint32_t r = toOutput(v0[i], mul), g = toOutput(v1[i], mul);
        const uint32_t b = toOutput(v2[i], mul);
        if constexpr (std::endian::native == std::endian::little) {
            words[2 * i] = r | (g << 16);
            words[2 * i + 1] = b | (alpha << 16);
        } else {
            words[2 * i] = (r << 16) | g;
            words[2 * i + 1] = (b << 16) | alpha;
        }
    }
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
    ++parameterGeneration_;
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
    const uint64_t generation = parameterGeneration_;
    if (!buildKernel()) {
        // No run, and the stages after this one must hear why.
        auto failed = std::make_shared<TileProcess>();
        failed->setError(kNoMemoryForOutput);
        setRunError(kNoMemoryForOutput);
        return failed;
    }
    auto result = TiledEngine::runProcessToCompletion(region);
    if (parameterGeneration_ != generation) markAllDirty();
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
    const int L = length_, h = L / 2;
    // The tile's columns with a half kernel either side, as far as the image goes.
    const int ax0 = std::max(0, colStart - h), ax1 = std::min(W, colEnd + h);
    const size_t aw = size_t(ax1 - ax0), w = size_t(colEnd - colStart);
    // Output columns whose kernel lies inside the image; the others, and
    // every pixel of a row within half a kernel of the top or bottom, keep
    // their square root unchanged.
    const int ix0 = std::clamp(h, colStart, colEnd), ix1 = std::clamp(W - h, ix0, colEnd);

    // Square roots of the rows in reach, a plane per colour, in a ring of
    // kernel-length rows: every source row is converted once per tile.
    std::vector<float> own;
    float* ring = workerScratch(own, 3 * size_t(L) * aw + 3 * w);
    float* values = ring + 3 * size_t(L) * aw;
    auto plane = [&](int row, int c) { return ring + (size_t(row % L) * 3 + size_t(c)) * aw; };
    const float* root = squareRootTable();
    int nextRow = std::max(0, rowStart - h);
    std::vector<const float*> rows(size_t(L), nullptr);
    const float mul = static_cast<float>(1.0 / double(1.0f / 65325.0f));
    const uint32_t alpha = toOutput(1.0f, mul);

    for (int y = rowStart; y < rowEnd; ++y) {
        if (isCanceled()) return;
        for (; nextRow <= std::min(H - 1, y + h); ++nextRow) {
            const uint16_t* __restrict s = srcBuffer->bufferU16ForRow(nextRow, ax0);
            // A source whose pixels went away (a failed run let them go).
            if (!s) throw std::runtime_error("The image to sharpen has no pixels.");
            float* __restrict p0 = plane(nextRow, 0);
            float* __restrict p1 = plane(nextRow, 1);
            float* __restrict p2 = plane(nextRow, 2);
            // The next row starts a new page, where the hardware does not
            // look ahead: ask for it while this one is converted.
            const uint8_t* ahead =
                nextRow + 1 < H
                    ? reinterpret_cast<const uint8_t*>(srcBuffer->bufferU16ForRow(nextRow + 1, ax0))
                    : nullptr;
            rootsOfRow(s, aw, root, ahead, p0, p1, p2);
        }
        const bool interiorRow = y >= h && y + h < H;
        for (int c = 0; c < 3; ++c) {
            float* v = values + size_t(c) * w;
            std::memcpy(v, plane(y, c) + (colStart - ax0), w * sizeof(float));
            if (!interiorRow || ix1 <= ix0) continue;
            for (int i = 0; i < L; ++i) rows[size_t(i)] = plane(y - h + i, c) + (ix0 - h - ax0);
            convolveRow(rows.data(), kernel_.data(), L, ix1 - ix0, v + (ix0 - colStart));
        }
        outputRow(values, w, mul, alpha, destBuffer->bufferU16ForRow(y, colStart));
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
