#include "raw/RawDevelop.h"

#include <algorithm>
#include <cmath>

#include "color/ColorMatrixProblem.h"
#include "color/DNGCameraProfileAbstract.h"
#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_color_spec.h"
#include "dng/core/dng_exception.h"
#include "dng/image/dng_negative.h"
#include "platform/Colorimetry.h"
#include "platform/RowBands.h"
#include "raw/DemosaicAHD.h"
#include "raw/DemosaicLMMSE.h"
#include "raw/DemosaicTiles.h"
#include "raw/DemosaicXTrans.h"
#include "raw/RawMetadata.h"
#include "raw/RawOpenError.h"

namespace {

// EXIF light-source codes used as calibration illuminants.
constexpr uint32 kStandardLightA = 17;
constexpr uint32 kD65 = 21;

// The camera profile the decode uses: the chosen file profile's two matrices
// with its illuminants, or null for the negative's own.
std::unique_ptr<dng_camera_profile> ProfileFromChoice(const DNGCameraProfileAbstract* choice) {
    if (!choice || choice->isAutoProfile()) return nullptr;
    auto profile = std::make_unique<dng_camera_profile>();
    dng_matrix m1(3, 3), m2(3, 3);
    bool has2 = false;
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) {
            m1[r][c] = choice->getcolorMatrix1(r, c);
            m2[r][c] = choice->getcolorMatrix2(r, c);
            has2 = has2 || m2[r][c] != 0.0;
        }
    const dng_camera_profile* parsed = choice->dngProfile();
    profile->SetCalibrationIlluminant1(parsed ? parsed->CalibrationIlluminant1() : kStandardLightA);
    profile->SetColorMatrix1(m1);
    if (has2) {
        profile->SetCalibrationIlluminant2(parsed ? parsed->CalibrationIlluminant2() : kD65);
        profile->SetColorMatrix2(m2);
    }
    return profile;
}

// The white the as-shot values stand for: the neutral, else the white's
// chromaticity, else D65.
dng_xy_coord AsShotWhite(const dng_negative& negative, const dng_color_spec& spec) {
    if (negative.HasCameraNeutral()) return spec.NeutralToXY(negative.CameraNeutral());
    if (negative.HasCameraWhiteXY()) {
        dng_xy_coord white;
        negative.CameraWhiteXY(white.x, white.y);
        return white;
    }
    return dng_xy_coord(platform::colorimetry::kD65White.x, platform::colorimetry::kD65White.y);
}

// The per-channel white-balance scale: the largest neutral entry keeps its
// scale, the others grow by neutral[max] / neutral[c], clipped at 65535.
void BuildBalanceTable(const std::array<double, 3>& gains, std::vector<uint16_t>& lut) {
    lut.resize(3 * 65536);
    for (int c = 0; c < 3; c++)
        for (uint32_t v = 0; v < 65536; v++)
            lut[size_t(c) * 65536 + v] =
                uint16_t(std::min(65535.0, std::floor(v * gains[size_t(c)] + 0.5)));
}

// Half-size RGB of a white-balanced Bayer mosaic: one pixel per 2×2 cell.
RawSamples HalfSizeRGB(const CFAPlane& cfa, unsigned bands) {
    const uint32_t w = cfa.width / 2, h = cfa.height / 2;
    RawSamples rgb(size_t(w) * h * 3);
    platform::RunInRowBands(h, bands, [&](uint32_t first, uint32_t end) {
        for (uint32_t y = first; y < end; y++)
            for (uint32_t x = 0; x < w; x++) {
                uint32_t sum[3] = {0, 0, 0}, count[3] = {0, 0, 0};
                for (uint32_t dy = 0; dy < 2; dy++)
                    for (uint32_t dx = 0; dx < 2; dx++) {
                        const auto c = size_t(cfa.pattern.colorAt(dy, dx));
                        sum[c] += cfa.at(2 * y + dy, 2 * x + dx);
                        count[c]++;
                    }
                uint16_t* p = rgb.data() + (size_t(y) * w + x) * 3;
                for (int c = 0; c < 3; c++) p[c] = uint16_t(sum[c] / std::max(1u, count[c]));
            }
    });
    return rgb;
}

platform::Error NoColourMatrix(const std::string& path) {
    return RawOpenError("The DNG file \"" + RawFileName(path) +
                        "\" has no colour matrix, so nothing says what its colours are. It "
                        "can be exported with a preset that sets a camera profile for its camera.");
}

