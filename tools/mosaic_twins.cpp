// mosaic_twins: one scene written as raw files that differ only by their
// colour filter, for measuring a demosaic against a render that needs none.
// From the very same linear camera values (14-bit, black 512, white 16383,
// one colour matrix, one as-shot white) it writes
//   PREFIX-xtrans.dng   the 6 x 6 mosaic of the X-Trans layout,
//   PREFIX-rggb.dng     the 2 x 2 RGGB mosaic,
//   PREFIX-linear.dng   LinearRaw, three samples a pixel.
// The scene is a Photo CD image decoded by our decoder (at Base, or at the
// smallest level that covers --size, resampled to fill it; or a --size
// window at --crop X,Y of its full-resolution 16Base decode, which a camera's
// detail resembles more than a reduced level does), an 8-bit sRGB
// PNG, a zone plate, neutral or coloured (see ZonePlate), a slanted edge
// between two sRGB colours (see SlantedEdge), or a synthetic chart of fine
// coloured texture or of saturated edges and thin dark lines (see Chart), or
// of thin dark lines on saturated grounds (see Lines).
// The linear Rec. 709 colour goes to the camera space through XYZ and the
// matrix, so a white pixel lands on the as-shot neutral. --noise SNR adds
// shot and read noise to the mosaics' samples (see Noise); the LinearRaw
// twin stays clean, the truth a noisy mosaic's render is measured against.
//
//   mosaic_twins (--pcd FILE | --png FILE | --zone-plate neutral|colour |
//                 --edge R,G,B/R,G,B | --chart texture|edges|lines) [--size WxH]
//                [--crop X,Y] [--noise SNR] [--only xtrans,rggb,linear]
//                --output PREFIX
//
// Exit status 0 on success, 1 when reading or writing fails, 2 on bad options.
#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "dng/color/dng_camera_profile.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_exif.h"
#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_tag_types.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_mosaic_info.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_simple_image.h"
#include "dng/writer/dng_image_writer.h"
#include "photocd/pcdDecode.h"

namespace {

constexpr double kBlack = 512;
constexpr double kWhite = 16383;
constexpr uint16_t kIlluminantD65 = 21;
// Headroom under the white level for the brightest photograph values.
constexpr double kExposure = 0.9;

// XYZ (D65) to camera: a plausible three-colour sensor's matrix.
constexpr double kCameraMatrix[3][3] = {
    {0.9366, -0.2761, -0.1179}, {-0.6076, 1.3955, 0.2370}, {-0.1839, 0.2809, 0.7750}};
// Linear Rec. 709 to XYZ (D65).
constexpr double kRec709ToXYZ[3][3] = {
    {0.4124, 0.3576, 0.1805}, {0.2126, 0.7152, 0.0722}, {0.0193, 0.1192, 0.9505}};

using Pixel = std::array<double, 3>;

// A scene in camera values, 0 black to 1 white, row by row.
struct Scene {
    uint32_t width = 0, height = 0;
    std::vector<Pixel> pixels;
    Pixel& at(uint32_t x, uint32_t y) { return pixels[size_t(y) * width + x]; }
};

Pixel Times(const double (&m)[3][3], const Pixel& v) {
    Pixel r{};
    for (int i = 0; i < 3; ++i) r[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
    return r;
}

// The camera's response to D65 white, unscaled.
Pixel WhiteInCamera() { return Times(kCameraMatrix, Times(kRec709ToXYZ, Pixel{1, 1, 1})); }

// The as-shot neutral: the white's camera values, largest 1.
Pixel AsShotNeutral() {
    Pixel n = WhiteInCamera();
    const double top = std::max({n[0], n[1], n[2]});
    for (double& v : n) v /= top;
    return n;
}

// Photo CD encoded value (0..1 of the decoder's float output) to linear light
// with the format's white at 1: the inverse of the Rec. 709 transfer, on the
// format's 1.402 over-range.
double PhotoCDLinear(double encoded) {
    const double v = std::max(0.0, encoded) * 1.402;
    return 0.5 * (v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1.0 / 0.45));
}

// The Photo CD image at `level` as linear Rec. 709, or an empty scene with
// the decoder's reason in `error`.
Scene DecodePhotoCD(const std::string& path, int level, std::string& error) {
    pcdDecode decoder;
    decoder.setInterpolation(2);
    decoder.setColorSpace(0);
    Scene s;
    if (!decoder.parseFile(path.c_str(), "", level)) {
        error = decoder.getErrorString();
        return s;
    }
    decoder.postProcess();
    s.width = decoder.getWidth();
    s.height = decoder.getHeight();
    const size_t n = size_t(s.width) * s.height;
    std::vector<float> planes(3 * n);
    if (!decoder.readImageFloat(planes.data(), planes.data() + n, planes.data() + 2 * n, nullptr,
                                1)) {
        error = decoder.getErrorString();
        return Scene{};
    }
    s.pixels.resize(n);
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c) s.pixels[i][c] = PhotoCDLinear(planes[c * n + i]);
    return s;
}

