#include "dng/image/dng_negative_reader.h"

#include "dng/core/dng_host.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_negative.h"

std::unique_ptr<dng_negative> ReadDNGNegative(dng_host& host, dng_stream& stream, dng_info& info,
                                              dng_read_depth depth) {
    info.Parse(host, stream);
    std::unique_ptr<dng_negative> negative(host.MakeNegative());
    negative->Parse(host, stream, info);
    negative->PostParse(host, stream, info);
    if (depth == dng_read_depth::kMetadata) {
        negative->ReadOpcodeLists(host, stream, info);
        return negative;
    }
    negative->ReadStage1Image(host, stream, info);
    negative->ReadTransparencyMask(host, stream, info);
    negative->ReadAuxiliaryImage(host, stream, info);
    if (depth == dng_read_depth::kStage3) {
        negative->BuildStage2Image(host);
        negative->BuildStage3Image(host);
    }
    return negative;
}
