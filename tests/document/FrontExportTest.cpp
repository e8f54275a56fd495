// TIFF, DNG and OpenEXR exports of whole documents: every format of a chart
// and of the real DNG files, the TIFF against the JPEG export once both are
// in sRGB, white and grey alike in every format, a write that fails part-way (a file-size limit)
// reported as -13 with the writer's text and leaving no file, the command line with the TIFF
// preset, and the peers developing what we wrote.
#include <ImfRgbaFile.h>
#include <gtest/gtest.h>
#include <lcms2.h>
#include <signal.h>
#include <sys/resource.h>
#define TIFF_DISABLE_DEPRECATED
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "dng/image/NegativeDngWriter.h"
#include "dng/writer/ImageWriterTestSupport.h"
#include "document/DocumentTestHome.h"
#include "document/MyDocument.h"
#include "document/PresetManager.h"
#include "support/JpegFile.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

const char* const kTIFF = "public.tiff";
const char* const kDNG = "public.dng";
const char* const kEXR = "com.ilm.openexr-image";

fs::path Chart(const fs::path& path, const char* size) {
#ifdef QUORVEX_MAKE_TEST_CHART
    const std::string cmd = std::string(QUORVEX_MAKE_TEST_CHART) + " --size " + size +
                            " --output \"" + path.string() + "\" >/dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
#else
    ADD_FAILURE() << "no chart tool";
#endif
    return path;
}

size_t FilesIn(const fs::path& folder) {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(folder)) n += e.is_regular_file();
    return n;
}

bool Export(MyDocument& doc, const fs::path& out, const char* type, platform::Error* error) {
    return doc.exportToURL(out, type, {-1, -1, -1, -1}, false, error);
}

// 8-bit sRGB pixels of a JPEG.
std::vector<uint8_t> DecodeJpeg(const fs::path& path, int& w, int& h) {
    std::vector<uint8_t> px;
    uint32_t width = 0, height = 0;
    if (!testsupport::decodeJpegFile(path, px, width, height)) return px;
    w = int(width);
    h = int(height);
    return px;
}

// A TIFF's 16-bit RGB samples and the profile it carries, opened (null
// without one or when the file cannot be read; the caller closes it).
cmsHPROFILE ReadTiffRGB16(const fs::path& path, uint32_t& w, uint32_t& h,
                          std::vector<uint16_t>& samples) {
    w = h = 0;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return nullptr;
    uint32_t size = 0;
    void* icc = nullptr;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(tif, TIFFTAG_ICCPROFILE, &size, &icc);
    samples.resize(size_t(w) * h * 3);
    for (uint32_t y = 0; y < h; ++y) TIFFReadScanline(tif, &samples[size_t(y) * w * 3], y);
    cmsHPROFILE profile = cmsOpenProfileFromMem(icc, size);
    TIFFClose(tif);
    return profile;
}

// The TIFF's pixels in 8-bit sRGB through its own profile.
std::vector<uint8_t> TiffAsSRGB(const fs::path& path, int& w, int& h) {
    std::vector<uint8_t> out;
    std::vector<uint16_t> samples;
    uint32_t tw = 0, th = 0;
    cmsHPROFILE in = ReadTiffRGB16(path, tw, th, samples);
    if (!tw) return out;
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t =
        cmsCreateTransform(in, TYPE_RGB_16, srgb, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    w = int(tw);
    h = int(th);
    out.resize(size_t(w) * h * 3);
    if (t) {
        cmsDoTransform(t, samples.data(), out.data(), tw * th);
        cmsDeleteTransform(t);
    }
    cmsCloseProfile(srgb);
    if (in) cmsCloseProfile(in);
    return out;
}

// Tone and look switched off, so that a patch's value is the scene's.
platform::Dictionary NeutralSettings(float ev = 0.0f) {
    return {{"Quorvex_Filter_inputEV", platform::Value(ev)},
            {"Quorvex_Filter_inputContrast", platform::Value(0.0f)},
            {"Quorvex_Filter_inputBrightness", platform::Value(0.0f)},
            {"Quorvex_Filter_inputFillLight", platform::Value(0.0f)},
            {"Quorvex_Filter_inputHighLight", platform::Value(0.0f)},
            {"Quorvex_Filter_inputSaturation", platform::Value(1.0f)},
            {"Quorvex_Filter_inputIntensity", platform::Value(0.0f)},
            {"Quorvex_SceneReferred", platform::Value(false)},
            {"Quorvex_MaintainWhites", platform::Value(false)},
            {"Quorvex_toneCurveAdjust", platform::Value(0.0f)},
            {"Quorvex_ettrAdjust", platform::Value(0.0f)}};
}

// An image's pixels as linear RGB doubles (any primaries, 1 = white), plus
// the file's own samples where it stores integers.
struct LinearImage {
    int w = 0, h = 0;
    std::vector<double> rgb;
    std::vector<uint16_t> stored;
    // Channel means over the square of half-side `half` at (cx, cy).
    std::array<double, 3> Mean(int cx, int cy, int half = 4) const {
        std::array<double, 3> m{};
        for (int y = cy - half; y < cy + half; ++y)
            for (int x = cx - half; x < cx + half; ++x)
                for (int c = 0; c < 3; ++c) m[c] += rgb[(size_t(y) * w + x) * 3 + c];
        for (double& v : m) v /= 4.0 * half * half;
        return m;
    }
    uint16_t LargestStored(int cx, int cy, int half = 4) const {
        uint16_t most = 0;
        for (int y = cy - half; y < cy + half; ++y)
            for (int x = cx - half; x < cx + half; ++x)
                for (int c = 0; c < 3; ++c)
                    most = std::max(most, stored[(size_t(y) * w + x) * 3 + c]);
        return most;
    }
};

LinearImage JpegLinear(const fs::path& path) {
    LinearImage out;
    const auto px = DecodeJpeg(path, out.w, out.h);
    out.rgb.resize(px.size());
    for (size_t i = 0; i < px.size(); ++i) {
        const double v = px[i] / 255.0;
        out.rgb[i] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    }
    return out;
}

// Through the TIFF's own profile into linear sRGB primaries, or into XYZ.
LinearImage TiffLinear(const fs::path& path, bool xyz = false) {
    LinearImage out;
    uint32_t tw = 0, th = 0;
    cmsHPROFILE in = ReadTiffRGB16(path, tw, th, out.stored);
    if (!tw) return out;
    out.w = int(tw);
    out.h = int(th);
    cmsCIExyY d65;
    cmsWhitePointFromTemp(&d65, 6504);
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}};
    cmsToneCurve* one = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* curves[3] = {one, one, one};
    cmsHPROFILE linear =
        xyz ? cmsCreateXYZProfile() : cmsCreateRGBProfile(&d65, &primaries, curves);
    cmsFreeToneCurve(one);
    cmsHTRANSFORM t =
        in ? cmsCreateTransform(in, TYPE_RGB_16, linear, xyz ? TYPE_XYZ_DBL : TYPE_RGB_DBL,
                                INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE)
           : nullptr;
    EXPECT_NE(t, nullptr) << path;
    out.rgb.resize(out.stored.size());
    if (t) {
        cmsDoTransform(t, out.stored.data(), out.rgb.data(), tw * th);
        cmsDeleteTransform(t);
    }
    cmsCloseProfile(linear);
    if (in) cmsCloseProfile(in);
    return out;
}

