#include "raw/rawWrapper.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <new>

#include "color/DNGCameraProfileAbstract.h"
#include "color/ProfileManager.h"
#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_color_spec.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/image/dng_negative.h"
#include "platform/InputFile.h"
#include "platform/Log.h"
#include "platform/UserWarning.h"
#include "raw/DemosaicXTrans.h"
#include "raw/DngSource.h"
#include "raw/EmbeddedPreview.h"
#include "raw/LibRawSource.h"
#include "raw/RawDevelop.h"
#include "raw/RawOpenError.h"
#include "raw/SceneNeutral.h"

namespace {

// The test-only switch that sends DNG files through LibRaw too.
std::atomic<bool> gDNGThroughLibRaw{false};

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

void DecodeLibRawData(const RawDecodeRequest& req, LibRawSource& source, rawWrapper::Decoded& out,
                      std::vector<uint16_t>& lut) {
    out.make = source.make();
    out.model = source.model();
    const uint32_t orientation = source.orientation();
    const auto [plannedWidth, plannedHeight] = source.orientedSize();
    RawCheckOutputSize(req.path, plannedWidth, plannedHeight);
    dng_host host;
    const std::unique_ptr<dng_negative> negative = ColourNegative(host, source.colour());
    const bool greySensor = source.layout() == LibRawSource::Layout::Monochrome;
    out.metaData = std::make_shared<platform::Dictionary>();
    if (req.thumbnail && RawDecodeEmbeddedPreview(source, req.bands, out)) {
        if (!greySensor) RawChooseColorSpec(req, *negative, out);
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
        greySensor ? nullptr : RawChooseColorSpec(req, *negative, out);
    const RawWhiteBalance wb = RawBalanceFor(*negative, spec.get());
    const RawCrop whole{0, 0, width, height};
    RawOrientedSize(orientation, width, height, out.width, out.height);
    if (source.layout() == LibRawSource::Layout::Interpolated) {
        uint32_t w = 0, h = 0;
        RawSamples rgb = source.readInterpolated(wb.neutral, req.thumbnail, w, h);
        RawOrientedSize(orientation, w, h, out.width, out.height);
        const RawMatrix3 matrix =
            source.interpolatesInCameraRGB() ? ToRawMatrix3(wb.balanced) : RawProPhotoFromSRGB();
        RawFinish(rgb, w, RawCrop{0, 0, w, h}, orientation, matrix, req.bands, out.master);
    } else if (greySensor) {
        RawSamples rgb = RawGreyToRGB(plane);
        RawFinish(rgb, width, whole, orientation, kRawIdentity, req.bands, out.master);
    } else {
        RawSamples cfaSamples = std::move(plane);
        RawBalanceMosaic(cfaSamples, width, height, *source.mosaicLayout(), wb, req.bands, lut);
        const MosaicPlane cfa{cfaSamples.data(), width, height, width, *source.mosaicLayout()};
        const RawMatrix3 matrix = ToRawMatrix3(wb.balanced);
        if (req.monochrome) {
            RawSamples rgb = RawGreyToRGB(cfaSamples);
            RawFinish(rgb, width, whole, orientation, kRawIdentity, req.bands, out.master);
        } else if (req.thumbnail && width >= 4 && height >= 4) {
            RawDecodeHalfSize(req, cfa, whole, orientation, matrix, out);
        } else {
            // Pixels stretched to their aspect later need the whole master.
            RawDecodeRequest both = req;
            if (source.pixelAspect() != 1.0) both.masterEdgeBands = 0;
            RawDemosaicBoth(both, cfa, whole, orientation, matrix, {}, out);
        }
    }
    StretchToAspect(source.pixelAspect(), orientation, out);
    RawCheckOutputSize(req.path, out.width, out.height);
    *out.metaData = source.metadata(out.width, out.height, 16);
}

void DecodeThroughLibRaw(const RawDecodeRequest& req, rawWrapper::Decoded& out,
                         std::vector<uint16_t>& lut) {
    try {
        LibRawSource source(req.path);
        DecodeLibRawData(req, source, out, lut);
    } catch (const dng_exception& e) {
        // Only the colour road throws these here: the file's colour data.
        if (e.ErrorCode() == dng_error_memory) throw;
        throw RawOpenError("The raw file \"" + RawFileName(req.path) +
                           "\" cannot be rendered: its colour data give no usable colour" +
                           WhatFailed(e) + ".");
    } catch (const std::invalid_argument& e) {
        throw RawOpenError("The raw file \"" + RawFileName(req.path) +
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
    return DngSource(path).orientedSize();
}

bool StatesRenderedPicture(const std::string& path) {
    if (DecodesThroughLibRaw(path)) return false;
    return DngSource(path).statesRenderedPicture();
}

void DecodeFile(const RawDecodeRequest& req, rawWrapper::Decoded& out, std::vector<uint16_t>& lut) {
    // A file that cannot be read is said to be so before any decoder takes
    // what it failed to read for a format it does not know.
    (void)DngSource::startsLikeTIFF(req.path);
    if (DecodesThroughLibRaw(req.path)) {
        try {
            return DecodeThroughLibRaw(req, out, lut);
        } catch (const LibRawUnsupported&) {
            // Under a DNG name, our reader says what is wrong with it.
            if (RawUpperExtension(req.path) != "DNG" || gDNGThroughLibRaw) throw;
        }
    }
    DngSource(req.path).decode(req, out, lut);
}

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

void rawWrapper::setMasterEdgeBands(uint32_t border) {
    std::lock_guard guard(lock_);
    wantedMasterBands_ = border;
    // A whole master serves any bands; bands serve only themselves.
    if (masterBands_ != 0 && masterBands_ != border) freeImages();
}

uint32_t rawWrapper::masterEdgeBands() {
    std::lock_guard guard(lock_);
    return masterBands_;
}

void rawWrapper::freeImages() {
    bitmapDirty_ = true;
    masterBands_ = 0;
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
    RawDecodeRequest req;
    req.path = fileSource();
    req.profile = profile.get();
    req.monochrome = processAsMonochromeSensor();
    req.thumbnail = wantThumbNail();
    req.bands = bands_;
    req.masterEdgeBands = req.thumbnail ? 0 : wantedMasterBands_;
    if (!memoryShortage_) {
        try {
            memoryShortage_ = RawNotEnoughMemory(req.path);
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
                              ? RawUnknownFormat(req.path)
                              : DngError(req.path, e);
                if (auto changed = identity.changedSince(req.path))
                    failure = RawUnreadable(req.path, *changed);
            } catch (const std::bad_alloc&) {
                noMemory = true;
                failure = std::exchange(memoryShortage_, std::nullopt);
            } catch (const platform::Error& e) {
                failure = e;
                // A file rewritten meanwhile reads as damaged, or as no format.
                if (auto changed = identity.changedSince(req.path))
                    failure = RawUnreadable(req.path, *changed);
            } catch (const std::exception& e) {
                failure = RawOpenError("The DNG file \"" + RawFileName(req.path) +
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
            setError(failure ? std::move(failure) : RawNotEnoughMemory(req.path));
        } catch (const std::bad_alloc&) {
        }
        return;
    }
    setError(std::nullopt);
    master_ = std::move(d.master);
    alternate_ = std::move(d.alternate);
    masterBands_ = d.masterEdgeBands;
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
