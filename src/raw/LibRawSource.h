// The makers' own raw formats (every format LibRaw decodes except DNG, which
// stays on our own reader): one object per decode, on its own LibRaw object
// of the thread-safe library.
//
// What it hands on is the sensor's data and what the file says of it; the
// white balance, demosaicing, colour and geometry after it are the same as a
// DNG's (RawDevelop.h). A Bayer mosaic comes black-subtracted per channel and
// scaled so that the file's white level is 65535, over the visible area (the
// sensor's margins cut). Sensors that are not a 2 x 2 Bayer layout (X-Trans,
// four-colour, already interpolated data, rotated layouts) come as camera
// RGB made by LibRaw's own interpolation, white balanced by the neutral the
// caller gives; a monochrome sensor as one grey plane.
//
// Every failure is thrown as a platform::Error in "RawOpenErrorDomain" whose
// reason names the file in a person's words: a file that begins as a raw
// format and then fails is damaged or cut short, "not supported" is for
// what no decoder takes. Sizes are checked before any pixel memory is
// taken, every byte of image data the decode reads must be in the file, and
// a decode that runs past its time limit is stopped. The metadata carry make,
// model and capture time as the file states them.
//
// Not thread-safe: one thread uses an object (rawWrapper's decoder lock
// serialises decodes anyway).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Value.h"
#include "raw/CFALayout.h"
#include "raw/CFAPattern.h"
#include "raw/RawFileFacts.h"
#include "raw/rawWrapper.h"

class LibRaw;

// The error of a file LibRaw does not take for raw data of any format it
// knows (its reason names the format as unsupported).
struct LibRawUnsupported : platform::Error {
    explicit LibRawUnsupported(platform::Error e) : platform::Error(std::move(e)) {}
};

class LibRawSource {
public:
    enum class Layout { Bayer, XTrans, Monochrome, Interpolated };

    // What the file says of its colours. cameraFromXYZ1 is always set (the
    // per-model matrix, else one made from LibRaw's camera-to-sRGB matrix);
    // a second matrix only where the file holds two (DNG).
    struct Colour {
        std::array<std::array<double, 3>, 3> cameraFromXYZ1{};
        uint32_t illuminant1 = 21;  // EXIF light source (D65)
        std::optional<std::array<std::array<double, 3>, 3>> cameraFromXYZ2;
        uint32_t illuminant2 = 17;
        std::array<double, 3> asShotNeutral{1, 1, 1};  // largest entry 1
    };

    // What LibRaw says of a file's colours, as the colour road reads it.
    struct ColourValues {
        std::array<double, 3> asShot{};                        // as-shot multipliers (0: none)
        std::array<double, 3> daylight{};                      // daylight multipliers
        std::array<std::array<double, 3>, 3> cameraFromXYZ{};  // per model (0: none)
        std::array<std::array<double, 3>, 3> rgbFromCamera{};  // camera to sRGB
        bool balancedInCamera = false;  // the library knows the data balanced
    };
    // The matrix and neutral of those values. Data a camera balanced before
    // storing them (the as-shot multipliers then hold only what is left,
    // near 1) are not what the per-model matrix sees: read against the
    // sensor, such a neutral is a white no light gives, far off the
    // daylight-tungsten range. The matrix is then taken to the stored data
    // by the camera's daylight balance, so the neutral reads against it.
    static Colour colourFrom(const ColourValues& values);

    // Whether the file is a DNG by its content: a TIFF header whose first
    // directory holds a DNG version. A TIFF whose first directory cannot be
    // read counts as DNG only under a ".dng" name (our reader says why).
    static bool isDNG(const std::string& path);
    // How long one decode may take (30 s unless a test asks for less);
    // process-wide.
    static void setTimeLimit(std::chrono::milliseconds limit);

    // Opens and identifies the file; throws when it is no raw file LibRaw
    // decodes or its sizes are beyond what this system handles.
    explicit LibRawSource(const std::string& path);
    ~LibRawSource();
    LibRawSource(const LibRawSource&) = delete;
    LibRawSource& operator=(const LibRawSource&) = delete;