// The raw data: linear samples with white 65535.
LinearImage DngLinear(const fs::path& path) {
    LinearImage out;
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
    auto back = writertest::ReadDNG(bytes);
    const dng_image* raw = back->negative->Stage1Image();
    if (!raw || raw->Planes() != 3) {
        ADD_FAILURE() << "no RGB raw data in " << path;
        return out;
    }
    out.w = int(raw->Width());
    out.h = int(raw->Height());
    const auto samples = writertest::ImageBytes(*raw, ttShort);
    out.stored.resize(samples.size() / 2);
    std::memcpy(out.stored.data(), samples.data(), samples.size());
    for (uint16_t v : out.stored) out.rgb.push_back(v / 65535.0);
    return out;
}

LinearImage ExrLinear(const fs::path& path) {
    LinearImage out;
    Imf::RgbaInputFile in(path.c_str());
    const Imath::Box2i box = in.dataWindow();
    out.w = box.max.x - box.min.x + 1;
    out.h = box.max.y - box.min.y + 1;
    std::vector<Imf::Rgba> px(size_t(out.w) * out.h);
    in.setFrameBuffer(px.data() - box.min.x - size_t(box.min.y) * out.w, 1, size_t(out.w));
    in.readPixels(box.min.y, box.max.y);
    for (const Imf::Rgba& p : px)
        for (double v : {double(p.r), double(p.g), double(p.b)}) out.rgb.push_back(v);
    return out;
}

// The centre of the chart's grey step k (0.9 × 2^(−k/2)) in an image of w × h.
std::pair<int, int> GreyStep(int k, int w, int h) {
    return {int(w * (0.03 + 0.94 * (k + 0.5) / 12)), int(h * 0.59)};
}

// CIE L*a*b* (D65 white) of linear sRGB-primaries light scaled by `gain`.
std::array<double, 3> LabOf(const std::array<double, 3>& rgb, double gain = 1.0) {
    const double r = rgb[0] * gain, g = rgb[1] * gain, b = rgb[2] * gain;
    const double xyz[3] = {(0.4124 * r + 0.3576 * g + 0.1805 * b) / 0.95047,
                           0.2126 * r + 0.7152 * g + 0.0722 * b,
                           (0.0193 * r + 0.1192 * g + 0.9505 * b) / 1.08883};
    double f[3];
    for (int i = 0; i < 3; ++i)
        f[i] = xyz[i] > 216.0 / 24389 ? std::cbrt(xyz[i]) : (24389.0 / 27 * xyz[i] + 16) / 116;
    return {116 * f[1] - 16, 500 * (f[0] - f[1]), 200 * (f[1] - f[2])};
}

double Luminance(const std::array<double, 3>& rgb) {
    return 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
}

// How a peer's rendering of the chart compares with ours once its exposure
// is matched on the grey steps: the largest |a*| or |b*| of a grey, and the
// largest ΔE76 of a colour patch that our rendering has well inside its range.
struct PeerColour {
    double worstGreyCast = 1e9;
    double worstColour = 1e9;
    double gain = 0;
};