Scene Cropped(const Scene& in, uint32_t x0, uint32_t y0, uint32_t width, uint32_t height) {
    Scene out{width, height, std::vector<Pixel>(size_t(width) * height)};
    for (uint32_t y = 0; y < height; ++y)
        std::copy_n(in.pixels.begin() + ptrdiff_t(size_t(y0 + y) * in.width + x0), width,
                    out.pixels.begin() + ptrdiff_t(size_t(y) * width));
    return out;
}

// Bilinear resampling that fills width x height and crops the overflow
// evenly, keeping the aspect.
Scene Resampled(const Scene& in, uint32_t width, uint32_t height) {
    const double scale = std::max(double(width) / in.width, double(height) / in.height);
    const double ox = (in.width * scale - width) / 2, oy = (in.height * scale - height) / 2;
    Scene out{width, height, std::vector<Pixel>(size_t(width) * height)};
    for (uint32_t y = 0; y < height; ++y) {
        const double sy = std::clamp((y + oy + 0.5) / scale - 0.5, 0.0, in.height - 1.0);
        const uint32_t y0 = uint32_t(sy), y1 = std::min(y0 + 1, in.height - 1);
        const double fy = sy - y0;
        for (uint32_t x = 0; x < width; ++x) {
            const double sx = std::clamp((x + ox + 0.5) / scale - 0.5, 0.0, in.width - 1.0);
            const uint32_t x0 = uint32_t(sx), x1 = std::min(x0 + 1, in.width - 1);
            const double fx = sx - x0;
            for (int c = 0; c < 3; ++c) {
                const double top = in.pixels[size_t(y0) * in.width + x0][c] * (1 - fx) +
                                   in.pixels[size_t(y0) * in.width + x1][c] * fx;
                const double bottom = in.pixels[size_t(y1) * in.width + x0][c] * (1 - fx) +
                                      in.pixels[size_t(y1) * in.width + x1][c] * fx;
                out.at(x, y)[c] = top * (1 - fy) + bottom * fy;
            }
        }
    }
    return out;
}

double SRGBLinear(double encoded) {
    return encoded <= 0.04045 ? encoded / 12.92 : std::pow((encoded + 0.055) / 1.055, 2.4);
}

Pixel SRGBPixel(const std::array<int, 3>& rgb8) {
    return {SRGBLinear(rgb8[0] / 255.0), SRGBLinear(rgb8[1] / 255.0), SRGBLinear(rgb8[2] / 255.0)};
}

// An 8-bit sRGB PNG (grey or RGB, alpha dropped) as linear Rec. 709, or an
// empty scene with the reason in `error`.
Scene ReadPNG(const std::string& path, std::string& error) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        error = image.message;
        return Scene{};
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<png_byte> bytes(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr)) {
        error = image.message;
        return Scene{};
    }
    Scene s{image.width, image.height, std::vector<Pixel>(size_t(image.width) * image.height)};
    for (size_t i = 0; i < s.pixels.size(); ++i)
        s.pixels[i] = SRGBPixel({bytes[3 * i], bytes[3 * i + 1], bytes[3 * i + 2]});
    return s;
}

