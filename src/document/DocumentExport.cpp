// The document's export: the whole cropped image rendered at full size in the
// rendering space of the file type and written beside its final name through
// platform::OutputFile, then put in place by the caller's policy, so a failure
// never leaves a partial file and nothing is replaced by accident. JPEG is
// encoded here; TIFF, DNG and OpenEXR go to their fronts (ExportFronts).
// Failures to create or finish the file carry the system's reason after the
// fixed text. MyDocument::exportToURL lives here, with its four steps:
// validate, render, encode, publish.
#include "document/DocumentExport.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

#include "color/SettingsKeys.h"
#include "document/ExportFronts.h"
#include "document/JpegExport.h"
#include "document/MyDocument.h"
#include "document/QuorvexErrors.h"
#include "engine/TiledEngine.h"
#include "export/DngTiffWriter.h"
#include "platform/IccProfile.h"
#include "platform/JpegWriter.h"
#include "platform/LargeBlockPool.h"
#include "platform/Log.h"
#include "raw/rawWrapper.h"

namespace {

using platform::Dictionary;
using platform::Value;

bool fail(platform::Error* error, const platform::Error& e) {
    if (error) *error = e;
    return false;
}

// 16-bit output samples are on the 65325 scale; 8-bit 255 is that white.
constexpr float kEightBitScale = 255.0f / 65325.0f;

uint8_t toEightBit(float v) {
    v = v * kEightBitScale + 0.5f;
    return static_cast<uint8_t>(v >= 255.0f ? 255.0f : (v > 0 ? v : 0.0f));
}

// The bitmap reader's linear buffer has white at 65535.
void linearToEightBit(const std::vector<uint16_t>& in, std::span<uint8_t> out) {
    const size_t n = in.size();
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(static_cast<float>(in[i]) * (255.0f / 65535.0f) + 0.5f);
}

// The keys the engine renders from; the document's other keys (crop,
// orientation, identity) reach the export some other way.
const std::vector<std::string>& engineSettingsKeys() {
    // Never destroyed: an export on the pool may read it at exit.
    static const std::vector<std::string>& keys = *[] {
        auto* k = new std::vector<std::string>(MyDocument::defaultSettings().keys());
        for (const char* extra : {SettingsKeys::kInputTemperature, SettingsKeys::kInputTint,
                                  SettingsKeys::kSceneReferred, SettingsKeys::kUseAsShotWB})
            k->emplace_back(extra);
        return k;
    }();
    return keys;
}

// Hands the engine what the document holds now when it differs from what the
// engine last took: a document that was never shown stores some settings
// without telling its engine. The export's own run, which follows at once,
// does the work.
void handSettingsToEngine(ThreadedImageEngine& engine, const Dictionary& settings) {
    const Dictionary held = engine.imageParameters();
    std::vector<std::string> changed;
    for (const std::string& key : engineSettingsKeys()) {
        const Value* now = settings.find(key);
        const Value* before = held.find(key);
        if ((now == nullptr) == (before == nullptr) && (!now || *now == *before)) continue;
        // The as-shot switch is part of the white balance (the table knows
        // no stage for it).
        changed.push_back(key == SettingsKeys::kUseAsShotWB ? SettingsKeys::kInputTemperature
                                                            : key);
    }
    if (!changed.empty()) engine.takeSettingsChange(changed, settings);
}

}  // namespace

// ---------------------------------------------------------------- rules

std::string DocumentExport::typeForExportFileType(const Value& setting) {
    if (!setting.isNumber()) return kTypeJPEG;
    const int64_t t = setting.integerValue();
    if (t == 1) return kTypeTIFF;
    if (t == 2) return kTypeDNG;
    if (t >= 3 && t <= 6) return kTypeEXR;
    return kTypeJPEG;
}

std::string DocumentExport::extensionForType(const std::string& type) {
    if (type == kTypeTIFF) return "tif";
    if (type == kTypeDNG) return "dng";
    if (type == kTypeEXR) return "exr";
    return "jpg";
}

