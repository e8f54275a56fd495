#include "platform/IccTransform.h"

#include <lcms2.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/IccLcms.h"
#include "platform/WideLoops.h"

namespace platform {

namespace {

void setReason(std::string* failureReason, const std::string& text) {
    if (failureReason) *failureReason = text;
}

cmsUInt32Number pixelType(IccSignature space) {
    switch (space) {
        case iccsig::kRGB:
            return PT_RGB;
        case iccsig::kLab:
            return PT_Lab;
        case iccsig::kXYZ:
            return PT_XYZ;
        case iccSignature("YCbr"):
            return PT_YCbCr;
        case iccSignature("Luv "):
            return PT_YUV;
        case iccSignature("Yxy "):
            return PT_Yxy;
        case iccSignature("HSV "):
            return PT_HSV;
        case iccSignature("HLS "):
            return PT_HLS;
        case iccSignature("CMY "):
            return PT_CMY;
        default:
            return PT_MCH3;
    }
}

cmsUInt32Number formatFor(IccSignature space, IccPixelLayout layout) {
    const cmsUInt32Number base = COLORSPACE_SH(pixelType(space)) | CHANNELS_SH(3);
    switch (layout) {
        case IccPixelLayout::rgba16:
            return base | EXTRA_SH(1) | BYTES_SH(2);
        case IccPixelLayout::rgbaFloat:
            return base | EXTRA_SH(1) | BYTES_SH(4) | FLOAT_SH(1);
        case IccPixelLayout::rgbFloat:
            return base | BYTES_SH(4) | FLOAT_SH(1);
    }
    return 0;
}

struct OpenProfile {
    cmsHPROFILE handle = nullptr;
    OpenProfile(cmsContext ctx, const IccProfile& p)
        : handle(cmsOpenProfileFromMemTHR(ctx, p.bytes().data(),
                                          static_cast<cmsUInt32Number>(p.bytes().size()))) {}
    ~OpenProfile() {
        if (handle) cmsCloseProfile(handle);
    }
    OpenProfile(const OpenProfile&) = delete;
    OpenProfile& operator=(const OpenProfile&) = delete;
};

// Lab and XYZ samples are encoded differently as floats and as 16-bit codes.
bool isPCSEncoded(IccSignature space) { return space == iccsig::kLab || space == iccsig::kXYZ; }

}  // namespace

std::size_t iccPixelBytes(IccPixelLayout layout) {
    switch (layout) {
        case IccPixelLayout::rgba16:
            return 8;
        case IccPixelLayout::rgbaFloat:
            return 16;
        case IccPixelLayout::rgbFloat:
            return 12;
    }
    return 0;
}

IccTransform::IccTransform(std::shared_ptr<const IccProfile> source,
                           std::shared_ptr<const IccProfile> destination)
    : source_(std::move(source)),
      destination_(std::move(destination)),
      context_(std::make_unique<icc::Context>()) {}

IccTransform::~IccTransform() {
    for (auto& p : prepared_)
        if (p.handle) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(p.handle));
}

std::shared_ptr<const IccTransform> IccTransform::create(
    std::shared_ptr<const IccProfile> source, std::shared_ptr<const IccProfile> destination,
    std::string* failureReason) {
    if (!source || !destination) {
        setReason(failureReason, "a colour transform needs two profiles");
        return nullptr;
    }
    return std::shared_ptr<const IccTransform>(
        new IccTransform(std::move(source), std::move(destination)));
}

namespace {

// Eight lanes of GCC/Clang vector extensions: one 256-bit register in the build for processors
// that have them (QUORVEX_WIDE_LOOPS), two 128-bit ones (or plain code) otherwise. Only inlined
// helpers take or return them, so no call passes one between the two builds.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
typedef float v8sf __attribute__((vector_size(32)));
typedef std::int32_t v8si __attribute__((vector_size(32)));
typedef std::uint32_t v8su __attribute__((vector_size(32)));

// IEEE square roots of eight lanes. The lanes are never negative here; without errno to set
// (as this file is built) the loop is one vector instruction.
[[gnu::always_inline]] inline v8sf sqrt8(v8sf x) {
    for (int k = 0; k < 8; ++k) x[k] = std::sqrt(x[k]);
    return x;
}

// hi < v ? hi : v lane by lane.
[[gnu::always_inline]] inline v8sf min8(float hi, v8sf v) {
    const v8sf h = v8sf{} + hi;
    return h < v ? h : v;
}

// std::clamp(v, lo, hi) lane by lane, with its comparisons: v < lo, then hi < v; a NaN lane
// stays NaN.
[[gnu::always_inline]] inline v8sf clamp8(v8sf v, float lo, float hi) {
    const v8sf l = v8sf{} + lo, h = v8sf{} + hi;
    v = l > v ? l : v;
    return h < v ? h : v;
}

}  // namespace

