#include "photocd/PhotoCDImageSource.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <new>
#include <system_error>

#include "color/ColorHelper.h"
#include "color/ProfileManager.h"
#include "engine/CIImageTable.h"
#include "engine/ColorMatchTiledEngine.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "platform/Version.h"
#include "raw/RawMetadata.h"

namespace fs = std::filesystem;

namespace {

const std::string kSoftware =
    std::string("Converted from Photo CD format by ") + platform::kProgramNameAndVersion;
constexpr long kDecodeErrorCode = -15;
constexpr uint32_t kSpaceRGB = 0x52474220;   // "RGB "
constexpr uint32_t kSpace3CLR = 0x33434C52;  // "3CLR"

fs::path resolveIndexPath(const std::string& imageFile) {
    std::error_code ec;
    const fs::path image = fs::absolute(imageFile, ec);
    fs::path p = image.parent_path().parent_path();
    for (const std::string& component :
         {std::string("IPE"), image.stem().string(), std::string("64BASE"), std::string("INFO.IC")})
        p = pcdFindEntry(p, component);
    return p;
}

}  // namespace

PhotoCDImageSource::Ptr PhotoCDImageSource::initWithFile(const std::string& path,
                                                         const std::string& fileUUID,
                                                         bool thumbNail) {
    try {
        return Ptr(new PhotoCDImageSource(path, fileUUID, thumbNail));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

PhotoCDImageSource::~PhotoCDImageSource() = default;

bool PhotoCDImageSource::preProcess() {
    std::lock_guard lock(lock_);
    return preProcessLocked();
}

bool PhotoCDImageSource::preProcessLocked() {
    if (preProcessed_) return parseOK();
    preProcessed_ = true;
    decoder = std::make_unique<pcdDecode>();
    setIsOutputReferred(true);
    auto& defaults = platform::UserDefaults::standard();
    decoder->setInterpolation(defaults.boolForKey("UseAdvancedInterpolation") ? 2 : 1);
    decoder->setColorSpace(2);
    const int64_t level = std::max<int64_t>(defaults.integerForKey("ResolutionSelect"), 0);
    ipeStatus_ = 0;
    if (!wantThumbNail()) {
        ipePath_ = resolveIndexPath(fileSource()).string();
        if (level >= 5) {
            std::error_code ec;
            ipeStatus_ = 1;
            if (fs::exists(ipePath_, ec)) ipeStatus_ = access(ipePath_.c_str(), R_OK) == 0 ? 3 : 2;
        }
    }
    const int asked = wantThumbNail() ? 0 : int(std::min<int64_t>(level, 5));
    const bool ok = decoder->parseFile(fileSource().c_str(), ipePath_.c_str(), asked);
    setParseOK(ok);
    if (ok) {
        setImageSize(uint16_t(decoder->getWidth()), uint16_t(decoder->getHeight()));
        setMetaData(metaDataDictionary());
        return true;
    }
    if (decoder->getErrorString()[0])
        setError(platform::Error{platform::RawOpenErrorDomain, kDecodeErrorCode,
                                 decoder->getErrorString()});
    else
        setError(std::nullopt);
    return false;
}

void PhotoCDImageSource::setDecodeError(const char* fallback) {
    const char* text =
        decoder && decoder->getErrorString()[0] ? decoder->getErrorString() : fallback;
    setError(platform::Error{platform::RawOpenErrorDomain, kDecodeErrorCode, text});
}

bool PhotoCDImageSource::genImages() {
    std::lock_guard lock(lock_);
    if (!preProcessLocked()) return false;
    if (!havePostProcessed) {
        decoder->postProcess();
        havePostProcessed = true;
    }
    ColorSyncProfileWrap::Ptr source = scannerProfile();
    if (!source || source->isAutoProfile()) source = detectScannerProfile();
    const int space = source && uint32_t(source->spaceType()) == kSpaceRGB ? 0 : 3;
    if (theImage && decoder->getColorSpace() == space) return true;
    decoder->setColorSpace(space);
    const unsigned w = decoder->getWidth(), h = decoder->getHeight();
    if (!theImage) {
        theImage =
            ImageBufferU16::initWithSize(uint16_t(w), uint16_t(h), nullptr, detectScannerProfile());
        if (!theImage) {
            setDecodeError("Memory Error!");
            return false;
        }
    }
    uint16_t* pixels = theImage->bufferU16ForRow(0);
    std::memset(pixels, 0, size_t(w) * h * 8);
    // Filled and converted as RGBA; the engine's layout (packed RGB) is
    // made afterwards.
    if (!decoder->readImage16(pixels, pixels + 1, pixels + 2, pixels + 3, 4)) {
        theImage.reset();
        setDecodeError("Memory Error!");
        return false;
    }
    if (wantThumbNail()) return true;
    auto engine = ColorMatchTiledEngine::initWithSize({double(w), double(h)});
    if (engine) {
        engine->setSrcProfile(source);
        engine->setDestProfile(bufferProfile());
    }
    if (!engine || !engine->convertBuffer(*theImage)) {
        theImage.reset();
        setDecodeError("Could not convert the Photo CD image to the working space");
        return false;
    }
    for (size_t i = 0, n = size_t(w) * h; i < n; ++i) {
        pixels[3 * i] = pixels[4 * i];
        pixels[3 * i + 1] = pixels[4 * i + 1];
        pixels[3 * i + 2] = pixels[4 * i + 2];
    }
    return true;
}

const uint16_t* PhotoCDImageSource::masterImageBytes() {
    if (wantThumbNail()) {
        platform::log("Error - %s call on thumbnail image\n",
                      "-[PhotoCDImageSource masterImageBytes]");
        return nullptr;
    }
    std::lock_guard lock(lock_);
    if (!genImages() || !theImage) return nullptr;
    return theImage->bufferU16ForRow(0);
}

void PhotoCDImageSource::setScannerProfile(ColorSyncProfileWrap::Ptr profile) {
    std::lock_guard lock(lock_);
    if (profile != scannerProfile()) theImage.reset();
    ImageWrapper::setScannerProfile(std::move(profile));
}

ColorSyncProfileWrap::Ptr PhotoCDImageSource::bufferProfile() {
    return ProfileManager::sharedManager().getProPhotoGamma1_D65Profile(false);
}

std::shared_ptr<const platform::BitmapImage> PhotoCDImageSource::genCIImage(
    ColorSyncProfileWrap::Ptr profile) {
    if (!wantThumbNail()) {
        platform::log("Error - %s call on non-thumbnail image\n",
                      "-[PhotoCDImageSource genCIImage:]");
        return nullptr;
    }
    std::lock_guard lock(lock_);
    if (!genImages() || !theImage) return nullptr;
    if (!profile) {
        auto& manager = ProfileManager::sharedManager();
        profile = decoder->getColorSpace() == 1 ? manager.getCCIR709Profile(false)
                                                : manager.getSRGBProfile(false);
    }
    const size_t w = theImage->imageWidth(), h = theImage->imageHeight();
    const auto* bytes = reinterpret_cast<const uint8_t*>(theImage->bufferU16ForRow(0));
    std::vector<uint8_t> copy(bytes, bytes + w * h * 8);
    return platform::BitmapImage::create(
        w, h, 16, 64, w * 8,
        platform::kBitmapAlphaPremultipliedLast | platform::kBitmapByteOrder16Little,
        profile ? profile->cgColorSpace() : nullptr,
        platform::BitmapDataProvider::withData(std::move(copy)));
}

std::shared_ptr<const platform::BitmapImage> PhotoCDImageSource::getImageRep(
    ColorSyncProfileWrap::Ptr profile) {
    auto image = genCIImage(std::move(profile));
    return parseOK() ? image : nullptr;
}

std::shared_ptr<const platform::BitmapImage> PhotoCDImageSource::getImageTable(
    ColorSyncProfileWrap::Ptr profile) {
    std::lock_guard lock(lock_);
    if (!preProcessLocked()) return nullptr;
    if (!havePostProcessed) {
        decoder->postProcess();
        havePostProcessed = true;
    }
    auto& manager = ProfileManager::sharedManager();
    if (!profile) {
        if (decoder->getColorSpace() == 3) decoder->setColorSpace(1);
        profile = decoder->getColorSpace() == 1 ? manager.getCCIR709Profile(false)
                                                : manager.getSRGBProfile(false);
    } else if (uint32_t(profile->spaceType()) == kSpace3CLR) {
        decoder->setColorSpace(3);
    } else {
        decoder->setColorSpace(profile->description().rfind("sRGB", 0) == 0 ? 2 : 0);
    }
    const unsigned w = decoder->getWidth(), h = decoder->getHeight();
    auto table = CIImageTable::initWithSizeAsImage({double(w), double(h)}, profile, false);
    if (!table) return nullptr;
    float *r = nullptr, *g = nullptr, *b = nullptr, *a = nullptr;
    int64_t step = 0;
    table->getBuffers(&r, &g, &b, &a, &step);
    if (!r || !g || !b || step < 1 || !decoder->readImageFloat(r, g, b, nullptr, int(step))) {
        setDecodeError("Memory Error!");
        return nullptr;
    }
    if (table->convertToColorSpace(manager.getProPhotoProfile(false)) != 0) return nullptr;
    if (const float* v = table->getValues(5, 5))
        if (logThisObject())
            platform::log("%s pixel (5, 5): %f %f %f", "-[PhotoCDImageSource getImageTable:]", v[0],
                          v[1], v[2]);
    return table->genImage();
}

ColorSyncProfileWrap::Ptr PhotoCDImageSource::detectScannerProfile() {
    auto& manager = ProfileManager::sharedManager();
    if (!platform::UserDefaults::standard().boolForKey("AutomaticColorProfile"))
        return manager.getPhotoCDXgProfile();
    const std::string product = metaDataValue(7);
    const std::string medium = metaDataValue(4);
    const std::string film = metaDataValue(16);
    const bool series4 = product.find('4') != std::string::npos;
    if (medium == "color reversal") {
        const bool kodachrome =
            film.rfind("KODAK 4050 K14", 0) == 0 || film.rfind("KODAK UNIVERSAL K14", 0) == 0;
        if (kodachrome)
            return series4 ? manager.getPhotoCD4kProfile() : manager.getPhotoCD2kProfile();
        return series4 ? manager.getPhotoCD4eProfile() : manager.getPhotoCD2eProfile();
    }
    if (medium == "color negative") return manager.getPhotoCDXnProfile();
    return manager.getPhotoCDXgProfile();
}

std::optional<std::string> PhotoCDImageSource::getErrorString() {
    std::lock_guard lock(lock_);
    if (!decoder || !decoder->getErrorString()[0]) return std::nullopt;
    return std::string(decoder->getErrorString());
}

std::string PhotoCDImageSource::metaDataValue(int index) {
    std::lock_guard lock(lock_);
    if (!decoder) return {};
    char value[81];
    decoder->getMetadata(index, nullptr, value);
    return value;
}

std::string PhotoCDImageSource::metaDataName(int index) {
    std::lock_guard lock(lock_);
    if (!decoder) return {};
    char name[81], value[81];
    decoder->getMetadata(index, name, value);
    return name;
}

std::string PhotoCDImageSource::getEXIFDateTime() {
    std::lock_guard lock(lock_);
    if (!decoder) return {};
    const std::time_t t = std::time_t(decoder->getScanTime());
    std::tm tm{};
    if (t == 0 || !localtime_r(&t, &tm)) return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &tm);
    return text;
}

ImageWrapper::MetaData PhotoCDImageSource::metaDataDictionary() {
    std::lock_guard lock(lock_);
    if (!decoder) return nullptr;
    const std::string comment =
        metaDataValue(4) + ": " + metaDataValue(16) + ". SBA settings " + metaDataValue(15);
    const std::string name = fs::path(fileSource()).filename().string();
    const std::string when = getEXIFDateTime();
    platform::Dictionary exif{{kCGImagePropertyExifDateTimeOriginal, when},
                              {kCGImagePropertyExifDateTimeDigitized, when},
                              {kCGImagePropertyExifUserComment, comment},
                              {kCGImagePropertyExifFileSource, name}};
    platform::Dictionary tiff{{kCGImagePropertyTIFFImageDescription, comment},
                              {kCGImagePropertyTIFFDocumentName, name},
                              {kCGImagePropertyTIFFSoftware, kSoftware},
                              {kCGImagePropertyTIFFMake, metaDataValue(6)},
                              {kCGImagePropertyTIFFModel, metaDataValue(7)},
                              {kCGImagePropertyTIFFCopyright, metaDataValue(17)},
                              {kCGImagePropertyTIFFDateTime, when}};
    return std::make_shared<platform::Dictionary>(
        platform::Dictionary{{kCGImagePropertyExifDictionary, std::move(exif)},
                             {kCGImagePropertyTIFFDictionary, std::move(tiff)}});
}

platform::Value::Array PhotoCDImageSource::metaDataArray() {
    std::lock_guard lock(lock_);
    platform::Value::Array items;
    if (!decoder) return items;
    auto item = [&items](std::string name, std::string value) {
        items.push_back(
            platform::Dictionary{{"Name", std::move(name)}, {"Value", std::move(value)}});
    };
    item("Image Width", std::to_string(decoder->getWidth()));
    item("Image Height", std::to_string(decoder->getHeight()));
    for (int i = 0; i < 20; ++i) item(metaDataName(i), metaDataValue(i));
    return items;
}

platform::Dictionary PhotoCDImageSource::getParameters() {
    platform::Dictionary p = ImageWrapper::getParameters();
    p.set("model", metaDataValue(7));
    p.set("make", metaDataValue(6));
    float white[2] = {0, 0};
    ColorHelper::D65_xy_coord(white);
    p.set("asShotWhitex", white[0]);
    p.set("asShotWhitey", white[1]);
    static const double m[3][3] = {{0.4124564, 0.3575761, 0.1804375},
                                   {0.2126729, 0.7151522, 0.072175},
                                   {0.0193339, 0.119192, 0.9503041}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            p.set("cameraFromXYZ" + std::to_string(r) + std::to_string(c), m[r][c]);
    p.set("ipeStatus", int64_t(ipeStatus()));
    const auto e = error();
    p.set("status", e ? e->description() : std::string("Ok"));
    if (auto meta = metaData()) p.set("cameraMetadata", *meta);
    return p;
}

unsigned long PhotoCDImageSource::ipeStatus() {
    std::lock_guard lock(lock_);
    return ipeStatus_;
}

std::string PhotoCDImageSource::ipePath() {
    std::lock_guard lock(lock_);
    return ipePath_;
}

unsigned PhotoCDImageSource::resolutionInUse() {
    std::lock_guard lock(lock_);
    return decoder && parseOK() ? decoder->resolutionInUse() : 0;
}
