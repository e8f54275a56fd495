// A colour filter layout of any repeat up to 8 × 8: the 2 × 2 Bayer cell, the
// 6 × 6 X-Trans layout in any of its 36 phases (and with red and blue
// swapped), or any other arrangement of red, green and blue.
//
// A small immutable value; safe to share between threads.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "raw/CFAPattern.h"

class CFALayout {
public:
    static constexpr uint32_t kMostRepeat = 8;

    // A layout of rows × cols colours (0 red, 1 green, 2 blue) in reading
    // order. Null, with `why` set to a clause a person reads after the
    // file's name, for a repeat of 0 or above 8, a colour beyond blue, or a
    // layout that lacks one of the three colours.
    static std::optional<CFALayout> fromColors(uint32_t rows, uint32_t cols, const uint8_t* colors,
                                               std::string* why = nullptr);
    static CFALayout fromBayer(const CFAPattern& pattern);

    uint32_t rows() const { return rows_; }
    uint32_t cols() const { return cols_; }
    // Colour code (0, 1, 2) at an image position.
    uint8_t colorAt(uint32_t row, uint32_t col) const { return colors_[row % rows_][col % cols_]; }

    // The Bayer pattern when the layout repeats every 2 × 2 as one does.
    std::optional<CFAPattern> bayer() const;
    // Whether this is the 6 × 6 X-Trans layout at some phase, either way round.
    bool isXTrans() const;
    // The least radius r such that every (2r + 1) × (2r + 1) window holds
    // every colour.
    int coverRadius() const;

private:
    CFALayout() = default;
    uint32_t rows_ = 0;
    uint32_t cols_ = 0;
    std::array<std::array<uint8_t, kMostRepeat>, kMostRepeat> colors_{};
};