// Tables of a matrix/curve to matrix/curve conversion of 16-bit RGB.
struct IccShaper {
    static constexpr int kOutputIntervals = 4096;
    std::array<std::vector<float>, 3> input;  // 65,536 linear values per channel; empty: identity
    std::array<float, 9> matrix{};
    // Inverse output curve times 65535 at u = i / kOutputIntervals, where linear = u^4: the
    // fourth root spreads the nodes into the shadows, where the inverse curves bend most.
    std::array<std::vector<float>, 3> output;
    // The same as node and rise to the next node, side by side: one load per lane. The rise
    // is the very float the per-pixel code subtracts.
    struct Segment {
        float base, rise;
    };
    std::array<std::vector<Segment>, 3> segments;

    void makeSegments() {
        for (std::size_t c = 0; c < 3; ++c) {
            const auto& t = output[c];
            segments[c].resize(kOutputIntervals);
            for (std::size_t i = 0; i < kOutputIntervals; ++i)
                segments[c][i] = {t[i], t[i + 1] - t[i]};
        }
    }

    void apply(const std::uint8_t* in, std::size_t inRowBytes, std::uint8_t* out,
               std::size_t outRowBytes, std::size_t width, std::size_t height) const;

    // What convertOcts reads, in locals that its stores cannot alias.
    struct Lanes {
        v8sf m[9];
        const float* input[3];
        const Segment* segments[3];
    };

    Lanes lanes() const {
        Lanes k;
        for (std::size_t i = 0; i < 9; ++i) k.m[i] = v8sf{} + matrix[i];
        for (std::size_t c = 0; c < 3; ++c) {
            k.input[c] = input[c].data();
            k.segments[c] = segments[c].data();
        }
        return k;
    }

    template <bool linearInput>
    [[gnu::always_inline]] static void applyLanes(const Lanes& k, const std::uint8_t* in,
                                                  std::size_t inRowBytes, std::uint8_t* out,
                                                  std::size_t outRowBytes, std::size_t width,
                                                  std::size_t height) {
        for (std::size_t y = 0; y < height; ++y) {
            const std::uint8_t* src = in + y * inRowBytes;
            std::uint8_t* dst = out + y * outRowBytes;
            std::size_t x = 0;
            for (; x + 16 <= width; x += 16, src += 128, dst += 128)
                convertOcts<linearInput, 2>(k, src, dst);
            for (; x + 8 <= width; x += 8, src += 64, dst += 64)
                convertOcts<linearInput, 1>(k, src, dst);
            if (x < width) {
                // The last one to seven pixels go through the same lanes, padded with black.
                std::uint8_t tail[64] = {};
                std::memcpy(tail, src, (width - x) * 8);
                convertOcts<linearInput, 1>(k, tail, tail);
                std::memcpy(dst, tail, (width - x) * 8);
            }
        }
    }