PeerColour ComparePeer(const LinearImage& ours, const LinearImage& peer) {
    PeerColour result;
    if (ours.w == 0 || peer.w == 0) return result;
    auto at = [](const LinearImage& im, double fx, double fy) {
        return im.Mean(int(im.w * fx), int(im.h * fy), std::max(2, im.w / 150));
    };
    std::vector<double> ratios;
    for (int k = 0; k < 12; ++k) {
        const double fx = 0.03 + 0.94 * (k + 0.5) / 12;
        const double y = Luminance(at(ours, fx, 0.59)), p = Luminance(at(peer, fx, 0.59));
        if (y > 0.02 && y < 0.7 && p > 0.005 && p < 0.9) ratios.push_back(y / p);
    }
    if (ratios.empty()) return result;
    std::sort(ratios.begin(), ratios.end());
    result.gain = ratios[ratios.size() / 2];
    result.worstGreyCast = result.worstColour = 0;
    for (int k = 0; k < 12; ++k) {
        const double fx = 0.03 + 0.94 * (k + 0.5) / 12;
        if (Luminance(at(ours, fx, 0.59)) < 0.02) continue;
        const auto lab = LabOf(at(peer, fx, 0.59), result.gain);
        result.worstGreyCast =
            std::max({result.worstGreyCast, std::fabs(lab[1]), std::fabs(lab[2])});
    }
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 6; ++c) {
            const double fx = 0.03 + 0.52 * (c + 0.5) / 6, fy = 0.04 + 0.46 * (r + 0.5) / 4;
            const auto mine = at(ours, fx, fy);
            if (*std::min_element(mine.begin(), mine.end()) < 0.01 ||
                *std::max_element(mine.begin(), mine.end()) > 0.9)
                continue;  // at the edge of sRGB each renderer clips in its own way
            const auto a = LabOf(mine), b = LabOf(at(peer, fx, fy), result.gain);
            result.worstColour =
                std::max(result.worstColour,
                         std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                                   (a[2] - b[2]) * (a[2] - b[2])));
        }
    return result;
}

class FrontExportTest : public ::testing::Test {
protected:
    DocumentTestHome home_;
};

}  // namespace

TEST_F(FrontExportTest, ChartInEveryFormatMatchesTheJpegAndPeersDevelopIt) {
    const fs::path dir = home_.path() / "out";
    fs::create_directories(dir);
    const fs::path dng = Chart(home_.path() / "chart.dng", "600x400");
    auto doc = MyDocument::init();
    platform::Error error;
    ASSERT_TRUE(doc->readFromURL(dng.string(), &error)) << error.failureReason;
    doc->addSettingValues(NeutralSettings());
    for (const char* type : {"public.jpeg", kTIFF, kDNG, kEXR}) {
        const fs::path out = dir / (std::string("c.") + type);
        EXPECT_TRUE(Export(*doc, out, type, &error)) << type << ": " << error.failureReason;
        EXPECT_GT(fs::file_size(out), 1000u) << type;
    }
    EXPECT_EQ(FilesIn(dir), 4u);

    // Patch means of the TIFF in sRGB against the JPEG export.
    int jw = 0, jh = 0, tw = 0, th = 0;
    const auto jpeg = DecodeJpeg(dir / "c.public.jpeg", jw, jh);
    const auto tiff = TiffAsSRGB(dir / "c.public.tiff", tw, th);
    ASSERT_EQ(jw, tw);
    ASSERT_EQ(jh, th);
    ASSERT_FALSE(jpeg.empty());
    // The centres of the chart's 24 colour patches and 12 grey steps, where
    // the JPEG is well inside sRGB (at its edge the engine dims a colour as a
    // whole while lcms2 clips one channel, which need not agree).
    std::vector<std::pair<int, int>> centres;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 6; ++c)
            centres.push_back(
                {int(jw * (0.03 + 0.52 * (c + 0.5) / 6)), int(jh * (0.04 + 0.46 * (r + 0.5) / 4))});
    for (int k = 0; k < 12; ++k)
        centres.push_back({int(jw * (0.03 + 0.94 * (k + 0.5) / 12)), int(jh * 0.59)});
    double worst = 0;
    int compared = 0;
    constexpr int kHalf = 4;
    for (const auto& [cx, cy] : centres) {
        double a[3] = {}, b[3] = {};
        for (int y = cy - kHalf; y < cy + kHalf; ++y)
            for (int x = cx - kHalf; x < cx + kHalf; ++x)
                for (int c = 0; c < 3; ++c) {
                    a[c] += jpeg[(size_t(y) * jw + x) * 3 + c];
                    b[c] += tiff[(size_t(y) * tw + x) * 3 + c];
                }
        constexpr double n = 4.0 * kHalf * kHalf;
        bool clipped = false;
        for (int c = 0; c < 3; ++c) clipped |= a[c] / n < 25 || a[c] / n > 252;
        if (clipped) continue;
        ++compared;
        for (int c = 0; c < 3; ++c) worst = std::max(worst, std::fabs(a[c] - b[c]) / n);
    }
    EXPECT_GE(compared, 20);
    EXPECT_LE(worst, 2.0);

    // The peers develop the DNG and the TIFF (private configuration folders)
    // to what we rendered: neutral greys and, once the exposure is matched on
    // the greys, the colours of our TIFF. darktable's default look tone-maps
    // (a filmic curve changes contrast and saturation), so its colours are
    // compared without it; its greys stay neutral either way.
    for (const char* tool : {"darktable-cli", "rawtherapee-cli"})
        if (std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) != 0)
            ADD_FAILURE() << tool << " is needed (scripts/deps.sh installs it)";
    struct Run {
        std::string command;
        fs::path result;
        bool colours = true;
        int rc = -1;
    };
    std::vector<Run> runs;
    for (const char* name : {"c.public.dng", "c.public.tiff"}) {
        const fs::path in = dir / name;
        const fs::path base = home_.path() / (std::string("peer-") + name);
        fs::create_directories(base);
        auto darktable = [&](const std::string& tag, const std::string& options) {
            return "darktable-cli '" + in.string() + "' '" + base.string() + "/" + tag +
                   ".jpg' --core --configdir '" + base.string() + "/" + tag +
                   "' --library :memory: " + options + " >/dev/null 2>&1";
        };
        runs.push_back({darktable("dt", ""), base / "dt.jpg", false});
        runs.push_back({darktable("dt-plain", "--conf plugins/darkroom/workflow=none"),
                        base / "dt-plain.jpg"});
        runs.push_back({"HOME='" + base.string() + "' XDG_CONFIG_HOME='" + base.string() +
                            "/rt' XDG_CACHE_HOME='" + base.string() +
                            "/rtc' rawtherapee-cli -q -Y -o '" + base.string() + "/rt.jpg' -c '" +
                            in.string() + "' >/dev/null 2>&1",
                        base / "rt.jpg"});
    }
    std::vector<std::thread> threads;
    for (Run& r : runs) threads.emplace_back([&r] { r.rc = std::system(r.command.c_str()); });
    for (auto& t : threads) t.join();
    const LinearImage ours = TiffLinear(dir / "c.public.tiff");
    for (const Run& r : runs) {
        SCOPED_TRACE(r.command);
        EXPECT_EQ(r.rc, 0);
        ASSERT_TRUE(fs::exists(r.result));
        const PeerColour colour = ComparePeer(ours, JpegLinear(r.result));
        EXPECT_LE(colour.worstGreyCast, 2.0);
        if (r.colours) {
            EXPECT_LE(colour.worstColour, 3.0);
        }
        RecordProperty(
            r.result.parent_path().filename().string() + "/" + r.result.filename().string(),
            "grey cast " + std::to_string(colour.worstGreyCast) + ", dE76 " +
                std::to_string(colour.worstColour));
    }
}

