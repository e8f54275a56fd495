// Writes the synthetic test chart (raw/TestChart.h) as a Bayer CFA DNG,
// uncompressed or lossless JPEG: the RGGB mosaic with its black and white
// levels, as-shot neutral, colour matrix, calibration illuminant, orientation
// and default crop, and an EXIF directory with a plausible, fixed exposure so
// that developed copies carry one and the file is the same on every run.
//
//   make_test_chart [--size WxH] [--compression none|ljpeg] [--tiles [N]]
//                   [--orientation 1..8] --output FILE.dng
//
// Strips by default; --tiles writes N×N tiles (N a multiple of 16). Without N
// the tile is the largest multiple of 16 from 128 to 512 that divides both
// sides, so that no tile needs padding (256 when none does). Lossless JPEG
// always writes tiles, each one stream of two components at half the tile
// width (one pair of CFA columns per JPEG sample). Exit status 0 on success,
// 1 when writing fails, 2 on bad options.

// libtiff's old integer typedefs clash with the DNG library's own.
#define TIFF_DISABLE_DEPRECATED
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "TiffNumbers.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/image/dng_lossless_jpeg.h"
#include "raw/TestChart.h"

namespace {

using tifftags::SetTiffNumbers;

constexpr uint16_t kBlackLevel = 512;
constexpr uint16_t kWhiteLevel = 16383;  // 14-bit data in 16-bit samples
constexpr uint32_t kSampleBits = 14;
constexpr uint16_t kCompressionLosslessJpeg = 7;
constexpr uint32_t kCropMargin = 8;
constexpr uint16_t kIlluminantD65 = 21;
constexpr const char* kShotDate = "2024:06:01 12:00:00";

// DNG tags this tool writes, for libtiff builds that do not know them.
const TIFFFieldInfo kDngFields[] = {
    {TIFFTAG_CFAREPEATPATTERNDIM, 2, 2, TIFF_SHORT, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("CFARepeatPatternDim")},
    {TIFFTAG_CFAPATTERN, -1, -1, TIFF_BYTE, FIELD_CUSTOM, 1, 1, const_cast<char*>("CFAPattern")},
    {TIFFTAG_DNGVERSION, 4, 4, TIFF_BYTE, FIELD_CUSTOM, 1, 0, const_cast<char*>("DNGVersion")},
    {TIFFTAG_DNGBACKWARDVERSION, 4, 4, TIFF_BYTE, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("DNGBackwardVersion")},
    {TIFFTAG_UNIQUECAMERAMODEL, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("UniqueCameraModel")},
    {TIFFTAG_CFAPLANECOLOR, -1, -1, TIFF_BYTE, FIELD_CUSTOM, 1, 1,
     const_cast<char*>("CFAPlaneColor")},
    {TIFFTAG_CFALAYOUT, 1, 1, TIFF_SHORT, FIELD_CUSTOM, 1, 0, const_cast<char*>("CFALayout")},
    {TIFFTAG_BLACKLEVELREPEATDIM, 2, 2, TIFF_SHORT, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("BlackLevelRepeatDim")},
    {TIFFTAG_BLACKLEVEL, -1, -1, TIFF_RATIONAL, FIELD_CUSTOM, 1, 1,
     const_cast<char*>("BlackLevel")},
    {TIFFTAG_WHITELEVEL, -1, -1, TIFF_LONG, FIELD_CUSTOM, 1, 1, const_cast<char*>("WhiteLevel")},
    {TIFFTAG_DEFAULTSCALE, 2, 2, TIFF_RATIONAL, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("DefaultScale")},
    {TIFFTAG_DEFAULTCROPORIGIN, 2, 2, TIFF_RATIONAL, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("DefaultCropOrigin")},
    {TIFFTAG_DEFAULTCROPSIZE, 2, 2, TIFF_RATIONAL, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("DefaultCropSize")},
    {TIFFTAG_COLORMATRIX1, -1, -1, TIFF_SRATIONAL, FIELD_CUSTOM, 1, 1,
     const_cast<char*>("ColorMatrix1")},
    {TIFFTAG_ASSHOTNEUTRAL, -1, -1, TIFF_RATIONAL, FIELD_CUSTOM, 1, 1,
     const_cast<char*>("AsShotNeutral")},
    {TIFFTAG_BASELINEEXPOSURE, 1, 1, TIFF_SRATIONAL, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("BaselineExposure")},
    {TIFFTAG_CALIBRATIONILLUMINANT1, 1, 1, TIFF_SHORT, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("CalibrationIlluminant1")},
};

TIFFExtendProc gParentExtender = nullptr;

void ExtendWithDngTags(TIFF* tif) {
    for (const TIFFFieldInfo& info : kDngFields)
        if (!TIFFFindField(tif, info.field_tag, TIFF_ANY)) TIFFMergeFieldInfo(tif, &info, 1);
    if (gParentExtender) gParentExtender(tif);
}

struct Options {
    uint32_t width = 6000;
    uint32_t height = 4000;
    bool tiles = false;
    bool ljpeg = false;
    uint32_t tileSize = 0;  // 0: chosen from the size
    uint16_t orientation = 1;
    std::string output;
};

int Usage(const char* message) {
    std::fprintf(stderr,
                 "make_test_chart: %s\n"
                 "usage: make_test_chart [--size WxH] [--compression none|ljpeg] [--tiles [N]]\n"
                 "                       [--orientation 1..8] --output FILE.dng\n",
                 message);
    return 2;
}

bool ParseUnsigned(std::string_view text, uint32_t& out) {
    if (text.empty() || text.size() > 9) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    out = v;
    return true;
}

// Returns 0 when the options parse, else the exit status.
int ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--size" && hasValue) {
            const std::string_view v = argv[++i];
            const size_t x = v.find('x');
            if (x == std::string_view::npos || !ParseUnsigned(v.substr(0, x), o.width) ||
                !ParseUnsigned(v.substr(x + 1), o.height))
                return Usage("--size takes WIDTHxHEIGHT");
        } else if (arg == "--compression" && hasValue) {
            const std::string_view v = argv[++i];
            if (v != "none" && v != "ljpeg") return Usage("unknown compression (none or ljpeg)");
            o.ljpeg = v == "ljpeg";
        } else if (arg == "--tiles") {
            o.tiles = true;
            if (hasValue && argv[i + 1][0] != '-') {
                if (!ParseUnsigned(argv[++i], o.tileSize) || o.tileSize == 0 ||
                    o.tileSize % 16 != 0 || o.tileSize > 4096)
                    return Usage("--tiles takes a multiple of 16 up to 4096");
            }
        } else if (arg == "--orientation" && hasValue) {
            uint32_t v = 0;
            if (!ParseUnsigned(argv[++i], v) || v < 1 || v > 8)
                return Usage("--orientation takes 1 to 8");
            o.orientation = static_cast<uint16_t>(v);
        } else if (arg == "--output" && hasValue) {
            o.output = argv[++i];
        } else {
            return Usage(("unknown or incomplete option " + std::string(arg)).c_str());
        }
    }
    if (o.ljpeg) o.tiles = true;
    if (o.tiles && o.tileSize == 0) {
        o.tileSize = 256;
        for (uint32_t n = 512; n >= 128; n -= 16) {
            if (o.width % n == 0 && o.height % n == 0) {
                o.tileSize = n;
                break;
            }
        }
    }
    if (o.output.empty()) return Usage("--output is required");
    if (o.width < TestChart::kMinWidth || o.height < TestChart::kMinHeight || o.width > 65535 ||
        o.height > 65535)
        return Usage("size must be between 120x80 and 65535x65535");
    return 0;
}

