#include "raw/CFAPattern.h"

std::optional<CFAPattern> CFAPattern::fromColors(const std::array<CFAColor, 4>& colors) {
    int counts[3] = {0, 0, 0};
    for (CFAColor c : colors) {
        const auto index = static_cast<unsigned>(c);
        if (index > 2) return std::nullopt;
        ++counts[index];
    }
    if (counts[0] != 1 || counts[1] != 2 || counts[2] != 1) return std::nullopt;
    // The greens must sit on a diagonal (0 and 3, or 1 and 2).
    const bool mainDiagonal = colors[0] == CFAColor::Green && colors[3] == CFAColor::Green;
    const bool antiDiagonal = colors[1] == CFAColor::Green && colors[2] == CFAColor::Green;
    if (!mainDiagonal && !antiDiagonal) return std::nullopt;
    return CFAPattern(colors);
}

std::optional<CFAPattern> CFAPattern::fromName(std::string_view name) {
    if (name.size() != 4) return std::nullopt;
    std::array<CFAColor, 4> colors{};
    for (size_t i = 0; i < 4; ++i) {
        switch (name[i]) {
            case 'R':
                colors[i] = CFAColor::Red;
                break;
            case 'G':
                colors[i] = CFAColor::Green;
                break;
            case 'B':
                colors[i] = CFAColor::Blue;
                break;
            default:
                return std::nullopt;
        }
    }
    return fromColors(colors);
}

uint32_t CFAPattern::redRow() const {
    return (colors_[2] == CFAColor::Red || colors_[3] == CFAColor::Red) ? 1u : 0u;
}

uint32_t CFAPattern::redCol() const {
    return (colors_[1] == CFAColor::Red || colors_[3] == CFAColor::Red) ? 1u : 0u;
}
