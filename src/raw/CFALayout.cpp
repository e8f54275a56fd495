#include "raw/CFALayout.h"

namespace {

const char* const kColourNames[3] = {"red", "green", "blue"};

// The X-Trans layout at one phase (0 red, 1 green, 2 blue).
constexpr uint8_t kXTrans[6][6] = {{1, 2, 1, 1, 0, 1}, {0, 1, 0, 2, 1, 2}, {1, 2, 1, 1, 0, 1},
                                   {1, 0, 1, 1, 2, 1}, {2, 1, 2, 0, 1, 0}, {1, 0, 1, 1, 2, 1}};

}  // namespace

std::optional<CFALayout> CFALayout::fromColors(uint32_t rows, uint32_t cols, const uint8_t* colors,
                                               std::string* why) {
    const auto refuse = [&](std::string text) -> std::optional<CFALayout> {
        if (why) *why = std::move(text);
        return std::nullopt;
    };
    if (rows == 0 || cols == 0 || rows > kMostRepeat || cols > kMostRepeat)
        return refuse("its colour filter pattern repeats every " + std::to_string(rows) + " x " +
                      std::to_string(cols) + " pixels, but a pattern repeats within 1 to 8");
    CFALayout layout;
    layout.rows_ = rows;
    layout.cols_ = cols;
    uint32_t counts[3] = {0, 0, 0};
    for (uint32_t r = 0; r < rows; r++)
        for (uint32_t c = 0; c < cols; c++) {
            const uint8_t colour = colors[r * cols + c];
            if (colour > 2)
                return refuse("its colour filter pattern names colour " + std::to_string(colour) +
                              ", but its picture has only red, green and blue");
            layout.colors_[r][c] = colour;
            counts[colour]++;
        }
    for (int c = 0; c < 3; c++)
        if (counts[c] == 0)
            return refuse(std::string("its colour filter pattern has no ") + kColourNames[c] +
                          " filter, so the picture's " + kColourNames[c] + " cannot be made");
    return layout;
}

CFALayout CFALayout::fromBayer(const CFAPattern& pattern) {
    CFALayout layout;
    layout.rows_ = layout.cols_ = 2;
    for (uint32_t i = 0; i < 4; i++)
        layout.colors_[i >> 1][i & 1] = static_cast<uint8_t>(pattern.colors()[i]);
    return layout;
}

std::optional<CFAPattern> CFALayout::bayer() const {
    std::array<CFAColor, 4> cell{};
    for (uint32_t i = 0; i < 4; i++) cell[i] = CFAColor(colorAt(i >> 1, i & 1));
    for (uint32_t r = 0; r < rows_ * 2; r++)
        for (uint32_t c = 0; c < cols_ * 2; c++)
            if (colorAt(r, c) != static_cast<uint8_t>(cell[((r & 1) << 1) | (c & 1)]))
                return std::nullopt;
    return CFAPattern::fromColors(cell);
}

bool CFALayout::isXTrans() const {
    if (rows_ != 6 || cols_ != 6) return false;
    for (int swap = 0; swap < 2; swap++)
        for (uint32_t dy = 0; dy < 6; dy++)
            for (uint32_t dx = 0; dx < 6; dx++) {
                bool same = true;
                for (uint32_t r = 0; r < 6 && same; r++)
                    for (uint32_t c = 0; c < 6 && same; c++) {
                        uint8_t want = kXTrans[(r + dy) % 6][(c + dx) % 6];
                        if (swap && want != 1) want = uint8_t(2 - want);
                        same = colors_[r][c] == want;
                    }
                if (same) return true;
            }
    return false;
}

int CFALayout::coverRadius() const {
    for (int radius = 0; radius < int(kMostRepeat); radius++) {
        bool covers = true;
        for (uint32_t y = 0; y < rows_ && covers; y++)
            for (uint32_t x = 0; x < cols_ && covers; x++) {
                bool seen[3] = {false, false, false};
                for (int dy = -radius; dy <= radius; dy++)
                    for (int dx = -radius; dx <= radius; dx++)
                        seen[colorAt(uint32_t(int(y + 8 * rows_) + dy),
                                     uint32_t(int(x + 8 * cols_) + dx))] = true;
                covers = seen[0] && seen[1] && seen[2];
            }
        if (covers) return radius;
    }
    return int(kMostRepeat);
}