// White is full scale in every format, and a grey is one value in all of
// them: 16-bit files within a sample's rounding, the JPEG within its 8 bits.
TEST_F(FrontExportTest, WhiteAndGreyAgreeAcrossEveryFormat) {
    const fs::path dir = home_.path() / "out";
    fs::create_directories(dir);
    const fs::path dng = Chart(home_.path() / "chart.dng", "600x400");
    for (const float ev : {0.0f, 3.0f}) {
        SCOPED_TRACE(ev);
        auto doc = MyDocument::init();
        platform::Error error;
        ASSERT_TRUE(doc->readFromURL(dng.string(), &error)) << error.failureReason;
        doc->addSettingValues(NeutralSettings(ev));
        const std::string tag = ev == 0 ? "grey" : "white";
        for (const char* type : {"public.jpeg", kTIFF, kDNG, kEXR})
            ASSERT_TRUE(Export(*doc, dir / (tag + "." + type), type, &error))
                << type << ": " << error.failureReason;
        doc->close();
        const LinearImage jpeg = JpegLinear(dir / (tag + ".public.jpeg"));
        const LinearImage tiff = TiffLinear(dir / (tag + "." + kTIFF));
        const LinearImage raw = DngLinear(dir / (tag + "." + kDNG));
        const LinearImage exr = ExrLinear(dir / (tag + "." + kEXR));
        for (const LinearImage* image : {&tiff, &raw, &exr}) {
            ASSERT_EQ(image->w, jpeg.w);
            ASSERT_EQ(image->h, jpeg.h);
        }
        if (ev > 0) {
            // The brightest step is far past white.
            const auto [x, y] = GreyStep(0, jpeg.w, jpeg.h);
            EXPECT_EQ(tiff.LargestStored(x, y), 65535);
            // A DNG keeps its colours within the white its JPEG shows (sRGB's):
            // a white's top channel there may stand a rounding above ProPhoto's.
            EXPECT_GE(raw.LargestStored(x, y), 65530);
            for (int c = 0; c < 3; ++c) {
                EXPECT_GE(exr.Mean(x, y)[c], 1.0) << c;  // floats keep what lies beyond
                EXPECT_NEAR(jpeg.Mean(x, y)[c], 1.0, 1e-3) << c;
            }
            continue;
        }
        for (const int k : {2, 4, 6}) {
            SCOPED_TRACE(k);
            const auto [x, y] = GreyStep(k, jpeg.w, jpeg.h);
            const double ref = exr.Mean(x, y)[1];
            EXPECT_GT(ref, 0.05);
            // A half float holds 11 significant bits; 16-bit samples more.
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(tiff.Mean(x, y)[c], ref, ref * 6e-4) << c;
                EXPECT_NEAR(raw.Mean(x, y)[c], ref, ref * 6e-4) << c;
            }
            // One 8-bit step of sRGB at this level, as linear light.
            const double encoded = 1.055 * std::pow(ref, 1 / 2.4) - 0.055;
            const double step = std::pow((encoded + 0.055 + 1 / 255.0) / 1.055, 2.4) - ref;
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(jpeg.Mean(x, y)[c], ref, step) << c;
        }
    }
}

