#include "dng/image/dng_find_new_raw_image_digest_task.h"

#include <algorithm>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_pixel_buffer.h"

dng_find_new_raw_image_digest_task::dng_find_new_raw_image_digest_task(const dng_image& image,
                                                                       uint32 pixelType)
    : dng_area_task("dng_find_new_raw_image_digest_task"),
      fImage(image),
      fPixelType(pixelType),
      fPixelSize(TiffTagTypeSize(pixelType)) {
    const dng_point cell(static_cast<int32>(std::min<uint32>(image.Height(), 256)),
                         static_cast<int32>(std::min<uint32>(image.Width(), 256)));
    fMinTaskArea = 1;
    fUnitCell = cell;
    fMaxTileSize = cell;
}

void dng_find_new_raw_image_digest_task::Start(uint32 threadCount, const dng_rect&,
                                               const dng_point& tileSize,
                                               dng_memory_allocator* allocator,
                                               dng_abort_sniffer*) {
    if (tileSize != fUnitCell) ThrowProgramError("Unexpected tile size");
    if (threadCount > kMaxThreads) ThrowProgramError("Too many threads");
    fTilesAcross = SafeUint32DivideUp(fImage.Width(), static_cast<uint32>(fUnitCell.h));
    fTilesDown = SafeUint32DivideUp(fImage.Height(), static_cast<uint32>(fUnitCell.v));
    fTileCount = SafeUint32Mult(fTilesAcross, fTilesDown);
    fTileHash.assign(fTileCount, dng_fingerprint());
    const uint32 bufferSize =
        SafeUint32Mult4(static_cast<uint32>(fUnitCell.v), static_cast<uint32>(fUnitCell.h),
                        fImage.Planes(), fPixelSize);
    dng_memory_allocator& memory = allocator ? *allocator : gDefaultDNGMemoryAllocator;
    for (uint32 i = 0; i < threadCount; i++) fBufferData[i] = memory.Allocate(bufferSize);
}

void dng_find_new_raw_image_digest_task::Process(uint32 threadIndex, const dng_rect& tile,
                                                 dng_abort_sniffer*) {
    const uint32 index =
        static_cast<uint32>((tile.t - fImage.Bounds().t) / fUnitCell.v) * fTilesAcross +
        static_cast<uint32>((tile.l - fImage.Bounds().l) / fUnitCell.h);
    if (index >= fTileCount) ThrowProgramError("Digest tile outside the grid");
    dng_pixel_buffer buffer(tile, 0, fImage.Planes(), fPixelType, pcPlanar,
                            fBufferData[threadIndex]->Buffer());
    fImage.Get(buffer);
    dng_md5_printer printer;
    printer.Process(buffer.fData, SafeUint32Mult4(fImage.Planes(), tile.W(), tile.H(), fPixelSize));
    fTileHash[index] = printer.Result();
}

dng_fingerprint dng_find_new_raw_image_digest_task::Result() const {
    dng_md5_printer printer;
    for (const dng_fingerprint& hash : fTileHash) {
        printer.Process(hash.data, dng_fingerprint::kDNGFingerprintSize);
    }
    return printer.Result();
}
