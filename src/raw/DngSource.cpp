#include "raw/DngSource.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "dng/color/dng_color_spec.h"
#include "dng/color/dng_shared.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_negative_reader.h"
#include "dng/image/dng_pixel_buffer.h"
#include "platform/Dispatch.h"
#include "platform/InputFile.h"
#include "platform/RowBands.h"
#include "raw/CFALayout.h"
#include "raw/ColorTagReview.h"
#include "raw/DemosaicXTrans.h"
#include "raw/EmbeddedPreview.h"
#include "raw/RawColor.h"
#include "raw/RawMetadata.h"
#include "raw/RawOpenError.h"

bool DngSource::startsLikeTIFF(const std::string& path) {
    std::FILE* f = platform::openRegularFile(path);
    if (!f && errno != EINVAL) throw RawUnreadable(path, platform::unreadableFileReason(errno));
    if (!f) return false;
    unsigned char h[4] = {};
    errno = 0;
    const size_t n = std::fread(h, 1, 4, f);
    const int readError = std::ferror(f) ? (errno ? errno : EIO) : 0;
    std::fclose(f);
    if (readError) throw RawUnreadable(path, platform::unreadableFileReason(readError));
    if (n != 4) return false;
    return (h[0] == 'I' && h[1] == 'I' && h[2] == 42 && h[3] == 0) ||
           (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && h[3] == 42);
}

namespace {

// The directories, with the colour and level tags reviewed once they are
// settled and before they are checked for consistency: an absurd value is
// set aside with a warning, or the file refused for it.
class ReviewedInfo : public dng_info {
public:
    explicit ReviewedInfo(std::string path) : path_(std::move(path)) {}
    void PostParse(dng_host& host) override {
        dng_info::PostParse(host);
        ColorTagReview review = ReviewColorTags(*this, RawFileName(path_));
        if (!review.refusal.empty())
            throw RawOpenError("The DNG file \"" + RawFileName(path_) +
                               "\" cannot be rendered: " + review.refusal + ".");
        warnings = std::move(review.ignored);
        notes = std::move(review.notes);
    }
    std::vector<std::string> warnings;
    std::vector<std::string> notes;

private:
    std::string path_;
};

// The negative takes the PCS white (D50) for output-referred data and sets
// the file's as-shot white aside. A file that states its white means the
// white its matrix sees there: converters write such linear files with a
// D65 matrix and a neutral of 1 1 1, which would render blue at D50. Files
// whose stated white is D50 come out as before.
void KeepStatedWhite(dng_negative& negative, const dng_shared& shared) {
    if (negative.ColorimetricReference() == 0 || negative.IsMonochrome()) return;
    if (shared.fAsShotNeutral.Count() == negative.ColorChannels()) {
        negative.SetCameraNeutral(shared.fAsShotNeutral);
    } else if (shared.fAsShotWhiteXY.x > 0.0 && shared.fAsShotWhiteXY.y > 0.0) {
        negative.SetCameraWhiteXY(shared.fAsShotWhiteXY.x, shared.fAsShotWhiteXY.y);
    }
}

}  // namespace

struct DngSource::Opened {
    explicit Opened(const std::string& path) : stream(path.c_str()), info(path) {
        host.SetKeepStage2(true);
        // Tiles decode, and the linearisation runs, on every core.
        host.SetAreaTaskThreadCount(platform::processorCount());
        negative = ReadDNGNegative(host, stream, info, dng_read_depth::kMetadata);
        KeepStatedWhite(*negative, *info.fShared);
    }
    dng_file_stream stream;
    dng_image_host host;
    ReviewedInfo info;
    std::unique_ptr<dng_negative> negative;
};