    // convertPixel on 8 x n RGBA pixels (alpha kept): the same operations in the same order,
    // one pixel per lane. The fourth roots of all the lanes are started before the first
    // table read, so that their latencies overlap.
    template <bool linearInput, int n>
    [[gnu::always_inline]] static void convertOcts(const Lanes& k, const std::uint8_t* src,
                                                   std::uint8_t* dst) {
        // Each 32-bit word holds two samples: channels 0 and 1, or 2 and alpha.
        constexpr bool little = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
        constexpr int firstShift = little ? 0 : 16, secondShift = little ? 16 : 0;
        const v8su low = v8su{} + 0xffffu;
        v8sf u[n][3];
        v8su alpha[n];
        for (int q = 0; q < n; ++q) {
            v8su w0, w1;
            std::memcpy(&w0, src + 64 * q, 32);
            std::memcpy(&w1, src + 64 * q + 32, 32);
            const v8su pair01 = __builtin_shufflevector(w0, w1, 0, 2, 4, 6, 8, 10, 12, 14);
            const v8su pair2a = __builtin_shufflevector(w0, w1, 1, 3, 5, 7, 9, 11, 13, 15);
            const v8si codes[3] = {reinterpret_cast<v8si>((pair01 >> firstShift) & low),
                                   reinterpret_cast<v8si>((pair01 >> secondShift) & low),
                                   reinterpret_cast<v8si>((pair2a >> firstShift) & low)};
            alpha[q] = pair2a & (low << secondShift);
            v8sf lin[3];
            for (std::size_t c = 0; c < 3; ++c) {
                if constexpr (linearInput) {
                    lin[c] = __builtin_convertvector(codes[c], v8sf) * (1.f / 65535.f);
                } else {
                    const float* t = k.input[c];
                    float looked[8];
                    for (int l = 0; l < 8; ++l) looked[l] = t[codes[c][l]];
                    std::memcpy(&lin[c], looked, sizeof looked);
                }
            }
            for (std::size_t c = 0; c < 3; ++c) {
                const v8sf l =
                    k.m[c * 3] * lin[0] + k.m[c * 3 + 1] * lin[1] + k.m[c * 3 + 2] * lin[2];
                u[q][c] = sqrt8(sqrt8(clamp8(l, 0.f, 1.f))) * static_cast<float>(kOutputIntervals);
            }
        }
        for (int q = 0; q < n; ++q) {
            v8su out[3];
            for (std::size_t c = 0; c < 3; ++c) {
                // min(int(u), last) as int(min(u, last)): u is never negative.
                const v8si i = __builtin_convertvector(min8(kOutputIntervals - 1, u[q][c]), v8si);
                const v8sf f = u[q][c] - __builtin_convertvector(i, v8sf);
                const Segment* s = k.segments[c];
                // Unsigned lanes index without a sign extension.
                const v8su at = reinterpret_cast<v8su>(i);
                v8sf base = {}, rise = {};
                for (int l = 0; l < 8; ++l) {
                    base[l] = s[at[l]].base;
                    rise[l] = s[at[l]].rise;
                }
                const v8sf v = clamp8(base + f * rise, 0.f, 65535.f) + 0.5f;
                out[c] = reinterpret_cast<v8su>(__builtin_convertvector(v, v8si));
            }
            const v8su o01 = (out[0] << firstShift) | (out[1] << secondShift);
            const v8su o2a = (out[2] << firstShift) | alpha[q];
            const v8su w0 = __builtin_shufflevector(o01, o2a, 0, 8, 1, 9, 2, 10, 3, 11);
            const v8su w1 = __builtin_shufflevector(o01, o2a, 4, 12, 5, 13, 6, 14, 7, 15);
            std::memcpy(dst + 64 * q, &w0, 32);
            std::memcpy(dst + 64 * q + 32, &w1, 32);
        }
    }

    // Output codes per 16-bit step of the linear value of channel c, at this pixel.
    float slope(std::size_t c, std::uint16_t r, std::uint16_t g, std::uint16_t b) const {
        const std::uint16_t v[3] = {r, g, b};
        float lin[3];
        for (std::size_t k = 0; k < 3; ++k)
            lin[k] = input[k].empty() ? v[k] * (1.f / 65535.f) : input[k][v[k]];
        const float l = std::clamp(
            matrix[c * 3] * lin[0] + matrix[c * 3 + 1] * lin[1] + matrix[c * 3 + 2] * lin[2], 0.f,
            1.f);
        const auto i = static_cast<std::size_t>(std::min(
            static_cast<int>(std::sqrt(std::sqrt(l)) * kOutputIntervals), kOutputIntervals - 1));
        const double u0 = static_cast<double>(i) / kOutputIntervals;
        const double u1 = static_cast<double>(i + 1) / kOutputIntervals;
        const double dv = (u1 * u1 * u1 * u1 - u0 * u0 * u0 * u0) * 65535.0;
        return static_cast<float>((output[c][i + 1] - output[c][i]) / dv);
    }

    // The plain per-pixel arithmetic: the reference of convertQuads.
    void convertPixel(const std::uint16_t* v, std::uint16_t* o) const {
        float lin[3];
        for (int c = 0; c < 3; ++c)
            lin[c] = input[c].empty() ? v[c] * (1.f / 65535.f) : input[c][v[c]];
        for (int c = 0; c < 3; ++c) {
            const float l =
                matrix[c * 3] * lin[0] + matrix[c * 3 + 1] * lin[1] + matrix[c * 3 + 2] * lin[2];
            const float u = std::sqrt(std::sqrt(std::clamp(l, 0.f, 1.f))) * kOutputIntervals;
            const int i = std::min(static_cast<int>(u), kOutputIntervals - 1);
            const float f = u - static_cast<float>(i);
            const auto& t = output[static_cast<std::size_t>(c)];
            const float code =
                t[static_cast<std::size_t>(i)] +
                f * (t[static_cast<std::size_t>(i) + 1] - t[static_cast<std::size_t>(i)]);
            o[c] = static_cast<std::uint16_t>(std::clamp(code, 0.f, 65535.f) + 0.5f);
        }
    }

