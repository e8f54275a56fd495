// TIFF, DNG and OpenEXR exports of whole documents: every format of a chart
// and of the real DNG files, the TIFF against the JPEG export once both are
// in sRGB, a write that fails part-way (a file-size limit) reported as -13
// with the writer's text and leaving no file, the command line with the TIFF
// preset, and the peers developing what we wrote.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <lcms2.h>
#include <signal.h>
#include <sys/resource.h>
#define TIFF_DISABLE_DEPRECATED
#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "document/DocumentTestHome.h"
#include "document/MyDocument.h"
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
    FILE* f = std::fopen(path.c_str(), "rb");
    std::vector<uint8_t> px;
    if (!f) return px;
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    w = int(cinfo.output_width);
    h = int(cinfo.output_height);
    px.resize(size_t(w) * h * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = px.data() + size_t(cinfo.output_scanline) * w * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return px;
}

// The TIFF's pixels in 8-bit sRGB through its own profile.
std::vector<uint8_t> TiffAsSRGB(const fs::path& path, int& w, int& h) {
    std::vector<uint8_t> out;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return out;
    uint32_t tw = 0, th = 0, size = 0;
    void* icc = nullptr;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &th);
    TIFFGetField(tif, TIFFTAG_ICCPROFILE, &size, &icc);
    cmsHPROFILE in = cmsOpenProfileFromMem(icc, size);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t =
        cmsCreateTransform(in, TYPE_RGB_16, srgb, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    w = int(tw);
    h = int(th);
    out.resize(size_t(w) * h * 3);
    std::vector<uint16_t> row(size_t(w) * 3);
    for (uint32_t y = 0; y < th && t; ++y) {
        TIFFReadScanline(tif, row.data(), y);
        cmsDoTransform(t, row.data(), out.data() + size_t(y) * w * 3, tw);
    }
    if (t) cmsDeleteTransform(t);
    cmsCloseProfile(srgb);
    if (in) cmsCloseProfile(in);
    TIFFClose(tif);
    return out;
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
    doc->addSettingValues(
        platform::Dictionary{{"Quorvex_Filter_inputEV", platform::Value(0.0f)},
                             {"Quorvex_Filter_inputContrast", platform::Value(0.0f)},
                             {"Quorvex_Filter_inputBrightness", platform::Value(0.0f)},
                             {"Quorvex_Filter_inputFillLight", platform::Value(0.0f)},
                             {"Quorvex_Filter_inputHighLight", platform::Value(0.0f)},
                             {"Quorvex_Filter_inputSaturation", platform::Value(1.0f)},
                             {"Quorvex_Filter_inputIntensity", platform::Value(0.0f)},
                             {"Quorvex_SceneReferred", platform::Value(false)},
                             {"Quorvex_MaintainWhites", platform::Value(false)},
                             {"Quorvex_toneCurveAdjust", platform::Value(0.0f)},
                             {"Quorvex_ettrAdjust", platform::Value(0.0f)}});
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

    // The peers develop the DNG and the TIFF (private configuration folders).
    for (const char* tool : {"darktable-cli", "rawtherapee-cli"})
        if (std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) != 0)
            ADD_FAILURE() << tool << " is needed (scripts/deps.sh installs it)";
    struct Run {
        std::string command;
        fs::path result;
        int rc = -1;
    };
    std::vector<Run> runs;
    for (const char* name : {"c.public.dng", "c.public.tiff"}) {
        const fs::path in = dir / name;
        const fs::path base = home_.path() / (std::string("peer-") + name);
        fs::create_directories(base);
        runs.push_back({"darktable-cli '" + in.string() + "' '" + base.string() +
                            "/dt.jpg' --core --configdir '" + base.string() +
                            "/dt' --library :memory: >/dev/null 2>&1",
                        base / "dt.jpg"});
        runs.push_back({"HOME='" + base.string() + "' XDG_CONFIG_HOME='" + base.string() +
                            "/rt' XDG_CACHE_HOME='" + base.string() +
                            "/rtc' rawtherapee-cli -q -Y -o '" + base.string() + "/rt.jpg' -c '" +
                            in.string() + "' >/dev/null 2>&1",
                        base / "rt.jpg"});
    }
    std::vector<std::thread> threads;
    for (Run& r : runs) threads.emplace_back([&r] { r.rc = std::system(r.command.c_str()); });
    for (auto& t : threads) t.join();
    for (const Run& r : runs) {
        EXPECT_EQ(r.rc, 0) << r.command;
        EXPECT_TRUE(fs::exists(r.result)) << r.command;
    }
}

TEST_F(FrontExportTest, AWriteThatFailsPartWayIsTheWritersErrorAndLeavesNoFile) {
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
    for (const char* type : {kTIFF, kDNG, kEXR}) {
        platform::Error e;
        const bool ok = Export(*doc, dir / (std::string("f.") + type), type, &e);
        outcomes.push_back({ok, e});
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    for (const Outcome& o : outcomes) {
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error.domain, "QuorvexErrorDomain");
        EXPECT_EQ(o.error.code, -13);
        EXPECT_FALSE(o.error.failureReason.empty());
    }
    EXPECT_EQ(outcomes[0].error.failureReason, "Error writing file.");
    EXPECT_EQ(outcomes[1].error.failureReason, "Error writing file.");
    EXPECT_EQ(FilesIn(dir), 0u);
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
