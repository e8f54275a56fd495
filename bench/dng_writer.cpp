// DNG writer throughput: a 24-megapixel three-plane 16-bit linear negative
// written as a DNG with lossless JPEG tiles (to memory and to a file) and
// uncompressed, on one and on all threads, and the tiled raw digest.
// Throughput counts the sample bytes of the raw image (144 MB).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <thread>

#include "dng/color/dng_camera_profile.h"
#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_simple_image.h"
#include "dng/writer/dng_image_writer.h"

namespace {

constexpr uint32 kWidth = 6000;
constexpr uint32 kHeight = 4000;
constexpr uint32 kPlanes = 3;

uint32 AllThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

std::unique_ptr<dng_negative> MakeNegative(dng_host& host) {
    auto image = std::make_unique<dng_simple_image>(dng_rect(kHeight, kWidth), kPlanes, ttShort,
                                                    gDefaultDNGMemoryAllocator);
    dng_pixel_buffer b = image->Buffer();
    std::mt19937 rng(1);
    for (uint32 y = 0; y < kHeight; y++) {
        uint16* row = b.DirtyPixel_uint16(int32(y), 0);
        for (uint32 x = 0; x < kWidth * kPlanes; x++) {
            row[x] = uint16((x * 5 + y * 3) % 40000 + 1000 + rng() % 128);
        }
    }
    auto negative = dng_negative::Make(host);
    negative->SetModelName("Bench Camera");
    negative->SetColorChannels(3);
    negative->SetWhiteLevel(65535);
    negative->SetDefaultCropSize(dng_urational(kWidth, 1), dng_urational(kHeight, 1));
    auto profile = std::make_unique<dng_camera_profile>();
    dng_matrix m(3, 3);
    m.SetIdentity(3);
    profile->SetColorMatrix1(m);
    profile->SetCalibrationIlluminant1(21);
    negative->AddProfile(std::move(profile));
    negative->SetStage1Image(std::move(image));
    return negative;
}

dng_negative& Negative(dng_host& host) {
    static std::unique_ptr<dng_negative> negative = MakeNegative(host);
    return *negative;
}

void SetBytes(benchmark::State& state) {
    state.SetBytesProcessed(int64_t(state.iterations()) * kWidth * kHeight * kPlanes * 2);
    state.counters["MP/s"] = benchmark::Counter(double(state.iterations()) * kWidth * kHeight / 1e6,
                                                benchmark::Counter::kIsRate);
}

void WriteDNG(benchmark::State& state, bool toFile, bool uncompressed) {
    static dng_image_host staticHost;
    dng_negative& negative = Negative(staticHost);
    dng_image_host host;
    host.SetAreaTaskThreadCount(uint32(state.range(0)));
    const std::string path =
        (std::filesystem::temp_directory_path() / "quorvex_bench_writer.dng").string();
    for (auto _ : state) {
        // The digests are part of every write.
        negative.ClearRawImageDigest();
        negative.SetRawDataUniqueID(dng_fingerprint());
        dng_image_writer writer;
        if (toFile) {
            dng_file_stream stream(path.c_str(), true);
            writer.WriteDNGForNegative(host, stream, negative, nullptr, dngVersion_1_4_0_0,
                                       uncompressed);
        } else {
            dng_memory_stream stream(host.Allocator());
            writer.WriteDNGForNegative(host, stream, negative, nullptr, dngVersion_1_4_0_0,
                                       uncompressed);
            benchmark::DoNotOptimize(stream.Length());
        }
    }
    if (toFile) std::filesystem::remove(path);
    SetBytes(state);
}

void BM_WriteDNG_LosslessJPEG_Memory(benchmark::State& state) { WriteDNG(state, false, false); }
void BM_WriteDNG_LosslessJPEG_File(benchmark::State& state) { WriteDNG(state, true, false); }
void BM_WriteDNG_Uncompressed_File(benchmark::State& state) { WriteDNG(state, true, true); }

void BM_NewRawImageDigest(benchmark::State& state) {
    static dng_image_host staticHost;
    dng_negative& negative = Negative(staticHost);
    dng_image_host host;
    host.SetAreaTaskThreadCount(uint32(state.range(0)));
    for (auto _ : state) {
        negative.ClearRawImageDigest();
        negative.FindNewRawImageDigest(host);
    }
    SetBytes(state);
}

}  // namespace

BENCHMARK(BM_WriteDNG_LosslessJPEG_Memory)
    ->Arg(1)
    ->Arg(AllThreads())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_WriteDNG_LosslessJPEG_File)
    ->Arg(1)
    ->Arg(AllThreads())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_WriteDNG_Uncompressed_File)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_NewRawImageDigest)
    ->Arg(1)
    ->Arg(AllThreads())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