int DocumentExport::exrFormatCode(const Dictionary& settings) {
    const Value* v = settings.find(SettingsKeys::kExportFileType);
    if (!v || !v->isNumber()) return 0;
    switch (v->integerValue()) {
        case 4:
            return 2;
        case 5:
            return 1;
        case 6:
            return 3;
        default:
            return 0;
    }
}

double DocumentExport::compressionQuality(const Dictionary& settings) {
    const Value* v = settings.find(SettingsKeys::kJPEGQuality);
    if (!v || !v->isNumber()) return 1.0;
    const double q = v->realValue() / 10.0;
    return std::isfinite(q) ? std::clamp(q, 0.0, 1.0) : 1.0;
}

platform::Rect DocumentExport::stageRectForCrop(const platform::Rect& crop,
                                                const platform::Rect& extent) {
    if (crop.isNull() || !(crop.width >= 1) || !(crop.height >= 1)) return extent;
    // To the extent's bottom-left origin first, then clamped.
    const double x0 = std::max(crop.x, 0.0);
    const double top = std::max(crop.y, 0.0);
    const double x1 = std::min(crop.x + crop.width, extent.width);
    const double bottom = std::min(crop.y + crop.height, extent.height);
    if (!(x1 - x0 >= 1) || !(bottom - top >= 1)) return extent;
    const double w = std::floor(x1 - x0), h = std::floor(bottom - top);
    return {extent.x + std::floor(x0), extent.y + extent.height - std::floor(top) - h, w, h};
}

int DocumentExport::exportOrientation(const Dictionary& settings, const std::string& source) {
    const Value* v = settings.find(SettingsKeys::kImageOrientation);
    if (!v || !v->isNumber()) return 0;
    const double d = v->realValue();
    const int o = std::isfinite(d) && std::fabs(d) < 1e6 ? static_cast<int>(d) : -1;
    switch (o) {
        case 0:
        case 1:
        case 3:
        case 6:
        case 8:
            return o;
        case 2:
        case 4:
        case 5:
        case 7:
            platform::log("Invalid image rotate %i in %s", o, source.c_str());
            return 1;
        default:
            return 1;
    }
}

Dictionary DocumentExport::imageProperties(const Dictionary* metaData, double quality,
                                           const std::string& software) {
    Dictionary props = metaData ? *metaData : Dictionary();
    props.set("Orientation", Value(1));
    props.set("HasAlpha", Value(false));
    props.set("kCGImageDestinationLossyCompressionQuality", Value(quality));
    Dictionary tiff;
    if (const Value* t = props.find("{TIFF}"); t && t->isDictionary()) tiff = t->dictionary();
    tiff.set("Software", Value(software));
    tiff.set("Orientation", Value(1));
    props.set("{TIFF}", Value(std::move(tiff)));
    return props;
}

namespace {

// Every 16-bit sample's 8-bit value: the same float steps as toEightBit, so
// the bytes are those of the per-pixel formula.
const std::array<uint8_t, 65536>& eightBitTable() {
    static const std::array<uint8_t, 65536> table = [] {
        std::array<uint8_t, 65536> t{};
        for (size_t v = 0; v < t.size(); ++v) t[v] = toEightBit(static_cast<float>(v));
        return t;
    }();
    return table;
}

// Un-premultiplies as the bitmap reader does; no alpha reads as 0.
void packPremultiplied(const uint16_t c[4], uint8_t* o) {
    const float a = static_cast<float>(c[3]) / 65535.0f;
    for (int k = 0; k < 3; ++k)
        o[k] = a > 0 ? toEightBit(std::min(static_cast<float>(c[k]) / a, 65535.0f)) : 0;
}

// One row of 16-bit little-endian RGBA to packed RGB. An opaque pixel (or any
// pixel of a straight-alpha image) divides by exactly 1, so its samples go
// through the table; only translucent premultiplied pixels take the formula.
void packRow(const uint8_t* row, size_t width, bool premultiplied, uint8_t* o) {
    const uint8_t* table = eightBitTable().data();
    for (size_t x = 0; x < width; ++x, row += 8, o += 3) {
        uint16_t c[4];
        std::memcpy(c, row, sizeof c);
        if constexpr (std::endian::native == std::endian::big)
            for (uint16_t& v : c) v = static_cast<uint16_t>((v >> 8) | (v << 8));
        if (premultiplied && c[3] != 0xFFFF) [[unlikely]] {
            packPremultiplied(c, o);
            continue;
        }
        o[0] = table[c[0]];
        o[1] = table[c[1]];
        o[2] = table[c[2]];
    }
}

// packRow for native-endian premultiplied samples.
void packNativeRow(const uint16_t* c, size_t width, uint8_t* o) {
    const uint8_t* table = eightBitTable().data();
    for (size_t x = 0; x < width; ++x, c += 4, o += 3) {
        if (c[3] != 0xFFFF) [[unlikely]] {
            packPremultiplied(c, o);
            continue;
        }
        o[0] = table[c[0]];
        o[1] = table[c[1]];
        o[2] = table[c[2]];
    }
}

}  // namespace

