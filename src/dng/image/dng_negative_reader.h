// Reading a DNG file into a negative: parse the structure (dng_info), fill
// the negative from it, and, when asked, read the raw image and build the
// linearized and full-colour stages.
#pragma once

#include <memory>

class dng_host;
class dng_info;
class dng_negative;
class dng_stream;

enum class dng_read_depth {
    kMetadata,  // values only: no pixels are read
    kStage1,    // and the raw image with its opcode lists
    kStage3     // and stages 2 and 3 built
};

// Throws dng_exception on any failure. info receives the parsed structure.
std::unique_ptr<dng_negative> ReadDNGNegative(dng_host& host, dng_stream& stream, dng_info& info,
                                              dng_read_depth depth);
