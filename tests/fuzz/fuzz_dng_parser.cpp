// Feeds arbitrary bytes to the DNG file parser and the negative: directory
// structure, EXIF and GPS tags, shared tags and camera profiles, opcode
// lists, linearization and mosaic data, then (for small images) the raw
// image read and the stage-2 and stage-3 builds. Any crash, hang, sanitizer
// report or exception other than dng_exception is a fault.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_stream.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_negative.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::quietLog();
    if (size > 0xFFFFFFFFu) return 0;
    dng_stream stream(data, static_cast<uint32>(size));
    dng_image_host host;
    dng_info info;
    try {
        info.Parse(host, stream);
        std::unique_ptr<dng_negative> negative(host.MakeNegative());
        negative->Parse(host, stream, info);
        negative->PostParse(host, stream, info);
        // Pixels only for images a fuzz run can afford; the limits of the
        // reader itself are exercised by the image reader's own target.
        const dng_parsed_ifd& main = info.MainIFD();
        if (uint64_t(main.fImageWidth) * main.fImageLength > (1u << 20)) {
            negative->ReadOpcodeLists(host, stream, info);
            return 0;
        }
        negative->ReadStage1Image(host, stream, info);
        negative->BuildStage2Image(host);
        negative->BuildStage3Image(host);
    } catch (const dng_exception&) {
    }
    return 0;
}