// What keeps a chosen profile from serving this file, or empty; `spec` is
// made from it when nothing does.
std::string ChosenProfileProblem(dng_negative& neg, const dng_camera_profile& profile,
                                 std::unique_ptr<dng_color_spec>& spec) {
    const dng_matrix& second = profile.ColorMatrix2();
    if (std::string why =
            ProfileMatricesProblem(profile.ColorMatrix1(), second.NotEmpty() ? &second : nullptr);
        !why.empty())
        return why;
    try {
        spec = std::make_unique<dng_color_spec>(neg, &profile);
        spec->SetWhiteXY(AsShotWhite(neg, *spec));
    } catch (const dng_exception& e) {
        spec.reset();
        const std::string what = WhatFailed(e);
        return "its colour matrices give no usable colour" +
               (e.ErrorCode() == dng_error_matrix_math ? std::string() : what);
    }
    return {};
}

}  // namespace

void RawFinish(RawSamples& rgb, uint32_t width, const RawCrop& crop, uint32_t orientation,
               const RawMatrix3& matrix, unsigned bands, RawSamples& out) {
    const bool whole = crop.left == 0 && crop.top == 0 && crop.width == width &&
                       size_t(crop.width) * crop.height * 3 == rgb.size();
    if (whole && (orientation <= 1 || orientation > 8)) {
        RawConvertInPlace(rgb.data(), rgb.size() / 3, matrix, bands);
        out = std::move(rgb);
        return;
    }
    out.resize(size_t(crop.width) * crop.height * 3);
    RawConvertCropOrient(rgb.data(), width, crop, orientation, matrix, out.data(), bands);
    RawSamples().swap(rgb);
}

void RawCheckOutputSize(const std::string& path, uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || width > 65535 || height > 65535)
        throw RawOpenError("The image of \"" + RawFileName(path) + "\" is " +
                           std::to_string(width) + " x " + std::to_string(height) +
                           " pixels; this system handles 1 to 65535 pixels per side.");
}

std::unique_ptr<dng_color_spec> RawChooseColorSpec(const RawDecodeRequest& req, dng_negative& neg,
                                                   rawWrapper::Decoded& out) {
    const uint32_t channels = neg.ColorChannels();
    if (channels == 1) return nullptr;
    std::unique_ptr<dng_camera_profile> chosen = ProfileFromChoice(req.profile);
    if (!chosen && neg.ProfileCount() == 0) throw NoColourMatrix(req.path);
    if (channels != 3)
        throw RawOpenError("The DNG file \"" + RawFileName(req.path) + "\" has " +
                           std::to_string(channels) + " colour channels; only 3 are decoded.");
    std::unique_ptr<dng_color_spec> spec;
    if (chosen) {
        const std::string problem = ChosenProfileProblem(neg, *chosen, spec);
        if (!problem.empty())
            out.warnings.push_back("The camera profile \"" +
                                   req.profile->profileURL().filename().string() +
                                   "\" cannot be used for \"" + RawFileName(req.path) +
                                   "\": " + problem + "; the built-in profile is used instead.");
    }
    if (!spec) {
        if (neg.ProfileCount() == 0) throw NoColourMatrix(req.path);
        spec = neg.MakeColorSpec(dng_camera_profile_id());
        spec->SetWhiteXY(AsShotWhite(neg, *spec));
    }
    out.whiteX = spec->WhiteXY().x;
    out.whiteY = spec->WhiteXY().y;
    const dng_matrix camFromXYZ = RawCameraFromXYZ(*spec);
    for (uint32 r = 0; r < 3; r++)
        for (uint32 c = 0; c < 3; c++) out.cameraFromXYZ[r][c] = camFromXYZ[r][c];
    out.haveColor = true;
    return spec;
}

RawWhiteBalance RawBalanceFor(const dng_negative& neg, const dng_color_spec* spec) {
    RawWhiteBalance wb;
    if (!spec) return wb;
    const dng_vector& n = neg.HasCameraNeutral() ? neg.CameraNeutral() : spec->CameraWhite();
    const double largest = n.MaxEntry();
    for (uint32 c = 0; c < 3; c++) wb.neutral[c] = n[c] > 0 && largest > 0 ? n[c] / largest : 1.0;
    wb.balanced = RawCameraToProPhoto(*spec) *
                  dng_vector_3(wb.neutral[0], wb.neutral[1], wb.neutral[2]).AsDiagonal();
    const dng_vector white = wb.balanced * dng_vector_3(1, 1, 1);
    for (uint32 r = 0; r < 3; r++)
        if (white[r] > 1e-6)
            for (uint32 c = 0; c < 3; c++) wb.balanced[r][c] /= white[r];
    return wb;
}