// The pixel's share, of 16 x 16 sub-samples, on the far side of a line through
// (cx, cy) at `degrees` from the vertical.
double FarShare(double x, double y, double cx, double cy, double degrees) {
    const double a = degrees * M_PI / 180, nx = std::cos(a), ny = std::sin(a);
    int far = 0;
    for (int j = 0; j < 16; ++j)
        for (int i = 0; i < 16; ++i)
            far += (x + (i + 0.5) / 16 - cx) * nx + (y + (j + 0.5) / 16 - cy) * ny > 0;
    return far / 256.0;
}

// Two sRGB colours meeting on a line 11 degrees off the vertical through the
// centre, anti-aliased on the encoded values as a drawing program does.
Scene SlantedEdge(uint32_t width, uint32_t height, const std::array<int, 3>& left,
                  const std::array<int, 3>& right) {
    Scene s{width, height, std::vector<Pixel>(size_t(width) * height)};
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const double t = FarShare(x, y, width / 2.0, height / 2.0, 11);
            for (int c = 0; c < 3; ++c)
                s.at(x, y)[c] =
                    SRGBLinear((left[size_t(c)] * (1 - t) + right[size_t(c)] * t) / 255);
        }
    return s;
}

// A synthetic chart, the same for every run: "texture" is cells of stripes and
// checks two saturated colours wide at periods of 2 to 7 pixels and several
// angles, beside cells of small random coloured blots (fabric, foliage);
// "edges" is saturated discs and bars on saturated grounds, crossed by dark
// lines one and two pixels wide (mortar, letters, spokes).
Scene Chart(uint32_t width, uint32_t height, bool texture) {
    static const std::array<int, 3> kColours[] = {
        {150, 20, 30},  {235, 200, 20}, {170, 20, 20}, {235, 235, 235}, {30, 40, 160},
        {230, 210, 40}, {180, 30, 30},  {40, 150, 40}, {20, 160, 200},  {200, 40, 170},
        {240, 120, 20}, {90, 30, 120},  {20, 20, 20},  {120, 200, 60},  {250, 170, 180}};
    constexpr int kCount = int(std::size(kColours));
    std::mt19937 random(texture ? 1234 : 5678);
    auto pick = [&] { return SRGBPixel(kColours[random() % kCount]); };
    Scene s{width, height, std::vector<Pixel>(size_t(width) * height)};
    constexpr uint32_t kCell = 64;
    for (uint32_t cy = 0; cy < height; cy += kCell)
        for (uint32_t cx = 0; cx < width; cx += kCell) {
            const Pixel a = pick(), b = pick();
            const int kind = int(random() % 3);
            const double period = 2 + random() % 6, angle = double(random() % 180);
            const double ca = std::cos(angle * M_PI / 180), sa = std::sin(angle * M_PI / 180);
            std::vector<std::pair<double, double>> blots;
            for (int i = 0; i < 40; ++i) blots.emplace_back(random() % kCell, random() % kCell);
            std::vector<Pixel> blotColours;
            for (int i = 0; i < 40; ++i) blotColours.push_back(pick());
            for (uint32_t y = cy; y < std::min(cy + kCell, height); ++y)
                for (uint32_t x = cx; x < std::min(cx + kCell, width); ++x) {
                    Pixel p{};
                    // Each pixel averaged over 4 x 4 sub-samples, in linear light.
                    for (int j = 0; j < 4; ++j)
                        for (int i = 0; i < 4; ++i) {
                            const double u = x - cx + (i + 0.5) / 4, v = y - cy + (j + 0.5) / 4;
                            Pixel q = a;
                            if (texture && kind == 0) {
                                q = std::fmod(u * ca + v * sa + 1000 * period, period) < period / 2
                                        ? a
                                        : b;
                            } else if (texture && kind == 1) {
                                const bool odd = (int(std::floor(u / (period / 2))) +
                                                  int(std::floor(v / (period / 2)))) %
                                                 2;
                                q = odd ? b : a;
                            } else if (texture) {
                                double nearest = 1e9;
                                for (size_t k = 0; k < blots.size(); ++k) {
                                    const double d =
                                        std::hypot(u - blots[k].first, v - blots[k].second);
                                    if (d < nearest) nearest = d, q = blotColours[k];
                                }
                            } else {
                                const double r = std::hypot(u - kCell / 2.0, v - kCell / 2.0);
                                q = kind == 0   ? (r < 20 ? b : a)
                                    : kind == 1 ? (std::fabs((u - kCell / 2.0) * ca +
                                                             (v - kCell / 2.0) * sa) < 9
                                                       ? b
                                                       : a)
                                                : (u * 0.8 + v * 0.3 < 40 ? b : a);
                                const double line =
                                    std::fabs((u - kCell / 2.0) * sa - (v - kCell / 2.0) * ca);
                                if (line < 0.5 + (kind % 2)) q = SRGBPixel({25, 25, 30});
                            }
                            for (int c = 0; c < 3; ++c) p[c] += q[c] / 16;
                        }
                    s.at(x, y) = p;
                }
        }
    return s;
}

