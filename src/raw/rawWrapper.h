// The image source of camera raw files, the class the engine talks to. It
// chooses the decoder by the file's content (DngSource for DNG, on our own
// reader; LibRawSource for the makers' own formats), holds what the decode
// produced and words its failures.
//
// Both roads end the same way (RawDevelop.h): the mosaic white balanced
// with the as-shot neutral and demosaiced twice, the master with AHD and the
// alternate with LMMSE (monochrome sensors, mosaics treated as monochrome
// and full-colour data give the master only); both renderings go from
// camera RGB to linear ProPhoto (D65 white) through the colour spec at the
// as-shot white, or through the chosen camera profile's two matrices; then
// they are cropped to the default crop and turned to the file's
// orientation. A thumbnail wrapper instead gives the largest embedded
// preview that decodes, or a half-size decode of the mosaic, as its master
// image, in the same layout (EmbeddedPreview.h).
//
// A file no decoder takes is refused with an error in "RawOpenErrorDomain"
// that names its format as unsupported; a damaged file gives its own error.
//
// Asked to (setMasterEdgeBands), a decode that makes both renderings keeps
// the master only along the image's edges, and a request for the whole
// master again frees it for the next decode.
//
// Ownership: the wrapper owns its images; pointers returned by
// masterImageBytes/alternateImageBytes stay valid until a new camera profile,
// monochrome flag or a request for the whole master frees them.
//
// Thread safety: every public method may be called from any thread. The
// object's own lock serialises its decodes and setters; the class-wide
// decoder lock (decoderLock) lets one decode run at a time in the process,
// each of them on 16 row bands.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/LargeBlockPool.h"
#include "platform/Locks.h"
#include "raw/CFAPattern.h"
#include "raw/ImageWrapper.h"

// Sample storage that leaves new elements uninitialised: every decode
// buffer is written in full, and zeroing hundreds of megabytes first would
// cost a pass over memory on one thread. Its blocks are recycled between the
// decode's planes and the engine's buffers.
template <class T>
using RawUninitializedAllocator = platform::LargeBlockAllocator<T>;

using RawSamples = std::vector<uint16_t, RawUninitializedAllocator<uint16_t>>;

class rawWrapper : public ImageWrapper {
public:
    using Ptr = std::shared_ptr<rawWrapper>;

    // A source for the file; null only when the object cannot be made.
    static Ptr initWithFile(const std::string& path, const std::string& fileUUID, bool thumbNail);

    ~rawWrapper() override;

    const uint16_t* masterImageBytes() override;
    const uint16_t* alternateImageBytes() override;
    platform::Dictionary getParameters() override;
    // The profile manager's linear ProPhoto profile with a D65 white.
    ColorSyncProfileWrap::Ptr bufferProfile() override;

    void setCameraProfile(std::shared_ptr<const DNGCameraProfileAbstract> profile) override;
    void setProcessAsMonochromeSensor(bool monochrome) override;
    void releaseImages() override;
    void setMasterEdgeBands(uint32_t border) override;
    uint32_t masterEdgeBands() override;

    // True after a change of profile or monochrome flag until the next decode.
    bool bitmapIsDirty() const;
    // How many times the file was decoded (each decode makes both renderings).
    uint32_t decodeCount() const;
    // The oriented size of the full image, read from the file's directories
    // without decoding it (the decoded size once decoded); nullopt when the
    // file cannot be read. Lets an export refuse a size its format cannot
    // hold before any pixel is made.
    std::optional<std::pair<uint32_t, uint32_t>> plannedImageSize();
    // Whether the file says its picture is already rendered: a DNG whose
    // colorimetric reference is output-referred, as this program's own DNG
    // exports are. Read from its directories without decoding; false when
    // they cannot be read (the decode says why).
    bool holdsRenderedPicture();
    // Row bands of the heavy steps (default 16: fifteen threads and the caller).
    void setDecodeBands(unsigned bands);

    // Tests only: DNG files too go through the LibRaw source, to compare
    // the two roads on the same files. Process-wide.
    static void setDecodesDNGThroughLibRaw(bool viaLibRaw);

    // The one lock around the decoder, shared by every wrapper. A pool
    // thread waiting for it lets the pool run the running decode's bands.
    static platform::Mutex& decoderLock();

    // What one decode produces (internal).
    struct Decoded;

private:
    rawWrapper(std::string path, std::string fileUUID, bool thumbNail);
    // Both run with lock_ held.
    void decodeIfNeeded();
    void freeImages();

    mutable std::mutex lock_;  // guards everything below
    RawSamples master_;
    RawSamples alternate_;
    uint32_t wantedMasterBands_ = 0;  // asked for the next decode
    uint32_t masterBands_ = 0;        // what master_ holds
    // Per-channel white-balance table of the last decode (3 × 65536).
    std::vector<uint16_t> lut_;
    bool bitmapDirty_ = true;
    bool decodeFailed_ = false;
    // The failure to report when the decode runs out of memory, made before
    // it starts: reporting must not need the memory that is missing.
    std::optional<platform::Error> memoryShortage_;
    // Warnings already told the user, so that a decode again stays quiet.
    std::set<std::string> reportedWarnings_;
    uint32_t decodeCount_ = 0;
    unsigned bands_ = kDemosaicBands;
    std::string make_;
    std::string model_;
    double asShotWhiteX_ = 0;
    double asShotWhiteY_ = 0;
    bool haveColor_ = false;
    std::array<std::array<double, 3>, 3> cameraFromXYZ_{};
};
