#include "raw/rawWrapper.h"

#include <jpeglib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <new>

#include "color/DNGCameraProfileAbstract.h"
#include "color/ProfileManager.h"
#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_color_spec.h"
#include "dng/color/dng_shared.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_memory_data.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_negative_reader.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_read_image.h"
#include "platform/Colorimetry.h"
#include "platform/Dispatch.h"
#include "platform/InputFile.h"
#include "platform/Log.h"
#include "platform/RowBands.h"
#include "platform/UserWarning.h"
#include "raw/CFALayout.h"
#include "raw/ColorTagReview.h"
#include "raw/DemosaicAHD.h"
#include "raw/DemosaicLMMSE.h"
#include "raw/DemosaicTiles.h"
#include "raw/DemosaicXTrans.h"
#include "raw/LibRawSource.h"
#include "raw/PreviewBars.h"
#include "raw/RawColor.h"
#include "raw/RawMetadata.h"
#include "raw/RawOpenError.h"
#include "raw/SceneNeutral.h"

namespace {

// The test-only switch that sends DNG files through LibRaw too.
std::atomic<bool> gDNGThroughLibRaw{false};
// EXIF light-source codes used as calibration illuminants.
constexpr uint32 kStandardLightA = 17;
constexpr uint32 kD65 = 21;

std::string FileName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

platform::Error UnsupportedFormatError(const std::string& path) {
    return RawUnsupportedFormat(path, "it is no camera raw format that Quorvex decodes");
}

// What an error code means when its thrower gave no text.
const char* CodeMeaning(dng_error_code code) {
    switch (code) {
        case dng_error_not_yet_implemented:
            return "it uses a feature this system does not implement";
        case dng_error_unsupported_dng:
            return "its DNG version is newer than this reader";
        case dng_error_memory:
            return "memory ran out";
        case dng_error_open_file:
            return "it cannot be opened";
        case dng_error_read_file:
            return "reading it failed";
        case dng_error_end_of_file:
            return "it ends before its data does";
        case dng_error_file_is_damaged:
            return "its data does not match its checksum";
        case dng_error_bad_format:
            return "its structure is not that of a DNG file";
        case dng_error_matrix_math:
            return "its colour tags give no usable colour";
        default:
            return "an unexpected failure in the DNG reader";
    }
}

// Codes whose throwers' texts speak of the reader's own parts (a memory
// block's class, a matrix step, a broken assumption) rather than the file.
bool TextIsInternal(dng_error_code code) {
    return code == dng_error_unknown || code == dng_error_memory || code == dng_error_matrix_math ||
           code == dng_error_host_insufficient;
}

// ": what failed" from the thrower's text, or from the error's code when it
// gave none or its text is the reader's own. The code and the text go to
// the log.
std::string WhatFailed(const dng_exception& e) {
    std::string what = e.Message();
    while (!what.empty() && (what.back() == '.' || what.back() == ' ')) what.pop_back();
    platform::log("DNG reader: error %ld: %s", long(e.ErrorCode()), what.c_str());
    if (!what.empty() && !TextIsInternal(e.ErrorCode())) return ": " + what;
    return std::string(": ") + CodeMeaning(e.ErrorCode());
}

platform::Error DngError(const std::string& path, const dng_exception& e) {
    const std::string name = "\"" + FileName(path) + "\"";
    const std::string why = WhatFailed(e) + ".";
    switch (e.ErrorCode()) {
        case dng_error_not_yet_implemented:
            return RawOpenError("The DNG file " + name +
                                " stores its image in a compression this system does not decode" +
                                why);
        case dng_error_unsupported_dng:
            return RawOpenError("The DNG file " + name + " needs a newer DNG reader" + why);
        case dng_error_memory:
            return RawOpenError("There is not enough memory to decode " + name + ".");
        case dng_error_open_file:
            return RawOpenError("The file " + name + " could not be opened" + why);
        case dng_error_read_file:
            return RawOpenError("The file " + name + " is not developed" + why);
        case dng_error_end_of_file:
        case dng_error_file_is_damaged:
            return RawOpenError("The DNG file " + name + " is truncated or damaged" + why);
        case dng_error_bad_format:
            return RawOpenError("The DNG file " + name +
                                " is malformed or lacks what a decode needs" + why);
        case dng_error_matrix_math:
            return RawOpenError("The DNG file " + name +
                                " cannot be rendered: its colour matrices do not turn the camera's "
                                "colours into any real colour, so its colour tags are damaged.");
        default:
            return RawOpenError("The DNG file " + name + " could not be decoded" + why);
    }
}

platform::Error Unreadable(const std::string& path, const std::string& clause) {
    return RawOpenError("The file \"" + FileName(path) + "\" is not developed: " + clause);
}

// Where the file is first opened: one that cannot be read is said to be so.
bool StartsLikeTIFF(const std::string& path) {
    std::FILE* f = platform::openRegularFile(path);
    if (!f && errno != EINVAL) throw Unreadable(path, platform::unreadableFileReason(errno));
    if (!f) return false;
    unsigned char h[4] = {};
    errno = 0;
    const size_t n = std::fread(h, 1, 4, f);
    const int readError = std::ferror(f) ? (errno ? errno : EIO) : 0;
    std::fclose(f);
    if (readError) throw Unreadable(path, platform::unreadableFileReason(readError));
    if (n != 4) return false;
    return (h[0] == 'I' && h[1] == 'I' && h[2] == 42 && h[3] == 0) ||
           (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && h[3] == 42);
}

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

// The per-channel white-balance scale: the largest neutral entry keeps its
// scale, the others grow by neutral[max] / neutral[c], clipped at 65535.
void BuildBalanceTable(const std::array<double, 3>& gains, std::vector<uint16_t>& lut) {
    lut.resize(3 * 65536);
    for (int c = 0; c < 3; c++)
        for (uint32_t v = 0; v < 65536; v++)
            lut[size_t(c) * 65536 + v] =
                uint16_t(std::min(65535.0, std::floor(v * gains[size_t(c)] + 0.5)));
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

// Linear ProPhoto (D65) from sRGB-encoded 8-bit values, for previews.
struct PreviewConverter {
    RawMatrix3 matrix;
    std::array<float, 256> linear{};
    PreviewConverter() {
        namespace cm = platform::colorimetry;
        auto xy = [](const cm::Chromaticity& c) { return dng_xy_coord(c.x, c.y); };
        const dng_xy_coord primaries[3] = {xy(cm::kSRGBPrimaries[0]), xy(cm::kSRGBPrimaries[1]),
                                           xy(cm::kSRGBPrimaries[2])};
        matrix = ToRawMatrix3(RawProPhotoD65FromXYZ() * RawRGBToXYZ(primaries, xy(cm::kD65White)));
        for (int i = 0; i < 256; i++) {
            const double v = i / 255.0;
            linear[size_t(i)] =
                float(65535.0 * (v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4)));
        }
    }
};

struct JpegErrorExit {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

void OnJpegError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrorExit*>(info->err)->jump, 1);
}

