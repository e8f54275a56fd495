// Any bytes handed to the Photo CD decoder as an image pack (and, from the
// second half of the input, as its 64Base index) must give an image or a
// failure with a text, never a crash, hang or huge allocation.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "photocd/pcdDecode.h"

namespace {

bool writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string base = "/tmp/quorvex-pcd-fuzz-" + std::to_string(getpid());
    const std::string pack = base + ".pcd", index = base + "-INFO.IC";
    const size_t half = size / 2;
    if (!writeFile(pack, data, size) || !writeFile(index, data + half, size - half)) return 0;
    for (int level : {2, 5}) {
        pcdDecode decoder;
        decoder.setWorkerCount(1);
        if (!decoder.parseFile(pack.c_str(), index.c_str(), level)) {
            if (!decoder.getErrorString()[0]) __builtin_trap();
            continue;
        }
        decoder.postProcess();
        const size_t pixels = size_t(decoder.getWidth()) * decoder.getHeight();
        if (pixels > 6144u * 4096u) __builtin_trap();
        std::vector<uint8_t> rgb(pixels * 3);
        if (pixels) decoder.readImage8(&rgb[0], &rgb[1], &rgb[2], nullptr, 3);
    }
    return 0;
}
