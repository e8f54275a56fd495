// Hostile DNG files through the whole decoder: a few kilobytes of tiled
// Deflate data whose tile offsets all point at one tile, claiming 8192 x 8192
// and 16384 x 16384 pixels, are refused with an error that names the reason;
// a preview claiming 16384 x 16384 pixels in a few hundred bytes is passed
// over; either takes only a few megabytes. Those decodes run in a child
// process, so that their peak memory can be measured (and, without the
// sanitizers, capped) apart from the rest of the suite. Errors that carry a
// code also say what failed.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "dng/image/HandMadeDng.h"
#include "platform/Log.h"
#include "raw/TestJpeg.h"
#include "raw/rawWrapper.h"
#include "support/TestSupport.h"

#if defined(__SANITIZE_ADDRESS__)
// Let an allocation the address-space limit refuses fail instead of aborting.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

constexpr uint64_t kAllowedGrowthKiB = 64 * 1024;

// The process's peak resident size so far, in KiB.
uint64_t PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
}

// Decodes in the child; reports on stderr and exits 0 only when the peak
// resident size grew by less than kAllowedGrowthKiB.
#if defined(__SANITIZE_ADDRESS__)
#define HOSTILE_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTILE_UNDER_ASAN 1
#endif
#endif

[[noreturn]] void DecodeAndReport(const std::string& path, bool thumbnail = false) {
#ifndef HOSTILE_UNDER_ASAN
    // Without the sanitizers' reservations an address-space cap keeps a
    // failing decode from taking the machine's memory.
    const rlimit cap{rlim_t(2) << 30, rlim_t(2) << 30};
    setrlimit(RLIMIT_AS, &cap);
#endif
    const uint64_t before = PeakResidentKiB();
    const auto wrapper = rawWrapper::initWithFile(path, path, thumbnail);
    const bool decoded = wrapper && wrapper->masterImageBytes() != nullptr;
    const uint64_t grown = PeakResidentKiB() - before;
    const auto error = wrapper ? wrapper->error() : std::nullopt;
    std::fprintf(stderr, "decoded=%d size=%ux%u grownKiB=%llu error=%s\n", int(decoded),
                 decoded ? unsigned(wrapper->imageWidth()) : 0u,
                 decoded ? unsigned(wrapper->imageHeight()) : 0u,
                 static_cast<unsigned long long>(grown),
                 error ? error->description().c_str() : "none");
    std::fflush(stderr);
    // This child made its own scratch folder, and _Exit runs no destructor.
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(path).parent_path(), ignored);
    std::_Exit(grown < kAllowedGrowthKiB ? 0 : 1);
}

TEST(HostileDng, SmallFilesClaimingHugeImagesAreRefusedCheaply) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testsupport::ScratchDir dir;
    for (uint32_t side : {8192u, 16384u}) {
        SCOPED_TRACE(side);
        const std::string path =
            (dir.path() / ("claims-" + std::to_string(side) + ".dng")).string();
        const auto bytes = handdng::Build(handdng::SharedDeflateTiles(side, 256));
        EXPECT_LT(bytes.size(), 40u * 1024);
        handdng::Write(path, bytes);
        EXPECT_EXIT(DecodeAndReport(path), ::testing::ExitedWithCode(0),
                    "decoded=0 size=0x0 grownKiB=[0-9]+ error=.*is damaged: it claims " +
                        std::to_string(side) + " x " + std::to_string(side) +
                        " pixels, at least [0-9]+ (bytes|MB) of image data even as tightly as "
                        "Deflate packs it");
    }
}

// An 8 x 8 baseline JPEG whose frame header then claims side x side pixels:
// the decoder makes up the missing data, so decoding it builds the whole
// claimed image.
std::vector<uint8_t> JpegClaiming(uint16_t side) {
    std::vector<uint8_t> jpeg = testjpeg::Encode(8, 8, 3, [](int, int, int) { return 128; });
    for (size_t i = 0; i + 8 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = jpeg[i + 7] = uint8_t(side >> 8);
            jpeg[i + 6] = jpeg[i + 8] = uint8_t(side);
            break;
        }
    return jpeg;
}

// A thumbnail of a 64 x 64 mosaic whose preview claims 16384 x 16384 pixels
// in a few hundred bytes: the preview is passed over for the half-size
// mosaic rather than decoded at the claimed size. One that claims 64 x 64
// is used.
TEST(HostileDng, PreviewsLargerThanTheRawImageArePassedOver) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testsupport::ScratchDir dir;
    handdng::Layout l;
    l.width = l.height = 64;
    l.tileWidth = l.tileLength = 64;
    l.blobs = {handdng::DeflatedZeros(64 * 64 * 2)};
    l.blobOf = {0};
    l.previewJpeg = JpegClaiming(16384);
    l.previewWidth = l.previewHeight = 64;
    const std::string path = (dir.path() / "huge-preview.dng").string();
    handdng::Write(path, handdng::Build(l));
    EXPECT_EXIT(DecodeAndReport(path, true), ::testing::ExitedWithCode(0),
                "decoded=1 size=32x32 grownKiB=[0-9]+ error=none");

    l.previewJpeg = JpegClaiming(64);
    handdng::Write(path, handdng::Build(l));
    const auto wrapper = rawWrapper::initWithFile(path, path, true);
    ASSERT_NE(wrapper->masterImageBytes(), nullptr);
    EXPECT_EQ(wrapper->imageWidth(), 64);
    EXPECT_EQ(wrapper->imageHeight(), 64);
}

