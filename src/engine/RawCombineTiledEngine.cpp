#include "engine/RawCombineTiledEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "color/SettingsKeys.h"
#include "platform/Log.h"

namespace {

float clampUnit(float v) {
    if (!(v > 0.0f)) return 0.0f;  // NaN reads as no suppression
    return v > 1.0f ? 1.0f : v;
}

uint16_t toSample(float channel) {
    const double d = double(channel) * 65535.0;
    if (!(d > 0.0)) return 0;
    if (d >= 65535.0) return 65535;
    return uint16_t(d);
}

}  // namespace

// ---------------------------------------------------------------------------
// HSV

namespace {

[[gnu::always_inline]] inline void rgbToHsv(float* h, float* s, float* v, float r, float g,
                                            float b) {
    const float mx = std::max(r, std::max(g, b));
    const float mn = std::min(r, std::min(g, b));
    const float delta = mx - mn;
    *v = mx;
    if (!(delta > 0.0f)) {
        *h = 0.0f;
        *s = 0.0f;
        return;
    }
    *s = delta / mx;
    if (mx == r) {
        *h = (g - b) / delta;
        if (*h < 0.0f) *h += 6.0f;
    } else if (mx == g) {
        *h = (b - r) / delta + 2.0f;
    } else {
        *h = (r - g) / delta + 4.0f;
    }
}

[[gnu::always_inline]] inline void hsvToRgb(float* r, float* g, float* b, float h, float s,
                                            float v) {
    if (!(s > 0.0f)) {
        *r = *g = *b = v;
        return;
    }
    if (h < 0.0f) h += 6.0f;
    if (h >= 6.0f) h -= 6.0f;
    if (!(h >= 0.0f && h < 6.0f)) return;  // out of range (or NaN): nothing written
    const int i = int(h);
    const float f = h - float(i);
    const float p = (1.0f - s) * v;
    const float q = (1.0f - f * s) * v;
    const float t = (1.0f - (1.0f - f) * s) * v;
    switch (i) {
        case 0:
            *r = v, *g = t, *b = p;
            break;
        case 1:
            *r = q, *g = v, *b = p;
            break;
        case 2:
            *r = p, *g = v, *b = t;
            break;
        case 3:
            *r = p, *g = q, *b = v;
            break;
        case 4:
            *r = t, *g = p, *b = v;
            break;
        default:
            *r = v, *g = p, *b = q;
            break;
    }
}

}  // namespace

// The hot loop below uses the inline forms.
void RGBToHSV(float* h, float* s, float* v, float r, float g, float b) {
    rgbToHsv(h, s, v, r, g, b);
}

void HSVToRGB(float* r, float* g, float* b, float h, float s, float v) {
    hsvToRgb(r, g, b, h, s, v);
}

void RGB16ToHSV16(int r, int g, int b, uint16_t* H, uint16_t* S, uint16_t* V) {
    float h = 0, s = 0, v = 0;
    RGBToHSV(&h, &s, &v, float(r / 65535.0), float(g / 65535.0), float(b / 65535.0));
    auto to16 = [](double x) -> uint16_t {
        if (!(x > 0.0)) return 0;
        return x >= 65535.0 ? 65535 : uint16_t(x);
    };
    *H = to16(double(h) * 65535.0 / 6.0);
    *S = to16(double(s) * 65535.0);
    *V = to16(double(v) * 65535.0);
}

void HSV16ToRGB16(int H, int S, int V, uint16_t* r, uint16_t* g, uint16_t* b) {
    const float h = float(H / 65535.0 * 6.0);
    float rf = 0, gf = 0, bf = 0;
    HSVToRGB(&rf, &gf, &bf, h, float(S / 65535.0), float(V / 65535.0));
    *r = toSample(rf);
    *g = toSample(gf);
    *b = toSample(bf);
}

// ---------------------------------------------------------------------------

RawCombineTiledEngine::RawCombineTiledEngine(platform::Size size,
                                             std::optional<std::string> imageID,
                                             bool releasePrecursors)
    : TiledEngine(size, std::move(imageID), releasePrecursors) {
    buildKeyTable();
}

RawCombineTiledEngine::RawCombineTiledEngine(Ptr source, std::optional<std::string> imageID,
                                             bool releasePrecursors)
    : TiledEngine(std::move(source), std::move(imageID), releasePrecursors) {
    buildKeyTable();
}

RawCombineTiledEngine::~RawCombineTiledEngine() = default;