// Thin dark lines (mortar, letter outlines, spokes) on saturated yellow and
// red: cells of parallel lines 10 pixels apart, one and two pixels wide, at
// six angles, each pixel averaged over 4 x 4 sub-samples in linear light.
Scene Lines(uint32_t width, uint32_t height) {
    static const std::array<int, 3> kGrounds[] = {{230, 210, 40}, {170, 20, 20}};
    static const double kAngles[] = {0, 14, 33, 45, 71, 90};
    const Pixel dark = SRGBPixel({25, 25, 30});
    Scene s{width, height, std::vector<Pixel>(size_t(width) * height)};
    constexpr uint32_t kCell = 64;
    constexpr double kPeriod = 10;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t row = y / kCell, column = x / kCell;
            const Pixel ground = SRGBPixel(kGrounds[(row / 2) % 2]);
            const double lineWidth = 1.0 + row % 2;
            const double angle = kAngles[column % std::size(kAngles)] * M_PI / 180;
            const double ca = std::cos(angle), sa = std::sin(angle);
            Pixel p{};
            for (int j = 0; j < 4; ++j)
                for (int i = 0; i < 4; ++i) {
                    const double u = x % kCell + (i + 0.5) / 4 - kCell / 2.0,
                                 v = y % kCell + (j + 0.5) / 4 - kCell / 2.0;
                    const double across = std::fmod(u * ca + v * sa + 100 * kPeriod, kPeriod);
                    const Pixel& q = across < lineWidth ? dark : ground;
                    for (int c = 0; c < 3; ++c) p[c] += q[c] / 16;
                }
            s.at(x, y) = p;
        }
    return s;
}

bool ParseColour(std::string_view v, std::array<int, 3>& rgb) {
    int n = 0;
    size_t at = 0;
    for (; n < 3; ++n) {
        const size_t comma = v.find(',', at);
        const std::string part(v.substr(at, comma == std::string_view::npos ? v.npos : comma - at));
        char* end = nullptr;
        const long c = std::strtol(part.c_str(), &end, 10);
        if (part.empty() || *end || c < 0 || c > 255) return false;
        rgb[size_t(n)] = int(c);
        if (comma == std::string_view::npos) break;
        at = comma + 1;
    }
    return n == 2;
}

// The scene a quarter turn clockwise, so that every photograph lies in
// landscape and its rows hold whole repeats of the mosaic.
Scene Turned(const Scene& in) {
    Scene out{in.height, in.width, std::vector<Pixel>(in.pixels.size())};
    for (uint32_t y = 0; y < in.height; ++y)
        for (uint32_t x = 0; x < in.width; ++x)
            out.at(in.height - 1 - y, x) = in.pixels[size_t(y) * in.width + x];
    return out;
}

// Linear Rec. 709 to camera values, white on the as-shot neutral.
void ToCamera(Scene& s) {
    const Pixel white = WhiteInCamera();
    const double top = std::max({white[0], white[1], white[2]});
    for (Pixel& p : s.pixels) {
        Pixel cam = Times(kCameraMatrix, Times(kRec709ToXYZ, p));
        for (double& v : cam) v = kExposure * v / top;
        p = cam;
    }
}