bool WriteTags(TIFF* tif, const Options& o) {
    bool ok = true;
    ok &= TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, o.width) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_IMAGELENGTH, o.height) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_COMPRESSION,
                       o.ljpeg ? kCompressionLosslessJpeg : COMPRESSION_NONE) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_ORIENTATION, o.orientation) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_XRESOLUTION, 300.0) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_YRESOLUTION, 300.0) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_MAKE, "Quorvex") == 1;
    ok &= TIFFSetField(tif, TIFFTAG_MODEL, "Test Chart") == 1;
    ok &= TIFFSetField(tif, TIFFTAG_SOFTWARE, "Quorvex make_test_chart") == 1;
    ok &= TIFFSetField(tif, TIFFTAG_DATETIME, kShotDate) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Quorvex Test Chart") == 1;
    if (o.tiles) {
        ok &= TIFFSetField(tif, TIFFTAG_TILEWIDTH, o.tileSize) == 1;
        ok &= TIFFSetField(tif, TIFFTAG_TILELENGTH, o.tileSize) == 1;
    } else {
        const uint32_t rows = std::max<uint32_t>(1, 262144 / (o.width * 2));
        ok &= TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, std::min(rows, o.height)) == 1;
    }

    const std::array<double, 9>& matrix = TestChart::colorMatrix();
    const std::array<double, 3> neutral = TestChart::asShotNeutral();
    ok &= SetTiffNumbers(tif, TIFFTAG_DNGVERSION, {1, 4, 0, 0});
    ok &= SetTiffNumbers(tif, TIFFTAG_DNGBACKWARDVERSION, {1, 1, 0, 0});
    ok &= SetTiffNumbers(tif, TIFFTAG_CFAREPEATPATTERNDIM, {2, 2});
    ok &= SetTiffNumbers(tif, TIFFTAG_CFAPATTERN, {0, 1, 1, 2});  // RGGB
    ok &= SetTiffNumbers(tif, TIFFTAG_CFAPLANECOLOR, {0, 1, 2});
    ok &= SetTiffNumbers(tif, TIFFTAG_CFALAYOUT, {1});
    ok &= SetTiffNumbers(tif, TIFFTAG_BLACKLEVELREPEATDIM, {1, 1});
    ok &= SetTiffNumbers(tif, TIFFTAG_BLACKLEVEL, {kBlackLevel});
    ok &= SetTiffNumbers(tif, TIFFTAG_WHITELEVEL, {kWhiteLevel});
    ok &= SetTiffNumbers(tif, TIFFTAG_DEFAULTSCALE, {1, 1});
    ok &= SetTiffNumbers(tif, TIFFTAG_DEFAULTCROPORIGIN, {kCropMargin, kCropMargin});
    ok &= SetTiffNumbers(tif, TIFFTAG_DEFAULTCROPSIZE,
                         {double(o.width - 2 * kCropMargin), double(o.height - 2 * kCropMargin)});
    ok &= SetTiffNumbers(tif, TIFFTAG_COLORMATRIX1, {matrix.begin(), matrix.end()});
    ok &= SetTiffNumbers(tif, TIFFTAG_CALIBRATIONILLUMINANT1, {kIlluminantD65});
    ok &= SetTiffNumbers(tif, TIFFTAG_ASSHOTNEUTRAL, {neutral.begin(), neutral.end()});
    ok &= SetTiffNumbers(tif, TIFFTAG_BASELINEEXPOSURE, {0.0});
    return ok;
}