std::shared_ptr<RawCombineTiledEngine> RawCombineTiledEngine::initWithSize(
    platform::Size size, std::optional<std::string> imageID, bool releasePrecursors) {
    if (!ImageBuffer::sizeFits(size)) return nullptr;
    return std::make_shared<RawCombineTiledEngine>(size, std::move(imageID), releasePrecursors);
}

std::shared_ptr<RawCombineTiledEngine> RawCombineTiledEngine::initWithImage(
    Ptr source, std::optional<std::string> imageID, bool releasePrecursors) {
    return std::make_shared<RawCombineTiledEngine>(std::move(source), std::move(imageID),
                                                   releasePrecursors);
}

void RawCombineTiledEngine::buildKeyTable() {
    for (const char* key :
         {SettingsKeys::kArtifactSuppression, SettingsKeys::kChromaArtifactSuppression,
          SettingsKeys::kMonochromeSensor})
        stageToKey().set(key, 1);
}

std::string RawCombineTiledEngine::engineName() const {
    char name[96];
    std::snprintf(name, sizeof name, "QuorvexRawCombineEngine_%p", static_cast<const void*>(this));
    return name;
}

void RawCombineTiledEngine::setParameters(const std::optional<std::string>& key,
                                          const platform::Dictionary& parameters) {
    if (key && !stageToKey().contains(*key)) {
        TiledEngine::setParameters(key, parameters);
        return;
    }
    ettrMul_ = 1.0f;
    artifactSuppression_ = clampUnit(parameters[SettingsKeys::kArtifactSuppression].floatValue(0));
    chromaArtifactSuppression_ =
        clampUnit(parameters[SettingsKeys::kChromaArtifactSuppression].floatValue(0));
    markAllDirty();
    TiledEngine::setParameters(key, parameters);
}

// ---------------------------------------------------------------------------
// The run

std::shared_ptr<TileProcess> RawCombineTiledEngine::runProcessToCompletion(
    const TileRegion& region) {
    auto result = TiledEngine::runProcessToCompletion(region);
    auto buffer = result ? result->buffer() : nullptr;
    if (!buffer) {
        thumbnailIsDirty_ = true;
        return result;
    }
    // A run that redid no tile leaves the thumbnail as it is: rebuilding it
    // would resample the whole image to the same result.
    if (!result->dirtyList().empty() || buffer != pixelValueBuffer()) thumbnailIsDirty_ = true;
    auto raw = rawImage();
    buffer->setBufferProfile(raw ? raw->bufferProfile() : nullptr);
    buffer->setBufferOwner(stageId());
    if (!shouldReleasePrecursors() && keepsReadouts_) {
        setPixelValueBuffer(buffer);
        buildThumbnail();
    }
    return result;
}

void RawCombineTiledEngine::processTile(int colStart, int colEnd, int rowStart, int rowEnd,
                                        ImageBuffer*, ImageBuffer* destBuffer, int) {
    processArea(colStart, colEnd, rowStart, rowEnd, artifactSuppression_,
                chromaArtifactSuppression_, destBuffer);
}

void RawCombineTiledEngine::processEdge(int colStart, int colEnd, int rowStart, int rowEnd,
                                        ImageBuffer*, ImageBuffer* destBuffer, int) {
    processArea(colStart, colEnd, rowStart, rowEnd, 0.0f, 0.0f, destBuffer);
}

void RawCombineTiledEngine::processArea(int colStart, int colEnd, int rowStart, int rowEnd,
                                        float artifactSup, float cArtifactSup,
                                        ImageBuffer* destBuffer) {
    auto raw = rawImage();
    if (!raw || !destBuffer || destBuffer->isFloat()) return;
    const int W = destBuffer->imageWidth(), H = destBuffer->imageHeight();
    // The source is addressed with the destination's width: any other size
    // would read past its rows.
    if (raw->imageWidth() != W || raw->imageHeight() < H) return;
    const uint16_t* master = raw->masterImageBytes();
    if (!master) return;
    const uint16_t* alternate = raw->alternateImageBytes();
    colStart = std::max(colStart, 0);
    rowStart = std::max(rowStart, 0);
    colEnd = std::min(colEnd, W);
    rowEnd = std::min(rowEnd, H);
    if (colStart >= colEnd) return;
    const float x = artifactSup, c = cArtifactSup, mul = ettrMul_;
    const float k = 1.0f / 65535.0f;
    for (int row = rowStart; row < rowEnd; ++row) {
        uint16_t* d = destBuffer->bufferU16ForRow(row, colStart);
        const size_t first = (size_t(row) * size_t(W) + size_t(colStart)) * 3;
        const uint16_t* m = master + first;
        const uint16_t* a = alternate ? alternate + first : nullptr;
        for (int col = colStart; col < colEnd; ++col, m += 3, d += 4) {
            float hm, sm, vm, h, s, v;
            rgbToHsv(&hm, &sm, &vm, m[0] * k, m[1] * k, m[2] * k);
            if (!a) {
                h = hm, s = sm, v = std::min(vm * mul, 1.0f);
            } else {
                float ha, sa, va;
                rgbToHsv(&ha, &sa, &va, a[0] * k, a[1] * k, a[2] * k);
                a += 3;
                // Mix the hues the short way round the circle.
                if (ha > hm && ha - hm > 3.0f)
                    hm += 6.0f;
                else if (ha <= hm && hm - ha > 3.0f)
                    ha += 6.0f;
                h = hm * (1.0f - c) + ha * c;
                s = sm * (1.0f - c) + sa * c;
                v = std::min((vm * (1.0f - x) + va * x) * mul, 1.0f);
            }
            float r = 0, g = 0, b = 0;
            hsvToRgb(&r, &g, &b, h, s, v);
            d[0] = toSample(r);
            d[1] = toSample(g);
            d[2] = toSample(b);
            d[3] = 65535;
        }
    }
}

