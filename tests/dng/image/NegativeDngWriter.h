// Writes small DNG files with libtiff for the negative and parser tests and
// the benchmark: a CFA or linear-raw image with the DNG tags the negative
// reads, so that a read can be compared with what was written.
#pragma once

#define TIFF_DISABLE_DEPRECATED
#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "TiffNumbers.h"

namespace negtest {

struct DngSpec {
    uint32_t width = 64;
    uint32_t height = 48;
    uint16_t samples = 1;  // 1: CFA, 3: linear raw
    uint16_t bits = 16;
    uint32_t tile = 0;  // 0: strips of 16 rows
    bool bigEndian = false;
    uint16_t orientation = 1;
    std::vector<double> cfaPattern{0, 1, 1, 2};
    std::vector<double> cfaRepeat{2, 2};  // rows, columns of cfaPattern
    std::vector<double> cfaPlaneColor;    // CFAPlaneColor when not empty
    std::vector<double> blackRepeat{1, 1};
    std::vector<double> black{0};
    std::vector<double> white{65535};
    std::vector<double> colorMatrix{0.8, -0.2, -0.1, -0.3, 1.2, 0.1, -0.05, 0.2, 0.6};
    std::vector<double> neutral{0.5, 1.0, 0.6};  // empty: no AsShotNeutral
    std::vector<double> whiteXY;                 // AsShotWhiteXY when not empty
    uint16_t illuminant = 21;                    // CalibrationIlluminant1
    uint16_t colorimetricReference = 0;          // written when not 0
    double baselineExposure = 0.25;
    std::vector<double> cropOrigin{0, 0};
    std::vector<double> cropSize;  // empty: whole image
    std::vector<uint8_t> opcodeList2;
    std::string uniqueModel = "Quorvex Test Camera";
    // A second, chained directory of the same size: 0 none, 4 a transparency
    // mask (8-bit, all 200), 16 an enhanced image (3 x 16-bit, all 12345).
    uint32_t extraKind = 0;
    // EnhanceParams of the enhanced image (written when not empty).
    std::string enhanceParams;
};

inline const TIFFFieldInfo kNegTestFields[] = {
    {TIFFTAG_CFAREPEATPATTERNDIM, 2, 2, TIFF_SHORT, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("CFARepeatPatternDim")},
    {TIFFTAG_CFAPATTERN, -1, -1, TIFF_BYTE, FIELD_CUSTOM, 1, 1, const_cast<char*>("CFAPattern")},
    {TIFFTAG_DNGVERSION, 4, 4, TIFF_BYTE, FIELD_CUSTOM, 1, 0, const_cast<char*>("DNGVersion")},
    {TIFFTAG_CFAPLANECOLOR, -1, -1, TIFF_BYTE, FIELD_CUSTOM, 1, 1,
     const_cast<char*>("CFAPlaneColor")},
    {51182, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("EnhanceParams")},
    {TIFFTAG_UNIQUECAMERAMODEL, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("UniqueCameraModel")},
    {TIFFTAG_BLACKLEVELREPEATDIM, 2, 2, TIFF_SHORT, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("BlackLevelRepeatDim")},
    {TIFFTAG_BLACKLEVEL, -1, -1, TIFF_RATIONAL, FIELD_CUSTOM, 1, 1,
     const_cast<char*>("BlackLevel")},
    {TIFFTAG_WHITELEVEL, -1, -1, TIFF_LONG, FIELD_CUSTOM, 1, 1, const_cast<char*>("WhiteLevel")},
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
    {51009, -3, -3, TIFF_UNDEFINED, FIELD_CUSTOM, 1, 1, const_cast<char*>("OpcodeList2")},
    {TIFFTAG_ASSHOTWHITEXY, 2, 2, TIFF_RATIONAL, FIELD_CUSTOM, 1, 0,
     const_cast<char*>("AsShotWhiteXY")},
    {50879, 1, 1, TIFF_SHORT, FIELD_CUSTOM, 1, 0, const_cast<char*>("ColorimetricReference")},
};

inline TIFFExtendProc& NegTestParentExtender() {
    static TIFFExtendProc parent = nullptr;
    return parent;
}

inline void NegTestExtend(TIFF* tif) {
    for (const TIFFFieldInfo& info : kNegTestFields)
        if (!TIFFFindField(tif, info.field_tag, TIFF_ANY)) TIFFMergeFieldInfo(tif, &info, 1);
    if (NegTestParentExtender()) NegTestParentExtender()(tif);
}

// Sets a numeric tag in whatever form libtiff's definition of it expects.
inline bool NegTestSetNumbers(TIFF* tif, uint32_t tag, const std::vector<double>& values) {
    return tifftags::SetTiffNumbers(tif, tag, values);
}

// samples: height rows of width x spec.samples values (8 or 16 bits used).
inline bool WriteDng(const std::string& path, const DngSpec& s,
                     const std::vector<uint16_t>& samples) {
    static const bool extended = [] {
        NegTestParentExtender() = TIFFSetTagExtender(NegTestExtend);
        return true;
    }();
    (void)extended;
    TIFF* t = TIFFOpen(path.c_str(), s.bigEndian ? "wb" : "wl");
    if (!t) return false;
    const bool cfa = s.samples == 1;
    bool ok = true;
    ok &= TIFFSetField(t, TIFFTAG_SUBFILETYPE, 0) == 1;
    ok &= TIFFSetField(t, TIFFTAG_IMAGEWIDTH, s.width) == 1;
    ok &= TIFFSetField(t, TIFFTAG_IMAGELENGTH, s.height) == 1;
    ok &= TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, s.bits) == 1;
    ok &= TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, s.samples) == 1;
    ok &= TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE) == 1;
    ok &= TIFFSetField(t, TIFFTAG_PHOTOMETRIC, cfa ? 32803 : 34892) == 1;
    ok &= TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1;
    ok &= TIFFSetField(t, TIFFTAG_ORIENTATION, s.orientation) == 1;
    ok &= TIFFSetField(t, TIFFTAG_MAKE, "Quorvex") == 1;
    ok &= TIFFSetField(t, TIFFTAG_MODEL, "Negative Test") == 1;
    ok &= TIFFSetField(t, TIFFTAG_UNIQUECAMERAMODEL, s.uniqueModel.c_str()) == 1;
    if (s.tile) {
        ok &= TIFFSetField(t, TIFFTAG_TILEWIDTH, s.tile) == 1;
        ok &= TIFFSetField(t, TIFFTAG_TILELENGTH, s.tile) == 1;
    } else {
        ok &= TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16) == 1;
    }
    ok &= NegTestSetNumbers(t, TIFFTAG_DNGVERSION, {1, 4, 0, 0});
    if (cfa) {
        ok &= NegTestSetNumbers(t, TIFFTAG_CFAREPEATPATTERNDIM, s.cfaRepeat);
        ok &= NegTestSetNumbers(t, TIFFTAG_CFAPATTERN, s.cfaPattern);
        if (!s.cfaPlaneColor.empty())
            ok &= NegTestSetNumbers(t, TIFFTAG_CFAPLANECOLOR, s.cfaPlaneColor);
    }
    ok &= NegTestSetNumbers(t, TIFFTAG_BLACKLEVELREPEATDIM, s.blackRepeat);
    ok &= NegTestSetNumbers(t, TIFFTAG_BLACKLEVEL, s.black);
    ok &= NegTestSetNumbers(t, TIFFTAG_WHITELEVEL, s.white);
    ok &= NegTestSetNumbers(t, TIFFTAG_DEFAULTCROPORIGIN, s.cropOrigin);
    ok &= NegTestSetNumbers(
        t, TIFFTAG_DEFAULTCROPSIZE,
        s.cropSize.empty() ? std::vector<double>{double(s.width), double(s.height)} : s.cropSize);
    ok &= NegTestSetNumbers(t, TIFFTAG_COLORMATRIX1, s.colorMatrix);
    ok &= NegTestSetNumbers(t, TIFFTAG_CALIBRATIONILLUMINANT1, {double(s.illuminant)});
    if (!s.neutral.empty()) ok &= NegTestSetNumbers(t, TIFFTAG_ASSHOTNEUTRAL, s.neutral);
    if (!s.whiteXY.empty()) ok &= NegTestSetNumbers(t, TIFFTAG_ASSHOTWHITEXY, s.whiteXY);
    if (s.colorimetricReference)
        ok &= NegTestSetNumbers(t, 50879, {double(s.colorimetricReference)});
    ok &= NegTestSetNumbers(t, TIFFTAG_BASELINEEXPOSURE, {s.baselineExposure});
    if (!s.opcodeList2.empty())
        ok &= TIFFSetField(t, 51009, uint32_t(s.opcodeList2.size()), s.opcodeList2.data()) == 1;

    const uint32_t bytes = s.bits / 8;
    const uint32_t rowValues = s.width * s.samples;
    auto packRows = [&](uint32_t y0, uint32_t rows, uint32_t x0, uint32_t cols, uint32_t stride,
                        std::vector<uint8_t>& out) {
        out.assign(size_t(stride) * rows * s.samples * bytes, 0);
        for (uint32_t r = 0; r < rows && y0 + r < s.height; r++)
            for (uint32_t c = 0; c < cols && x0 + c < s.width; c++)
                for (uint32_t p = 0; p < s.samples; p++) {
                    const uint16_t v =
                        samples[size_t(y0 + r) * rowValues + (x0 + c) * s.samples + p];
                    uint8_t* d = &out[((size_t(r) * stride + c) * s.samples + p) * bytes];
                    if (bytes == 1)
                        d[0] = uint8_t(v);
                    else
                        std::memcpy(d, &v, 2);
                }
    };
    std::vector<uint8_t> buffer;
    if (s.tile) {
        for (uint32_t y = 0; y < s.height && ok; y += s.tile)
            for (uint32_t x = 0; x < s.width && ok; x += s.tile) {
                packRows(y, s.tile, x, s.tile, s.tile, buffer);
                ok &= TIFFWriteEncodedTile(t, TIFFComputeTile(t, x, y, 0, 0), buffer.data(),
                                           tmsize_t(buffer.size())) >= 0;
            }
    } else {
        for (uint32_t y = 0, strip = 0; y < s.height && ok; y += 16, strip++) {
            const uint32_t rows = std::min<uint32_t>(16, s.height - y);
            packRows(y, rows, 0, s.width, s.width, buffer);
            ok &= TIFFWriteEncodedStrip(t, strip, buffer.data(), tmsize_t(buffer.size())) >= 0;
        }
    }
    ok &= TIFFWriteDirectory(t) == 1;
    if (ok && s.extraKind) {
        const bool mask = s.extraKind == 4;
        const uint16_t samplesPerPixel = mask ? 1 : 3;
        const uint16_t bitsPerSample = mask ? 8 : 16;
        ok &= TIFFSetField(t, TIFFTAG_SUBFILETYPE, s.extraKind) == 1;
        ok &= TIFFSetField(t, TIFFTAG_IMAGEWIDTH, s.width) == 1;
        ok &= TIFFSetField(t, TIFFTAG_IMAGELENGTH, s.height) == 1;
        ok &= TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bitsPerSample) == 1;
        ok &= TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samplesPerPixel) == 1;
        ok &= TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE) == 1;
        ok &= TIFFSetField(t, TIFFTAG_PHOTOMETRIC, mask ? 4 : 34892) == 1;
        ok &= TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1;
        ok &= TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, s.height) == 1;
        if (!mask && !s.enhanceParams.empty()) {
            ok &= TIFFSetField(t, 51182, s.enhanceParams.c_str()) == 1;
        }
        std::vector<uint8_t> pixels(size_t(s.width) * s.height * samplesPerPixel *
                                    (bitsPerSample / 8));
        if (mask) {
            std::fill(pixels.begin(), pixels.end(), 200);
        } else {
            for (size_t i = 0; i < pixels.size(); i += 2) {
                const uint16_t v = 12345;
                std::memcpy(&pixels[i], &v, 2);
            }
        }
        ok &= TIFFWriteEncodedStrip(t, 0, pixels.data(), tmsize_t(pixels.size())) >= 0;
        ok &= TIFFWriteDirectory(t) == 1;
    }
    TIFFClose(t);
    return ok;
}

// An opcode list holding one MapPolynomial y = 0.5 x over plane 1 of the
// top-left height x width area, in the big-endian form opcode lists take.
inline std::vector<uint8_t> HalvePlaneOneOpcodeList(uint32_t height, uint32_t width) {
    std::vector<uint8_t> list;
    auto be32 = [&](uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) list.push_back(uint8_t(v >> s));
    };
    auto be64 = [&](double d) {
        uint64_t v;
        std::memcpy(&v, &d, 8);
        be32(uint32_t(v >> 32));
        be32(uint32_t(v));
    };
    be32(1);
    be32(8);
    be32(0x01030000);
    be32(0);
    be32(44 + 8);
    for (uint32_t v : {0u, 0u, height, width, 1u, 1u, 1u, 1u}) be32(v);
    be32(1);
    be64(0.0);
    be64(0.5);
    return list;
}

}  // namespace negtest
