// Any bytes handed to the Photo CD decoder as an image pack (and, from the
// second half of the input, as its 64Base index) must give an image or a
// failure with a text, never a crash, hang or huge allocation; every
// metadata text is valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "photocd/pcdDecode.h"

namespace {

bool isUtf8(const char* text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        const int follow = *p < 0x80         ? 0
                           : (*p >> 5) == 6  ? 1
                           : (*p >> 4) == 14 ? 2
                           : (*p >> 3) == 30 ? 3
                                             : -1;
        if (follow < 0) return false;
        ++p;
        for (int i = 0; i < follow; ++i, ++p)
            if ((*p >> 6) != 2) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::quietLog();
    static fuzzsupport::MemoryFile pack("pcd-pack"), index("pcd-index");
    static const std::string packPath = pack.path(), indexPath = index.path();
    const size_t half = size / 2;
    if (!pack.set(data, size) || !index.set(data + half, size - half)) __builtin_trap();
    for (int level : {0, 5}) {
        pcdDecode decoder;
        decoder.setWorkerCount(1);
        if (!decoder.parseFile(packPath.c_str(), indexPath.c_str(), level)) {
            if (!decoder.getErrorString()[0]) __builtin_trap();
            continue;
        }
        for (int item = 0; item < 20; ++item) {
            char name[81], value[81];
            decoder.getMetadata(item, name, value);
            if (!isUtf8(value)) __builtin_trap();
        }
        const size_t pixels = size_t(decoder.getWidth()) * decoder.getHeight();
        if (pixels > 6144u * 4096u) __builtin_trap();
        // Past Base/16 the pixel stages (upsampling, colour conversion) are
        // plain loops over sizes the parse fixed; running them on every large
        // input would spend the fuzzer's time there instead of in the parse.
        if (pixels > 192u * 128u) continue;
        decoder.postProcess();
        std::vector<uint8_t> rgb(pixels * 3);
        if (pixels) decoder.readImage8(&rgb[0], &rgb[1], &rgb[2], nullptr, 3);
    }
    return 0;
}