// ---------------------------------------------------------------------------
// Thumbnail and readouts

void RawCombineTiledEngine::buildThumbnail() {
    auto source = pixelValueBuffer();
    if (!source || !mainMap() || !mainMap()->isClean()) {
        thumbnailIsDirty_ = true;
        return;
    }
    std::lock_guard<std::mutex> guard(thumbLock_);
    if (!thumbnailIsDirty_ && thumbnail()) return;
    const int w = source->imageWidth(), h = source->imageHeight();
    if (w == 0 || h == 0) return;
    const float f = 512.5f / float(std::max(w, h));
    thumbnailIsDirty_ = false;
    source->lock(stageId());
    auto small = source->resizedImageFromBuffer(uint16_t(std::max(1.0f, float(w) * f)),
                                                uint16_t(std::max(1.0f, float(h) * f)));
    source->unlock(stageId());
    setThumbnail(std::move(small));
}

void RawCombineTiledEngine::releaseOutputs() {
    setPixelValueBuffer(nullptr);
    TiledEngine::releaseOutputs();
}

std::shared_ptr<ImageBuffer> RawCombineTiledEngine::getThumbnail(bool) {
    auto current = thumbnail();
    if (!current) thumbnailIsDirty_ = true;
    return current;
}

bool RawCombineTiledEngine::getPixelValues(int col, int row, int patchSize, double* values) {
    auto buffer = pixelValueBuffer();
    if (!buffer || !values) return false;
    const int half = patchSize / 2;
    const platform::Rect r =
        platform::Rect{double(col - half), double(row - half), double(patchSize), double(patchSize)}
            .intersection(extent());
    buffer->lock(stageId());
    auto crop = buffer->croppedImageFromBuffer(r);
    if (crop)
        crop->sampleValues(half, half, patchSize, &values[0], &values[1], &values[2], &values[3]);
    buffer->unlock(stageId());
    return crop != nullptr;
}

// ---------------------------------------------------------------------------
// Fields

void RawCombineTiledEngine::setRawImage(ImageWrapper::Ptr rawImage) {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    rawImage_ = std::move(rawImage);
}

ImageWrapper::Ptr RawCombineTiledEngine::rawImage() const {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    return rawImage_;
}

std::shared_ptr<ImageBuffer> RawCombineTiledEngine::thumbnail() const {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    return thumbnail_;
}

void RawCombineTiledEngine::setThumbnail(std::shared_ptr<ImageBuffer> thumbnail) {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    thumbnail_ = std::move(thumbnail);
}

std::shared_ptr<ImageBuffer> RawCombineTiledEngine::pixelValueBuffer() const {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    return pixelValueBuffer_;
}

void RawCombineTiledEngine::setPixelValueBuffer(std::shared_ptr<ImageBuffer> buffer) {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    pixelValueBuffer_ = std::move(buffer);
}

std::shared_ptr<const DNGCameraProfileAbstract> RawCombineTiledEngine::cameraProfile() const {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    return cameraProfile_;
}

void RawCombineTiledEngine::setCameraProfile(
    std::shared_ptr<const DNGCameraProfileAbstract> profile) {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    cameraProfile_ = std::move(profile);
}

std::shared_ptr<const platform::Object> RawCombineTiledEngine::toneCurve() const {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    return toneCurve_;
}

void RawCombineTiledEngine::setToneCurve(std::shared_ptr<const platform::Object> curve) {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    toneCurve_ = std::move(curve);
}
