// Codec and reader throughput: the raw data of the largest real DNG this
// system decodes, a 24-megapixel lossless JPEG image in 256 x 256 tiles read
// on one and on all threads, and lossless JPEG encode/decode of a 24 MP plane.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_lossless_jpeg.h"
#include "dng/image/dng_read_image.h"
#include "dng/image/dng_simple_image.h"
#include "support/TestSupport.h"

namespace {

constexpr uint32_t kWidth = 6000;
constexpr uint32_t kHeight = 4000;

uint32_t AllThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

std::filesystem::path TestData() { return testsupport::testdataDir(); }

// A 14-bit sensor-like plane: smooth gradients with noise.
const std::vector<uint16_t>& Plane() {
    static const std::vector<uint16_t> plane = [] {
        std::vector<uint16_t> p(size_t(kWidth) * kHeight);
        std::mt19937 rng(1);
        for (uint32_t y = 0; y < kHeight; ++y) {
            for (uint32_t x = 0; x < kWidth; ++x) {
                p[size_t(y) * kWidth + x] = uint16_t((x * 7 + y * 3) % 12000 + 600 + rng() % 64);
            }
        }
        return p;
    }();
    return plane;
}

std::vector<uint8_t> StreamBytes(dng_memory_stream& s) {
    s.Flush();
    auto block = s.CopyToMemoryBlock(gDefaultDNGMemoryAllocator);
    return std::vector<uint8_t>(block->Buffer_uint8(),
                                block->Buffer_uint8() + block->LogicalSize());
}

class NullSpooler : public dng_spooler {
public:
    void Spool(const void*, uint32_t count) override { bytes += count; }
    uint64_t bytes = 0;
};

void BM_LosslessJpegEncode24MP(benchmark::State& state) {
    const auto& plane = Plane();
    for (auto _ : state) {
        dng_memory_stream s(gDefaultDNGMemoryAllocator);
        dng_ljpeg_encode(plane.data(), kHeight, kWidth, 1, 14, int32_t(kWidth), 1, s);
        benchmark::DoNotOptimize(s.Length());
    }
    state.counters["MP/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_LosslessJpegEncode24MP)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LosslessJpegDecode24MP(benchmark::State& state) {
    dng_memory_stream s(gDefaultDNGMemoryAllocator);
    dng_ljpeg_encode(Plane().data(), kHeight, kWidth, 1, 14, int32_t(kWidth), 1, s);
    const auto bytes = StreamBytes(s);
    for (auto _ : state) {
        dng_stream in(bytes.data(), uint32_t(bytes.size()));
        NullSpooler spooler;
        dng_ljpeg_decode(in, spooler, 0, ~uint64_t(0), false, bytes.size());
        benchmark::DoNotOptimize(spooler.bytes);
    }
    state.counters["MP/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_LosslessJpegDecode24MP)->Unit(benchmark::kMillisecond)->UseRealTime();

// The 24 MP plane as a tiled lossless JPEG "file" and its directory.
struct TiledFile {
    std::vector<uint8_t> bytes;
    dng_ifd ifd;
};

const TiledFile& Tiled() {
    static const TiledFile file = [] {
        TiledFile f;
        dng_ifd& ifd = f.ifd;
        ifd.fImageWidth = kWidth;
        ifd.fImageLength = kHeight;
        ifd.fBitsPerSample[0] = 14;
        ifd.fCompression = ccJPEG;
        ifd.fUsesTiles = true;
        ifd.fTileWidth = ifd.fTileLength = 256;
        const uint32_t across = ifd.TilesAcross(), down = ifd.TilesDown();
        std::vector<uint64_t> offsets;
        std::vector<uint32_t> counts;
        std::vector<uint16_t> tile(256 * 256);
        const auto& plane = Plane();
        for (uint32_t ty = 0; ty < down; ++ty) {
            for (uint32_t tx = 0; tx < across; ++tx) {
                for (uint32_t r = 0; r < 256; ++r) {
                    for (uint32_t c = 0; c < 256; ++c) {
                        const uint32_t y = std::min(ty * 256 + r, kHeight - 1);
                        const uint32_t x = std::min(tx * 256 + c, kWidth - 1);
                        tile[r * 256 + c] = plane[size_t(y) * kWidth + x];
                    }
                }
                dng_memory_stream s(gDefaultDNGMemoryAllocator);
                dng_ljpeg_encode(tile.data(), 256, 256, 1, 14, 256, 1, s);
                const auto coded = StreamBytes(s);
                offsets.push_back(f.bytes.size());
                counts.push_back(uint32_t(coded.size()));
                f.bytes.insert(f.bytes.end(), coded.begin(), coded.end());
            }
        }
        ifd.fTileOffsetsCount = ifd.fTileByteCountsCount = uint32_t(offsets.size());
        ifd.fTileOffsetsType = ifd.fTileByteCountsType = ttLong;
        ifd.fTileOffsetsOffset = f.bytes.size();
        for (uint64_t o : offsets) {
            for (int b = 0; b < 4; ++b) f.bytes.push_back(uint8_t(o >> (8 * b)));
        }
        ifd.fTileByteCountsOffset = f.bytes.size();
        for (uint32_t c : counts) {
            for (int b = 0; b < 4; ++b) f.bytes.push_back(uint8_t(c >> (8 * b)));
        }
        return f;
    }();
    return file;
}

void BM_ReadTiledLosslessJpeg24MP(benchmark::State& state) {
    const TiledFile& f = Tiled();
    dng_simple_image image(dng_rect(kHeight, kWidth), 1, ttShort, gDefaultDNGMemoryAllocator);
    for (auto _ : state) {
        dng_host host;
        host.SetAreaTaskThreadCount(uint32_t(state.range(0)));
        dng_stream stream(f.bytes.data(), uint32_t(f.bytes.size()));
        dng_read_image reader;
        reader.Read(host, f.ifd, stream, image, nullptr, nullptr);
    }
    state.counters["MP/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReadTiledLosslessJpeg24MP)
    ->Arg(1)
    ->Arg(AllThreads())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The largest real DNG that this system decodes: 1920 x 1200, 10-bit packed,
// one uncompressed tile at offset 760 (tiffdump). Uncompressed data is read
// serially whatever the thread count.
void BM_ReadRealDng1920x1200(benchmark::State& state) {
    const auto path = TestData() / "raw" / "dng" / "rpi-1920x1200_10bit-packed_single-tile.dng";
    if (!std::filesystem::exists(path)) {
        state.SkipWithError("test data not found (set QUORVEX_TESTDATA)");
        return;
    }
    dng_ifd ifd;
    ifd.fImageWidth = 1920;
    ifd.fImageLength = 1200;
    ifd.fBitsPerSample[0] = 10;
    ifd.fUsesTiles = true;
    ifd.fTileWidth = 1920;
    ifd.fTileLength = 1200;
    ifd.fTileOffsetsCount = 1;
    ifd.fTileOffset[0] = 760;
    dng_simple_image image(dng_rect(1200u, 1920u), 1, ttShort, gDefaultDNGMemoryAllocator);
    for (auto _ : state) {
        dng_host host;
        host.SetAreaTaskThreadCount(uint32_t(state.range(0)));
        dng_file_stream stream(path.c_str());
        dng_read_image reader;
        reader.Read(host, ifd, stream, image, nullptr, nullptr);
    }
    state.counters["MP/s"] =
        benchmark::Counter(1920.0 * 1200 / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReadRealDng1920x1200)
    ->Arg(1)
    ->Arg(AllThreads())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