bool DocumentExport::packsEightBit(const platform::BitmapImage& image) {
    const uint32_t alpha = image.alphaInfo();
    if (image.bitsPerComponent() != 16 || image.bitsPerPixel() != 64 || image.isFloat() ||
        image.byteOrderInfo() != platform::kBitmapByteOrder16Little ||
        (alpha != platform::kBitmapAlphaLast && alpha != platform::kBitmapAlphaNoneSkipLast &&
         alpha != platform::kBitmapAlphaPremultipliedLast))
        return false;
    const auto& provider = image.dataProvider();
    const size_t w = image.width(), h = image.height(), stride = image.bytesPerRow();
    return provider && provider->bytes() && w != 0 && h != 0 && stride >= w * 8 &&
           provider->length() >= (h - 1) * stride + w * 8;
}

bool DocumentExport::eightBitRows(const platform::BitmapImage& image, size_t first, size_t count,
                                  uint8_t* out) {
    if (!packsEightBit(image) || out == nullptr || first > image.height() ||
        count > image.height() - first)
        return false;
    const bool premultiplied = image.alphaInfo() == platform::kBitmapAlphaPremultipliedLast;
    const size_t w = image.width(), stride = image.bytesPerRow();
    const uint8_t* base = image.dataProvider()->bytes();
    for (size_t y = 0; y < count; ++y)
        packRow(base + (first + y) * stride, w, premultiplied, out + y * w * 3);
    return true;
}

void DocumentExport::eightBitRows(const uint16_t* rgba, size_t rowSamples, size_t width,
                                  size_t count, uint8_t* out) {
    for (size_t y = 0; y < count; ++y)
        packNativeRow(rgba + y * rowSamples, width, out + y * width * 3);
}

platform::Error DocumentExport::destinationError(long code,
                                                 const std::filesystem::path& destination,
                                                 const platform::Error& cause) {
    platform::Error error = quorvexError(code);
    error.failureReason += " \"" + destination.filename().string() + "\"";
    std::error_code ec;
    const std::string folder =
        std::filesystem::absolute(destination, ec).lexically_normal().parent_path().string();
    if (cause.failureReason.find(folder) == std::string::npos)
        error.failureReason += " in " + folder;
    if (!cause.failureReason.empty()) error.failureReason += ": " + cause.failureReason;
    return error;
}

platform::Error DocumentExport::writeError(const std::filesystem::path& destination,
                                           const std::string& reason) {
    return quorvexError(kQuorvexErrorWriter,
                        "Could not write " + destination.string() + ": " + reason);
}

platform::Error DocumentExport::noMemoryError() {
    platform::Error error = quorvexError(kQuorvexErrorNoMemory);
    error.failureReason = TiledEngine::kNoMemoryForOutput;
    return error;
}

bool DocumentExport::sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code ec;
    if (std::filesystem::exists(a, ec) && std::filesystem::exists(b, ec))
        return std::filesystem::equivalent(a, b, ec);
    const auto ca = std::filesystem::weakly_canonical(a, ec);
    const auto cb = std::filesystem::weakly_canonical(b, ec);
    return ca == cb;
}

