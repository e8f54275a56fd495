// Reads an OpenEXR file the export tests wrote back into floats.
#pragma once

#include <ImfFrameBuffer.h>
#include <ImfInputFile.h>

#include <filesystem>
#include <vector>

namespace exporttest {

// The file's samples as floats, RGBA interleaved; -99 where it has no alpha.
inline std::vector<float> ReadBack(const std::filesystem::path& file, int w, int h) {
    Imf::InputFile in(file.c_str());
    std::vector<float> back(size_t(w) * h * 4, -99.0f);
    Imf::FrameBuffer frame;
    const char* names[4] = {"R", "G", "B", "A"};
    for (int k = 0; k < 4; ++k)
        frame.insert(names[k], Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(back.data() + k), 16,
                                          size_t(w) * 16, 1, 1, -99.0));
    in.setFrameBuffer(frame);
    in.readPixels(0, h - 1);
    return back;
}

}  // namespace exporttest
