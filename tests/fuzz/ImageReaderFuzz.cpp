// Any bytes handed to the thumbnail reader as a file must give a small picture
// or an error, never a crash, hang or huge allocation.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/ImageReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/quorvex-image-reader-fuzz-" + std::to_string(getpid());
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    platform::Error error;
    auto image = platform::readImageThumbnail(path, 64, &error);
    if (image && (image->width() > 64 || image->height() > 64)) __builtin_trap();
    return 0;
}