RawSamples RawGreyToRGB(const RawSamples& grey) {
    RawSamples rgb(grey.size() * 3);
    for (size_t i = 0; i < grey.size(); i++) rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = grey[i];
    return rgb;
}

void RawBalanceMosaic(RawSamples& cfaSamples, uint32_t width, uint32_t height,
                      const CFALayout& layout, const RawWhiteBalance& wb, unsigned bands,
                      std::vector<uint16_t>& lut) {
    std::array<double, 3> gains{};
    for (size_t c = 0; c < 3; c++) gains[c] = 1.0 / wb.neutral[c];
    BuildBalanceTable(gains, lut);
    const uint32_t period = layout.cols();
    platform::RunInRowBands(height, bands, [&](uint32_t first, uint32_t end) {
        for (uint32_t y = first; y < end; y++) {
            uint16_t* row = cfaSamples.data() + size_t(y) * width;
            // A row repeats `period` colours: one table for each.
            std::array<const uint16_t*, CFALayout::kMostRepeat> table{};
            for (uint32_t i = 0; i < period; i++)
                table[i] = lut.data() + size_t(layout.colorAt(y, i)) * 65536;
            for (uint32_t x = 0, i = 0; x < width; x++) {
                row[x] = table[i][row[x]];
                if (++i == period) i = 0;
            }
        }
    });
}

void RawDecodeHalfSize(const RawDecodeRequest& req, const MosaicPlane& mosaic, const RawCrop& crop,
                       uint32_t orientation, const RawMatrix3& matrix, rawWrapper::Decoded& out) {
    const uint32_t width = mosaic.width, height = mosaic.height;
    const std::optional<CFAPattern> bayer = mosaic.layout.bayer();
    if (!bayer) {
        RawSamples rgb(size_t(width) * height * 3);
        DemosaicXTransSmooth(mosaic, rgb.data(), req.bands);
        RawFinish(rgb, width, crop, orientation, matrix, req.bands, out.master);
        return;
    }
    const CFAPlane cfa{mosaic.samples, width, height, mosaic.rowStride, *bayer};
    RawSamples half = HalfSizeRGB(cfa, req.bands);
    RawCrop halfCrop{crop.left / 2, crop.top / 2, std::max(1u, crop.width / 2),
                     std::max(1u, crop.height / 2)};
    halfCrop.width = std::min(halfCrop.width, width / 2 - halfCrop.left);
    halfCrop.height = std::min(halfCrop.height, height / 2 - halfCrop.top);
    RawOrientedSize(orientation, halfCrop.width, halfCrop.height, out.width, out.height);
    RawCheckOutputSize(req.path, out.width, out.height);
    RawFinish(half, width / 2, halfCrop, orientation, matrix, req.bands, out.master);
    (*out.metaData).set(kCGImagePropertyPixelWidth, int64_t(out.width));
    (*out.metaData).set(kCGImagePropertyPixelHeight, int64_t(out.height));
}

namespace {

// The master in the EdgeBands of the cropped, oriented image only: each
// band made by `demosaicArea` (rows of the area's width) over the part of
// the crop it shows, then turned and converted as RawFinish does the whole
// image.
void RawMasterEdgeBands(const std::function<void(const RawCrop&, uint16_t*)>& demosaicArea,
                        const RawCrop& crop, uint32_t orientation, const RawMatrix3& matrix,
                        uint32_t border, rawWrapper::Decoded& out) {
    uint32_t W = 0, H = 0;
    RawOrientedSize(orientation, crop.width, crop.height, W, H);
    const EdgeBands layout{W, H, border};
    out.master.resize(layout.pixels() * 3);
    const RawCrop inImage[] = {{0, 0, W, border},
                               {0, H - border, W, border},
                               {0, border, border, H - 2 * border},
                               {W - border, border, border, H - 2 * border}};
    RawSamples rgb;
    for (const RawCrop& band : inImage) {
        RawCrop area = RawUnorientedArea(orientation, crop.width, crop.height, band);
        area.left += crop.left;
        area.top += crop.top;
        rgb.resize(size_t(area.width) * area.height * 3);
        demosaicArea(area, rgb.data());
        RawConvertCropOrient(rgb.data(), area.width, RawCrop{0, 0, area.width, area.height},
                             orientation, matrix,
                             out.master.data() + layout.at(band.left, band.top).sample, 1);
    }
    out.masterEdgeBands = border;
}

}  // namespace

