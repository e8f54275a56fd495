// The road a source's data take once read, the same for a DNG (DngSource)
// and the makers' own formats (LibRawSource): the colour spec at the as-shot
// white, the white balance of the mosaic, the two demosaiced renderings (or
// a half-size one for a thumbnail), and the turn from camera RGB to linear
// ProPhoto (D65 white), cropped and oriented, into rawWrapper::Decoded.
//
// Failures are thrown: a platform::Error in "RawOpenErrorDomain" for what a
// person must hear (no colour matrix, a size out of range), a dng_exception
// from the colour library's own steps.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dng/core/dng_matrix.h"
#include "platform/Value.h"
#include "raw/RawColor.h"
#include "raw/rawWrapper.h"

class DNGCameraProfileAbstract;
class dng_color_spec;
class dng_negative;
class CFALayout;
struct MosaicPlane;

// Everything one decode produces, built without the wrapper's state.
struct rawWrapper::Decoded {
    RawSamples master;
    RawSamples alternate;
    // The master held only in EdgeBands this wide (0: the whole image).
    uint32_t masterEdgeBands = 0;
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

struct RawDecodeRequest {
    std::string path;
    const DNGCameraProfileAbstract* profile = nullptr;
    bool monochrome = false;
    bool thumbnail = false;
    unsigned bands = kDemosaicBands;
    // Where both renderings are made, the master is wanted only in
    // EdgeBands this wide (0: everywhere); a road that cannot spare the
    // rest makes it whole.
    uint32_t masterEdgeBands = 0;
};

// White balance: the as-shot neutral (largest entry 1) and the matrix from
// balanced camera RGB to ProPhoto. When the neutral lies outside the white
// range the colour spec can reach, the balanced white would keep a cast: the
// last row scaling maps it to grey exactly.
struct RawWhiteBalance {
    std::array<double, 3> neutral{1, 1, 1};
    dng_matrix balanced = dng_vector_3(1, 1, 1).AsDiagonal();
};

inline constexpr RawMatrix3 kRawIdentity{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

// Converts a packed camera-RGB rendering into the final one and stores it.
void RawFinish(RawSamples& rgb, uint32_t width, const RawCrop& crop, uint32_t orientation,
               const RawMatrix3& matrix, unsigned bands, RawSamples& out);
// Refuses an image of no pixels or more than 65535 a side.
void RawCheckOutputSize(const std::string& path, uint32_t width, uint32_t height);

// Colour choice: the chosen profile's matrices, or the negative's own
// profile, white at the as-shot white. Null for a monochrome sensor. A
// chosen profile that cannot serve gives way to the file's own, with a
// warning naming it.
std::unique_ptr<dng_color_spec> RawChooseColorSpec(const RawDecodeRequest& req, dng_negative& neg,
                                                   rawWrapper::Decoded& out);
RawWhiteBalance RawBalanceFor(const dng_negative& neg, const dng_color_spec* spec);

RawSamples RawGreyToRGB(const RawSamples& grey);
// White balance the mosaic in place: divide by the neutral, largest channel
// kept. `lut` keeps the per-channel table (3 x 65536).
void RawBalanceMosaic(RawSamples& cfaSamples, uint32_t width, uint32_t height,
                      const CFALayout& layout, const RawWhiteBalance& wb, unsigned bands,
                      std::vector<uint16_t>& lut);

// The browser's thumbnail: a half-size rendering straight from a Bayer
// mosaic; other layouts take the smooth interpolation at full size.
void RawDecodeHalfSize(const RawDecodeRequest& req, const MosaicPlane& mosaic, const RawCrop& crop,
                       uint32_t orientation, const RawMatrix3& matrix, rawWrapper::Decoded& out);

// A step on a demosaiced camera-RGB rendering (packed, width x height) before
// its colour: a DNG's third opcode list.
using RawRenderingStep = std::function<void(RawSamples& rgb, uint32_t width, uint32_t height)>;
// The two renderings, each through `afterDemosaic` when there is one: for a
// Bayer mosaic the master by AHD and the alternate by LMMSE; for any other
// layout the homogeneity-directed master and the smooth alternate. A Bayer
// mosaic with nothing between interpolation and colour gives the master
// only in the EdgeBands the request asks for (out.masterEdgeBands says so).
void RawDemosaicBoth(const RawDecodeRequest& req, const MosaicPlane& mosaic, const RawCrop& crop,
                     uint32_t orientation, const RawMatrix3& matrix,
                     const RawRenderingStep& afterDemosaic, rawWrapper::Decoded& out);
