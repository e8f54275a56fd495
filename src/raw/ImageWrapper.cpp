#include "raw/ImageWrapper.h"

#include <filesystem>
#include <new>
#include <system_error>

ImageWrapper::ImageWrapper(std::string path, std::string fileUUID, bool thumbNail)
    : fileSource_(std::move(path)),
      uuid_(std::move(fileUUID)),
      wantThumbNail_(thumbNail),
      fileExists_([this] {
          std::error_code ec;
          return !fileSource_.empty() && std::filesystem::exists(fileSource_, ec);
      }()) {}

ImageWrapper::~ImageWrapper() = default;

ImageWrapper::Ptr ImageWrapper::initWithFile(const std::string& path, const std::string& fileUUID,
                                             bool thumbNail) {
    try {
        return Ptr(new ImageWrapper(path, fileUUID, thumbNail));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

const uint16_t* ImageWrapper::masterImageBytes() { return nullptr; }

const uint16_t* ImageWrapper::alternateImageBytes() { return nullptr; }

ColorSyncProfileWrap::Ptr ImageWrapper::bufferProfile() { return nullptr; }

void ImageWrapper::setMasterEdgeBands(uint32_t) {}

uint32_t ImageWrapper::masterEdgeBands() { return 0; }

platform::Dictionary ImageWrapper::getParameters() {
    std::lock_guard lock(stateLock_);
    return platform::Dictionary{
        {"UUID", uuid_},
        {"width", int64_t(imageWidth_)},
        {"height", int64_t(imageHeight_)},
        {"isOutputReferred", isOutputReferred_},
        {"cameraBaselineExposure", cameraBaselineExposure_},
    };
}

void ImageWrapper::setCameraProfile(std::shared_ptr<const DNGCameraProfileAbstract> profile) {
    std::lock_guard lock(stateLock_);
    cameraProfile_ = std::move(profile);
}

std::shared_ptr<const DNGCameraProfileAbstract> ImageWrapper::cameraProfile() const {
    std::lock_guard lock(stateLock_);
    return cameraProfile_;
}

void ImageWrapper::setProcessAsMonochromeSensor(bool monochrome) {
    std::lock_guard lock(stateLock_);
    processAsMonochromeSensor_ = monochrome;
}

bool ImageWrapper::processAsMonochromeSensor() const {
    std::lock_guard lock(stateLock_);
    return processAsMonochromeSensor_;
}

void ImageWrapper::releaseImages() {}

void ImageWrapper::setScannerProfile(ColorSyncProfileWrap::Ptr profile) {
    std::lock_guard lock(stateLock_);
    scannerProfile_ = std::move(profile);
}

ColorSyncProfileWrap::Ptr ImageWrapper::scannerProfile() const {
    std::lock_guard lock(stateLock_);
    return scannerProfile_;
}

std::optional<platform::Error> ImageWrapper::error() const {
    std::lock_guard lock(stateLock_);
    return error_;
}

void ImageWrapper::setError(std::optional<platform::Error> error) {
    std::lock_guard lock(stateLock_);
    error_ = std::move(error);
}

std::vector<std::string> ImageWrapper::warnings() const {
    std::lock_guard lock(stateLock_);
    return warnings_;
}

void ImageWrapper::setWarnings(std::vector<std::string> warnings) {
    std::lock_guard lock(stateLock_);
    warnings_ = std::move(warnings);
}

ImageWrapper::MetaData ImageWrapper::metaData() const {
    std::lock_guard lock(stateLock_);
    return metaData_;
}

void ImageWrapper::setMetaData(MetaData metaData) {
    std::lock_guard lock(stateLock_);
    metaData_ = std::move(metaData);
}

bool ImageWrapper::isOutputReferred() const {
    std::lock_guard lock(stateLock_);
    return isOutputReferred_;
}

void ImageWrapper::setIsOutputReferred(bool v) {
    std::lock_guard lock(stateLock_);
    isOutputReferred_ = v;
}

float ImageWrapper::cameraBaselineExposure() const {
    std::lock_guard lock(stateLock_);
    return cameraBaselineExposure_;
}

void ImageWrapper::setCameraBaselineExposure(float ev) {
    std::lock_guard lock(stateLock_);
    cameraBaselineExposure_ = ev;
}

uint16_t ImageWrapper::imageWidth() const {
    std::lock_guard lock(stateLock_);
    return imageWidth_;
}

uint16_t ImageWrapper::imageHeight() const {
    std::lock_guard lock(stateLock_);
    return imageHeight_;
}

void ImageWrapper::setImageSize(uint16_t width, uint16_t height) {
    std::lock_guard lock(stateLock_);
    imageWidth_ = width;
    imageHeight_ = height;
}

bool ImageWrapper::parseOK() const {
    std::lock_guard lock(stateLock_);
    return parseOK_;
}

void ImageWrapper::setParseOK(bool v) {
    std::lock_guard lock(stateLock_);
    parseOK_ = v;
}