namespace {

using OpenedDNG = DngSource::Opened;

// Copies an image's planes into packed 16-bit samples, in row bands: the
// copy of a large mosaic would otherwise hold up every core.
RawSamples ReadPacked(const dng_image& image, uint32_t planes, unsigned bands) {
    const dng_rect bounds = image.Bounds();
    const size_t rowSamples = size_t(image.Width()) * planes;
    RawSamples out(rowSamples * image.Height());
    platform::RunInRowBands(image.Height(), bands, [&](uint32_t first, uint32_t end) {
        const dng_rect rows(bounds.t + int32_t(first), bounds.l, bounds.t + int32_t(end), bounds.r);
        dng_pixel_buffer buffer(rows, 0, planes, ttShort, pcInterleaved,
                                out.data() + rowSamples * first);
        image.Get(buffer);
    });
    return out;
}

std::optional<CFAPattern> BayerPattern(const dng_parsed_ifd& ifd) {
    if (ifd.fCFARepeatPatternRows != 2 || ifd.fCFARepeatPatternCols != 2) return std::nullopt;
    std::array<CFAColor, 4> colors{};
    for (int i = 0; i < 4; i++) {
        const uint8_t key = ifd.fCFAPattern[i >> 1][i & 1];
        // Plane colours map pattern entries to colours; 0, 1, 2 are R, G, B.
        const uint8_t color =
            key < ifd.fCFAPlaneColorCount && key < 4 ? ifd.fCFAPlaneColor[key] : 255;
        if (color > 2) return std::nullopt;
        colors[size_t(i)] = CFAColor(color);
    }
    return CFAPattern::fromColors(colors);
}

// The default crop in stage-3 pixels, kept inside the image.
RawCrop DefaultCrop(const dng_negative& negative, uint32_t width, uint32_t height) {
    RawCrop crop{0, 0, width, height};
    const double ox = negative.DefaultCropOriginH().AsReal64();
    const double oy = negative.DefaultCropOriginV().AsReal64();
    const double sw = negative.DefaultCropSizeH().AsReal64();
    const double sh = negative.DefaultCropSizeV().AsReal64();
    if (!(sw > 0 && sh > 0 && ox >= 0 && oy >= 0)) return crop;
    const auto left = uint32_t(std::min<double>(std::floor(ox + 0.5), width));
    const auto top = uint32_t(std::min<double>(std::floor(oy + 0.5), height));
    crop.left = left;
    crop.top = top;
    crop.width = uint32_t(std::min<double>(std::floor(sw + 0.5), width - left));
    crop.height = uint32_t(std::min<double>(std::floor(sh + 0.5), height - top));
    if (crop.width == 0 || crop.height == 0) crop = RawCrop{0, 0, width, height};
    return crop;
}

// Runs the negative's third opcode list (lens corrections and the like)
// over a demosaiced rendering in place. The list must keep the image's size.
void ApplyOpcodeList3(dng_host& host, dng_negative& negative, RawSamples& rgb, uint32_t width,
                      uint32_t height) {
    const dng_rect bounds(static_cast<int32>(height), static_cast<int32>(width));
    std::unique_ptr<dng_image> image(host.MakeImage(bounds, 3, ttShort));
    image->Put(dng_pixel_buffer(bounds, 0, 3, ttShort, pcInterleaved, rgb.data()));
    host.ApplyOpcodeList(negative.OpcodeList3(), negative, image);
    if (!image || image->Bounds() != bounds || image->Planes() != 3)
        throw dng_exception(dng_error_bad_format,
                            "its third opcode list changes the size of the image");
    dng_pixel_buffer buffer(bounds, 0, 3, ttShort, pcInterleaved, rgb.data());
    image->Get(buffer);
}

// Sniffing: a file that does not start like TIFF is not a DNG (or a damaged one).
void CheckLooksLikeDNG(const std::string& path) {
    if (DngSource::startsLikeTIFF(path)) return;
    if (RawUpperExtension(path) != "DNG") throw RawUnknownFormat(path);
    throw dng_exception(dng_error_bad_format, "it does not start like a TIFF file");
}

// Lossy JPEG data stays undeveloped; the decoder's words go to the log only.
platform::Error LossyRefusal(const std::string& path) {
    return RawOpenError(
        "The DNG file \"" + RawFileName(path) +
        "\" cannot be opened: this DNG holds lossy-compressed (JPEG) image data, "
        "which Quorvex does not develop (a thumbnail shown for it is the file's own "
        "preview).");
}

// A size the file cannot hold is damage, whatever the size limits. Sizes
// are in decimal units, as file sizes in bytes convert at a glance, with
// three significant digits and `extra` more.
std::string ByteSize(uint64_t bytes, int extra) {
    if (bytes < 1000000) return RawByteCount(bytes);
    const bool giga = bytes >= 1000000000;
    const double value = double(bytes) / (giga ? 1e9 : 1e6);
    const int whole = value < 10 ? 1 : value < 100 ? 2 : 3;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", std::max(0, 3 - whole) + extra, value);
    std::string out = text;
    if (out.find('.') != std::string::npos) {
        out.erase(out.find_last_not_of('0') + 1);
        if (out.back() == '.') out.pop_back();
    }
    return out + (giga ? " GB" : " MB");
}

// Two different sizes never read the same: the contradiction is the message.
std::pair<std::string, std::string> ByteSizes(uint64_t a, uint64_t b) {
    for (int extra = 0;; ++extra) {
        std::string first = ByteSize(a, extra), second = ByteSize(b, extra);
        if (first != second || a == b || extra >= 9) return {first, second};
    }
}

// The fewest bytes the image data can take under its compression, and the
// compression's name; no floor (0) for a compression not listed. Each code
// these compressions write stands for a bounded run of data: JPEG spends at
// least 2 bits on each 8 x 8 block of its most finely sampled component
// (lossless JPEG, which compression 7 usually holds, at least 1 bit a
// sample), Deflate 2 bits on at most 258 bytes, LZW 9 bits on at most 4,096
// bytes and PackBits 2 bytes on at most 128.
std::pair<double, const char*> LeastDataBytes(const dng_parsed_ifd& rawIFD) {
    // In doubles: the product of four 32-bit fields may pass 64 bits.
    const double pixels = double(rawIFD.fImageWidth) * rawIFD.fImageLength;
    const double bytes =
        pixels * std::max(1u, rawIFD.fSamplesPerPixel) * rawIFD.fBitsPerSample[0] / 8;
    switch (rawIFD.fCompression) {
        case ccUncompressed:
            return {bytes, nullptr};
        case ccJPEG:
        case ccOldJPEG:
        case ccLossyJPEG:
            return {pixels / 256, "JPEG"};
        case ccDeflate:
        case ccOldDeflate:
            return {bytes / 1032, "Deflate"};
        case ccLZW:
            return {bytes / 4096, "LZW"};
        case ccPackBits:
            return {bytes / 64, "PackBits"};
        default:
            return {0, nullptr};
    }
}

void CheckDataHoldsImage(const std::string& path, const dng_parsed_ifd& rawIFD,
                         uint64_t fileBytes) {
    const auto [least, compression] = LeastDataBytes(rawIFD);
    if (least <= double(fileBytes)) return;
    const std::string atLeast = compression ? std::string("at least ") : std::string();
    const std::string packed =
        compression ? std::string(" even as tightly as ") + compression + " packs it" : "";
    // Rounded up, so that the claim stays above the file's size.
    const auto [claimed, held] = ByteSizes(uint64_t(std::ceil(std::min(least, 1e19))), fileBytes);
    throw RawOpenError("The DNG file \"" + RawFileName(path) + "\" is damaged: it claims " +
                       std::to_string(rawIFD.fImageWidth) + " x " +
                       std::to_string(rawIFD.fImageLength) + " pixels, " + atLeast + claimed +
                       " of image data" + packed + ", in a file of " + held + ".");
}

// Before any pixel memory is taken: the images this system hands on are at
// most 65535 pixels a side, and a file claiming more is refused.
void CheckImageSize(const std::string& path, const dng_parsed_ifd& rawIFD) {
    if (rawIFD.fImageWidth > 65535 || rawIFD.fImageLength > 65535 ||
        uint64_t(rawIFD.fImageWidth) * rawIFD.fImageLength > (uint64_t(1) << 28))
        throw RawOpenError("The image of \"" + RawFileName(path) + "\" is " +
                           std::to_string(rawIFD.fImageWidth) + " x " +
                           std::to_string(rawIFD.fImageLength) +
                           " pixels, more than this system decodes.");
}

// Colour codes of the CFAPattern tag beyond red, green and blue.
const char* FilterColourName(uint8_t code) {
    static const char* const names[] = {"red",     "green",  "blue", "cyan",
                                        "magenta", "yellow", "white"};
    return code < 7 ? names[code] : "unknown";
}

// The mosaic's layout as plane indices (0, 1, 2), or a line that says why
// the file's layout cannot be demosaiced. A Bayer layout reads as it always
// has, so that its renderings stay the same.
CFALayout MosaicLayout(const std::string& path, const dng_parsed_ifd& rawIFD, uint32_t channels) {
    const std::string name = "The DNG file \"" + RawFileName(path) + "\"";
    if (std::optional<CFAPattern> pattern = BayerPattern(rawIFD))
        return CFALayout::fromBayer(*pattern);
    const uint32_t rows = rawIFD.fCFARepeatPatternRows, cols = rawIFD.fCFARepeatPatternCols;
    const uint32_t planeCount = std::min<uint32_t>(rawIFD.fCFAPlaneColorCount, 4);
    std::string colours;
    bool beyondRGB = channels > 3;
    for (uint32_t p = 0; p < planeCount; p++) {
        beyondRGB = beyondRGB || rawIFD.fCFAPlaneColor[p] > 2;
        colours += std::string(p == 0                ? ""
                               : p + 1 == planeCount ? " and "
                                                     : ", ") +
                   FilterColourName(rawIFD.fCFAPlaneColor[p]);
    }
    if (beyondRGB)
        throw RawOpenError(name + " has a colour filter layout of " + colours +
                           " filters, which Quorvex does not support.");
    std::array<uint8_t, CFALayout::kMostRepeat * CFALayout::kMostRepeat> planes{};
    const uint32_t cells =
        rows <= CFALayout::kMostRepeat && cols <= CFALayout::kMostRepeat ? rows * cols : 0;
    for (uint32_t i = 0; i < cells; i++) {
        // The pattern holds colour codes; the plane is where CFAPlaneColor
        // lists that colour.
        const uint8_t code = rawIFD.fCFAPattern[i / cols][i % cols];
        uint8_t plane = 255;
        for (uint32_t p = 0; p < planeCount && plane == 255; p++)
            if (rawIFD.fCFAPlaneColor[p] == code) plane = uint8_t(p);
        planes[i] = plane == 255 ? code : plane;
    }
    std::string why;
    const std::optional<CFALayout> layout = CFALayout::fromColors(rows, cols, planes.data(), &why);
    if (!layout) throw RawOpenError(name + " cannot be developed: " + why + ".");
    return *layout;
}

void StoreMetadata(OpenedDNG& dng, uint32_t orientation, uint32_t depth, rawWrapper::Decoded& out) {
    out.metaData = std::make_shared<platform::Dictionary>(
        RawMetadataDictionary(*dng.negative->Metadata().GetExif(), dng.info.fShared.get(),
                              dng.info.MainIFD(), out.width, out.height, depth, orientation));
}

// The pixel data through stage 2 (stage 3 too when no demosaic follows).
void ReadStageImages(OpenedDNG& dng, bool fullColour, const std::string& path) {
    dng_negative& neg = *dng.negative;
    try {
        neg.ReadStage1Image(dng.host, dng.stream, dng.info);
        neg.BuildStage2Image(dng.host);
        if (fullColour) neg.BuildStage3Image(dng.host);
    } catch (const dng_exception& e) {
        // The directories were sound, so a failure here is in the pixel data.
        if (e.ErrorCode() == dng_error_not_yet_implemented || e.ErrorCode() == dng_error_memory)
            throw;
        const std::string name = "\"" + RawFileName(path) + "\"";
        const std::string what = e.Message();
        if (what.find("DCT-coded") != std::string::npos ||
            what.find("no lossy JPEG decoder") != std::string::npos) {
            WhatFailed(e);  // logs the decoder's report
            throw LossyRefusal(path);
        }
        if (what.find("unsupported JPEG frame type") != std::string::npos)
            throw RawOpenError("The DNG file " + name +
                               " stores its image in a kind of JPEG this system does not decode" +
                               WhatFailed(e) + ".");
        throw RawOpenError("The DNG file " + name + " is truncated or its image data is damaged" +
                           WhatFailed(e) + ".");
    }
}

// An image that is already full colour (LinearRaw) or from a monochrome sensor.
void DecodeFullColour(const RawDecodeRequest& req, OpenedDNG& dng, const dng_image& stage,
                      const RawCrop& crop, uint32_t orientation, bool haveSpec,
                      const RawWhiteBalance& wb, rawWrapper::Decoded& out) {
    const uint32_t planes = std::min<uint32_t>(stage.Planes(), 3);
    if (planes != 3 && planes != 1)
        throw dng_exception(dng_error_bad_format,
                            "its full-colour image has neither 1 nor 3 planes");
    RawSamples samples = ReadPacked(stage, planes, req.bands);
    RawSamples rgb = planes == 1 ? RawGreyToRGB(samples) : std::move(samples);
    const auto& n = wb.neutral;
    const RawMatrix3 m =
        planes == 1 || !haveSpec
            ? kRawIdentity
            : ToRawMatrix3(wb.balanced * dng_vector_3(1 / n[0], 1 / n[1], 1 / n[2]).AsDiagonal());
    RawOrientedSize(orientation, crop.width, crop.height, out.width, out.height);
    RawCheckOutputSize(req.path, out.width, out.height);
    RawFinish(rgb, stage.Width(), crop, orientation, m, req.bands, out.master);
    StoreMetadata(dng, orientation, 16, out);
}

}  // namespace