    void applyByPixel(const std::uint8_t* in, std::size_t inRowBytes, std::uint8_t* out,
                      std::size_t outRowBytes, std::size_t width, std::size_t height) const {
        for (std::size_t y = 0; y < height; ++y)
            for (std::size_t x = 0; x < width; ++x) {
                std::uint16_t v[4], o[4];
                std::memcpy(v, in + y * inRowBytes + x * 8, 8);
                convertPixel(v, o);
                o[3] = v[3];
                std::memcpy(out + y * outRowBytes + x * 8, o, 8);
            }
    }
};

namespace {

QUORVEX_WIDE_LOOPS
void shapeRows(const IccShaper::Lanes& k, bool linearInput, const std::uint8_t* in,
               std::size_t inRowBytes, std::uint8_t* out, std::size_t outRowBytes,
               std::size_t width, std::size_t height) {
    if (linearInput)
        IccShaper::applyLanes<true>(k, in, inRowBytes, out, outRowBytes, width, height);
    else
        IccShaper::applyLanes<false>(k, in, inRowBytes, out, outRowBytes, width, height);
}

}  // namespace

void IccShaper::apply(const std::uint8_t* in, std::size_t inRowBytes, std::uint8_t* out,
                      std::size_t outRowBytes, std::size_t width, std::size_t height) const {
    const bool linear = input[0].empty() && input[1].empty() && input[2].empty();
    shapeRows(lanes(), linear, in, inRowBytes, out, outRowBytes, width, height);
}

namespace {

// Device RGB to connection-space XYZ of a matrix/curve profile: the colorants as columns.
bool colorantMatrix(cmsHPROFILE h, double m[3][3]) {
    const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                     cmsSigBlueColorantTag};
    for (int c = 0; c < 3; ++c) {
        const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(h, tags[c]));
        if (!xyz) return false;
        m[0][c] = xyz->X;
        m[1][c] = xyz->Y;
        m[2][c] = xyz->Z;
    }
    return true;
}

bool invert3(const double m[3][3], double r[3][3]) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (!(std::fabs(det) > 1e-12)) return false;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int a = (j + 1) % 3, b = (j + 2) % 3, c = (i + 1) % 3, d = (i + 2) % 3;
            r[i][j] = (m[a][c] * m[b][d] - m[a][d] * m[b][c]) / det;
        }
    return true;
}

}  // namespace