// ---------------------------------------------------------------- export

bool MyDocument::exportToURL(const std::filesystem::path& url, const std::string& type,
                             const platform::Rect& cropRect, bool canReleaseImages,
                             platform::Error* error) {
    platform::OutputFile::Policy policy;
    policy.replace = true;
    if (auto raw = fileURL(); !raw.empty()) policy.protect.push_back(raw);
    return exportToURL(url, type, cropRect, canReleaseImages, policy, nullptr, error);
}

// One export's inputs and what each step hands the next. The steps run in
// order, each returning false with `failure` set.
namespace {

struct ExportJob {
    ThreadedImageEngine& engine;
    const Dictionary& settings;
    const std::string& source;  // the raw file, named in log lines
    const std::filesystem::path& url;
    const std::string& type;
    const platform::Rect& crop;
    const platform::OutputFile::Policy& policy;
    std::mutex& exportLock;

    ImageWrapper::Ptr wrapper{};             // from render
    std::shared_ptr<CGImageBitMap> image{};  // from render, released by publish
    double quality = 1;                      // from encode
    int32_t width = 0, height = 0;           // from encode
    // From encode: the rendered bitmap when the encoder can take its rows as
    // they are packed, else the whole image as packed 8-bit RGB (every byte
    // is written before the file is: no zeroing first).
    std::shared_ptr<const platform::BitmapImage> pixels{};
    std::vector<uint8_t, platform::LargeBlockAllocator<uint8_t>> rgb8{};
    std::vector<uint8_t> exif{}, icc{};
    platform::Error failure{};
};

bool failJob(ExportJob& job, platform::Error e) {
    job.failure = std::move(e);
    return false;
}

// Cheap refusals before the render (the publish step checks again): a folder
// that cannot take the file, a protected target.
bool validate(ExportJob& job) {
    const auto& url = job.url;
    const auto folder = url.has_parent_path() ? url.parent_path() : std::filesystem::path(".");
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        const int err = errno;
        return failJob(job, DocumentExport::destinationError(
                                kQuorvexErrorCreateDestination, url,
                                {platform::PosixErrorDomain, err, std::strerror(err)}));
    }
    // A numbered export moves on to the next name instead.
    for (const auto& kept : job.policy.protect) {
        if (job.policy.replace && !job.policy.numbered && DocumentExport::sameFile(url, kept))
            return failJob(job, DocumentExport::destinationError(
                                    kQuorvexErrorCreateDestination, url,
                                    {platform::PosixErrorDomain, EEXIST,
                                     url.string() + " is a file this export must not replace"}));
    }
    return true;
}

// The largest image each file type holds: JPEG counts pixels a side; TIFF
// and DNG are written uncompressed at 16 bits per sample and must stay
// within their 32-bit offsets, with room for the metadata and preview.
constexpr uint64_t kMaxJpegSide = 65500;
constexpr uint64_t kMaxClassicTiffBytes = 0xFFFFFFFFull;
constexpr uint64_t kTiffRoomForMetadata = 16ull << 20;

std::optional<platform::Error> sizeRefusal(const std::string& type, uint64_t width,
                                           uint64_t height) {
    const std::string size = std::to_string(width) + " x " + std::to_string(height) + " pixels";
    if (!ExportFronts::handles(type) && std::max(width, height) > kMaxJpegSide)
        return quorvexError(kQuorvexErrorWriter,
                            "The image is " + size +
                                "; a JPEG file holds at most 65500 pixels a side. Crop it, or "
                                "export it as TIFF, DNG or OpenEXR.");
    const bool tiff = type == DocumentExport::kTypeTIFF, dng = type == DocumentExport::kTypeDNG;
    if ((tiff || dng) && width * height * 6 + kTiffRoomForMetadata > kMaxClassicTiffBytes)
        return quorvexError(kQuorvexErrorWriter,
                            std::string(DngTiffWriter::errorStringForCode(dng ? 100013 : 100014)) +
                                " The image is " + size + ", " +
                                std::to_string(width * height * 6 >> 20) +
                                " MB of 16-bit samples; the file holds at most 4 GB. Crop it, "
                                "or export it as OpenEXR.");
    return std::nullopt;
}