// Decodes a baseline JPEG into packed 8-bit RGB; false on any error.
bool DecodeJpegRGB(const std::vector<uint8_t>& data, std::vector<uint8_t>& rgb, uint32_t& width,
                   uint32_t& height) {
    jpeg_decompress_struct cinfo{};
    JpegErrorExit err{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = OnJpegError;
    err.mgr.output_message = [](j_common_ptr) {};
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    // The decoder makes up data that is missing, so a few bytes could claim a
    // preview of gigabytes: the size is bounded by the bytes given, at more
    // than even a flat progressive preview needs.
    constexpr uint64_t kLargestExpansion = 4096;
    if (cinfo.image_width == 0 || cinfo.image_height == 0 || cinfo.image_width > 16384 ||
        cinfo.image_height > 16384 ||
        uint64_t(cinfo.image_width) * cinfo.image_height * 3 > data.size() * kLargestExpansion) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_start_decompress(&cinfo);
    width = cinfo.output_width;
    height = cinfo.output_height;
    if (cinfo.output_components != 3) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    rgb.assign(size_t(width) * height * 3, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = rgb.data() + size_t(cinfo.output_scanline) * width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// One preview directory as packed 8-bit RGB (sRGB), or false.
bool ReadPreview(dng_host& host, dng_stream& stream, const dng_parsed_ifd& ifd,
                 std::vector<uint8_t>& rgb, uint32_t& width, uint32_t& height) {
    if (ifd.fImageWidth == 0 || ifd.fImageLength == 0 || ifd.fImageWidth > 16384 ||
        ifd.fImageLength > 16384)
        return false;
    const bool jpeg = ifd.fCompression == ccJPEG || ifd.fCompression == ccOldJPEG;
    if (jpeg && ifd.fPhotometricInterpretation != piCFA &&
        ifd.fPhotometricInterpretation != piLinearRaw) {
        // One strip or tile holds the whole stream.
        uint64_t offset = ifd.fTileOffset[0];
        uint64_t count = ifd.fTileByteCount[0];
        if (ifd.fCompression == ccOldJPEG && ifd.fJPEGInterchangeFormat != 0) {
            offset = ifd.fJPEGInterchangeFormat;
            count = ifd.fJPEGInterchangeFormatLength;
        }
        if (count == 0 || count > stream.Length() || offset > stream.Length() - count) return false;
        std::vector<uint8_t> data(static_cast<size_t>(count));
        stream.SetReadPosition(offset);
        stream.ReadBytes(data.data(), uint32(count));
        return DecodeJpegRGB(data, rgb, width, height);
    }
    if (ifd.fCompression != ccUncompressed || ifd.fPhotometricInterpretation != piRGB ||
        ifd.fSamplesPerPixel != 3 || ifd.fBitsPerSample[0] != 8)
        return false;
    dng_read_image::CheckImageData(ifd, stream);
    width = ifd.fImageWidth;
    height = ifd.fImageLength;
    std::unique_ptr<dng_image> image(
        host.MakeImage(dng_rect(int32(height), int32(width)), 3, ttByte));
    dng_read_image reader;
    reader.Read(host, ifd, stream, *image, nullptr, nullptr);
    rgb.assign(size_t(width) * height * 3, 0);
    dng_pixel_buffer buffer(image->Bounds(), 0, 3, ttByte, pcInterleaved, rgb.data());
    image->Get(buffer);
    return true;
}

}  // namespace

// Everything one decode produces, built without the wrapper's state.
struct rawWrapper::Decoded {
    RawSamples master;
    RawSamples alternate;
    uint32_t width = 0;
    uint32_t height = 0;
    std::string make;
    std::string model;
    double whiteX = 0;
    double whiteY = 0;
    bool haveColor = false;
    std::array<std::array<double, 3>, 3> cameraFromXYZ{};
    float baselineExposure = 0;
    bool outputReferred = false;
    std::shared_ptr<platform::Dictionary> metaData;
    std::vector<std::string> warnings;
    std::vector<std::string> notes;  // for the log only
};

namespace {

struct DecodeRequest {
    std::string path;
    const DNGCameraProfileAbstract* profile = nullptr;
    bool monochrome = false;
    bool thumbnail = false;
    unsigned bands = kDemosaicBands;
};

// Converts a packed camera-RGB rendering into the final one and stores it.
void Finish(RawSamples& rgb, uint32_t width, const RawCrop& crop, uint32_t orientation,
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

void DecodeFile(const DecodeRequest& req, rawWrapper::Decoded& out, std::vector<uint16_t>& lut);
bool StatesRenderedPicture(const std::string& path);
std::pair<uint32_t, uint32_t> PlannedSize(const std::string& path);

}  // namespace

rawWrapper::rawWrapper(std::string path, std::string fileUUID, bool thumbNail)
    : ImageWrapper(std::move(path), std::move(fileUUID), thumbNail) {}

rawWrapper::~rawWrapper() = default;

rawWrapper::Ptr rawWrapper::initWithFile(const std::string& path, const std::string& fileUUID,
                                         bool thumbNail) {
    try {
        return Ptr(new rawWrapper(path, fileUUID, thumbNail));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

platform::Mutex& rawWrapper::decoderLock() {
    static auto* lock = new platform::Mutex;
    return *lock;
}

const uint16_t* rawWrapper::masterImageBytes() {
    std::lock_guard guard(lock_);
    decodeIfNeeded();
    return master_.empty() ? nullptr : master_.data();
}

const uint16_t* rawWrapper::alternateImageBytes() {
    std::lock_guard guard(lock_);
    decodeIfNeeded();
    return alternate_.empty() ? nullptr : alternate_.data();
}

void rawWrapper::setCameraProfile(std::shared_ptr<const DNGCameraProfileAbstract> profile) {
    std::lock_guard guard(lock_);
    const auto current = cameraProfile();
    const bool same = current == profile || (current && profile && current->isEqualTo(*profile) &&
                                             current->isAutoProfile() == profile->isAutoProfile());
    if (same) return;
    freeImages();
    ImageWrapper::setCameraProfile(std::move(profile));
}

void rawWrapper::setProcessAsMonochromeSensor(bool monochrome) {
    std::lock_guard guard(lock_);
    if (processAsMonochromeSensor() == monochrome) return;
    freeImages();
    ImageWrapper::setProcessAsMonochromeSensor(monochrome);
}

void rawWrapper::releaseImages() {
    std::lock_guard guard(lock_);
    freeImages();
}

void rawWrapper::freeImages() {
    bitmapDirty_ = true;
    decodeFailed_ = false;
    std::vector<uint16_t>().swap(lut_);
    RawSamples().swap(master_);
    RawSamples().swap(alternate_);
}

bool rawWrapper::bitmapIsDirty() const {
    std::lock_guard guard(lock_);
    return bitmapDirty_;
}

uint32_t rawWrapper::decodeCount() const {
    std::lock_guard guard(lock_);
    return decodeCount_;
}

void rawWrapper::setDecodeBands(unsigned bands) {
    std::lock_guard guard(lock_);
    bands_ = std::clamp(bands, 1u, 64u);
}

ColorSyncProfileWrap::Ptr rawWrapper::bufferProfile() {
    return ProfileManager::sharedManager().getProPhotoGamma1_D65Profile();
}

void rawWrapper::decodeIfNeeded() {
    if (!master_.empty() || decodeFailed_) return;
    const auto profile = cameraProfile();
    DecodeRequest req;
    req.path = fileSource();
    req.profile = profile.get();
    req.monochrome = processAsMonochromeSensor();
    req.thumbnail = wantThumbNail();
    req.bands = bands_;
    if (!memoryShortage_) {
        try {
            memoryShortage_ = DngError(req.path, dng_exception(dng_error_memory));
        } catch (const std::bad_alloc&) {
            // Then the decode fails the same way; the next one tries again.
        }
    }
    Decoded d;
    std::optional<platform::Error> failure;
    bool noMemory = false;  // the failure's text could not even be made
    {
        std::lock_guard decoder(decoderLock());
        // The handlers build texts: short of memory that throws again, and
        // the decode has failed all the same.
        // A file another program cuts or replaces meanwhile is not damaged.
        const platform::FileIdentity identity(req.path);
        try {
            try {
                if (!fileExists() && !std::filesystem::exists(req.path))
                    throw dng_exception(dng_error_open_file, "there is no file at that path");
                DecodeFile(req, d, lut_);
            } catch (const dng_exception& e) {
                const bool dngName = RawUpperExtension(req.path) == "DNG";
                failure = (!dngName && (e.ErrorCode() == dng_error_bad_format ||
                                        e.ErrorCode() == dng_error_unsupported_dng))
                              ? UnsupportedFormatError(req.path)
                              : DngError(req.path, e);
                if (auto changed = identity.changedSince(req.path))
                    failure = Unreadable(req.path, *changed);
            } catch (const std::bad_alloc&) {
                noMemory = true;
                failure = std::exchange(memoryShortage_, std::nullopt);
            } catch (const platform::Error& e) {
                failure = e;
                // A file rewritten meanwhile reads as damaged, or as no format.
                if (auto changed = identity.changedSince(req.path))
                    failure = Unreadable(req.path, *changed);
            } catch (const std::exception& e) {
                failure = RawOpenError("The DNG file \"" + FileName(req.path) +
                                       "\" could not be decoded: " + e.what());
            }
        } catch (const std::bad_alloc&) {
            noMemory = true;
            failure = std::exchange(memoryShortage_, std::nullopt);
        }
    }
    decodeCount_++;
    bitmapDirty_ = false;
    if (failure || noMemory) {
        decodeFailed_ = true;
        RawSamples().swap(d.master);
        RawSamples().swap(d.alternate);
        if (failure)
            platform::log("%s: %s", "-[rawWrapper masterImageBytes]",
                          failure->failureReason.c_str());
        else
            platform::log("%s: not enough memory to decode", "-[rawWrapper masterImageBytes]");
        // Without a prepared report, made now that the decode's memory is
        // back; a caller that finds no error at all still sees no image.
        try {
            setError(failure ? std::move(failure)
                             : DngError(req.path, dng_exception(dng_error_memory)));
        } catch (const std::bad_alloc&) {
        }
        return;
    }
    setError(std::nullopt);
    master_ = std::move(d.master);
    alternate_ = std::move(d.alternate);
    make_ = d.make;
    model_ = d.model;
    asShotWhiteX_ = d.whiteX;
    asShotWhiteY_ = d.whiteY;
    haveColor_ = d.haveColor;
    cameraFromXYZ_ = d.cameraFromXYZ;
    setImageSize(uint16_t(d.width), uint16_t(d.height));
    setIsOutputReferred(d.outputReferred);
    setCameraBaselineExposure(d.baselineExposure);
    setMetaData(d.metaData);
    setParseOK(true);
    // A browser thumbnail only logs: the user hears of it when opening the file.
    for (const std::string& warning : d.warnings)
        if (reportedWarnings_.insert(warning).second) {
            if (wantThumbNail())
                platform::log("%s", warning.c_str());
            else
                platform::warnUser(warning);
        }
    for (const std::string& note : d.notes)
        if (reportedWarnings_.insert(note).second) platform::log("%s", note.c_str());
    setWarnings(std::move(d.warnings));
}

void rawWrapper::setDecodesDNGThroughLibRaw(bool viaLibRaw) { gDNGThroughLibRaw = viaLibRaw; }

std::optional<std::pair<uint32_t, uint32_t>> rawWrapper::plannedImageSize() {
    {
        std::lock_guard guard(lock_);
        if (!master_.empty()) return std::pair<uint32_t, uint32_t>(imageWidth(), imageHeight());
    }
    try {
        std::lock_guard decoder(decoderLock());
        return PlannedSize(fileSource());
    } catch (...) {
        // The decode will say what is wrong with the file.
        return std::nullopt;
    }
}

bool rawWrapper::holdsRenderedPicture() {
    try {
        std::lock_guard decoder(decoderLock());
        return StatesRenderedPicture(fileSource());
    } catch (...) {
        return false;
    }
}

platform::Dictionary rawWrapper::getParameters() {
    platform::Dictionary p = ImageWrapper::getParameters();
    std::lock_guard guard(lock_);
    p.set("make", make_);
    p.set("model", model_);
    const auto err = error();
    p.set("status", err ? err->description() : std::string("Ok"));
    if (haveColor_) {
        p.set("asShotWhitex", float(asShotWhiteX_));
        p.set("asShotWhitey", float(asShotWhiteY_));
        for (int r = 0; r < 3; r++)
            for (int c = 0; c < 3; c++)
                p.set("cameraFromXYZ" + std::to_string(r) + std::to_string(c),
                      float(cameraFromXYZ_[size_t(r)][size_t(c)]));
    }
    if (const auto meta = metaData()) p.set("cameraMetadata", platform::Value(*meta));
    return p;
}

namespace {

void CheckOutputSize(const std::string& path, uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || width > 65535 || height > 65535)
        throw RawOpenError("The image of \"" + FileName(path) + "\" is " + std::to_string(width) +
                           " x " + std::to_string(height) +
                           " pixels; this system handles 1 to 65535 pixels per side.");
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

// An 8-bit sRGB preview as the master image, linear ProPhoto, oriented.
void StorePreview(const std::vector<uint8_t>& rgb8, uint32_t w, uint32_t h, uint32_t orientation,
                  unsigned bands, rawWrapper::Decoded& out) {
    static const PreviewConverter converter;
    RawSamples linear(rgb8.size());
    for (size_t i = 0; i < rgb8.size(); i++) linear[i] = uint16_t(converter.linear[rgb8[i]] + 0.5f);
    uint32_t ow = 0, oh = 0;
    RawOrientedSize(orientation, w, h, ow, oh);
    Finish(linear, w, RawCrop{0, 0, w, h}, orientation, converter.matrix, bands, out.master);
    out.width = ow;
    out.height = oh;
    out.outputReferred = true;
}

bool DecodeLargestPreview(dng_host& host, dng_stream& stream, const dng_info& info,
                          uint32_t orientation, unsigned bands, rawWrapper::Decoded& out) {
    std::vector<uint32_t> candidates;
    for (uint32_t i = 0; i < info.IFDCount(); i++)
        if (int32_t(i) != info.fMainIndex && info.IFD(i).fNewSubFileType == 1)
            candidates.push_back(i);
    std::sort(candidates.begin(), candidates.end(), [&](uint32_t a, uint32_t b) {
        return uint64_t(info.IFD(a).fImageWidth) * info.IFD(a).fImageLength >
               uint64_t(info.IFD(b).fImageWidth) * info.IFD(b).fImageLength;
    });
    for (uint32_t index : candidates) {
        std::vector<uint8_t> rgb8;
        uint32_t w = 0, h = 0;
        try {
            if (!ReadPreview(host, stream, info.IFD(index), rgb8, w, h)) continue;
        } catch (const dng_exception&) {
            continue;
        }
        StorePreview(rgb8, w, h, orientation, bands, out);
        return true;
    }
    return false;
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

// DecodeFile's steps, in the order it takes them.

// The directories, with the colour and level tags reviewed once they are
// settled and before they are checked for consistency: an absurd value is
// set aside with a warning, or the file refused for it.
class ReviewedInfo : public dng_info {
public:
    explicit ReviewedInfo(std::string path) : path_(std::move(path)) {}
    void PostParse(dng_host& host) override {
        dng_info::PostParse(host);
        ColorTagReview review = ReviewColorTags(*this, FileName(path_));
        if (!review.refusal.empty())
            throw RawOpenError("The DNG file \"" + FileName(path_) +
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

// The file's directories and metadata; no pixels yet.
struct OpenedDNG {
    explicit OpenedDNG(const std::string& path) : stream(path.c_str()), info(path) {
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

// Sniffing: a file that does not start like TIFF is not a DNG (or a damaged one).
void CheckLooksLikeDNG(const std::string& path) {
    if (StartsLikeTIFF(path)) return;
    if (RawUpperExtension(path) != "DNG") throw UnsupportedFormatError(path);
    throw dng_exception(dng_error_bad_format, "it does not start like a TIFF file");
}

// Lossy JPEG data stays undeveloped; the decoder's words go to the log only.
platform::Error LossyRefusal(const std::string& path) {
    return RawOpenError(
        "The DNG file \"" + FileName(path) +
        "\" cannot be opened: this DNG holds lossy-compressed (JPEG) image data, "
        "which Quorvex does not develop (a thumbnail shown for it is the file's own "
        "preview).");
}

platform::Error NoColourMatrix(const std::string& path) {
    return RawOpenError("The DNG file \"" + FileName(path) +
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

// Colour choice: the chosen profile's matrices, or the negative's own
// profile, white at the as-shot white. Null for a monochrome sensor. A
// chosen profile that cannot serve gives way to the file's own, with a
// warning naming it.
std::unique_ptr<dng_color_spec> ChooseColorSpec(const DecodeRequest& req, dng_negative& neg,
                                                rawWrapper::Decoded& out) {
    const uint32_t channels = neg.ColorChannels();
    if (channels == 1) return nullptr;
    std::unique_ptr<dng_camera_profile> chosen = ProfileFromChoice(req.profile);
    if (!chosen && neg.ProfileCount() == 0) throw NoColourMatrix(req.path);
    if (channels != 3)
        throw RawOpenError("The DNG file \"" + FileName(req.path) + "\" has " +
                           std::to_string(channels) + " colour channels; only 3 are decoded.");
    std::unique_ptr<dng_color_spec> spec;
    if (chosen) {
        const std::string problem = ChosenProfileProblem(neg, *chosen, spec);
        if (!problem.empty())
            out.warnings.push_back("The camera profile \"" +
                                   req.profile->profileURL().filename().string() +
                                   "\" cannot be used for \"" + FileName(req.path) +
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

// A size the file cannot hold is damage, whatever the size limits. Sizes
// are in decimal units, as file sizes in bytes convert at a glance, with
// three significant digits and `extra` more.
std::string ByteSize(uint64_t bytes, int extra) {
    if (bytes < 1000000) return std::to_string(bytes) + " bytes";
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
    throw RawOpenError("The DNG file \"" + FileName(path) + "\" is damaged: it claims " +
                       std::to_string(rawIFD.fImageWidth) + " x " +
                       std::to_string(rawIFD.fImageLength) + " pixels, " + atLeast + claimed +
                       " of image data" + packed + ", in a file of " + held + ".");
}

// Before any pixel memory is taken: the images this system hands on are at
// most 65535 pixels a side, and a file claiming more is refused.
void CheckImageSize(const std::string& path, const dng_parsed_ifd& rawIFD) {
    if (rawIFD.fImageWidth > 65535 || rawIFD.fImageLength > 65535 ||
        uint64_t(rawIFD.fImageWidth) * rawIFD.fImageLength > (uint64_t(1) << 28))
        throw RawOpenError("The image of \"" + FileName(path) + "\" is " +
                           std::to_string(rawIFD.fImageWidth) + " x " +
                           std::to_string(rawIFD.fImageLength) +
                           " pixels, more than this system decodes.");
}

// Colour codes of the CFAPattern tag beyond red, green and blue.
const char* FilterColourName(uint8_t code) {
    static const char* const names[] = {"red", "green", "blue", "cyan", "magenta", "yellow", "white"};
    return code < 7 ? names[code] : "unknown";
}

// The mosaic's layout as plane indices (0, 1, 2), or a line that says why
// the file's layout cannot be demosaiced. A Bayer layout reads as it always
// has, so that its renderings stay the same.
CFALayout MosaicLayout(const std::string& path, const dng_parsed_ifd& rawIFD, uint32_t channels) {
    const std::string name = "The DNG file \"" + FileName(path) + "\"";
    if (std::optional<CFAPattern> pattern = BayerPattern(rawIFD))
        return CFALayout::fromBayer(*pattern);
    const uint32_t rows = rawIFD.fCFARepeatPatternRows, cols = rawIFD.fCFARepeatPatternCols;
    const uint32_t planeCount = std::min<uint32_t>(rawIFD.fCFAPlaneColorCount, 4);
    std::string colours;
    bool beyondRGB = channels > 3;
    for (uint32_t p = 0; p < planeCount; p++) {
        beyondRGB = beyondRGB || rawIFD.fCFAPlaneColor[p] > 2;
        colours += std::string(p == 0 ? "" : p + 1 == planeCount ? " and " : ", ") +
                   FilterColourName(rawIFD.fCFAPlaneColor[p]);
    }
    if (beyondRGB)
        throw RawOpenError(name + " has a colour filter layout of " + colours +
                           " filters, which Quorvex does not support.");
    std::array<uint8_t, CFALayout::kMostRepeat * CFALayout::kMostRepeat> planes{};
    const uint32_t cells = rows <= CFALayout::kMostRepeat && cols <= CFALayout::kMostRepeat
                               ? rows * cols
                               : 0;
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
        const std::string name = "\"" + FileName(path) + "\"";
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

// White balance: the as-shot neutral (largest entry 1) and the matrix from
// balanced camera RGB to ProPhoto. When the neutral lies outside the white
// range the colour spec can reach, the balanced white would keep a cast: the
// last row scaling maps it to grey exactly.
struct WhiteBalance {
    std::array<double, 3> neutral{1, 1, 1};
    dng_matrix balanced = dng_vector_3(1, 1, 1).AsDiagonal();
};

WhiteBalance BalanceFor(const dng_negative& neg, const dng_color_spec* spec) {
    WhiteBalance wb;
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

RawSamples GreyToRGB(const RawSamples& grey) {
    RawSamples rgb(grey.size() * 3);
    for (size_t i = 0; i < grey.size(); i++) rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = grey[i];
    return rgb;
}

const RawMatrix3 kIdentity{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

// An image that is already full colour (LinearRaw) or from a monochrome sensor.
void DecodeFullColour(const DecodeRequest& req, OpenedDNG& dng, const dng_image& stage,
                      const RawCrop& crop, uint32_t orientation, bool haveSpec,
                      const WhiteBalance& wb, rawWrapper::Decoded& out) {
    const uint32_t planes = std::min<uint32_t>(stage.Planes(), 3);
    if (planes != 3 && planes != 1)
        throw dng_exception(dng_error_bad_format,
                            "its full-colour image has neither 1 nor 3 planes");
    RawSamples samples = ReadPacked(stage, planes, req.bands);
    RawSamples rgb = planes == 1 ? GreyToRGB(samples) : std::move(samples);
    const auto& n = wb.neutral;
    const RawMatrix3 m =
        planes == 1 || !haveSpec
            ? kIdentity
            : ToRawMatrix3(wb.balanced * dng_vector_3(1 / n[0], 1 / n[1], 1 / n[2]).AsDiagonal());
    RawOrientedSize(orientation, crop.width, crop.height, out.width, out.height);
    CheckOutputSize(req.path, out.width, out.height);
    Finish(rgb, stage.Width(), crop, orientation, m, req.bands, out.master);
    StoreMetadata(dng, orientation, 16, out);
}

// White balance the mosaic in place: divide by the neutral, largest channel kept.
void BalanceMosaic(RawSamples& cfaSamples, uint32_t width, uint32_t height,
                   const CFALayout& layout, const WhiteBalance& wb, unsigned bands,
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

// The browser's thumbnail: a half-size rendering straight from a Bayer
// mosaic; other layouts take the smooth interpolation at full size.
void DecodeHalfSize(const DecodeRequest& req, const MosaicPlane& mosaic, const RawCrop& crop,
                    uint32_t orientation, const RawMatrix3& matrix, rawWrapper::Decoded& out) {
    const uint32_t width = mosaic.width, height = mosaic.height;
    const std::optional<CFAPattern> bayer = mosaic.layout.bayer();
    if (!bayer) {
        RawSamples rgb(size_t(width) * height * 3);
        DemosaicXTransSmooth(mosaic, rgb.data(), req.bands);
        Finish(rgb, width, crop, orientation, matrix, req.bands, out.master);
        return;
    }
    const CFAPlane cfa{mosaic.samples, width, height, mosaic.rowStride, *bayer};
    RawSamples half = HalfSizeRGB(cfa, req.bands);
    RawCrop halfCrop{crop.left / 2, crop.top / 2, std::max(1u, crop.width / 2),
                     std::max(1u, crop.height / 2)};
    halfCrop.width = std::min(halfCrop.width, width / 2 - halfCrop.left);
    halfCrop.height = std::min(halfCrop.height, height / 2 - halfCrop.top);
    RawOrientedSize(orientation, halfCrop.width, halfCrop.height, out.width, out.height);
    CheckOutputSize(req.path, out.width, out.height);
    Finish(half, width / 2, halfCrop, orientation, matrix, req.bands, out.master);
    (*out.metaData).set(kCGImagePropertyPixelWidth, int64_t(out.width));
    (*out.metaData).set(kCGImagePropertyPixelHeight, int64_t(out.height));
}

// The two renderings, each through opcode list 3 when the file has one
// (`dng` is null when it has none): for a Bayer mosaic the master by AHD and
// the alternate by LMMSE; for any other layout the homogeneity-directed
// master and the smooth alternate.
void DemosaicBoth(const DecodeRequest& req, const MosaicPlane& mosaic, const RawCrop& crop,
                  uint32_t orientation, const RawMatrix3& matrix, OpenedDNG* dng,
                  rawWrapper::Decoded& out) {
    const uint32_t width = mosaic.width, height = mosaic.height;
    const bool whole = crop.left == 0 && crop.top == 0 && crop.width == width &&
                       crop.height == height && (orientation <= 1 || orientation > 8);
    // Where red and blue alone carry detail is the mosaic's own: the alternate
    // (the wider halo) finds it, the master takes it.
    platform::ColourOnlyCells colourOnly;
    const std::optional<CFAPattern> bayer = mosaic.layout.bayer();
    if (!bayer) {
        // One pass makes both: the master's first steps are the alternate's.
        const size_t samples = size_t(width) * height * 3;
        if (!dng && whole) {
            out.master.resize(samples);
            out.alternate.resize(samples);
            DemosaicXTransBoth(mosaic, out.master.data(), out.alternate.data(), req.bands,
                               &matrix);
            return;
        }
        RawSamples rgb(samples), alternate(samples);
        DemosaicXTransBoth(mosaic, rgb.data(), alternate.data(), req.bands);
        for (auto [image, target] : {std::pair{&rgb, &out.master}, {&alternate, &out.alternate}}) {
            if (dng) ApplyOpcodeList3(dng->host, *dng->negative, *image, width, height);
            Finish(*image, width, crop, orientation, matrix, req.bands, *target);
        }
        return;
    }
    const CFAPlane cfa{mosaic.samples, width, height, mosaic.rowStride, *bayer};
    const auto render = [&](bool master, uint16_t* rgb, const RawMatrix3* colour) {
        if (master)
            DemosaicAHD(cfa, rgb, req.bands, colour, &colourOnly);
        else
            DemosaicLMMSE(cfa, rgb, req.bands, colour, &colourOnly);
    };
    if (!dng && whole) {
        // Nothing between the interpolation and the colour: the tiles are
        // stored converted, sparing a pass over each rendering.
        out.alternate.resize(size_t(width) * height * 3);
        render(false, out.alternate.data(), &matrix);
        out.master.resize(size_t(width) * height * 3);
        render(true, out.master.data(), &matrix);
        return;
    }
    RawSamples rgb(size_t(width) * height * 3);
    render(false, rgb.data(), nullptr);
    if (dng) ApplyOpcodeList3(dng->host, *dng->negative, rgb, width, height);
    Finish(rgb, width, crop, orientation, matrix, req.bands, out.alternate);
    rgb.resize(size_t(width) * height * 3);
    render(true, rgb.data(), nullptr);
    if (dng) ApplyOpcodeList3(dng->host, *dng->negative, rgb, width, height);
    Finish(rgb, width, crop, orientation, matrix, req.bands, out.master);
}

// The makers' own formats: LibRaw gives the sensor's data, the road after it
// is the DNG's. Chosen by content: a DNG stays on our own reader.

bool DecodesThroughLibRaw(const std::string& path) {
    return gDNGThroughLibRaw.load() || !LibRawSource::isDNG(path);
}

// A negative that holds only what the colour road reads: the camera's
// matrices and its as-shot neutral.
std::unique_ptr<dng_negative> ColourNegative(dng_host& host, const LibRawSource::Colour& colour) {
    std::unique_ptr<dng_negative> negative = dng_negative::Make(host);
    negative->SetColorChannels(3);
    const auto matrix = [](const std::array<std::array<double, 3>, 3>& m) {
        dng_matrix out(3, 3);
        for (uint32 r = 0; r < 3; r++)
            for (uint32 c = 0; c < 3; c++) out[r][c] = m[r][c];
        return out;
    };
    auto profile = std::make_unique<dng_camera_profile>();
    profile->SetCalibrationIlluminant1(colour.illuminant1);
    profile->SetColorMatrix1(matrix(colour.cameraFromXYZ1));
    if (colour.cameraFromXYZ2) {
        profile->SetCalibrationIlluminant2(colour.illuminant2);
        profile->SetColorMatrix2(matrix(*colour.cameraFromXYZ2));
    }
    negative->AddProfile(std::move(profile));
    const auto& n = colour.asShotNeutral;
    negative->SetCameraNeutral(dng_vector_3(n[0], n[1], n[2]));
    return negative;
}

bool DecodeEmbeddedPreview(LibRawSource& source, unsigned bands, rawWrapper::Decoded& out) {
    std::vector<uint8_t> jpeg, rgb8;
    uint32_t w = 0, h = 0;
    if (!source.readPreview(jpeg, rgb8, w, h)) return false;
    // A small bitmap (the Kodak cameras' 80 x 60) is the sensor's colours
    // unrendered: a half-size decode shows the picture better.
    if (jpeg.empty() && std::max(w, h) < 160) return false;
    if (!jpeg.empty() && !DecodeJpegRGB(jpeg, rgb8, w, h)) return false;
    // The preview is stored unturned, as the sensor's picture is.
    const auto [pictureW, pictureH] = source.orientedSize();
    const bool turned = source.orientation() >= 5;
    RawCutPreviewBars(rgb8, w, h,
                      turned ? double(pictureH) / pictureW : double(pictureW) / pictureH);
    StorePreview(rgb8, w, h, source.orientation(), bands, out);
    return true;
}

// Non-square pixels: the renderings widened (or heightened) to their aspect.
void StretchToAspect(double aspect, uint32_t orientation, rawWrapper::Decoded& out) {
    if (aspect == 1.0 || out.outputReferred) return;
    const bool turned = orientation >= 5 && orientation <= 8;
    const bool alongRows = (aspect > 1.0) != turned;
    const uint32_t size = alongRows ? out.width : out.height;
    const auto newSize = uint32_t(aspect > 1.0 ? size * aspect : size / aspect);
    for (RawSamples* image : {&out.master, &out.alternate})
        if (!image->empty()) *image = RawStretch(*image, out.width, out.height, alongRows, newSize);
    (alongRows ? out.width : out.height) = newSize;
}

void DecodeLibRawData(const DecodeRequest& req, LibRawSource& source, rawWrapper::Decoded& out,
                      std::vector<uint16_t>& lut) {
    out.make = source.make();
    out.model = source.model();
    const uint32_t orientation = source.orientation();
    const auto [plannedWidth, plannedHeight] = source.orientedSize();
    CheckOutputSize(req.path, plannedWidth, plannedHeight);
    dng_host host;
    const std::unique_ptr<dng_negative> negative = ColourNegative(host, source.colour());
    const bool greySensor = source.layout() == LibRawSource::Layout::Monochrome;
    out.metaData = std::make_shared<platform::Dictionary>();
    if (req.thumbnail && DecodeEmbeddedPreview(source, req.bands, out)) {
        if (!greySensor) ChooseColorSpec(req, *negative, out);
        *out.metaData = source.metadata(out.width, out.height, 8);
        return;
    }
    source.unpack();
    const uint32_t width = source.width(), height = source.height();
    RawSamples plane;
    if (source.layout() != LibRawSource::Layout::Interpolated) plane = source.readPlane(req.bands);
    // A file that states no white balance: the light of the whole picture.
    if (source.layout() == LibRawSource::Layout::Bayer && !source.statesWhiteBalance())
        if (const auto grey = SceneNeutral(plane, width, height, *source.pattern()))
            negative->SetCameraNeutral(dng_vector_3((*grey)[0], (*grey)[1], (*grey)[2]));
    const std::unique_ptr<dng_color_spec> spec =
        greySensor ? nullptr : ChooseColorSpec(req, *negative, out);
    const WhiteBalance wb = BalanceFor(*negative, spec.get());
    const RawCrop whole{0, 0, width, height};
    RawOrientedSize(orientation, width, height, out.width, out.height);
    if (source.layout() == LibRawSource::Layout::Interpolated) {
        uint32_t w = 0, h = 0;
        RawSamples rgb = source.readInterpolated(wb.neutral, req.thumbnail, w, h);
        RawOrientedSize(orientation, w, h, out.width, out.height);
        static const PreviewConverter sRGB;
        const RawMatrix3 matrix =
            source.interpolatesInCameraRGB() ? ToRawMatrix3(wb.balanced) : sRGB.matrix;
        Finish(rgb, w, RawCrop{0, 0, w, h}, orientation, matrix, req.bands, out.master);
    } else if (greySensor) {
        RawSamples rgb = GreyToRGB(plane);
        Finish(rgb, width, whole, orientation, kIdentity, req.bands, out.master);
    } else {
        RawSamples cfaSamples = std::move(plane);
        BalanceMosaic(cfaSamples, width, height, *source.mosaicLayout(), wb, req.bands, lut);
        const MosaicPlane cfa{cfaSamples.data(), width, height, width, *source.mosaicLayout()};
        const RawMatrix3 matrix = ToRawMatrix3(wb.balanced);
        if (req.monochrome) {
            RawSamples rgb = GreyToRGB(cfaSamples);
            Finish(rgb, width, whole, orientation, kIdentity, req.bands, out.master);
        } else if (req.thumbnail && width >= 4 && height >= 4) {
            DecodeHalfSize(req, cfa, whole, orientation, matrix, out);
        } else {
            DemosaicBoth(req, cfa, whole, orientation, matrix, nullptr, out);
        }
    }
    StretchToAspect(source.pixelAspect(), orientation, out);
    CheckOutputSize(req.path, out.width, out.height);
    *out.metaData = source.metadata(out.width, out.height, 16);
}

void DecodeThroughLibRaw(const DecodeRequest& req, rawWrapper::Decoded& out,
                         std::vector<uint16_t>& lut) {
    try {
        LibRawSource source(req.path);
        DecodeLibRawData(req, source, out, lut);
    } catch (const dng_exception& e) {
        // Only the colour road throws these here: the file's colour data.
        if (e.ErrorCode() == dng_error_memory) throw;
        throw RawOpenError("The raw file \"" + FileName(req.path) +
                           "\" cannot be rendered: its colour data give no usable colour" +
                           WhatFailed(e) + ".");
    } catch (const std::invalid_argument& e) {
        throw RawOpenError("The raw file \"" + FileName(req.path) +
                           "\" could not be decoded: " + e.what() + ".");
    }
}

std::pair<uint32_t, uint32_t> PlannedSize(const std::string& path) {
    if (DecodesThroughLibRaw(path)) {
        try {
            return LibRawSource(path).orientedSize();
        } catch (const LibRawUnsupported&) {
            if (RawUpperExtension(path) != "DNG") throw;
        }
    }
    CheckLooksLikeDNG(path);
    OpenedDNG dng(path);
    const dng_negative& neg = *dng.negative;
    const dng_parsed_ifd& rawIFD = dng.info.MainIFD();
    CheckDataHoldsImage(path, rawIFD, dng.stream.Length());
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

bool StatesRenderedPicture(const std::string& path) {
    if (DecodesThroughLibRaw(path)) return false;
    const OpenedDNG dng(path);
    return dng.negative->ColorimetricReference() != 0;
}

void DecodeFile(const DecodeRequest& req, rawWrapper::Decoded& out, std::vector<uint16_t>& lut) {
    // A file that cannot be read is said to be so before any decoder takes
    // what it failed to read for a format it does not know.
    (void)StartsLikeTIFF(req.path);
    if (DecodesThroughLibRaw(req.path)) {
        try {
            return DecodeThroughLibRaw(req, out, lut);
        } catch (const LibRawUnsupported&) {
            // Under a DNG name, our reader says what is wrong with it.
            if (RawUpperExtension(req.path) != "DNG" || gDNGThroughLibRaw) throw;
        }
    }
    CheckLooksLikeDNG(req.path);
    auto dng = std::make_unique<OpenedDNG>(req.path);
    out.warnings = dng->info.warnings;
    out.notes = dng->info.notes;
    dng_negative& neg = *dng->negative;
    const dng_exif& exif = *neg.Metadata().GetExif();
    out.make = exif.fMake.Get();
    out.model = exif.fModel.Get();
    out.baselineExposure = float(neg.BaselineExposure());
    out.outputReferred = neg.ColorimetricReference() != 0;
    const uint32_t orientation = neg.ComputeOrientation(neg.Metadata()).GetTIFF();
    const dng_parsed_ifd& rawIFD = dng->info.MainIFD();
    CheckDataHoldsImage(req.path, rawIFD, dng->stream.Length());

    // A layout that cannot be demosaiced is named before its colours are
    // judged (a four-colour one would otherwise be told by its count alone).
    const bool monochromeSensor = neg.ColorChannels() == 1;
    const bool demosaic = rawIFD.fPhotometricInterpretation == piCFA && !monochromeSensor;
    std::optional<CFALayout> layout;
    if (demosaic) layout = MosaicLayout(req.path, rawIFD, neg.ColorChannels());
    const std::unique_ptr<dng_color_spec> spec = ChooseColorSpec(req, neg, out);
    CheckImageSize(req.path, rawIFD);

    if (req.thumbnail &&
        DecodeLargestPreview(dng->host, dng->stream, dng->info, orientation, req.bands, out)) {
        StoreMetadata(*dng, orientation, 8, out);
        return;
    }

    if (rawIFD.fCompression == ccLossyJPEG) throw LossyRefusal(req.path);
    ReadStageImages(*dng, !demosaic, req.path);
    const dng_image* stage = demosaic ? neg.Stage2Image() : neg.Stage3Image();
    if (!stage) throw dng_exception(dng_error_unknown, "no image came out of its raw data");
    const uint32_t width = stage->Width(), height = stage->Height();
    const RawCrop crop = DefaultCrop(neg, width, height);
    const WhiteBalance wb = BalanceFor(neg, spec.get());

    if (!demosaic) {
        DecodeFullColour(req, *dng, *stage, crop, orientation, spec != nullptr, wb, out);
        return;
    }

    RawSamples cfaSamples = ReadPacked(*stage, 1, req.bands);
    // The metadata reads the negative's records; its images can go after.
    RawOrientedSize(orientation, crop.width, crop.height, out.width, out.height);
    CheckOutputSize(req.path, out.width, out.height);
    StoreMetadata(*dng, orientation, 16, out);
    // Opcode list 3 works on the demosaiced images; without one the
    // negative's images can go now.
    if (neg.OpcodeList3().IsEmpty()) dng.reset();
    BalanceMosaic(cfaSamples, width, height, *layout, wb, req.bands, lut);
    const MosaicPlane cfa{cfaSamples.data(), width, height, width, *layout};
    const RawMatrix3 matrix = ToRawMatrix3(wb.balanced);

    if (req.monochrome) {
        // A sensor without its filters: each balanced sample is a grey value.
        RawSamples rgb = GreyToRGB(cfaSamples);
        Finish(rgb, width, crop, orientation, kIdentity, req.bands, out.master);
        return;
    }
    if (req.thumbnail && width >= 4 && height >= 4) {
        DecodeHalfSize(req, cfa, crop, orientation, matrix, out);
        return;
    }
    DemosaicBoth(req, cfa, crop, orientation, matrix, dng.get(), out);
}

}  // namespace