    const std::string& make() const { return make_; }
    const std::string& model() const { return model_; }
    Layout layout() const { return layout_; }
    // Set for Layout::Bayer.
    const std::optional<CFAPattern>& pattern() const { return pattern_; }
    // Set for Layout::Bayer and Layout::XTrans: the colours of the visible
    // area's mosaic.
    const std::optional<CFALayout>& mosaicLayout() const { return mosaicLayout_; }
    // The visible area's size in sensor pixels.
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    // TIFF orientation code (1 to 8).
    uint32_t orientation() const { return orientation_; }
    // Width of a pixel over its height (1 for square pixels).
    double pixelAspect() const { return pixelAspect_; }
    // The visible area at square pixels, turned to the orientation.
    std::pair<uint32_t, uint32_t> orientedSize() const;
    Colour colour() const;
    // Whether the file gives its as-shot white balance (else the neutral of
    // colour() is the sensor's daylight one, or none at all).
    bool statesWhiteBalance() const;

    // The file's embedded preview as packed 8-bit sRGB, or false when it has
    // none that decodes. JPEG previews come as their bytes in `jpeg`.
    bool readPreview(std::vector<uint8_t>& jpeg, std::vector<uint8_t>& rgb, uint32_t& width,
                     uint32_t& height);
    // Unpacks the sensor data (checks that the file holds it first).
    void unpack();
    // After unpack: the mosaic (Bayer) or grey plane (Monochrome) of the
    // visible area, black-subtracted and scaled to 65535. (Layout::XTrans too.)
    RawSamples readPlane(unsigned bands);
    // After unpack: LibRaw's interpolation as camera RGB, 3 samples a pixel,
    // linear, balanced by 1 / neutral; width() x height() unless the layout
    // is rotated, so the size comes back with it. Half size when asked.
    // Whether readInterpolated gives camera RGB (else linear sRGB: sensors
    // of four colours).
    bool interpolatesInCameraRGB() const;
    RawSamples readInterpolated(const std::array<double, 3>& neutral, bool halfSize,
                                uint32_t& width, uint32_t& height);
    // The metadata dictionary, in the keys of RawMetadata.h.
    platform::Dictionary metadata(uint32_t width, uint32_t height, uint32_t depth) const;

    // How many bytes of image data a decode read past the file's end, from
    // the bytes it asked for there one at a time (`bytes`, as bit readers
    // ask) and in blocks (`blocks`), by the loader LibRaw names; 0 when
    // none, or only what the loader may read ahead of intact data.
    static uint64_t missingBytes(uint64_t bytes, uint64_t blocks, const char* loader);

private:
    class TimedStream;
    void checkSizes() const;
    void checkDataPresent() const;
    [[noreturn]] void fail(int code, const char* during) const;
    // The decode looked for image data past the file's end (`missing`
    // bytes, 0 when not counted): damage or a cut, told apart by whether
    // the file holds all the data it declares.
    [[noreturn]] void failPastEnd(uint64_t missing) const;

    std::string path_;
    std::string name_;
    std::chrono::steady_clock::time_point deadline_;
    // Declared before raw_, which reads it until it goes.
    std::unique_ptr<TimedStream> stream_;
    std::unique_ptr<LibRaw> raw_;
    uint64_t fileBytes_ = 0;
    // Where the decoder found the image data (size 0: not stated).
    uint64_t dataOffset_ = 0;
    uint64_t dataSize_ = 0;
    RawFileFacts facts_;
    std::string make_;
    std::string model_;
    Layout layout_ = Layout::Interpolated;
    std::optional<CFAPattern> pattern_;
    std::optional<CFALayout> mosaicLayout_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t orientation_ = 1;
    double pixelAspect_ = 1;
    bool unpacked_ = false;
};

// Stretches packed RGB (3 samples a pixel) along one axis to `newSize`
// pixels by linear interpolation: non-square pixels shown at their aspect.
RawSamples RawStretch(const RawSamples& rgb, uint32_t width, uint32_t height, bool alongRows,
                      uint32_t newSize);
