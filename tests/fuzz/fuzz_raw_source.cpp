// Any bytes handed to the raw decoder as a file, of whatever maker's format,
// must give a picture within the size limits or an error, never a crash,
// hang or huge allocation.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "raw/LibRawSource.h"
#include "raw/rawWrapper.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::quietLog();
    // A parser caught in a loop is stopped, as in the program, only sooner.
    static const bool limited = (LibRawSource::setTimeLimit(std::chrono::milliseconds(2000)), true);
    (void)limited;
    static fuzzsupport::MemoryFile file("raw-source");
    static const std::string path = file.path();
    if (!file.set(data, size)) __builtin_trap();
    auto raw = rawWrapper::initWithFile(path, path, false);
    raw->setDecodeBands(2);
    const uint16_t* master = raw->masterImageBytes();
    if (!master && !raw->error()) __builtin_trap();
    if (master && (raw->imageWidth() == 0 || raw->imageHeight() == 0)) __builtin_trap();
    return 0;
}
