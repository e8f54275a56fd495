// The command line's whole job on the bundled 24-megapixel sample (open,
// decode, develop, render, encode, write), and its parts: the decode alone
// and the JPEG encode alone (in bands on every core, and in one piece on one
// core as libjpeg-turbo does it by itself). Develop and render are the
// remainder. Then the export's end on a 25-megapixel 16-bit rendering: the
// 8-bit packing alone, and packing fed band by band into the encoder.
// Run from the build folder (the sample is build/sample/QuorvexTestChart.dng).
#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

#include "BenchSample.h"
#include "document/BatchExport.h"
#include "document/DocumentExport.h"
#include "platform/JpegWriter.h"
#include "platform/Paths.h"
#include "raw/rawWrapper.h"
#include "support/JpegFile.h"

namespace {

namespace fs = std::filesystem;

void BM_WholeExport(benchmark::State& state) {
    const fs::path sample = benchSample();
    if (sample.empty()) return state.SkipWithError("no sample; build the quorvex target");
    const fs::path out = platform::temporaryDirectory() / "bench-export";
    fs::create_directories(out);
    BatchExport::Options options;
    options.files = {sample};
    options.exportLocation = out;
    options.silentlyOverwrite = true;
    for (auto _ : state) {
        auto error = BatchExport::run(options);
        if (error) return state.SkipWithError(error->failureReason.c_str());
    }
    state.counters["MP/s"] =
        benchmark::Counter(24.0, benchmark::Counter::kIsIterationInvariantRate);
    fs::remove_all(out);
}
BENCHMARK(BM_WholeExport)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_DecodeOnly(benchmark::State& state) {
    const fs::path sample = benchSample();
    if (sample.empty()) return state.SkipWithError("no sample; build the quorvex target");
    for (auto _ : state) {
        auto wrapper = rawWrapper::initWithFile(sample.string(), sample.string(), false);
        if (!wrapper || !wrapper->masterImageBytes()) return state.SkipWithError("decode failed");
    }
    state.counters["MP/s"] =
        benchmark::Counter(24.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_DecodeOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// libjpeg-turbo's own one-piece encode on the calling thread, for comparison.
bool encodeInOnePiece(const uint8_t* rgb, uint32_t w, uint32_t h, const fs::path& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, f);
    cinfo.image_width = w;
    cinfo.image_height = h;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 100, TRUE);
    // Full-resolution colour, as the writer stores it at this quality.
    for (int c = 0; c < cinfo.num_components; ++c)
        cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < h) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + size_t(cinfo.next_scanline) * w * 3);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return std::fclose(f) == 0;
}

// Encodes the developed sample itself (exported once, read back).
void BM_EncodeOnly(benchmark::State& state) {
    const fs::path sample = benchSample();
    if (sample.empty()) return state.SkipWithError("no sample; build the quorvex target");
    const fs::path out = platform::temporaryDirectory() / "bench-encode";
    fs::create_directories(out);
    BatchExport::Options options;
    options.files = {sample};
    options.exportLocation = out;
    options.silentlyOverwrite = true;
    if (BatchExport::run(options)) return state.SkipWithError("export failed");
    const fs::path developed = out / sample.filename().replace_extension("jpg");

    std::vector<uint8_t> rgb;
    uint32_t w = 0, h = 0;
    if (!testsupport::decodeJpegFile(developed, rgb, w, h))
        return state.SkipWithError("no developed file");

    const fs::path file = out / "encoded.jpg";
    const bool onePiece = state.range(0) == 0;
    for (auto _ : state) {
        if (onePiece ? !encodeInOnePiece(rgb.data(), w, h, file)
                     : !platform::writeJPEG(rgb.data(), w, h, 100, {}, {}, file.string()))
            return state.SkipWithError("encode failed");
    }
    state.counters["MP/s"] =
        benchmark::Counter(double(w) * h / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    fs::remove_all(out);
}
BENCHMARK(BM_EncodeOnly)
    ->ArgName("banded")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// A 25-megapixel opaque premultiplied 16-bit RGBA rendering with noise, as
// the output stage hands it over.
std::shared_ptr<const platform::BitmapImage> rendering() {
    constexpr size_t kW = 5824, kH = 4352;
    std::vector<uint8_t> bytes(kW * kH * 8);
    uint32_t seed = 1;
    for (size_t y = 0; y < kH; ++y) {
        for (size_t x = 0; x < kW; ++x) {
            uint8_t* p = &bytes[(y * kW + x) * 8];
            seed = seed * 1103515245u + 12345u;
            const uint32_t base = uint32_t(x * 65325 / kW), noise = (seed >> 20) & 1023;
            const uint16_t v[4] = {uint16_t(std::min<uint32_t>(base + noise, 65535)),
                                   uint16_t(y * 65325 / kH), uint16_t(noise * 4), 65535};
            for (int k = 0; k < 4; ++k) {
                p[2 * k] = uint8_t(v[k]);
                p[2 * k + 1] = uint8_t(v[k] >> 8);
            }
        }
    }
    return platform::BitmapImage::create(
        kW, kH, 16, 64, kW * 8,
        platform::kBitmapAlphaPremultipliedLast | platform::kBitmapByteOrder16Little, nullptr,
        platform::BitmapDataProvider::withData(std::move(bytes)));
}

// Packing alone, on one thread, into a buffer the size of one band's chunk.
void BM_EightBitRows(benchmark::State& state) {
    const auto image = rendering();
    constexpr size_t kRows = 16;
    std::vector<uint8_t> rgb(image->width() * kRows * 3);
    for (auto _ : state) {
        for (size_t y = 0; y < image->height(); y += kRows) {
            if (!DocumentExport::eightBitRows(*image, y, std::min(kRows, image->height() - y),
                                              rgb.data()))
                return state.SkipWithError("refused");
            benchmark::DoNotOptimize(rgb.data());
        }
    }
    state.counters["MP/s"] = benchmark::Counter(double(image->width()) * image->height() / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_EightBitRows)->Unit(benchmark::kMillisecond)->UseRealTime();

// Packing and encoding as the export does it: rows packed just before their
// band is compressed.
void BM_PackAndEncode(benchmark::State& state) {
    const auto image = rendering();
    const fs::path file = platform::temporaryDirectory() / "bench-pack-encode.jpg";
    const auto w = uint32_t(image->width()), h = uint32_t(image->height());
    for (auto _ : state) {
        std::FILE* f = std::fopen(file.c_str(), "wb");
        const bool ok = f && platform::writeJPEG(
                                 [&](uint32_t first, uint32_t count, uint8_t* out) {
                                     return DocumentExport::eightBitRows(*image, first, count, out);
                                 },
                                 w, h, 100, {}, {}, f);
        if (f) std::fclose(f);
        if (!ok) return state.SkipWithError("encode failed");
    }
    state.counters["MP/s"] =
        benchmark::Counter(double(w) * h / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    fs::remove(file);
}
BENCHMARK(BM_PackAndEncode)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
