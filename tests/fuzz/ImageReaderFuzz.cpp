// Any bytes handed to the thumbnail reader as a file must give a small picture
// or an error, and to the Software tag's reader a text or nothing, never a
// crash, hang or huge allocation.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "platform/ImageReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::quietLog();
    static fuzzsupport::MemoryFile file("image-reader");
    static const std::string path = file.path();
    if (!file.set(data, size)) __builtin_trap();
    platform::Error error;
    auto image = platform::readImageThumbnail(path, 64, &error);
    if (image && (image->width() > 64 || image->height() > 64)) __builtin_trap();
    if (auto software = platform::imageSoftware(path); software && software->size() > size)
        __builtin_trap();
    return 0;
}
