// The image source for Photo CD files. It drives a pcdDecode at the level
// the user defaults choose ("ResolutionSelect"; a thumbnail wrapper always
// Base/16), fills a 16-bit buffer from it and, for the engine, converts that
// buffer from the disc's scanner profile into linear ProPhoto (D65 white)
// and packs it as R, G, B for masterImageBytes. A thumbnail wrapper gives
// 16-bit RGBA pictures labelled sRGB (or Rec. 709) for the browser.
//
// The 64Base index is looked for at <folder above the image's folder>/IPE/
// <image name>/64BASE/INFO.IC, each component matched without regard to case.
//
// Ownership: the wrapper owns its decoder and image buffer; the pointer from
// masterImageBytes stays valid until a new scanner profile frees the image.
// Thread safety: every public method may be called from any thread; one
// recursive lock serialises the decoding state.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/ImageBuffer.h"
#include "photocd/pcdDecode.h"
#include "platform/BitmapImage.h"
#include "raw/ImageWrapper.h"

class PhotoCDImageSource : public ImageWrapper {
public:
    using Ptr = std::shared_ptr<PhotoCDImageSource>;

    static Ptr initWithFile(const std::string& path, const std::string& fileUUID, bool thumbNail);
    ~PhotoCDImageSource() override;

    // Parses once; later calls answer parseOK().
    bool preProcess();
    // Decodes into the buffer and (full wrapper) converts it; false on failure
    // (with the error set).
    bool genImages();

    const uint16_t* masterImageBytes() override;
    platform::Dictionary getParameters() override;
    ColorSyncProfileWrap::Ptr bufferProfile() override;
    void setScannerProfile(ColorSyncProfileWrap::Ptr profile) override;

    // Thumbnail wrapper only: 16-bit RGBA in the profile's space (sRGB, or
    // Rec. 709 for decoder colour space 1, when null).
    std::shared_ptr<const platform::BitmapImage> genCIImage(ColorSyncProfileWrap::Ptr profile);
    // The picture for the browser, or null when no image results.
    std::shared_ptr<const platform::BitmapImage> getImageRep(ColorSyncProfileWrap::Ptr profile);
    // A float image of the decoded picture converted to ProPhoto; null on failure.
    std::shared_ptr<const platform::BitmapImage> getImageTable(ColorSyncProfileWrap::Ptr profile);

    // The scanner profile the disc's medium, film and scanner call for.
    ColorSyncProfileWrap::Ptr detectScannerProfile();
    std::optional<std::string> getErrorString();
    bool logThisObject() const { return false; }
    std::string metaDataValue(int index);
    std::string metaDataName(int index);
    // "yyyy:MM:dd HH:mm:ss" of the scanning time in local time; "" when unknown.
    std::string getEXIFDateTime();
    MetaData metaDataDictionary();
    platform::Value::Array metaDataArray();

    // 0 not asked, 1 no INFO.IC, 2 present but unreadable, 3 present and readable.
    unsigned long ipeStatus();
    // The INFO.IC path a full wrapper resolved (empty before preProcess).
    std::string ipePath();
    // The level the decoder delivered (0..5); 0 before a successful parse.
    unsigned resolutionInUse();

private:
    using ImageWrapper::ImageWrapper;
    bool preProcessLocked();
    void setDecodeError(const char* fallback);

    std::recursive_mutex lock_;  // guards everything below
    std::unique_ptr<pcdDecode> decoder;
    std::shared_ptr<ImageBufferU16> theImage;
    bool havePostProcessed = false;
    unsigned long ipeStatus_ = 0;
    bool preProcessed_ = false;
    std::string ipePath_;
};