// The EXIF rationals, as a camera would store them.
struct ExifRational {
    uint32_t tag, numerator, denominator;
};
constexpr ExifRational kExifRationals[] = {
    {EXIFTAG_EXPOSURETIME, 1, 125},
    {EXIFTAG_FNUMBER, 56, 10},
    {EXIFTAG_FOCALLENGTH, 50, 1},
};

// Writes the EXIF directory as the file's first bytes after the header and
// returns its offset in `offset`. libtiff writes a custom directory from the
// current one, so this has to come before the main directory is set up.
bool WriteExifDirectory(TIFF* tif, uint64_t& offset) {
    if (TIFFCreateEXIFDirectory(tif) != 0) return false;
    bool ok = true;
    for (const ExifRational& r : kExifRationals)
        ok &= SetTiffNumbers(tif, r.tag, {double(r.numerator) / r.denominator});
    ok &= SetTiffNumbers(tif, EXIFTAG_ISOSPEEDRATINGS, {100});
    ok &= TIFFSetField(tif, EXIFTAG_EXIFVERSION, "0232") == 1;
    ok &= TIFFSetField(tif, EXIFTAG_DATETIMEORIGINAL, kShotDate) == 1;
    ok &= TIFFWriteCustomDirectory(tif, &offset) == 1;
    // Back to an ordinary image directory for the main IFD; creating one does
    // not free the EXIF values.
    TIFFFreeDirectory(tif);
    ok &= TIFFCreateDirectory(tif) == 0;
    return ok;
}

// libtiff keeps EXIF rationals as floats and writes 1/125 as
// 8589935/1073741824, which readers then take for 1/124.99999; the exact
// fractions are put back into the little-endian file once it is closed.
bool WriteExactExifRationals(const std::string& path, uint64_t ifd) {
    const std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "r+b"), std::fclose);
    if (!f) return false;
    auto read = [&](uint64_t at, size_t n, uint32_t& v) {
        uint8_t b[4] = {};
        if (std::fseek(f.get(), static_cast<long>(at), SEEK_SET) != 0 ||
            std::fread(b, 1, n, f.get()) != n)
            return false;
        v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        return true;
    };
    auto write = [&](uint64_t at, uint32_t v) {
        const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        return std::fseek(f.get(), static_cast<long>(at), SEEK_SET) == 0 &&
               std::fwrite(b, 1, 4, f.get()) == 4;
    };
    uint32_t count = 0;
    if (!read(ifd, 2, count)) return false;
    size_t fixed = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t entry = ifd + 2 + 12 * uint64_t(i);
        uint32_t tag = 0, type = 0, n = 0, at = 0;
        if (!read(entry, 2, tag) || !read(entry + 2, 2, type) || !read(entry + 4, 4, n) ||
            !read(entry + 8, 4, at))
            return false;
        for (const ExifRational& r : kExifRationals) {
            if (r.tag != tag) continue;
            if (type != TIFF_RATIONAL || n != 1 || !write(at, r.numerator) ||
                !write(at + 4, r.denominator))
                return false;
            ++fixed;
        }
    }
    return fixed == std::size(kExifRationals);
}

