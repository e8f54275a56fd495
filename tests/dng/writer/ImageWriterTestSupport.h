// Helpers for the image-writer tests: images filled with a deterministic
// pattern, exact comparison, writing a DNG or TIFF into memory and reading a
// DNG back through the project's reader.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dng/color/dng_camera_profile.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_negative_reader.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_simple_image.h"
#include "dng/writer/WriterTestSupport.h"
#include "dng/writer/dng_image_writer.h"
#include "support/TestSupport.h"

namespace writertest {

// A pseudo-random but reproducible sample for (row, col, plane).
inline uint32 PatternValue(uint32 seed, int32 row, int32 col, uint32 plane) {
    uint32 x = seed * 2654435761u ^ uint32(row) * 40503u ^ uint32(col) * 9973u ^ plane * 7919u;
    x ^= x >> 13;
    x *= 0x5bd1e995u;
    x ^= x >> 15;
    return x;
}

// Fills every sample; floats get values spread over [-2, 70000) with some
// tiny and some exact ones so the narrow float formats are exercised.
inline std::unique_ptr<dng_simple_image> MakePatternImage(uint32 width, uint32 height,
                                                          uint32 planes, uint32 pixelType,
                                                          uint32 seed = 1, uint32 maxValue = 0) {
    auto image = std::make_unique<dng_simple_image>(dng_rect(int32(height), int32(width)), planes,
                                                    pixelType, gDefaultDNGMemoryAllocator);
    const dng_pixel_buffer& b = image->Buffer();
    dng_pixel_buffer w = b;
    for (int32 r = 0; r < int32(height); r++) {
        for (int32 c = 0; c < int32(width); c++) {
            for (uint32 p = 0; p < planes; p++) {
                const uint32 v = PatternValue(seed, r, c, p);
                switch (pixelType) {
                    case ttByte:
                        *w.DirtyPixel_uint8(r, c, p) = uint8(maxValue ? v % (maxValue + 1) : v);
                        break;
                    case ttShort:
                        *w.DirtyPixel_uint16(r, c, p) = uint16(maxValue ? v % (maxValue + 1) : v);
                        break;
                    case ttLong:
                        *w.DirtyPixel_uint32(r, c, p) = v;
                        break;
                    default: {
                        float f = float(v % 1000000) / 1000000.0f;
                        if (v % 7 == 0) f *= 70000.0f;
                        if (v % 11 == 0) f = -f;
                        if (v % 13 == 0) f = 1.0e-6f * f;
                        *w.DirtyPixel_real32(r, c, p) = f;
                    }
                }
            }
        }
    }
    return image;
}

// Every sample of a's planes, read as pixelType (a's own type by default).
inline std::vector<uint8> ImageBytes(const dng_image& image, uint32 pixelType = 0) {
    if (pixelType == 0) pixelType = image.PixelType();
    const uint32 size = TiffTagTypeSize(pixelType);
    std::vector<uint8> bytes(size_t(image.Width()) * image.Height() * image.Planes() * size);
    dng_pixel_buffer buffer(image.Bounds(), 0, image.Planes(), pixelType, pcInterleaved,
                            bytes.data());
    image.Get(buffer);
    return bytes;
}

inline bool SameSamples(const dng_image& a, const dng_image& b) {
    return a.Bounds() == b.Bounds() && a.Planes() == b.Planes() && a.PixelType() == b.PixelType() &&
           ImageBytes(a) == ImageBytes(b);
}

// A one-matrix camera profile that the reader accepts.
inline std::unique_ptr<dng_camera_profile> TestProfile() {
    auto p = std::make_unique<dng_camera_profile>();
    p->SetName("Test Profile");
    dng_matrix m(3, 3);
    const double values[9] = {0.8, -0.2, -0.1, -0.3, 1.2, 0.1, -0.05, 0.2, 0.6};
    for (uint32 r = 0; r < 3; r++)
        for (uint32 c = 0; c < 3; c++) m[r][c] = values[3 * r + c];
    p->SetColorMatrix1(m);
    p->SetCalibrationIlluminant1(21);
    return p;
}

inline Bytes WriteDNG(dng_host& host, dng_negative& negative, bool uncompressed = false,
                      bool bigEndian = false, const class dng_preview_list* previews = nullptr,
                      uint32 maxBackward = dngVersion_1_4_0_0) {
    dng_memory_stream stream(host.Allocator());
    stream.SetBigEndian(bigEndian);
    dng_image_writer writer;
    writer.WriteDNGForNegative(host, stream, negative, previews, maxBackward, uncompressed);
    return StreamBytes(stream);
}

struct ReadBack {
    dng_image_host host;
    dng_info info;
    std::unique_ptr<dng_negative> negative;
};

inline std::unique_ptr<ReadBack> ReadDNG(const Bytes& bytes) {
    auto result = std::make_unique<ReadBack>();
    dng_stream stream(bytes.data(), uint32(bytes.size()));
    result->negative = ReadDNGNegative(result->host, stream, result->info, dng_read_depth::kStage1);
    return result;
}

// Two raw developers must turn each file into a JPEG; every run gets a
// private configuration folder, and all runs go in parallel (they are slow
// to start). A missing developer is a failure: scripts/deps.sh installs both.
inline void DevelopWithPeers(const testsupport::ScratchDir& scratch,
                             const std::vector<std::string>& dngs) {
    struct Run {
        std::string command, jpg;
        int rc = -1;
    };
    std::vector<Run> runs;
    for (size_t i = 0; i < dngs.size(); i++) {
        const std::string base = (scratch.path() / ("peer" + std::to_string(i))).string();
        std::filesystem::create_directories(base);
        if (ToolAvailable("darktable-cli")) {
            runs.push_back({"darktable-cli '" + dngs[i] + "' '" + base +
                                "/dt.jpg' --core --configdir '" + base +
                                "/dt' --library :memory: >/dev/null 2>&1",
                            base + "/dt.jpg"});
        }
        if (ToolAvailable("rawtherapee-cli")) {
            runs.push_back({"HOME='" + base + "' XDG_CONFIG_HOME='" + base +
                                "/rt' XDG_CACHE_HOME='" + base +
                                "/rtcache' rawtherapee-cli -q -Y -o '" + base + "/rt.jpg' -c '" +
                                dngs[i] + "' >/dev/null 2>&1",
                            base + "/rt.jpg"});
        }
    }
    if (!ToolAvailable("darktable-cli") || !ToolAvailable("rawtherapee-cli")) {
        ADD_FAILURE() << "darktable-cli and rawtherapee-cli are needed (scripts/deps.sh)";
    }
    std::vector<std::thread> threads;
    for (Run& run : runs)
        threads.emplace_back([&run] { run.rc = std::system(run.command.c_str()); });
    for (std::thread& t : threads) t.join();
    for (const Run& run : runs) {
        EXPECT_EQ(run.rc, 0) << run.command;
        EXPECT_TRUE(std::filesystem::exists(run.jpg) && std::filesystem::file_size(run.jpg) > 1000)
            << run.command;
    }
}

}  // namespace writertest