// A file's bytes with every date and time written as text ("2024:06:01
// 12:00:00", ISO 8601 with or without seconds and zone) blanked out.
std::string WithoutDates(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    // A hand-written matcher: GCC 12's std::regex does not build warning-free
    // in the sanitizer configuration.
    auto digits = [&](size_t at, size_t n) {
        if (at + n > bytes.size()) return false;
        for (size_t k = 0; k < n; ++k)
            if (!std::isdigit(static_cast<unsigned char>(bytes[at + k]))) return false;
        return true;
    };
    auto is = [&](size_t at, std::string_view set) {
        return at < bytes.size() && set.find(bytes[at]) != std::string_view::npos;
    };
    // The length of a date at `at`, or 0.
    auto dateAt = [&](size_t at) -> size_t {
        size_t i = at;
        if (!digits(i, 4) || !is(i + 4, ":-") || !digits(i + 5, 2) || !is(i + 7, ":-") ||
            !digits(i + 8, 2) || !is(i + 10, " T") || !digits(i + 11, 2) || !is(i + 13, ":") ||
            !digits(i + 14, 2))
            return 0;
        i += 16;
        if (is(i, ":") && digits(i + 1, 2)) i += 3;
        if (is(i, ".") && digits(i + 1, 1))
            for (++i; digits(i, 1);) ++i;
        if (is(i, "+-") && digits(i + 1, 2) && is(i + 3, ":") && digits(i + 4, 2))
            i += 6;
        else if (is(i, "Z"))
            ++i;
        return i - at;
    };
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        if (const size_t n = dateAt(i)) {
            out += "<date>";
            i += n;
        } else {
            out += bytes[i++];
        }
    }
    return out;
}

// Same document, same settings, two runs of the program: the same bytes,
// apart from the dates the formats stamp.
TEST_F(FrontExportTest, TwoExportsDifferOnlyInTheirDates) {
#ifdef QUORVEX_PROGRAM
    const fs::path dng = Chart(home_.path() / "chart.dng", "240x160");
    PresetManager& presets = PresetManager::sharedPresetManager();
    presets.forgetPresetDirectory();
    for (int type : {0, 1, 2, 4}) {
        SCOPED_TRACE(type);
        platform::Dictionary preset{
            {"displayName", platform::Value("Type " + std::to_string(type))},
            {"Quorvex_ExportFileType", platform::Value(type)}};
        platform::Error error;
        ASSERT_TRUE(presets.addPreset(preset, &error)) << error.failureReason;
        std::vector<std::string> runs;
        for (int run = 0; run < 2; ++run) {
            const fs::path out =
                home_.path() / ("run" + std::to_string(type) + std::to_string(run));
            fs::create_directories(out);
            const std::string cmd = std::string(QUORVEX_PROGRAM) + " --preset 'Type " +
                                    std::to_string(type) + "' --out '" + out.string() + "' '" +
                                    dng.string() + "' >/dev/null 2>&1";
            ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
            ASSERT_EQ(FilesIn(out), 1u);
            runs.push_back(WithoutDates(fs::directory_iterator(out)->path()));
            // A second apart, so that a clock stamp would show.
            if (run == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        }
        ASSERT_EQ(runs[0].size(), runs[1].size());
        size_t first = 0;
        while (first < runs[0].size() && runs[0][first] == runs[1][first]) ++first;
        EXPECT_EQ(first, runs[0].size()) << "first difference at byte " << first;
    }
    presets.forgetPresetDirectory();
#else
    ADD_FAILURE() << "no program to run";
#endif
}

TEST_F(FrontExportTest, AWriteThatFailsPartWayNamesTheFileAndTheReasonAndLeavesNoFile) {
    const fs::path dir = home_.path() / "out";
    fs::create_directories(dir);
    const fs::path dng = Chart(home_.path() / "chart.dng", "240x160");
    auto doc = MyDocument::init();
    platform::Error error;
    ASSERT_TRUE(doc->readFromURL(dng.string(), &error)) << error.failureReason;
    // Render first, so that only the writers meet the limit.
    ASSERT_TRUE(Export(*doc, dir / "warm.jpg", "public.jpeg", &error));
    fs::remove(dir / "warm.jpg");

    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    struct Outcome {
        bool ok;
        platform::Error error;
    };
    std::vector<Outcome> outcomes;
    for (const char* type : {kTIFF, kDNG, kEXR, "public.jpeg"}) {
        platform::Error e;
        const bool ok = Export(*doc, dir / (std::string("f.") + type), type, &e);
        outcomes.push_back({ok, e});
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    // Each says which file and the system's reason, once, and never the
    // name of the hidden file being written.
    const char* names[] = {"f.public.tiff", "f.public.dng", "f.com.ilm.openexr-image",
                           "f.public.jpeg"};
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const Outcome& o = outcomes[i];
        const std::string& text = o.error.failureReason;
        SCOPED_TRACE(text);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error.domain, "QuorvexErrorDomain");
        EXPECT_EQ(o.error.code, -13);
        const std::string destination = (dir / names[i]).string();
        EXPECT_EQ(text.rfind("Could not write " + destination + ": ", 0), 0u);
        const std::string reason = std::strerror(EFBIG);
        ASSERT_NE(text.find(reason), std::string::npos);
        EXPECT_EQ(text.find(reason, text.find(reason) + 1), std::string::npos);
        EXPECT_EQ(text.find(destination, text.find(destination) + 1), std::string::npos);
        EXPECT_EQ(text.find("/proc/"), std::string::npos);
    }
    EXPECT_EQ(FilesIn(dir), 0u);
}