void IccTransform::findShaper(Prepared& p, void* sourceHandle, void* destinationHandle,
                              void* floatHandle) const {
    auto* src = static_cast<cmsHPROFILE>(sourceHandle);
    auto* dst = static_cast<cmsHPROFILE>(destinationHandle);
    if (source_->colorSpace() != iccsig::kRGB || destination_->colorSpace() != iccsig::kRGB ||
        !cmsIsMatrixShaper(src) || !cmsIsMatrixShaper(dst))
        return;
    double ms[3][3], md[3][3], mdInv[3][3];
    if (!colorantMatrix(src, ms) || !colorantMatrix(dst, md) || !invert3(md, mdInv)) return;
    auto shaper = std::make_shared<IccShaper>();
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double v = 0;
            for (int k = 0; k < 3; ++k) v += mdInv[i][k] * ms[k][j];
            if (!(std::fabs(v) <= 1e6)) return;
            shaper->matrix[static_cast<std::size_t>(i * 3 + j)] = static_cast<float>(v);
        }
    const cmsTagSignature trc[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    for (std::size_t c = 0; c < 3; ++c) {
        auto* in = static_cast<cmsToneCurve*>(cmsReadTag(src, trc[c]));
        auto* out = static_cast<cmsToneCurve*>(cmsReadTag(dst, trc[c]));
        if (!in || !out) return;
        if (!cmsIsToneCurveLinear(in)) {
            shaper->input[c].resize(65536);
            for (std::size_t code = 0; code < 65536; ++code) {
                const float v = cmsEvalToneCurveFloat(in, static_cast<float>(code) / 65535.f);
                // A table index is made from these: nothing unbounded may reach it.
                if (!(std::fabs(v) <= 1e6f)) return;
                shaper->input[c][code] = v;
            }
        }
        if (!cmsIsToneCurveMonotonic(out) ||
            !(cmsEvalToneCurveFloat(out, 1.f) > cmsEvalToneCurveFloat(out, 0.f)))
            return;
        // Parametric curves have exact inverses.
        cmsToneCurve* reversed =
            cmsGetToneCurveParametricType(out) != 0 ? cmsReverseToneCurve(out) : nullptr;
        const cmsUInt16Number* table = cmsGetToneCurveEstimatedTable(out);
        const std::size_t entries = cmsGetToneCurveEstimatedTableEntries(out);
        if (!reversed && (!table || entries < 2)) return;
        // Solved on the table's own segments (linear interpolation, as lcms2 reads it) in double
        // precision; lcms2's float evaluation of a reversed table rounds its input to 16 bits.
        const auto inverse = [&](double v) -> float {
            if (reversed) return 65535.f * cmsEvalToneCurveFloat(reversed, static_cast<float>(v));
            const double target = v * 65535.0;
            if (target <= table[0]) return 0.f;
            if (target >= table[entries - 1]) return 65535.f;
            // First entry above the target; the curve is monotonic and rising.
            std::size_t lo = 0, hi = entries - 1;
            while (hi - lo > 1) {
                const std::size_t mid = (lo + hi) / 2;
                (table[mid] <= target ? lo : hi) = mid;
            }
            const double f =
                table[hi] == table[lo] ? 0.0 : (target - table[lo]) / (table[hi] - table[lo]);
            return static_cast<float>(65535.0 * (static_cast<double>(lo) + f) /
                                      static_cast<double>(entries - 1));
        };
        auto& t = shaper->output[c];
        t.resize(IccShaper::kOutputIntervals + 1);
        for (int i = 0; i <= IccShaper::kOutputIntervals; ++i) {
            const double u = static_cast<double>(i) / IccShaper::kOutputIntervals;
            t[static_cast<std::size_t>(i)] = inverse(u * u * u * u);
        }
        // Linear interpolation must hold between the nodes too; a curve with a step (some
        // published constants leave one) fails here and keeps lcms2.
        bool smooth = true;
        for (int i = 0; i < IccShaper::kOutputIntervals && smooth; ++i) {
            const double u = (i + 0.5) / IccShaper::kOutputIntervals;
            const float between =
                0.5f * (t[static_cast<std::size_t>(i)] + t[static_cast<std::size_t>(i) + 1]);
            smooth = std::fabs(between - inverse(u * u * u * u)) <= 0.5f;
        }
        if (reversed) cmsFreeToneCurve(reversed);
        if (!smooth) return;
    }

    // Keep the tables only when they reproduce lcms2's own float result on codes from black to
    // white, the deep shadows included.
    const std::uint16_t codes[] = {0,    1,    3,     8,     20,    60,    150,   400,  1000,
                                   2500, 6000, 12000, 20000, 30000, 42000, 55000, 65535};
    std::vector<std::uint16_t> probe;
    for (auto r : codes)
        for (auto g : codes)
            for (auto b : codes) probe.insert(probe.end(), {r, g, b});
    std::vector<float> reference(probe.size());
    for (std::size_t i = 0; i < probe.size(); ++i) reference[i] = probe[i] / 65535.f;
    cmsDoTransform(static_cast<cmsHTRANSFORM>(floatHandle), reference.data(), reference.data(),
                   static_cast<cmsUInt32Number>(probe.size() / 3));
    for (std::size_t i = 0; i < probe.size(); i += 3) {
        std::uint16_t o[3];
        shaper->convertPixel(&probe[i], o);
        for (std::size_t c = 0; c < 3; ++c) {
            const float expected = std::clamp(reference[i + c], 0.f, 1.f) * 65535.f;
            // lcms2 itself reads a table curve at 16-bit steps of the linear value; allow one
            // step times the curve's slope. A wrong matrix misses by far more.
            const float allowed = 1.5f + shaper->slope(c, probe[i], probe[i + 1], probe[i + 2]);
            if (!(std::fabs(static_cast<float>(o[c]) - expected) <= allowed)) return;
        }
    }
    // The vectorised path reads either no input table or all three: a linear
    // channel beside curved ones gets the straight table.
    const bool anyCurved =
        !shaper->input[0].empty() || !shaper->input[1].empty() || !shaper->input[2].empty();
    for (std::size_t c = 0; c < 3 && anyCurved; ++c)
        if (shaper->input[c].empty()) {
            shaper->input[c].resize(65536);
            for (std::size_t code = 0; code < 65536; ++code)
                shaper->input[c][code] = static_cast<float>(code) / 65535.f;
        }
    shaper->makeSegments();
    p.shaper = std::move(shaper);
}

namespace {

struct SharedTransforms {
    std::mutex mutex;
    std::vector<std::shared_ptr<const IccTransform>> recent;  // most recent last
};

SharedTransforms& sharedTransforms() {
    static auto* kept = new SharedTransforms;
    return *kept;
}

}  // namespace