// A zone plate cos(k r^2) about the centre, in camera values: neutral (all
// channels alike) reaching 0.5 cycles per pixel at the corners, or coloured
// (red and blue swing in quadrature about a steady green) reaching 0.25, the
// finest chroma that a mosaic's sparser colours can still carry.
Scene ZonePlate(uint32_t width, uint32_t height, bool colour) {
    Scene s{width, height, std::vector<Pixel>(size_t(width) * height)};
    const double cx = width / 2.0, cy = height / 2.0;
    const double k = M_PI / ((colour ? 4 : 2) * std::hypot(cx, cy));
    const Pixel neutral = AsShotNeutral();
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const double r2 = std::pow(x + 0.5 - cx, 2) + std::pow(y + 0.5 - cy, 2);
            const double phase = k * r2;
            Pixel balanced;
            if (colour)
                balanced = {0.25 * (1 + 0.7 * std::cos(phase)), 0.25,
                            0.25 * (1 + 0.7 * std::sin(phase))};
            else
                balanced.fill(0.3 * (1 + 0.8 * std::cos(phase)));
            for (int c = 0; c < 3; ++c) s.at(x, y)[c] = balanced[c] * neutral[c];
        }
    return s;
}

// `lowest` under 0 keeps noise below the black level, as a sensor's does.
uint16_t RawValue(double v, double lowest = 0) {
    return uint16_t(std::lround(kBlack + (kWhite - kBlack) * std::clamp(v, lowest, 1.0)));
}

// Shot and read noise with half the variance each at a signal of 18 % of
// white, where the ratio of signal to noise is `snr`. Each sample's deviate
// comes from a hash of its position and colour with a fixed seed, in integer
// arithmetic, so every machine draws the same noise, and the X-Trans and RGGB
// mosaics share it wherever they sample the same colour.
class Noise {
public:
    explicit Noise(double snr) {
        if (snr <= 0) return;
        const double variance = std::pow(kGrey / snr, 2);
        read_ = variance / 2;
        shot_ = variance / 2 / kGrey;
    }
    // `v`, a camera value of 0 black to 1 white, with its noise added.
    double Add(double v, uint32_t x, uint32_t y, int colour) const {
        if (shot_ == 0) return v;
        return v + std::sqrt(shot_ * std::max(v, 0.0) + read_) * Deviate(x, y, colour);
    }

private:
    static constexpr double kGrey = 0.18;
    static constexpr uint64_t kSeed = 0x51a7e0c0ffee1234;