// A colour matrix that is invertible but sees white as negative fails deep
// in the colour code; the user reads what is wrong with the file, the log
// the reader's code and words.
TEST(HostileDng, ErrorsWithACodeSayWhatFailed) {
    platform::LogCapture log;
    testsupport::ScratchDir dir;
    handdng::Layout l;
    l.width = l.height = 16;
    l.tileWidth = l.tileLength = 16;
    l.blobs = {handdng::DeflatedZeros(16 * 16 * 2)};
    l.blobOf = {0};
    l.colorMatrix = {-1, 1, 0, 1, 0, 1, 0, 1, -1, 1, 0, 1, 0, 1, 0, 1, -1, 1};
    const std::string path = (dir.path() / "negative-matrix.dng").string();
    handdng::Write(path, handdng::Build(l));
    const auto wrapper = rawWrapper::initWithFile(path, path, false);
    ASSERT_TRUE(wrapper);
    EXPECT_EQ(wrapper->masterImageBytes(), nullptr);
    ASSERT_TRUE(wrapper->error());
    EXPECT_EQ(wrapper->error()->failureReason,
              "The DNG file \"negative-matrix.dng\" cannot be rendered: its colour matrices do "
              "not turn the camera's colours into any real colour, so its colour tags are "
              "damaged.");
    EXPECT_TRUE(log.contains("error 100007: PCS white maps to no camera response"));

    // A calibration or colour matrix with an entry finer than the 1/10000 the
    // decoder rounds it to is invertible only as read: the calibration is set
    // aside with a warning; the colour matrix refuses the file with the reason.
    const std::string fine = (dir.path() / "fine-matrix.dng").string();
    l.colorMatrix = handdng::Layout{}.colorMatrix;
    l.extra = {{50723, 10, {1, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 458753}}};
    handdng::Write(fine, handdng::Build(l));
    auto calibrated = rawWrapper::initWithFile(fine, fine, false);
    EXPECT_NE(calibrated->masterImageBytes(), nullptr);
    const auto warnings = calibrated->warnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("CameraCalibration1 cannot be inverted"), std::string::npos);
    l.extra.clear();
    for (size_t i = 12; i < 18; i += 2) l.colorMatrix[i] = 1, l.colorMatrix[i + 1] = 1000000;
    handdng::Write(fine, handdng::Build(l));
    const auto refused = rawWrapper::initWithFile(fine, fine, false);
    EXPECT_EQ(refused->masterImageBytes(), nullptr);
    ASSERT_TRUE(refused->error());
    EXPECT_EQ(refused->error()->failureReason,
              "The DNG file \"fine-matrix.dng\" cannot be rendered: its ColorMatrix1 cannot be "
              "inverted, which no camera produces, and nothing can stand in for it.");
}

// A camera file cut short: the figures show what is missing, with more
// digits where three would read the same.
TEST(HostileDng, ACutFilesFiguresShowWhatItLacks) {
    testsupport::ScratchDir dir;
    std::ifstream in(
        testsupport::testdataDir() / "raw" / "dng" / "rpi-imx296_10bit-packed_strip.dng",
        std::ios::binary);
    const std::string whole{std::istreambuf_iterator<char>(in), {}};
    ASSERT_GT(whole.size(), 1980000u);
    for (auto [size, figures] :
         {std::pair{1500000, "1.98 MB of image data, in a file of 1.5 MB"},
          std::pair{1980000, "1.9802 MB of image data, in a file of 1.98 MB"}}) {
        const std::string path = (dir.path() / "cut.dng").string();
        std::ofstream(path, std::ios::binary) << whole.substr(0, size_t(size));
        const auto wrapper = rawWrapper::initWithFile(path, path, false);
        ASSERT_TRUE(wrapper);
        EXPECT_EQ(wrapper->masterImageBytes(), nullptr);
        ASSERT_TRUE(wrapper->error());
        EXPECT_EQ(
            wrapper->error()->failureReason,
            std::string("The DNG file \"cut.dng\" is damaged: it claims 1456 x 1088 pixels, ") +
                figures + ".");
    }
}

// Without the name of the reader's memory block.
TEST(HostileDng, RunningOutOfMemoryIsToldInPlainWords) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto file =
        testsupport::testdataDir() / "raw" / "dng" / "rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng";
    EXPECT_EXIT(
        {
            platform::LogCapture log;
            const auto wrapper = rawWrapper::initWithFile(file.string(), file.string(), false);
            testsupport::AddressSpaceLimit little(1 << 20);
            const bool decoded = wrapper->masterImageBytes() != nullptr;
            little.lift();
            const auto error = wrapper->error();
            std::fprintf(stderr, "%s\n", error ? error->failureReason.c_str() : "none");
            std::_Exit(!decoded && log.contains("error 100005") ? 0 : 3);
        },
        ::testing::ExitedWithCode(0),
        "There is not enough memory to decode "
        "\"rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng\"\\.\n");
}

}  // namespace