void IccTransform::forgetShared() {
    std::vector<std::shared_ptr<const IccTransform>> forgotten;
    std::lock_guard lock(sharedTransforms().mutex);
    forgotten.swap(sharedTransforms().recent);
}

std::shared_ptr<const IccTransform> IccTransform::shared(
    std::shared_ptr<const IccProfile> source, std::shared_ptr<const IccProfile> destination,
    std::string* failureReason) {
    if (!source || !destination)
        return create(std::move(source), std::move(destination), failureReason);
    constexpr std::size_t kKept = 16;
    auto& mutex = sharedTransforms().mutex;
    auto* recent = &sharedTransforms().recent;
    {
        std::lock_guard lock(mutex);
        for (auto it = recent->begin(); it != recent->end(); ++it) {
            const auto& t = *it;
            const bool same = (t->source_ == source || *t->source_ == *source) &&
                              (t->destination_ == destination || *t->destination_ == *destination);
            if (same) {
                auto found = t;
                recent->erase(it);
                recent->push_back(found);
                return found;
            }
        }
    }
    auto made = create(std::move(source), std::move(destination), failureReason);
    std::lock_guard lock(mutex);
    if (recent->size() >= kKept) recent->erase(recent->begin());
    recent->push_back(made);
    return made;
}

const IccTransform::Prepared* IccTransform::prepared(IccPixelLayout layout,
                                                     std::string* failureReason) const {
    Prepared& p = prepared_[static_cast<std::size_t>(layout)];
    if (p.ready.load(std::memory_order_acquire)) return &p;
    std::lock_guard lock(p.mutex);
    if (p.ready.load(std::memory_order_relaxed)) return &p;
    std::string failure;
    try {
        // A shortcut lcms2 could not make for want of memory would leave a slightly different
        // conversion in its place: any error lcms2 reports meanwhile fails the preparation.
        const unsigned errors = context_->errorCount();
        const unsigned refused = context_->refusedAllocations();
        failure = prepare(p, layout);
        // A refused allocation counts as an error too; lcms2 names it after what it could not
        // make, but it is memory all the same.
        if (context_->errorCount() != errors) {
            if (context_->refusedAllocations() != refused)
                failure = kNoMemoryReason;
            else if (failure.empty())
                failure =
                    "lcms2 failed while preparing the colour conversion: " + context_->lastError();
        }
    } catch (const std::bad_alloc&) {
        failure = kNoMemoryReason;
    }
    if (!failure.empty()) {
        reset(p);
        setReason(failureReason, failure);
        return nullptr;
    }
    p.ready.store(true, std::memory_order_release);
    return &p;
}

void IccTransform::reset(Prepared& p) {
    if (p.handle) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(p.handle));
    p.handle = nullptr;
    p.isMatrix = false;
    p.shaper.reset();
}

std::string IccTransform::prepare(Prepared& p, IccPixelLayout layout) const {
    if (source_->channelCount() != 3 || destination_->channelCount() != 3)
        return "cannot convert " + iccSignatureText(source_->colorSpace()) + " to " +
               iccSignatureText(destination_->colorSpace()) + " in place";
    cmsContext ctx = context_->get();
    OpenProfile src(ctx, *source_), dst(ctx, *destination_);
    if (!src.handle || !dst.handle)
        return "lcms2 cannot open the profiles: " + context_->lastError();
    if (layout == IccPixelLayout::rgba16 && !isPCSEncoded(source_->colorSpace()) &&
        !isPCSEncoded(destination_->colorSpace())) {
        // Device samples scale alike as floats (0..1) and as 16-bit codes (0..65535), so a
        // matrix found on floats holds for the codes too.
        std::string floatFailure;
        const Prepared* f = prepared(IccPixelLayout::rgbFloat, &floatFailure);
        if (!f) return floatFailure;
        if (f->isMatrix) {
            p.matrix = f->matrix;
            p.isMatrix = true;
            return {};
        }
        findShaper(p, src.handle, dst.handle, f->handle);
        if (p.shaper) return {};
    }
    cmsHPROFILE profiles[2] = {src.handle, dst.handle};
    cmsBool blackPoint[2] = {FALSE, FALSE};
    cmsUInt32Number intents[2] = {static_cast<cmsUInt32Number>(source_->renderingIntent()),
                                  static_cast<cmsUInt32Number>(destination_->renderingIntent())};
    cmsFloat64Number adaptation[2] = {1.0, 1.0};
    cmsUInt32Number flags = cmsFLAGS_NOCACHE | cmsFLAGS_HIGHRESPRECALC;
    if (layout != IccPixelLayout::rgbFloat) flags |= cmsFLAGS_COPY_ALPHA;
    p.handle = cmsCreateExtendedTransform(ctx, 2, profiles, blackPoint, intents, adaptation,
                                          nullptr, 0, formatFor(source_->colorSpace(), layout),
                                          formatFor(destination_->colorSpace(), layout), flags);
    if (!p.handle) return "lcms2 cannot join the profiles: " + context_->lastError();
    // Lab is linear on the unit cube the probe covers (lightness below 8) and curved
    // above it, so a probe would take it for a matrix.
    if (layout != IccPixelLayout::rgba16 && source_->colorSpace() != iccsig::kLab &&
        destination_->colorSpace() != iccsig::kLab)
        findMatrix(p, layout);
    return {};
}

