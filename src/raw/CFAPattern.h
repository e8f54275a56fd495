// The 2×2 Bayer layout of a colour filter array and the read-only view of a
// CFA plane that the demosaicing functions take.
//
// Both are small values: a CFAPlane does not own its samples; the caller keeps
// them alive for the duration of a demosaicing call. Everything here is
// immutable after construction and safe to share between threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// Colour codes as the DNG CFAPattern tag stores them.
enum class CFAColor : uint8_t { Red = 0, Green = 1, Blue = 2 };

class CFAPattern {
public:
    // Colours in reading order: top-left, top-right, bottom-left, bottom-right.
    // Only true Bayer layouts (one red, one blue, two greens on a diagonal) are
    // accepted, because the interpolators rely on that geometry.
    static std::optional<CFAPattern> fromColors(const std::array<CFAColor, 4>& colors);
    // "RGGB", "BGGR", "GRBG" or "GBRG" (upper case).
    static std::optional<CFAPattern> fromName(std::string_view name);

    CFAColor colorAt(uint32_t row, uint32_t col) const {
        return colors_[((row & 1u) << 1) | (col & 1u)];
    }
    // Position (0..1) of the red sample inside the 2×2 cell.
    uint32_t redRow() const;
    uint32_t redCol() const;
    const std::array<CFAColor, 4>& colors() const { return colors_; }

private:
    explicit CFAPattern(const std::array<CFAColor, 4>& colors) : colors_(colors) {}
    std::array<CFAColor, 4> colors_;
};

// A mosaic of 16-bit samples, black-subtracted, white-balanced and scaled so
// that 65535 is full scale. rowStride counts samples, not bytes.
struct CFAPlane {
    const uint16_t* samples = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    size_t rowStride = 0;
    CFAPattern pattern;

    uint16_t at(uint32_t row, uint32_t col) const { return samples[row * rowStride + col]; }
};

// The number of row bands the heavy interpolators split an image into: the
// caller's thread plus fifteen workers.
inline constexpr unsigned kDemosaicBands = 16;
