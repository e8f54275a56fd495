#include "dng/core/dng_tag_types.h"

uint32 TiffTagTypeSize(uint32 tagType) {
    static const uint8 kSizes[16] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 2, 8};
    return tagType < 16 ? kSizes[tagType] : 0;
}