// libtiff has no lossless JPEG codec: the tile is encoded here and handed
// over as raw tile data.
bool WriteLosslessJpegTile(TIFF* tif, ttile_t index, const uint16_t* tile, uint32_t n) {
    try {
        dng_memory_stream stream(gDefaultDNGMemoryAllocator);
        dng_ljpeg_encode(tile, n, n / 2, 2, kSampleBits, static_cast<int32_t>(n), 2, stream);
        stream.Flush();
        const std::unique_ptr<dng_memory_block> block =
            stream.CopyToMemoryBlock(gDefaultDNGMemoryAllocator);
        return TIFFWriteRawTile(tif, index, block->Buffer(),
                                static_cast<tmsize_t>(block->LogicalSize())) >= 0;
    } catch (const dng_exception& e) {
        std::fprintf(stderr, "make_test_chart: lossless JPEG encoding failed (error %d)\n",
                     static_cast<int>(e.ErrorCode()));
        return false;
    }
}

bool WritePixels(TIFF* tif, const Options& o, const std::vector<uint16_t>& mosaic) {
    if (!o.tiles) {
        for (tstrip_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
            uint32_t rows = 0;
            TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &rows);
            const uint32_t first = s * rows;
            const uint32_t count = std::min(rows, o.height - first);
            const tmsize_t bytes = static_cast<tmsize_t>(count) * o.width * 2;
            if (TIFFWriteEncodedStrip(
                    tif, s, const_cast<uint16_t*>(mosaic.data()) + size_t(first) * o.width, bytes) <
                0)
                return false;
        }
        return true;
    }
    const uint32_t n = o.tileSize;
    std::vector<uint16_t> tile(size_t(n) * n);
    for (uint32_t ty = 0; ty < o.height; ty += n) {
        for (uint32_t tx = 0; tx < o.width; tx += n) {
            std::fill(tile.begin(), tile.end(), 0);
            const uint32_t w = std::min(n, o.width - tx);
            const uint32_t h = std::min(n, o.height - ty);
            for (uint32_t y = 0; y < h; ++y)
                std::memcpy(&tile[size_t(y) * n], &mosaic[size_t(ty + y) * o.width + tx],
                            size_t(w) * 2);
            const ttile_t index = TIFFComputeTile(tif, tx, ty, 0, 0);
            if (o.ljpeg ? !WriteLosslessJpegTile(tif, index, tile.data(), n)
                        : TIFFWriteEncodedTile(tif, index, tile.data(),
                                               static_cast<tmsize_t>(tile.size() * 2)) < 0)
                return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int status = ParseOptions(argc, argv, o)) return status;

    const TestChart chart(o.width, o.height);
    std::vector<uint16_t> mosaic(size_t(o.width) * o.height);
    chart.renderMosaic(kBlackLevel, kWhiteLevel, mosaic.data(), o.width);

    gParentExtender = TIFFSetTagExtender(ExtendWithDngTags);
    TIFF* tif = TIFFOpen(o.output.c_str(), "wl");
    if (!tif) {
        std::fprintf(stderr, "make_test_chart: cannot create %s\n", o.output.c_str());
        return 1;
    }
    uint64_t exifOffset = 0;
    const bool ok = WriteExifDirectory(tif, exifOffset) && WriteTags(tif, o) &&
                    TIFFSetField(tif, TIFFTAG_EXIFIFD, exifOffset) == 1 &&
                    WritePixels(tif, o, mosaic) && TIFFWriteDirectory(tif);
    TIFFClose(tif);
    if (!ok || !WriteExactExifRationals(o.output, exifOffset)) {
        std::fprintf(stderr, "make_test_chart: writing %s failed\n", o.output.c_str());
        std::remove(o.output.c_str());
        return 1;
    }
    std::printf("%s: %ux%u RGGB, black %u, white %u, %s\n", o.output.c_str(), o.width, o.height,
                kBlackLevel, kWhiteLevel,
                o.ljpeg   ? "lossless JPEG tiles"
                : o.tiles ? "tiles"
                          : "strips");
    return 0;
}
