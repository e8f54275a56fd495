// A decoded image source: the file, its identifier, the two demosaiced
// renderings (master and alternate), the camera parameters and metadata, and
// the choices that shape a decode (camera profile, scanner profile,
// monochrome sensor). The engine's first stage drives it; the combine stage
// reads its images; the document and inspector read its values.
//
// Images: packed unsigned 16-bit R, G, B (three samples per pixel), rows of
// imageWidth() pixels, imageHeight() rows, full scale 65535, linear, in
// ProPhoto primaries with a D65 white, already turned to the file's
// orientation; a master decoded for an export that shows it only in the
// border bands may hold just those (masterEdgeBands(), EdgeBands).
//
// Subclass contract
// -----------------
// - Creation: a subclass declares its own static initWithFile(...) returning
//   its type, which makes the object through the protected constructor (it
//   records path, identifier and thumbnail flag and whether a file exists) and
//   returns null only when the object cannot be made. Nothing is decoded then.
// - masterImageBytes(): decode on demand when the master is missing (set the
//   oriented size with setImageSize, the metadata with setMetaData, the
//   output-referred flag and baseline exposure), keep the images and return
//   the master; on failure call setError and return null. alternateImageBytes()
//   returns the alternate rendering or null (monochrome sensor). The returned
//   pointers stay valid until the subclass frees the images (a new camera
//   profile or monochrome flag, a request for the whole master), which only
//   happens from the thread that drives the decode.
// - setMasterEdgeBands / masterEdgeBands: a subclass that can spare the
//   master where a blend takes the alternate alone keeps it only along the
//   image's edges when asked (the layout of EdgeBands) and says so; asked
//   for the whole master again, it frees such a master so that the next
//   request decodes anew. The base keeps whole masters only.
// - setCameraProfile / setProcessAsMonochromeSensor: a subclass that decodes
//   overrides them to free its images when the choice changes (the same
//   choice again changes nothing), and calls the base to record it.
// - getParameters(): the camera parameters; the base gives the keys it knows
//   ("UUID", "width", "height", "isOutputReferred", "cameraBaselineExposure"),
//   a decoder adds the rest.
// - bufferProfile(): the colour profile of the images; null in the base.
//
// Ownership: the wrapper owns its images (in the subclass), its metadata
// dictionary (shared with whoever asks for it: the export writes entries into
// it in place), the scanner and camera profiles (shared references).
//
// Thread safety: every accessor and setter of the base takes the object's own
// lock and may be called from any thread. Decoding calls are made by one
// thread at a time (the engine's serial queue).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "color/ColorSyncProfileWrap.h"
#include "platform/Error.h"
#include "platform/Value.h"

class DNGCameraProfileAbstract;

// A rendering kept only in bands `border` pixels wide along the edges of a
// width × height image: the top band's rows (whole width), the bottom
// band's, then the left band's rows between them and the right band's,
// packed RGB, each band's rows of its own width. Needs width and height
// above 2 × border.
struct EdgeBands {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t border = 0;

    // Whether bands of `border` fit an image of that size.
    static bool fit(uint32_t width, uint32_t height, uint32_t border) {
        return border > 0 && width > 2 * border && height > 2 * border;
    }
    size_t pixels() const {
        return 2 * size_t(border) * width + 2 * size_t(border) * (height - 2 * border);
    }
    // The band pixel (x, y) lies in: its first sample, and how many pixels
    // from it on along the row the band holds. Outside the bands: 0 pixels.
    struct Run {
        size_t sample = 0;
        uint32_t pixels = 0;
    };
    Run at(uint32_t x, uint32_t y) const {
        if (x >= width || y >= height) return {};
        const size_t b = border, W = width;
        const size_t sideBands = 2 * b * W, rightBand = sideBands + (height - 2 * b) * b;
        if (y < border) return {(y * W + x) * 3, width - x};
        if (y >= height - border) return {((b + y - (height - b)) * W + x) * 3, width - x};
        if (x < border) return {(sideBands + (y - b) * b + x) * 3, border - x};
        if (x >= width - border)
            return {(rightBand + (y - b) * b + (x - (width - b))) * 3, width - x};
        return {};
    }
};