// Before any pixel is made: the size the export will have, from the file's
// directories (or the crop), against what the file type holds.
bool checkOutputSize(ExportJob& job) {
    auto raw = std::dynamic_pointer_cast<rawWrapper>(job.engine.rawFileWrapper());
    if (!raw) return true;
    auto planned = raw->plannedImageSize();
    if (!planned) return true;
    uint64_t width = planned->first, height = planned->second;
    if (job.crop.width >= 1 && job.crop.height >= 1) {
        width = std::min<uint64_t>(width, uint64_t(job.crop.width));
        height = std::min<uint64_t>(height, uint64_t(job.crop.height));
    }
    if (auto refusal = sizeRefusal(job.type, width, height)) return failJob(job, *refusal);
    return true;
}

// What the render needs before it starts: a size the file type holds, the
// document's settings in the engine, the chain built for a crop.
bool prepareRender(ExportJob& job) {
    ThreadedImageEngine& engine = job.engine;
    if (!checkOutputSize(job)) return false;
    handSettingsToEngine(engine, job.settings);
    // A crop needs the stage's extent: build the chain now if no run has yet.
    if (job.crop.width >= 1 && job.crop.height >= 1 && !engine.outputImage())
        engine.invalidateImageStage(std::nullopt, job.settings, platform::Rect::null());
    job.wrapper = engine.rawFileWrapper();
    if (job.wrapper && job.wrapper->error()) return failJob(job, *job.wrapper->error());
    return true;
}

// The output stage's rectangle for the job's crop (the export lock held).
platform::Rect stageRect(const ExportJob& job) {
    auto stage = job.engine.outputImage();
    return stage ? DocumentExport::stageRectForCrop(job.crop, stage->extent())
                 : platform::Rect::null();
}

bool renderFailed(ExportJob& job, const platform::Error& renderError);

// The cropped image at full size from the engine's output stage.
bool render(ExportJob& job) {
    if (!prepareRender(job)) return false;
    platform::Error renderError;
    {
        std::lock_guard lock(job.exportLock);
        job.image = job.engine.renderExportImage(
            stageRect(job), job.type == DocumentExport::kTypeEXR,
            DocumentExport::exportOrientation(job.settings, job.source), &renderError);
    }
    if (job.image) return true;
    return renderFailed(job, renderError);
}

// Why the engine gave no image.
bool renderFailed(ExportJob& job, const platform::Error& renderError) {
    ThreadedImageEngine& engine = job.engine;
    if (job.wrapper && job.wrapper->error()) return failJob(job, *job.wrapper->error());
    // Out of memory is the cause even when the chain could not be built.
    const bool noMemory = renderError.code == kQuorvexErrorNoMemory;
    if (!noMemory && (!engine.outputImage() || renderError.domain.empty()))
        return failJob(job, quorvexError(kQuorvexErrorNoOutputStage));
    if (noMemory && renderError.failureReason.empty())
        return failJob(job, DocumentExport::noMemoryError());
    return failJob(job, renderError);
}

Dictionary imagePropertiesOf(ExportJob& job) {
    job.quality = DocumentExport::compressionQuality(job.settings);
    auto meta = job.wrapper ? job.wrapper->metaData() : nullptr;
    return DocumentExport::imageProperties(meta.get(), job.quality,
                                           MyDocument::applicationNameAndVersion());
}

// TIFF, DNG and OpenEXR: the front encodes and publishes.
bool writeWithFront(ExportJob& job, std::filesystem::path* written) {
    const Dictionary props = imagePropertiesOf(job);
    return ExportFronts::write(std::move(job.image), job.type, job.settings, props, job.url,
                               job.policy, written, &job.failure);
}

void fileMetadata(ExportJob& job, const Dictionary& props);

