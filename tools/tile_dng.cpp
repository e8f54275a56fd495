// tile_dng: writes a DNG whose raw image is the input's repeated N × N times,
// with the input's metadata, colour and mosaic layout, for benchmarks that
// need a large real-sensor file.
//
// Usage: tile_dng --tiles N --input IN.dng --output OUT.dng
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_file_stream.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_negative_reader.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_simple_image.h"
#include "dng/writer/dng_image_writer.h"

namespace {

int Usage(const char* message) {
    if (message) std::fprintf(stderr, "tile_dng: %s\n", message);
    std::fprintf(stderr, "usage: tile_dng --tiles N --input IN.dng --output OUT.dng\n");
    return 2;
}

// The raw image repeated n × n; n is small and the sizes come from a file our
// reader accepted, so the products stay far below the 32-bit limits.
std::unique_ptr<dng_image> Tiled(const dng_image& raw, uint32_t n, dng_memory_allocator& memory) {
    const dng_rect b = raw.Bounds();
    const int32_t w = b.W(), h = b.H();
    auto out = std::make_unique<dng_simple_image>(dng_rect(h * int32_t(n), w * int32_t(n)),
                                                  raw.Planes(), raw.PixelType(), memory);
    const uint32_t sampleBytes = raw.PixelSize();
    std::vector<uint8_t> bytes(size_t(w) * h * raw.Planes() * sampleBytes);
    dng_pixel_buffer src(b, 0, raw.Planes(), raw.PixelType(), pcInterleaved, bytes.data());
    raw.Get(src);
    for (uint32_t ty = 0; ty < n; ++ty)
        for (uint32_t tx = 0; tx < n; ++tx) {
            const dng_rect area(int32_t(ty) * h, int32_t(tx) * w, int32_t(ty + 1) * h,
                                int32_t(tx + 1) * w);
            dng_pixel_buffer dst(area, 0, raw.Planes(), raw.PixelType(), pcInterleaved,
                                 bytes.data());
            out->Put(dst);
        }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t tiles = 4;
    std::string input, output;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(argv[i], "--tiles") && hasValue) {
            tiles = uint32_t(std::strtoul(argv[++i], nullptr, 10));
        } else if (!std::strcmp(argv[i], "--input") && hasValue) {
            input = argv[++i];
        } else if (!std::strcmp(argv[i], "--output") && hasValue) {
            output = argv[++i];
        } else {
            return Usage("unknown or incomplete option");
        }
    }
    if (input.empty() || output.empty()) return Usage("--input and --output are needed");
    if (tiles < 1 || tiles > 8) return Usage("--tiles must be 1 to 8");
    try {
        dng_image_host host;
        dng_info info;
        dng_file_stream in(input.c_str());
        auto negative = ReadDNGNegative(host, in, info, dng_read_depth::kStage1);
        const dng_image* raw = negative->Stage1Image();
        if (!raw) throw dng_exception(dng_error_bad_format, "no raw image");
        const dng_rect old = raw->Bounds();
        negative->SetStage1Image(Tiled(*raw, tiles, host.Allocator()));
        // The active area and crop grow with the mosaic; the margins of the
        // original stay only at the outer edges.
        if (negative->GetLinearizationInfo()) {
            const dng_rect a = negative->GetLinearizationInfo()->fActiveArea;
            if (a.NotEmpty())
                negative->SetActiveArea(dng_rect(a.t, a.l, a.b + (int32_t(tiles) - 1) * old.H(),
                                                 a.r + (int32_t(tiles) - 1) * old.W()));
        }
        auto times = [tiles](dng_urational r) { return dng_urational(r.n * tiles, r.d); };
        negative->SetDefaultCropSize(times(negative->DefaultCropSizeH()),
                                     times(negative->DefaultCropSizeV()));
        negative->SetDefaultOriginalSizes();
        negative->ClearRawImageDigest();
        dng_file_stream out(output.c_str(), true);
        dng_image_writer writer;
        writer.WriteDNGForNegative(host, out, *negative, nullptr);
        out.Flush();
    } catch (const dng_exception& e) {
        std::fprintf(stderr, "tile_dng: %s (error %d)\n", e.Message(), int(e.ErrorCode()));
        std::remove(output.c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tile_dng: %s\n", e.what());
        std::remove(output.c_str());
        return 1;
    }
    return 0;
}