// Share of pixels with a channel at the top of its format.
double ClippedShare(const fs::path& path) {
    const std::string ext = path.extension().string();
    size_t clipped = 0, pixels = 0;
    auto count = [&](auto top, const auto& values) {
        for (size_t i = 0; i + 2 < values.size(); i += 3, ++pixels)
            clipped += values[i] >= top || values[i + 1] >= top || values[i + 2] >= top;
    };
    if (ext == ".jpg") count(1.0, JpegLinear(path).rgb);
    if (ext == ".tif") count(uint16_t(65535), TiffLinear(path).stored);
    if (ext == ".exr") count(1.0, ExrLinear(path).rgb);
    return pixels ? double(clipped) / double(pixels) : 1.0;
}

// An exported DNG holds the developed picture and says it is rendered:
// opened again as a fresh document (the "Default" preset, which is also
// applied by hand) it develops as its JPEG did, whatever preset made it, with
// no more clipped pixels: neither the tone nor the sharpening comes twice,
// and its colours were kept within the white the JPEG shows.
TEST_F(FrontExportTest, ExportedDngsDevelopAgainAsTheirJpegs) {
    const fs::path dir = home_.path();
    auto& presets = PresetManager::sharedPresetManager();
    presets.forgetPresetDirectory();  // the factory presets, in this test's home
    const auto fallback = presets.presetNamed("Default");
    ASSERT_TRUE(fallback);
    const fs::path chart = Chart(home_.path() / "chart.dng", "600x400");
    const fs::path real =
        testsupport::testdataDir() / "raw" / "dng" / "rpi-1920x1200_10bit-packed_single-tile.dng";
    const fs::path direct = dir / "direct.jpg", dng = dir / "export.dng", back = dir / "b.jpg";
    platform::Error error;
    const auto develop = [&](const fs::path& from, const auto& settings, const fs::path& jpeg,
                             bool exportDng) {
        auto doc = MyDocument::init();
        ASSERT_TRUE(doc->readFromURL(from.string(), &error)) << error.failureReason;
        doc->addSettingValues(settings);
        ASSERT_TRUE(Export(*doc, jpeg, "public.jpeg", &error)) << error.failureReason;
        EXPECT_TRUE(!exportDng || Export(*doc, dng, kDNG, &error)) << error.failureReason;
        doc->close();
    };
    for (const fs::path& source : {chart, real})
        for (const char* name : {"Default", "Monochrome", "Zero'd", "Default TIFF export"}) {
            SCOPED_TRACE(source.filename().string() + " " + name);
            develop(source, presets.presetNamed(name), direct, true);
            develop(dng, fallback, back, false);

            int w = 0, h = 0, bw = 0, bh = 0;
            const auto a = DecodeJpeg(direct, w, h), b = DecodeJpeg(back, bw, bh);
            ASSERT_EQ(std::pair(w, h), std::pair(bw, bh));
            // Channel c's mean over [x0, x1) x [y0, y1) in each image.
            const auto means = [&](int c, int x0, int y0, int x1, int y1) {
                double da = 0, db = 0;
                for (int y = y0; y < y1; ++y)
                    for (size_t i = (size_t(y) * w + x0) * 3 + c; i < (size_t(y) * w + x1) * 3;
                         i += 3)
                        da += a[i], db += b[i];
                const double n = double(x1 - x0) * (y1 - y0);
                return std::pair{da / n, db / n};
            };
            for (int c = 0; c < 3; ++c) {
                const auto [ma, mb] = means(c, 0, 0, w, h);
                EXPECT_NEAR(mb, ma, 1.5) << c;
                // A level apart at most: a JPEG's patch mean moves a quarter on its own.
                for (int k = 1; source == chart && k < 11; ++k) {
                    const auto [x, y] = GreyStep(k, w, h);
                    const auto [pa, pb] = means(c, x - 4, y - 4, x + 4, y + 4);
                    EXPECT_NEAR(pb, pa, 1.25) << "step " << k << " channel " << c;
                }
            }
            EXPECT_LE(ClippedShare(back), ClippedShare(direct) + 0.001);
        }
}

// A real file with BaselineExposure +1, whose sensor clips under 1 %, exports
// clipping about as much in every format, not the quarter it used to clip.
TEST_F(FrontExportTest, ARealFilesPositiveBaselineClipsAboutAsMuchAsItsSensor) {
    const fs::path source =
        testsupport::testdataDir() / "raw/dng/rpi-1920x1200_10bit-packed_single-tile.dng";
    auto& presets = PresetManager::sharedPresetManager();
    presets.forgetPresetDirectory();  // the factory presets, in this test's home
    for (const auto& [preset, allowed] : {std::pair{"Zero'd", 0.03}, std::pair{"Default", 0.06}}) {
        SCOPED_TRACE(preset);
        auto doc = MyDocument::init();
        platform::Error error;
        ASSERT_TRUE(doc->readFromURL(source.string(), &error)) << error.failureReason;
        doc->addSettingValues(presets.presetNamed(preset));
        for (const auto& [ext, type] :
             {std::pair{".jpg", "public.jpeg"}, {".tif", kTIFF}, {".exr", kEXR}}) {
            const fs::path path = home_.path() / (std::string("real") + ext);
            ASSERT_TRUE(Export(*doc, path, type, &error)) << error.failureReason;
            EXPECT_LE(ClippedShare(path), allowed) << path;
        }
        doc->close();
    }
}

