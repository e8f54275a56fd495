// A colour transform between two ICC profiles, each used with its header's rendering intent:
// the source from device to the connection space, the destination from it to device.
//
// Ownership: the transform keeps both profiles alive and owns one lcms2 context and, per pixel
// layout, one lcms2 transform made on first use (with cmsFLAGS_NOCACHE, so lcms2 keeps no
// per-call state in it). All methods are safe from several threads at once; concurrent calls
// may convert disjoint pixels of one image.
//
// Pixels are converted in place or from one buffer into another of the same layout. Rows may
// be any number of bytes apart (at least one row's pixels). Alpha is copied through unchanged.
// Both profiles must describe three-channel data (RGB, Lab, XYZ, YCC...) for these layouts.
//
// lcms2 is the reference. Where its result is a plain matrix (linear profiles on both sides) or,
// for 16-bit RGB, curves around a matrix, the layout is converted by that shortcut instead,
// kept only after it has reproduced lcms2's float result on a grid of colours. Making the
// tables costs a few milliseconds: code that converts tile by tile should use shared().
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/IccProfile.h"

namespace platform {

namespace icc {
class Context;
}
struct IccShaper;

enum class IccPixelLayout {
    rgba16,     // four unsigned 16-bit samples, alpha last (not premultiplied)
    rgbaFloat,  // four 32-bit floats, alpha last (not premultiplied)
    rgbFloat,   // three 32-bit floats
};

// Bytes per pixel of a layout.
std::size_t iccPixelBytes(IccPixelLayout layout);

class IccTransform {
public:
    // Null, with the reason in *failureReason when given, when either profile is missing.
    static std::shared_ptr<const IccTransform> create(std::shared_ptr<const IccProfile> source,
                                                      std::shared_ptr<const IccProfile> destination,
                                                      std::string* failureReason = nullptr);
    // The same, shared: a transform between profiles of the same data is made once and kept
    // among the most recently used few, so per-tile conversions do not rebuild it.
    static std::shared_ptr<const IccTransform> shared(std::shared_ptr<const IccProfile> source,
                                                      std::shared_ptr<const IccProfile> destination,
                                                      std::string* failureReason = nullptr);
    // Drops the kept transforms: the next use of each makes it again (for tests that count
    // the allocations of a conversion's making).
    static void forgetShared();
    ~IccTransform();
    IccTransform(const IccTransform&) = delete;
    IccTransform& operator=(const IccTransform&) = delete;

    const IccProfile& source() const { return *source_; }
    const IccProfile& destination() const { return *destination_; }

    // The reason given when a conversion could not be prepared for want of memory.
    static constexpr const char* kNoMemoryReason =
        "not enough memory to prepare the colour conversion";

    // Converts width x height pixels in place on the calling thread. False, with a reason, when
    // the profiles cannot be joined for this layout, memory is short (kNoMemoryReason) or the
    // geometry is impossible; the pixels are then unchanged.
    bool convert(void* pixels, std::size_t width, std::size_t height, std::size_t rowBytes,
                 IccPixelLayout layout, std::string* failureReason = nullptr) const;
    // The same from one buffer into another (which may be the same memory).
    bool convert(const void* source, std::size_t sourceRowBytes, void* destination,
                 std::size_t destinationRowBytes, std::size_t width, std::size_t height,
                 IccPixelLayout layout, std::string* failureReason = nullptr) const;
    // As convert(), with the rows of a large image split across the processors (dispatch apply
    // on the high-priority global queue; the caller takes part).
    bool convertConcurrently(void* pixels, std::size_t width, std::size_t height,
                             std::size_t rowBytes, IccPixelLayout layout,
                             std::string* failureReason = nullptr) const;

    // How a layout is converted: by lcms2 itself, or by a shortcut that reproduces its result
    // (a matrix, or 16-bit tables of curves and matrix). Makes the layout's transform if needed.
    enum class Path { lcms2, matrix, tables, unavailable };
    Path path(IccPixelLayout layout) const;

    bool convertRGBA16(std::uint16_t* pixels, std::size_t width, std::size_t height,
                       std::size_t rowBytes, std::string* failureReason = nullptr) const {
        return convert(pixels, width, height, rowBytes, IccPixelLayout::rgba16, failureReason);
    }
    bool convertRGBAFloat(float* pixels, std::size_t width, std::size_t height,
                          std::size_t rowBytes, std::string* failureReason = nullptr) const {
        return convert(pixels, width, height, rowBytes, IccPixelLayout::rgbaFloat, failureReason);
    }
    bool convertRGBFloat(float* pixels, std::size_t width, std::size_t height, std::size_t rowBytes,
                         std::string* failureReason = nullptr) const {
        return convert(pixels, width, height, rowBytes, IccPixelLayout::rgbFloat, failureReason);
    }

    // The table shortcut for 16-bit RGBA done pixel by pixel in plain code: the reference the
    // vectorised conversion is tested against. False when rgba16 takes another path.
    bool convertRGBA16Reference(const void* source, std::size_t sourceRowBytes, void* destination,
                                std::size_t destinationRowBytes, std::size_t width,
                                std::size_t height) const;

private:
    IccTransform(std::shared_ptr<const IccProfile> source,
                 std::shared_ptr<const IccProfile> destination);
    // Made under `mutex` until it succeeds: a failure for want of memory is tried again on the
    // next use. (Not std::call_once: an exception must not unwind through the C library's once.)
    struct Prepared {
        std::mutex mutex;
        std::atomic<bool> ready{false};  // converts by one of the means below; then read-only
        void* handle = nullptr;          // cmsHTRANSFORM; none when a shortcut serves 16-bit pixels
        // Float layouts: when lcms2's result is a plain 3 x 3 matrix of the samples (linear
        // matrix profiles on both sides), the matrix, applied directly and much faster.
        bool isMatrix = false;
        std::array<float, 9> matrix{};
        // 16-bit RGB between two matrix/curve profiles: input curves, matrix and inverse output
        // curves as tables, used when they reproduce lcms2's float result.
        std::shared_ptr<const struct IccShaper> shaper;
    };
    // How a layout converts, made once; null with the reason when it cannot be made.
    const Prepared* prepared(IccPixelLayout layout, std::string* failureReason) const;
    // Fills `p` (mutex held); the reason when it cannot.
    std::string prepare(Prepared& p, IccPixelLayout layout) const;
    static void reset(Prepared& p);
    static void findMatrix(Prepared& p, IccPixelLayout layout);
    // floatHandle: the lcms2 float RGB transform between the same profiles, the reference.
    void findShaper(Prepared& p, void* sourceHandle, void* destinationHandle,
                    void* floatHandle) const;
    static void applyMatrix(const Prepared& p, const std::uint8_t* in, std::size_t inRowBytes,
                            std::uint8_t* out, std::size_t outRowBytes, std::size_t width,
                            std::size_t height, IccPixelLayout layout);

    std::shared_ptr<const IccProfile> source_;
    std::shared_ptr<const IccProfile> destination_;
    std::unique_ptr<icc::Context> context_;
    mutable std::array<Prepared, 3> prepared_;
};

}  // namespace platform