class ImageWrapper : public std::enable_shared_from_this<ImageWrapper> {
public:
    using Ptr = std::shared_ptr<ImageWrapper>;
    using MetaData = std::shared_ptr<platform::Dictionary>;

    // A source for the file; null only when the object cannot be made.
    static Ptr initWithFile(const std::string& path, const std::string& fileUUID, bool thumbNail);

    virtual ~ImageWrapper();
    ImageWrapper(const ImageWrapper&) = delete;
    ImageWrapper& operator=(const ImageWrapper&) = delete;

    // Decoding (see the subclass contract); null in the base.
    virtual const uint16_t* masterImageBytes();
    virtual const uint16_t* alternateImageBytes();
    virtual platform::Dictionary getParameters();
    virtual ColorSyncProfileWrap::Ptr bufferProfile();
    // Frees the decoded images when nothing is to read them again (an export
    // whose document closes next); a later request decodes anew. Called only
    // from the thread that drives the decode. Nothing to free in the base.
    virtual void releaseImages();
    // Asks for the master only in EdgeBands `border` pixels wide (0: the
    // whole master) from the next decode on; the base ignores it. A master
    // so kept is freed when the whole one is asked for.
    virtual void setMasterEdgeBands(uint32_t border);
    // The border of the EdgeBands that masterImageBytes() holds, 0 when it
    // holds the whole image.
    virtual uint32_t masterEdgeBands();

    virtual void setCameraProfile(std::shared_ptr<const DNGCameraProfileAbstract> profile);
    std::shared_ptr<const DNGCameraProfileAbstract> cameraProfile() const;
    virtual void setProcessAsMonochromeSensor(bool monochrome);
    bool processAsMonochromeSensor() const;

    // The input ICC profile of scanned sources (the "Quorvex_iccProfile" setting).
    // A scanned source overrides it to free its image when the profile changes.
    virtual void setScannerProfile(ColorSyncProfileWrap::Ptr profile);
    ColorSyncProfileWrap::Ptr scannerProfile() const;

    std::optional<platform::Error> error() const;
    void setError(std::optional<platform::Error> error);
    // What the last decode set aside from the file (tags no camera writes),
    // one sentence each; the result is rendered without them.
    std::vector<std::string> warnings() const;
    void setWarnings(std::vector<std::string> warnings);

    // Null before decoding.
    MetaData metaData() const;
    void setMetaData(MetaData metaData);

    bool isOutputReferred() const;
    void setIsOutputReferred(bool v);
    float cameraBaselineExposure() const;
    void setCameraBaselineExposure(float ev);
    uint16_t imageWidth() const;
    uint16_t imageHeight() const;
    void setImageSize(uint16_t width, uint16_t height);

    const std::string& fileSource() const { return fileSource_; }
    const std::string& uuid() const { return uuid_; }
    bool wantThumbNail() const { return wantThumbNail_; }
    // Whether a file existed at the path when the wrapper was made.
    bool fileExists() const { return fileExists_; }
    bool parseOK() const;
    void setParseOK(bool v);

protected:
    ImageWrapper(std::string path, std::string fileUUID, bool thumbNail);

private:
    mutable std::mutex stateLock_;  // guards the fields below
    const std::string fileSource_;
    const std::string uuid_;
    const bool wantThumbNail_;
    const bool fileExists_;
    bool parseOK_ = false;
    uint16_t imageWidth_ = 0;
    uint16_t imageHeight_ = 0;
    bool isOutputReferred_ = false;
    bool processAsMonochromeSensor_ = false;
    float cameraBaselineExposure_ = 0;
    ColorSyncProfileWrap::Ptr scannerProfile_;
    std::shared_ptr<const DNGCameraProfileAbstract> cameraProfile_;
    std::optional<platform::Error> error_;
    std::vector<std::string> warnings_;
    MetaData metaData_;
};