// A grey ramp to 95 % of the sensor's white, and a white patch (0.9 of the
// scene) laid B stops lower, under BaselineExposure +B: the ramp keeps rising
// to near white and the patch stays near white in both presets.
TEST_F(FrontExportTest, APositiveBaselineKeepsTheRampRisingAndTheWhitesNearWhite) {
    negtest::DngSpec spec;
    spec.width = 200;
    spec.height = 16;
    spec.samples = 3;
    spec.black = {0, 0, 0};
    spec.white = {65535, 65535, 65535};
    // XYZ (D65) to linear ProPhoto, the camera white at 1 1 1.
    spec.colorMatrix = {1.3411, -0.2132, -0.097, -0.5028, 1.4158, 0.0162, -0.0107, 0.0174, 0.8711};
    spec.neutral = {1, 1, 1};
    auto& presets = PresetManager::sharedPresetManager();
    presets.forgetPresetDirectory();  // the factory presets, in this test's home
    for (const int stops : {1, 2}) {
        spec.baselineExposure = stops;
        const double scale = std::ldexp(1.0, -stops);
        std::vector<uint16_t> samples(size_t(spec.width) * spec.height * 3);
        for (uint32_t i = 0; i < samples.size() / 3; ++i) {
            const uint32_t x = i % spec.width;
            const double v = x < 20 ? 0.9 * scale : 0.95 * (x - 20) / 179.0;
            for (int c = 0; c < 3; ++c) samples[size_t(i) * 3 + c] = uint16_t(v * 65535 + 0.5);
        }
        const fs::path dng = home_.path() / "ramp.dng";
        ASSERT_TRUE(negtest::WriteDng(dng.string(), spec, samples));
        for (const auto& [preset, top] : {std::pair{"Default", 252.0}, {"Zero'd", 250.0}}) {
            SCOPED_TRACE(std::string(preset) + " +" + std::to_string(stops));
            auto doc = MyDocument::init();
            platform::Error error;
            ASSERT_TRUE(doc->readFromURL(dng.string(), &error)) << error.failureReason;
            doc->addSettingValues(presets.presetNamed(preset));
            const fs::path jpeg = home_.path() / "ramp.jpg", exr = home_.path() / "ramp.exr";
            ASSERT_TRUE(Export(*doc, jpeg, "public.jpeg", &error)) << error.failureReason;
            ASSERT_TRUE(Export(*doc, exr, kEXR, &error)) << error.failureReason;
            doc->close();
            int w = 0, h = 0;
            const std::vector<uint8_t> px = DecodeJpeg(jpeg, w, h);
            ASSERT_EQ(w, 200);
            const auto level = [&](int x) {
                double sum = 0;
                for (int y = 4; y < 12; ++y)
                    for (int c = 0; c < 3; ++c) sum += px[(size_t(y) * w + x) * 3 + c];
                return sum / 24.0;
            };
            double last = 0;
            for (const double at : {0.38, 0.475, 0.57, 0.665, 0.76, 0.855, 0.94}) {
                const double v = level(int(20 + at / 0.95 * 179 + 0.5));
                EXPECT_GE(v, last + 1.0) << at;
                last = v;
            }
            EXPECT_GE(last, top);
            const bool lifted = std::string(preset) == "Default";
            if (lifted) {
                EXPECT_GE(ExrLinear(exr).Mean(int(20 + 0.94 / 0.95 * 179 + 0.5), 8, 1)[1], 0.98);
            }
            const double white[2][2] = {{238.0, 235.0}, {229.0, 225.0}};
            EXPECT_GE(level(10), white[lifted ? 0 : 1][stops - 1]) << "white patch";
        }
    }
}

// Writes a DNG of linear-raw samples `value(x, y, c)` in the camera's
// primaries (linear ProPhoto, white at 1 1 1) under BaselineExposure +stops
// beside `out`, and exports it there with "Default".
template <class Value>
void ExportProPhotoDng(const fs::path& out, const char* type, uint32_t w, uint32_t h, int stops,
                       Value value) {
    negtest::DngSpec spec;
    spec.width = w;
    spec.height = h;
    spec.samples = 3;
    spec.black = {0, 0, 0};
    spec.white = {65535, 65535, 65535};
    spec.colorMatrix = {1.3411, -0.2132, -0.097, -0.5028, 1.4158, 0.0162, -0.0107, 0.0174, 0.8711};
    spec.neutral = {1, 1, 1};
    spec.baselineExposure = stops;
    std::vector<uint16_t> samples(size_t(w) * h * 3);
    for (size_t i = 0; i < samples.size(); ++i) {
        const double v = value(uint32_t(i / 3 % w), uint32_t(i / 3 / w), int(i % 3));
        samples[i] = uint16_t(std::clamp(v, 0.0, 1.0) * 65535 + 0.5);
    }
    fs::path dng = out;
    ASSERT_TRUE(negtest::WriteDng(dng.replace_extension(".dng").string(), spec, samples));
    auto& presets = PresetManager::sharedPresetManager();
    presets.forgetPresetDirectory();  // the factory presets, in this test's home
    auto doc = MyDocument::init();
    platform::Error error;
    ASSERT_TRUE(doc->readFromURL(dng.string(), &error)) << error.failureReason;
    doc->addSettingValues(presets.presetNamed("Default"));
    ASSERT_TRUE(Export(*doc, out, type, &error)) << error.failureReason;
    doc->close();
}