void RawDemosaicBoth(const RawDecodeRequest& req, const MosaicPlane& mosaic, const RawCrop& crop,
                     uint32_t orientation, const RawMatrix3& matrix,
                     const RawRenderingStep& afterDemosaic, rawWrapper::Decoded& out) {
    const uint32_t width = mosaic.width, height = mosaic.height;
    const bool whole = crop.left == 0 && crop.top == 0 && crop.width == width &&
                       crop.height == height && (orientation <= 1 || orientation > 8);
    // Where red and blue alone carry detail is the mosaic's own: the alternate
    // (the wider halo) finds it, the master takes it.
    platform::ColourOnlyCells colourOnly;
    const std::optional<CFAPattern> bayer = mosaic.layout.bayer();
    const size_t samples = size_t(width) * height * 3;
    // One rendering into its target. With nothing between the interpolation
    // and the colour on a whole image, the tiles are stored converted,
    // sparing a pass over the rendering.
    const bool direct = !afterDemosaic && whole;
    const auto renderInto = [&](RawSamples& target, const auto& interpolate) {
        if (direct) {
            target.resize(samples);
            interpolate(target.data(), &matrix);
            return;
        }
        RawSamples rgb(samples);
        interpolate(rgb.data(), nullptr);
        if (afterDemosaic) afterDemosaic(rgb, width, height);
        RawFinish(rgb, width, crop, orientation, matrix, req.bands, target);
    };
    uint32_t finalWidth = 0, finalHeight = 0;
    RawOrientedSize(orientation, crop.width, crop.height, finalWidth, finalHeight);
    if (!afterDemosaic && EdgeBands::fit(finalWidth, finalHeight, req.masterEdgeBands)) {
        // The blend will take the alternate alone inside the bands, where
        // nothing shares the colour-only cells with it.
        const CFAPlane cfa{mosaic.samples, width, height, mosaic.rowStride,
                           bayer.value_or(*CFAPattern::fromName("RGGB"))};
        renderInto(out.alternate, [&](uint16_t* rgb, const RawMatrix3* colour) {
            if (bayer)
                DemosaicLMMSE(cfa, rgb, req.bands, colour, nullptr);
            else
                DemosaicXTransBoth(mosaic, nullptr, rgb, req.bands, colour);
        });
        RawMasterEdgeBands(
            [&](const RawCrop& area, uint16_t* rgb) {
                if (bayer)
                    DemosaicAHDArea(cfa, area, rgb, req.bands);
                else
                    DemosaicXTransArea(mosaic, area, rgb, req.bands);
            },
            crop, orientation, matrix, req.masterEdgeBands, out);
        return;
    }
    if (!bayer) {
        // One pass makes both: the master's first steps are the alternate's.
        if (direct) {
            out.master.resize(samples);
            out.alternate.resize(samples);
            DemosaicXTransBoth(mosaic, out.master.data(), out.alternate.data(), req.bands, &matrix);
            return;
        }
        RawSamples rgb(samples), alternate(samples);
        DemosaicXTransBoth(mosaic, rgb.data(), alternate.data(), req.bands);
        for (auto [image, target] : {std::pair{&rgb, &out.master}, {&alternate, &out.alternate}}) {
            if (afterDemosaic) afterDemosaic(*image, width, height);
            RawFinish(*image, width, crop, orientation, matrix, req.bands, *target);
        }
        return;
    }
    const CFAPlane cfa{mosaic.samples, width, height, mosaic.rowStride, *bayer};
    renderInto(out.alternate, [&](uint16_t* rgb, const RawMatrix3* colour) {
        DemosaicLMMSE(cfa, rgb, req.bands, colour, &colourOnly);
    });
    renderInto(out.master, [&](uint16_t* rgb, const RawMatrix3* colour) {
        DemosaicAHD(cfa, rgb, req.bands, colour, &colourOnly);
    });
}