IccTransform::Path IccTransform::path(IccPixelLayout layout) const {
    const Prepared* p = prepared(layout, nullptr);
    if (!p) return Path::unavailable;
    return p->isMatrix ? Path::matrix : p->shaper ? Path::tables : Path::lcms2;
}

bool IccTransform::convert(void* pixels, std::size_t width, std::size_t height,
                           std::size_t rowBytes, IccPixelLayout layout,
                           std::string* failureReason) const {
    return convert(pixels, rowBytes, pixels, rowBytes, width, height, layout, failureReason);
}

bool IccTransform::convert(const void* source, std::size_t sourceRowBytes, void* destination,
                           std::size_t destinationRowBytes, std::size_t width, std::size_t height,
                           IccPixelLayout layout, std::string* failureReason) const {
    if (width == 0 || height == 0) return true;
    constexpr std::size_t kMax32 = std::numeric_limits<cmsUInt32Number>::max();
    const std::size_t pixelBytes = iccPixelBytes(layout);
    if (!source || !destination || width > kMax32 / pixelBytes ||
        width * pixelBytes > sourceRowBytes || width * pixelBytes > destinationRowBytes ||
        sourceRowBytes > kMax32 || destinationRowBytes > kMax32) {
        setReason(failureReason, "impossible pixel geometry for a colour conversion");
        return false;
    }
    const Prepared* p = prepared(layout, failureReason);
    if (!p) return false;
    const auto* in = static_cast<const std::uint8_t*>(source);
    auto* out = static_cast<std::uint8_t*>(destination);
    if (p->isMatrix) {
        applyMatrix(*p, in, sourceRowBytes, out, destinationRowBytes, width, height, layout);
        return true;
    }
    if (p->shaper) {
        p->shaper->apply(in, sourceRowBytes, out, destinationRowBytes, width, height);
        return true;
    }
    auto* handle = static_cast<cmsHTRANSFORM>(p->handle);
    // lcms2 counts lines in 32 bits; very tall images go in slices.
    constexpr std::size_t kSlice = 1u << 20;
    for (std::size_t row = 0; row < height; row += kSlice) {
        const std::size_t lines = std::min(kSlice, height - row);
        cmsDoTransformLineStride(handle, in + row * sourceRowBytes, out + row * destinationRowBytes,
                                 static_cast<cmsUInt32Number>(width),
                                 static_cast<cmsUInt32Number>(lines),
                                 static_cast<cmsUInt32Number>(sourceRowBytes),
                                 static_cast<cmsUInt32Number>(destinationRowBytes), 0, 0);
    }
    return true;
}

bool IccTransform::convertRGBA16Reference(const void* source, std::size_t sourceRowBytes,
                                          void* destination, std::size_t destinationRowBytes,
                                          std::size_t width, std::size_t height) const {
    const Prepared* p = prepared(IccPixelLayout::rgba16, nullptr);
    if (!p || !p->shaper || !source || !destination) return false;
    p->shaper->applyByPixel(static_cast<const std::uint8_t*>(source), sourceRowBytes,
                            static_cast<std::uint8_t*>(destination), destinationRowBytes, width,
                            height);
    return true;
}