// Ramps of near-white tints (skin-like 1 / 0.86 / 0.76 and pale blue
// 0.82 / 0.90 / 1 in linear sRGB, here in the camera's primaries) to 1.6 x a
// 0.9 white, laid B stops lower under BaselineExposure +B: every channel
// keeps rising over the ramp's upper 70 %, never flat for long under white
// (they used to stay within a level over 0.21-0.38 of the ramp).
TEST_F(FrontExportTest, APositiveBaselineKeepsTintedNearWhitesRising) {
    const double tints[2][3] = {{0.9200, 0.8710, 0.7758}, {0.8717, 0.8949, 0.9852}};
    constexpr int kRamp = 200, kBand = 12;
    for (const auto& [stops, longest] : {std::pair{1, 0.18}, std::pair{2, 0.24}}) {
        const double scale = std::ldexp(1.0, -stops);
        const fs::path exr = home_.path() / "tints.exr";
        ASSERT_NO_FATAL_FAILURE(ExportProPhotoDng(
            exr, kEXR, kRamp, 2 * kBand, stops, [&](uint32_t x, uint32_t y, int c) {
                return 1.6 * 0.9 * x / (kRamp - 1.0) * scale * tints[y / kBand][c];
            }));
        const LinearImage image = ExrLinear(exr);
        ASSERT_EQ(image.w, kRamp);
        for (int band = 0; band < 2; ++band)
            for (int c = 0; c < 3; ++c) {
                SCOPED_TRACE(testing::Message()
                             << "+" << stops << " tint " << band << " channel " << c);
                // sRGB levels over the band's inner rows, then over 9 columns.
                std::vector<double> level(kRamp), smooth(kRamp);
                for (int x = 0; x < kRamp; ++x)
                    for (int y = band * kBand + 3; y < band * kBand + kBand - 3; ++y) {
                        const double v = std::max(image.rgb[(size_t(y) * kRamp + x) * 3 + c], 0.0);
                        const double encoded =
                            v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
                        level[x] += 255 * encoded / (kBand - 6);
                    }
                for (int x = 0; x < kRamp; ++x) {
                    const int lo = std::max(0, x - 4), hi = std::min(kRamp - 1, x + 4);
                    for (int k = lo; k <= hi; ++k) smooth[x] += level[k] / (hi - lo + 1);
                }
                double highest = 0, fall = 0;
                int flat = 0;
                for (int x = int(0.3 * kRamp); x < kRamp; ++x) {
                    highest = std::max(highest, smooth[x]);
                    fall = std::max(fall, highest - smooth[x]);
                    double low = smooth[x], high = smooth[x];
                    int end = x;
                    for (; end < kRamp && smooth[end] < 250; ++end) {
                        low = std::min(low, smooth[end]);
                        high = std::max(high, smooth[end]);
                        if (high - low > 1.0) break;
                    }
                    flat = std::max(flat, end - x);
                }
                EXPECT_LE(fall, 2.5);
                EXPECT_LE(double(flat) / kRamp, longest);
            }
    }
}

// A saturated red near white that ProPhoto holds (its top channel 0.8 of
// white there, 1.6 in sRGB) keeps its lightness in a TIFF, rendered in
// ProPhoto: against a grey of the same luminance index it stands as its own
// luminance does (0.2880 R + 0.7119 G: 0.4304 against 0.43), not rolled off
// as sRGB would need.
TEST_F(FrontExportTest, APositiveBaselineRollsAColourOffAgainstItsOwnSpacesWhite) {
    const double colour[3] = {1.0, 0.2, 0.1}, index = 0.3 * 1.0 + 0.6 * 0.2 + 0.1 * 0.1;
    const fs::path tiff = home_.path() / "red.tif";
    ASSERT_NO_FATAL_FAILURE(ExportProPhotoDng(
        tiff, kTIFF, 32, 16, 1,
        [&](uint32_t x, uint32_t, int c) { return 0.2 * (x < 16 ? colour[c] : index); }));
    // Each half's luminance (Y) through the TIFF's own profile, where sRGB
    // primaries could not hold the colour.
    const LinearImage xyz = TiffLinear(tiff, true);
    ASSERT_EQ(xyz.w, 32);
    EXPECT_NEAR(xyz.Mean(8, 8)[1] / xyz.Mean(24, 8)[1], 1.0009, 0.03);
}

TEST_F(FrontExportTest, EveryReadableTestDngExportsInEveryFormat) {
    const fs::path dir = home_.path() / "out";
    fs::create_directories(dir);
    size_t exported = 0;
    for (const auto& e : fs::directory_iterator(testsupport::testdataDir() / "raw" / "dng")) {
        if (e.path().extension() != ".dng") continue;
        SCOPED_TRACE(e.path().filename().string());
        auto doc = MyDocument::init();
        platform::Error error;
        if (!doc->readFromURL(e.path().string(), &error)) continue;
        // A file the decoder refuses fails the JPEG export too.
        if (!Export(*doc, dir / "probe.jpg", "public.jpeg", &error)) continue;
        for (const char* type : {kTIFF, kDNG, kEXR}) {
            const fs::path out = dir / (e.path().stem().string() + "." + type);
            EXPECT_TRUE(Export(*doc, out, type, &error)) << type << ": " << error.failureReason;
        }
        ++exported;
    }
    EXPECT_GE(exported, 3u);

#ifdef QUORVEX_PROGRAM
    const fs::path cli = home_.path() / "cli";
    fs::create_directories(cli);
    const fs::path chart = Chart(home_.path() / "c2.dng", "240x160");
    const std::string cmd = std::string(QUORVEX_PROGRAM) +
                            " --export --preset 'Default TIFF export' --out '" + cli.string() +
                            "' '" + chart.string() + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_TRUE(fs::exists(cli / "c2.tif"));
#endif
}