// 8-bit RGB pixels, the EXIF block and the ICC profile of the file.
bool encode(ExportJob& job) {
    const Dictionary props = imagePropertiesOf(job);

    CGImageBitMap& image = *job.image;
    job.width = image.getWidth();
    job.height = image.getHeight();
    if (job.width <= 0 || job.height <= 0)
        return failJob(job, quorvexError(kQuorvexErrorNoLinearBuffer));
    // Packed band by band while encoding, so no 8-bit copy of the whole image.
    if (auto ref = image.getImageRef(); ref && DocumentExport::packsEightBit(*ref) &&
                                        ref->width() == size_t(job.width) &&
                                        ref->height() == size_t(job.height)) {
        job.pixels = std::move(ref);
    } else {
        std::vector<uint16_t> linear;
        try {
            job.rgb8.resize(size_t(job.width) * size_t(job.height) * 3);
            linear.resize(job.rgb8.size());
        } catch (const std::bad_alloc&) {
            return failJob(job, DocumentExport::noMemoryError());
        }
        if (!image.getLinearBuffer(linear))
            return failJob(job, quorvexError(kQuorvexErrorNoLinearBuffer));
        linearToEightBit(linear, job.rgb8);
        job.image.reset();
    }

    fileMetadata(job, props);
    return true;
}

// The ICC profile and EXIF block of a file of the job's size.
void fileMetadata(ExportJob& job, const Dictionary& props) {
    if (auto space = job.engine.renderingSpace(); space && space->csRef())
        job.icc = space->csRef()->bytes();
    else if (auto srgb = platform::IccProfile::named(platform::IccNamedProfile::sRGB))
        job.icc = srgb->bytes();
    job.exif = JpegExport::exifBlock(props, MyDocument::applicationNameAndVersion(),
                                     uint32_t(job.width), uint32_t(job.height));
}

// The file beside its final name, for the JPEG.
std::unique_ptr<platform::OutputFile> createFile(ExportJob& job) {
    platform::Error cause;
    auto out = platform::OutputFile::create(job.url, &cause, job.policy.folderNames);
    if (!out)
        failJob(job,
                DocumentExport::destinationError(kQuorvexErrorCreateDestination, job.url, cause));
    return out;
}

bool place(ExportJob& job, platform::OutputFile& out, std::filesystem::path* written);

// The JPEG written beside its final name and put in place by the policy.
bool publish(ExportJob& job, std::filesystem::path* written) {
    auto out = createFile(job);
    if (!out) return false;
    platform::Error cause;
    const int quality = static_cast<int>(std::lround(job.quality * 100));
    const uint32_t width = uint32_t(job.width), height = uint32_t(job.height);
    bool encoded;
    if (job.pixels) {
        const platform::BitmapImage& pixels = *job.pixels;
        encoded = platform::writeJPEG(
            [&pixels](uint32_t first, uint32_t count, uint8_t* rgb) {
                return DocumentExport::eightBitRows(pixels, first, count, rgb);
            },
            width, height, quality, job.exif, job.icc, out->stream(), &cause);
    } else {
        encoded = platform::writeJPEG(job.rgb8.data(), width, height, quality, job.exif, job.icc,
                                      out->stream(), &cause);
    }
    job.pixels.reset();
    job.image.reset();
    job.rgb8 = decltype(job.rgb8)();
    if (!encoded) return failJob(job, DocumentExport::writeError(job.url, cause.failureReason));
    return place(job, *out, written);
}

// Rows of 16-bit RGBA a JPEG band is packed from, kept by each encoding
// thread for its next band.
std::vector<uint16_t>& rowScratch(size_t samples) {
    thread_local std::vector<uint16_t> scratch;
    if (scratch.size() < samples) scratch.resize(samples);
    return scratch;
}