DngSource::DngSource(const std::string& path) : path_(path) {
    CheckLooksLikeDNG(path);
    dng_ = std::make_unique<Opened>(path);
}

DngSource::~DngSource() = default;

std::pair<uint32_t, uint32_t> DngSource::orientedSize() const {
    const dng_negative& neg = *dng_->negative;
    const dng_parsed_ifd& rawIFD = dng_->info.MainIFD();
    CheckDataHoldsImage(path_, rawIFD, dng_->stream.Length());
    uint32_t width = rawIFD.fImageWidth, height = rawIFD.fImageLength;
    if (const dng_rect area = rawIFD.fActiveArea; area.NotEmpty()) {
        width = area.W();
        height = area.H();
    }
    const RawCrop crop = DefaultCrop(neg, width, height);
    uint32_t ow = 0, oh = 0;
    RawOrientedSize(neg.ComputeOrientation(neg.Metadata()).GetTIFF(), crop.width, crop.height, ow,
                    oh);
    return {ow, oh};
}

bool DngSource::statesRenderedPicture() const {
    return dng_->negative->ColorimetricReference() != 0;
}

void DngSource::decode(const RawDecodeRequest& req, rawWrapper::Decoded& out,
                       std::vector<uint16_t>& lut) {
    out.warnings = dng_->info.warnings;
    out.notes = dng_->info.notes;
    dng_negative& neg = *dng_->negative;
    const dng_exif& exif = *neg.Metadata().GetExif();
    out.make = exif.fMake.Get();
    out.model = exif.fModel.Get();
    out.baselineExposure = float(neg.BaselineExposure());
    out.outputReferred = neg.ColorimetricReference() != 0;
    const uint32_t orientation = neg.ComputeOrientation(neg.Metadata()).GetTIFF();
    const dng_parsed_ifd& rawIFD = dng_->info.MainIFD();
    CheckDataHoldsImage(req.path, rawIFD, dng_->stream.Length());

    // A layout that cannot be demosaiced is named before its colours are
    // judged (a four-colour one would otherwise be told by its count alone).
    const bool monochromeSensor = neg.ColorChannels() == 1;
    const bool demosaic = rawIFD.fPhotometricInterpretation == piCFA && !monochromeSensor;
    std::optional<CFALayout> layout;
    if (demosaic) layout = MosaicLayout(req.path, rawIFD, neg.ColorChannels());
    const std::unique_ptr<dng_color_spec> spec = RawChooseColorSpec(req, neg, out);
    CheckImageSize(req.path, rawIFD);

    if (req.thumbnail && RawDecodeLargestPreview(dng_->host, dng_->stream, dng_->info, orientation,
                                                 req.bands, out)) {
        StoreMetadata(*dng_, orientation, 8, out);
        return;
    }

    if (rawIFD.fCompression == ccLossyJPEG) throw LossyRefusal(req.path);
    ReadStageImages(*dng_, !demosaic, req.path);
    const dng_image* stage = demosaic ? neg.Stage2Image() : neg.Stage3Image();
    if (!stage) throw dng_exception(dng_error_unknown, "no image came out of its raw data");
    const uint32_t width = stage->Width(), height = stage->Height();
    const RawCrop crop = DefaultCrop(neg, width, height);
    const RawWhiteBalance wb = RawBalanceFor(neg, spec.get());

    if (!demosaic) {
        DecodeFullColour(req, *dng_, *stage, crop, orientation, spec != nullptr, wb, out);
        return;
    }

    RawSamples cfaSamples = ReadPacked(*stage, 1, req.bands);
    // The metadata reads the negative's records; its images can go after.
    RawOrientedSize(orientation, crop.width, crop.height, out.width, out.height);
    RawCheckOutputSize(req.path, out.width, out.height);
    StoreMetadata(*dng_, orientation, 16, out);
    // Opcode list 3 works on the demosaiced images; without one the
    // negative's images can go now.
    if (neg.OpcodeList3().IsEmpty()) dng_.reset();
    RawBalanceMosaic(cfaSamples, width, height, *layout, wb, req.bands, lut);
    const MosaicPlane cfa{cfaSamples.data(), width, height, width, *layout};
    const RawMatrix3 matrix = ToRawMatrix3(wb.balanced);

    if (req.monochrome) {
        // A sensor without its filters: each balanced sample is a grey value.
        RawSamples rgb = RawGreyToRGB(cfaSamples);
        RawFinish(rgb, width, crop, orientation, kRawIdentity, req.bands, out.master);
        return;
    }
    if (req.thumbnail && width >= 4 && height >= 4) {
        RawDecodeHalfSize(req, cfa, crop, orientation, matrix, out);
        return;
    }
    RawRenderingStep opcodeList3;
    if (dng_)
        opcodeList3 = [this](RawSamples& rgb, uint32_t w, uint32_t h) {
            ApplyOpcodeList3(dng_->host, *dng_->negative, rgb, w, h);
        };
    RawDemosaicBoth(req, cfa, crop, orientation, matrix, opcodeList3, out);
}
