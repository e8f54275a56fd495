// Browser thumbnails of the test DNGs that decode: the raw provider's
// thumbnail-mode decode, fit to 128 and conversion to 8-bit sRGB, one file
// after another as the thumbnail queue makes them (thumbnails per second).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <vector>

#include "document/RawThumbnailProvider.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

void BM_RawThumbnails(benchmark::State& state) {
    RawThumbnailProvider provider;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(testsupport::testdataDir() / "raw/dng"))
        if (provider.thumbnailForFile(entry.path(), {128, 128}, false))
            files.push_back(entry.path());
    if (files.empty()) return state.SkipWithError("no decodable test DNG");
    for (auto _ : state)
        for (const auto& file : files)
            benchmark::DoNotOptimize(provider.thumbnailForFile(file, {128, 128}, false));
    state.counters["thumbnails/s"] =
        benchmark::Counter(double(files.size()), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["files"] = double(files.size());
}
BENCHMARK(BM_RawThumbnails)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
