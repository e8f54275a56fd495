// The command line's whole job on the bundled 24-megapixel sample (open,
// decode, develop, render, encode, write), and its parts: the decode alone
// and the JPEG encode alone. Develop and render are the remainder.
// Run from the build folder (the sample is build/sample/QuorvexTestChart.dng).
#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

#include "BenchSample.h"
#include "document/BatchExport.h"
#include "platform/JpegWriter.h"
#include "platform/Paths.h"
#include "raw/rawWrapper.h"

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

    FILE* f = std::fopen(developed.c_str(), "rb");
    if (!f) return state.SkipWithError("no developed file");
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const uint32_t w = cinfo.output_width, h = cinfo.output_height;
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    while (cinfo.output_scanline < h) {
        JSAMPROW row = rgb.data() + size_t(cinfo.output_scanline) * w * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);

    const fs::path file = out / "encoded.jpg";
    for (auto _ : state) {
        if (!platform::writeJPEG(rgb.data(), w, h, 100, {}, {}, file.string()))
            return state.SkipWithError("encode failed");
    }
    state.counters["MP/s"] =
        benchmark::Counter(double(w) * h / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    fs::remove_all(out);
}
BENCHMARK(BM_EncodeOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