    static uint64_t Mix(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
    // Near-normal, unit variance: twelve uniforms of 21 bits, less six.
    static double Deviate(uint32_t x, uint32_t y, int colour) {
        uint64_t state = Mix(kSeed ^ ((uint64_t(y) << 34) | (uint64_t(x) << 2) | uint64_t(colour)));
        uint64_t sum = 0;
        for (int draw = 0; draw < 4; ++draw) {
            state = Mix(state + 0x9e3779b97f4a7c15);
            for (int part = 0; part < 3; ++part) sum += (state >> (21 * part)) & 0x1fffff;
        }
        return (double(sum) + 6.0) / double(1 << 21) - 6.0;
    }

    double shot_ = 0, read_ = 0;
};

enum class Filter { xtrans, rggb, linear };

std::unique_ptr<dng_image> RawImage(const Scene& s, Filter filter, dng_negative& negative,
                                    const Noise& noise) {
    const uint32_t planes = filter == Filter::linear ? 3 : 1;
    auto image = std::make_unique<dng_simple_image>(dng_rect(s.height, s.width), planes, ttShort,
                                                    gDefaultDNGMemoryAllocator);
    const dng_mosaic_info* mosaic = filter == Filter::linear ? nullptr : negative.GetMosaicInfo();
    dng_pixel_buffer b = image->Buffer();
    for (uint32_t y = 0; y < s.height; ++y) {
        uint16* row = b.DirtyPixel_uint16(int32(y), 0);
        for (uint32_t x = 0; x < s.width; ++x) {
            const Pixel& p = s.pixels[size_t(y) * s.width + x];
            if (!mosaic) {
                for (uint32_t c = 0; c < 3; ++c) row[x * 3 + c] = RawValue(p[c]);
            } else {
                const uint8 colour = mosaic->fCFAPattern[y % uint32_t(mosaic->fCFAPatternSize.v)]
                                                        [x % uint32_t(mosaic->fCFAPatternSize.h)];
                const double clean = std::clamp(p[colour], 0.0, 1.0);
                row[x] = RawValue(noise.Add(clean, x, y, colour), -kBlack / (kWhite - kBlack));
            }
        }
    }
    return image;
}

void WriteTwin(const Scene& s, Filter filter, const Noise& noise, const std::string& path) {
    dng_image_host host;
    auto negative = dng_negative::Make(host);
    negative->SetModelName("Quorvex Mosaic Twin");
    if (dng_exif* exif = negative->Metadata().GetExif()) {
        exif->fMake.Set("Quorvex");
        exif->fModel.Set("Mosaic Twin");
    }
    negative->SetColorChannels(3);
    if (filter != Filter::linear) negative->SetColorKeys(0, 1, 2);
    if (filter == Filter::xtrans) negative->SetFujiMosaic6x6(0);
    if (filter == Filter::rggb) negative->SetBayerMosaic(1);
    auto profile = std::make_unique<dng_camera_profile>();
    dng_matrix m(3, 3);
    for (uint32 i = 0; i < 3; ++i)
        for (uint32 j = 0; j < 3; ++j) m[i][j] = kCameraMatrix[i][j];
    profile->SetColorMatrix1(m);
    profile->SetCalibrationIlluminant1(kIlluminantD65);
    profile->SetName("Embedded");
    negative->AddProfile(std::move(profile));
    const Pixel n = AsShotNeutral();
    dng_vector neutral(3);
    for (uint32 c = 0; c < 3; ++c) neutral[c] = n[c];
    negative->SetCameraNeutral(neutral);
    negative->SetBlackLevel(kBlack);
    negative->SetWhiteLevel(uint32(kWhite));
    negative->SetDefaultCropSize(dng_urational(s.width, 1), dng_urational(s.height, 1));
    negative->SetDefaultOriginalSizes();
    negative->SetStage1Image(RawImage(s, filter, *negative, noise));
    dng_file_stream out(path.c_str(), true);
    dng_image_writer writer;
    writer.WriteDNGForNegative(host, out, *negative, nullptr, dngVersion_1_4_0_0, true);
    out.Flush();
}

int Usage(const char* message) {
    std::fprintf(stderr,
                 "mosaic_twins: %s\n"
                 "usage: mosaic_twins (--pcd FILE | --png FILE | --zone-plate neutral|colour |\n"
                 "                     --edge R,G,B/R,G,B | --chart texture|edges|lines)\n"
                 "                    [--size WxH] [--crop X,Y] [--noise SNR]\n"
                 "                    [--only xtrans,rggb,linear]\n"
                 "                    --output PREFIX\n",
                 message);
    return 2;
}

bool ParseSize(std::string_view v, uint32_t& w, uint32_t& h) {
    const size_t x = v.find('x');
    if (x == std::string_view::npos) return false;
    w = uint32_t(std::strtoul(std::string(v.substr(0, x)).c_str(), nullptr, 10));
    h = uint32_t(std::strtoul(std::string(v.substr(x + 1)).c_str(), nullptr, 10));
    // Whole repeats of the 6 x 6 layout across each row.
    return w >= 36 && h >= 36 && w <= 12288 && h <= 12288 && w % 6 == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string pcd, png, zone, chart, output, only = "xtrans,rggb,linear";
    std::array<int, 3> edge[2];
    bool haveEdge = false;
    uint32_t width = 0, height = 0;
    long cropX = -1, cropY = -1;
    double snr = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc) return Usage("an option lacks its value");
        const std::string value = argv[++i];
        if (arg == "--pcd") {
            pcd = value;
        } else if (arg == "--png") {
            png = value;
        } else if (arg == "--edge") {
            const size_t slash = value.find('/');
            if (slash == std::string::npos || !ParseColour(value.substr(0, slash), edge[0]) ||
                !ParseColour(value.substr(slash + 1), edge[1]))
                return Usage("--edge takes two sRGB colours R,G,B/R,G,B of 0 to 255");
            haveEdge = true;
        } else if (arg == "--chart") {
            if (value != "texture" && value != "edges" && value != "lines")
                return Usage("--chart takes texture, edges or lines");
            chart = value;
        } else if (arg == "--zone-plate") {
            if (value != "neutral" && value != "colour") return Usage("neutral or colour");
            zone = value;
        } else if (arg == "--size") {
            if (!ParseSize(value, width, height))
                return Usage("--size takes WxH from 36 to 12288, the width a multiple of 6");
        } else if (arg == "--crop") {
            char* end = nullptr;
            cropX = std::strtol(value.c_str(), &end, 10);
            if (*end != ',') return Usage("--crop takes X,Y");
            cropY = std::strtol(end + 1, &end, 10);
            if (*end || cropX < 0 || cropY < 0) return Usage("--crop takes X,Y");
        } else if (arg == "--noise") {
            char* end = nullptr;
            snr = std::strtod(value.c_str(), &end);
            if (*end || !(snr >= 1 && snr <= 10000))
                return Usage("--noise takes a signal-to-noise ratio of 1 to 10000");
        } else if (arg == "--only") {
            only = value;
        } else if (arg == "--output") {
            output = value;
        } else {
            return Usage("unknown option");
        }
    }
    if (int(!pcd.empty()) + int(!png.empty()) + int(!zone.empty()) + int(!chart.empty()) +
            int(haveEdge) !=
        1)
        return Usage("give one of --pcd, --png, --zone-plate, --edge and --chart");
    if (output.empty()) return Usage("--output is needed");
    if (cropX >= 0 && (pcd.empty() || !width)) return Usage("--crop needs --pcd and --size");
    try {
        Scene scene;
        if (!pcd.empty() || !png.empty()) {
            std::string error;
            if (!pcd.empty()) {
                // Base is 768 x 512; each level above doubles both sides.
                int level = cropX >= 0 ? 4 : 2;
                while (level < 4 && (768u << (level - 2)) < std::max(width, height)) ++level;
                scene = DecodePhotoCD(pcd, level, error);
            } else {
                scene = ReadPNG(png, error);
            }
            if (scene.pixels.empty()) {
                std::fprintf(stderr, "mosaic_twins: %s: %s\n", (pcd.empty() ? png : pcd).c_str(),
                             error.c_str());
                return 1;
            }
            if (scene.height > scene.width) scene = Turned(scene);
            if (cropX >= 0) {
                if (uint64_t(cropX) + width > scene.width ||
                    uint64_t(cropY) + height > scene.height) {
                    std::fprintf(stderr, "mosaic_twins: the crop runs past the %u x %u image\n",
                                 scene.width, scene.height);
                    return 1;
                }
                scene = Cropped(scene, uint32_t(cropX), uint32_t(cropY), width, height);
            } else if (width && (width != scene.width || height != scene.height))
                scene = Resampled(scene, width, height);
            ToCamera(scene);
        } else if (haveEdge) {
            scene = SlantedEdge(width ? width : 120, height ? height : 120, edge[0], edge[1]);
            ToCamera(scene);
        } else if (!chart.empty()) {
            scene = chart == "lines" ? Lines(width ? width : 384, height ? height : 256)
                                     : Chart(width ? width : 768, height ? height : 512,
                                             chart == "texture");
            ToCamera(scene);
        } else {
            scene = ZonePlate(width ? width : 768, height ? height : 512, zone == "colour");
        }
        const std::pair<const char*, Filter> filters[] = {
            {"xtrans", Filter::xtrans}, {"rggb", Filter::rggb}, {"linear", Filter::linear}};
        const Noise noise(snr);
        for (const auto& [name, filter] : filters) {
            if (only.find(name) == std::string::npos) continue;
            const std::string path = output + "-" + name + ".dng";
            WriteTwin(scene, filter, noise, path);
            std::printf("%s\n", path.c_str());
        }
    } catch (const dng_exception& e) {
        std::fprintf(stderr, "mosaic_twins: %s (error %d)\n", e.Message(), int(e.ErrorCode()));
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mosaic_twins: %s\n", e.what());
        return 1;
    }
    return 0;
}
