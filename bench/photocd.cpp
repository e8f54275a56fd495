// The Photo CD decoder on a real 16Base pack (3072 x 2048): the parse with
// its Huffman residuals, postProcess (levels built up from Base) and the
// 16-bit colour output, each on 1 and 8 workers; the browser's Base/16
// thumbnail through the image source; and 64Base (6144 x 4096) from a
// generated extension folder. Reports seconds and megapixels per second.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "photocd/PcdPackWriter.h"
#include "photocd/PhotoCDImageSource.h"
#include "photocd/pcdDecode.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

std::string Pack() { return (testsupport::testdataDir() / "pcd" / "IMG0023.PCD").string(); }

void SetRate(benchmark::State& state, double pixels) {
    state.counters["MP/s"] =
        benchmark::Counter(pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

std::unique_ptr<pcdDecode> Parsed(const std::string& path, const std::string& index, int level,
                                  unsigned workers) {
    auto d = std::make_unique<pcdDecode>();
    d->setWorkerCount(workers);
    d->setInterpolation(2);
    d->setColorSpace(0);
    if (!d->parseFile(path.c_str(), index.c_str(), level) ||
        d->resolutionInUse() != unsigned(level))
        return nullptr;
    return d;
}

void Parse16Base(benchmark::State& state) {
    for (auto _ : state)
        if (!Parsed(Pack(), "", 4, unsigned(state.range(0)))) state.SkipWithError("parse failed");
    SetRate(state, 3072.0 * 2048);
}

void PostProcess16Base(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto d = Parsed(Pack(), "", 4, unsigned(state.range(0)));
        state.ResumeTiming();
        if (!d) {
            state.SkipWithError("parse failed");
            return;
        }
        d->postProcess();
        state.PauseTiming();
        d.reset();
        state.ResumeTiming();
    }
    SetRate(state, 3072.0 * 2048);
}

void ReadImage16At16Base(benchmark::State& state) {
    auto d = Parsed(Pack(), "", 4, unsigned(state.range(0)));
    if (!d) {
        state.SkipWithError("parse failed");
        return;
    }
    d->postProcess();
    std::vector<uint16_t> rgb(size_t(3072) * 2048 * 3);
    for (auto _ : state)
        if (!d->readImage16(&rgb[0], &rgb[1], &rgb[2], nullptr, 3)) state.SkipWithError("read");
    SetRate(state, 3072.0 * 2048);
}

void ThumbnailBase16(benchmark::State& state) {
    for (auto _ : state) {
        auto w = PhotoCDImageSource::initWithFile(Pack(), Pack(), true);
        if (!w->getImageRep(nullptr)) state.SkipWithError("no thumbnail");
    }
    SetRate(state, 192.0 * 128);
}

// A generated disc with a three-layer extension folder, made once.
struct GeneratedDisc {
    testsupport::ScratchDir scratch;
    fs::path image, index;
    GeneratedDisc() {
        pcdtest::Pack pack = pcdtest::makePack({});
        image = scratch.path() / "DISC" / "PHOTOS" / "IMG0001.PCD";
        pcdtest::writeFile(image, pack.bytes);
        pcdtest::ExtensionLayout layout;
        layout.layers = 3;
        index = pcdtest::writeExtension(pack, image, layout);
    }
};

void Decode64Base(benchmark::State& state) {
    static GeneratedDisc* disc = new GeneratedDisc;
    std::vector<uint16_t> rgb(size_t(6144) * 4096 * 3);
    for (auto _ : state) {
        auto d = Parsed(disc->image.string(), disc->index.string(), 5, unsigned(state.range(0)));
        if (!d) {
            state.SkipWithError("64Base parse failed");
            return;
        }
        d->postProcess();
        d->readImage16(&rgb[0], &rgb[1], &rgb[2], nullptr, 3);
    }
    SetRate(state, 6144.0 * 4096);
}

}  // namespace

BENCHMARK(Parse16Base)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PostProcess16Base)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadImage16At16Base)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ThumbnailBase16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Decode64Base)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