// An upright JPEG encoded while the engine renders it, a few rows at a time:
// no full-size copy of the image, and the rows are packed and compressed
// while they are still in the cache.
bool streamJpeg(ExportJob& job, std::filesystem::path* written) {
    if (!prepareRender(job)) return false;
    std::unique_ptr<platform::OutputFile> out;
    bool encoded = false;
    platform::Error renderError, cause;
    std::mutex failureLock;
    std::string rowFailure;  // the first row's that could not be made
    const auto encodeRows = [&](uint32_t width, uint32_t height,
                                const CoreTiledEngine::FullSizeRows& rows) {
        job.width = int32_t(width);
        job.height = int32_t(height);
        fileMetadata(job, imagePropertiesOf(job));
        out = createFile(job);
        if (!out) return;
        const int quality = static_cast<int>(std::lround(job.quality * 100));
        encoded = platform::writeJPEG(
            [&](uint32_t first, uint32_t count, uint8_t* rgb) {
                const size_t rowSamples = size_t(width) * 4;
                std::string why;
                try {
                    uint16_t* rgba = rowScratch(rowSamples * count).data();
                    if (rows(first, count, rgba, rowSamples, &why)) {
                        DocumentExport::eightBitRows(rgba, rowSamples, width, count, rgb);
                        return true;
                    }
                } catch (const std::bad_alloc&) {
                    why = TiledEngine::kNoMemoryForOutput;
                }
                std::lock_guard lock(failureLock);
                if (rowFailure.empty())
                    rowFailure = why.empty() ? TiledEngine::kNoMemoryForOutput : why;
                return false;
            },
            width, height, quality, job.exif, job.icc, out->stream(), &cause);
    };
    bool consumed;
    {
        std::lock_guard lock(job.exportLock);
        consumed = job.engine.streamExportImage(stageRect(job), encodeRows, &renderError);
    }
    if (!consumed) return renderFailed(job, renderError);
    if (!out) return false;  // the file could not be made: said by createFile
    // In the words the whole-image render would have used.
    if (!rowFailure.empty())
        return failJob(job, {platform::QuorvexErrorDomain, kQuorvexErrorNoMemory, rowFailure});
    if (!encoded) return failJob(job, DocumentExport::writeError(job.url, cause.failureReason));
    return place(job, *out, written);
}

// The written file put in place by the policy.
bool place(ExportJob& job, platform::OutputFile& out, std::filesystem::path* written) {
    platform::Error cause;
    auto placed = out.publish(job.policy, &cause);
    if (!placed)
        return failJob(job, DocumentExport::destinationError(kQuorvexErrorFinalizeDestination,
                                                             job.url, cause));
    // Moved, not copied: once the file is in place nothing may fail.
    if (written) *written = std::move(*placed);
    return true;
}

}  // namespace

bool MyDocument::exportToURL(const std::filesystem::path& url, const std::string& type,
                             const platform::Rect& cropRect, bool canReleaseImages,
                             const platform::OutputFile::Policy& policy,
                             std::filesystem::path* written, platform::Error* error) {
    // Held for the whole export, whatever close() does meanwhile.
    ThreadedImageEngine::Ptr engine = displayEngine();
    if (!engine) return fail(error, quorvexError(kQuorvexErrorNoOutputStage));
    const Dictionary settings = getSettingsDictionary();
    const std::string source = fileURL().string();

    engine->setDelegate({});
    engine->configureRenderingSpaceForType(type, false);
    ExportJob job{*engine, settings, source, url, type, cropRect, policy, exportLock_};
    // Turned pictures go through the whole image, which the turn needs.
    const bool streams = !ExportFronts::handles(type) && type != DocumentExport::kTypeEXR &&
                         DocumentExport::exportOrientation(settings, source) < 2;
    const bool ok =
        validate(job) && (streams ? streamJpeg(job, written)
                                  : render(job) && (ExportFronts::handles(type)
                                                        ? writeWithFront(job, written)
                                                        : encode(job) && publish(job, written)));

    if (!canReleaseImages && !isClosed()) {
        try {
            engine->configureRenderingSpaceForType(std::nullopt, false);
            if (shownForDisplay_) engine->setDelegate(weak_from_this());
        } catch (const std::bad_alloc&) {
            // The file is written either way; the window renders again on
            // its next change.
            platform::log("%s: not enough memory to restore the display's rendering", __func__);
        }
    }
    if (!ok) return fail(error, job.failure);
    return true;
}