void IccTransform::findMatrix(Prepared& p, IccPixelLayout layout) {
    // Probe lcms2 on a grid over the unit cube plus the three unit colours; the transform is a
    // matrix when the unit colours' images predict every probe.
    constexpr int kSteps = 5;
    const std::size_t channels = layout == IccPixelLayout::rgbaFloat ? 4 : 3;
    std::vector<float> probe;
    for (const auto& unit : {std::array{1.f, 0.f, 0.f}, std::array{0.f, 1.f, 0.f},
                             std::array{0.f, 0.f, 1.f}, std::array{0.f, 0.f, 0.f}}) {
        probe.insert(probe.end(), unit.begin(), unit.end());
        if (channels == 4) probe.push_back(1.f);
    }
    for (int r = 0; r < kSteps; ++r)
        for (int g = 0; g < kSteps; ++g)
            for (int b = 0; b < kSteps; ++b) {
                for (int v : {r, g, b}) probe.push_back(static_cast<float>(v) / (kSteps - 1));
                if (channels == 4) probe.push_back(1.f);
            }
    const std::size_t count = probe.size() / channels;
    std::vector<float> result(probe.size());
    cmsDoTransform(static_cast<cmsHTRANSFORM>(p.handle), probe.data(), result.data(),
                   static_cast<cmsUInt32Number>(count));
    std::array<float, 9> m{};
    for (int column = 0; column < 3; ++column)
        for (int row = 0; row < 3; ++row)
            m[static_cast<std::size_t>(row * 3 + column)] =
                result[static_cast<std::size_t>(column) * channels + static_cast<std::size_t>(row)];
    for (std::size_t i = 3; i < count; ++i) {
        const float* in = &probe[i * channels];
        const float* out = &result[i * channels];
        for (std::size_t row = 0; row < 3; ++row) {
            const float predicted =
                m[row * 3] * in[0] + m[row * 3 + 1] * in[1] + m[row * 3 + 2] * in[2];
            if (!(std::fabs(predicted - out[row]) <= 2e-6f)) return;
        }
    }
    p.matrix = m;
    p.isMatrix = true;
}

void IccTransform::applyMatrix(const Prepared& p, const std::uint8_t* in, std::size_t inRowBytes,
                               std::uint8_t* out, std::size_t outRowBytes, std::size_t width,
                               std::size_t height, IccPixelLayout layout) {
    const auto& m = p.matrix;
    // memcpy keeps rows at any byte stride well defined; compilers turn it into plain loads.
    if (layout == IccPixelLayout::rgba16) {
        const auto code = [](float v) {
            return static_cast<std::uint16_t>(std::clamp(v, 0.f, 65535.f) + 0.5f);
        };
        for (std::size_t y = 0; y < height; ++y) {
            const std::uint8_t* src = in + y * inRowBytes;
            std::uint8_t* dst = out + y * outRowBytes;
            for (std::size_t x = 0; x < width; ++x, src += 8, dst += 8) {
                std::uint16_t v[4];
                std::memcpy(v, src, 8);
                const float r = v[0], g = v[1], b = v[2];
                const std::uint16_t o[4] = {code(m[0] * r + m[1] * g + m[2] * b),
                                            code(m[3] * r + m[4] * g + m[5] * b),
                                            code(m[6] * r + m[7] * g + m[8] * b), v[3]};
                std::memcpy(dst, o, 8);
            }
        }
        return;
    }
    const std::size_t channels = layout == IccPixelLayout::rgbaFloat ? 4 : 3;
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* src = in + y * inRowBytes;
        std::uint8_t* dst = out + y * outRowBytes;
        for (std::size_t x = 0; x < width; ++x, src += channels * 4, dst += channels * 4) {
            float v[4];
            std::memcpy(v, src, channels * 4);
            const float o[4] = {m[0] * v[0] + m[1] * v[1] + m[2] * v[2],
                                m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
                                m[6] * v[0] + m[7] * v[1] + m[8] * v[2], v[3]};
            std::memcpy(dst, o, channels * 4);
        }
    }
}

bool IccTransform::convertConcurrently(void* pixels, std::size_t width, std::size_t height,
                                       std::size_t rowBytes, IccPixelLayout layout,
                                       std::string* failureReason) const {
    // Bands of at least 64 rows; small images are not worth the hand-off.
    const std::size_t bands = std::min<std::size_t>(processorCount(), height / 64);
    if (bands <= 1 || width * height < 65536)
        return convert(pixels, width, height, rowBytes, layout, failureReason);
    // Check once so that every band either runs or none does.
    if (!pixels || width > rowBytes / iccPixelBytes(layout)) {
        setReason(failureReason, "impossible pixel geometry for a colour conversion");
        return false;
    }
    if (!prepared(layout, failureReason)) return false;
    auto* base = static_cast<std::uint8_t*>(pixels);
    const std::size_t band = (height + bands - 1) / bands;
    std::atomic<bool> ok{true};
    apply(bands, DispatchQueue::global(QueuePriority::High), [&](std::size_t i) {
        const std::size_t first = i * band;
        if (first < height && !convert(base + first * rowBytes, width,
                                       std::min(band, height - first), rowBytes, layout))
            ok = false;
    });
    return ok;
}

}  // namespace platform
