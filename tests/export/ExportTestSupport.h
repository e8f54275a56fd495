// Helpers of the export suite: files read whole, outside checkers run with
// their output captured, and a gradient image to export.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace exporttest {

inline std::vector<uint8_t> FileBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

// Standard output of a command; a missing checker is a failure, not a skip.
inline std::string RunTool(const std::string& command, int* status = nullptr) {
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    std::string out;
    if (!p) {
        ADD_FAILURE() << "cannot run " << command;
        return out;
    }
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    const int rc = pclose(p);
    if (status) *status = rc;
    return out;
}

inline void RequireTool(const char* tool) {
    const std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0)
        ADD_FAILURE() << tool << " is needed (scripts/deps.sh installs it)";
}

// width × height RGB 16-bit: red rises left to right, green top to bottom,
// blue along the diagonal.
inline std::vector<uint16_t> Gradient(int width, int height) {
    std::vector<uint16_t> px(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint16_t* p = &px[(size_t(y) * width + x) * 3];
            p[0] = uint16_t(uint32_t(x) * 65535u / uint32_t(width - 1));
            p[1] = uint16_t(uint32_t(y) * 65535u / uint32_t(height - 1));
            p[2] = uint16_t(uint32_t(x + y) * 65535u / uint32_t(width + height - 2));
        }
    return px;
}

}  // namespace exporttest
