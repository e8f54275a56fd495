#include "dng/writer/dng_tiff_directory.h"

#include "dng/core/dng_exception.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_stream.h"
#include "dng/writer/tiff_tag.h"

uint32 dng_tiff_directory::Add(const tiff_tag* tag) {
    if (fEntries >= kMaxEntries) ThrowProgramError("Too many tags in one directory");
    uint32 index = fEntries;
    while (index > 0 && fTag[index - 1]->Code() > tag->Code()) {
        fTag[index] = fTag[index - 1];
        index--;
    }
    fTag[index] = tag;
    return ++fEntries;
}

uint32 dng_tiff_directory::Size() const {
    if (fEntries == 0) return 0;
    uint32 size = 2 + 12 * fEntries + 4;
    for (uint32 i = 0; i < fEntries; i++) {
        const uint32 valueSize = fTag[i]->Size();
        if (valueSize > 4) size = SafeUint32Add(size, RoundUpUint32ToMultiple(valueSize, 2));
    }
    return size;
}

void dng_tiff_directory::Put(dng_stream& stream, OffsetsBase offsetsBase,
                             uint32 explicitBase) const {
    if (fEntries == 0) return;

    uint64 base = 0;
    if (offsetsBase == offsetsRelativeToStream) {
        base = stream.Position();
    } else if (offsetsBase == offsetsRelativeToExplicitBase) {
        base = explicitBase;
    }
    // Every offset written below lies before base + Size().
    if (base + Size() > 0xFFFFFFFFull) ThrowOverflow("Directory beyond 4 GB");
    uint32 bigOffset = static_cast<uint32>(base) + 12 * fEntries + 6;

    stream.PutUInt16(static_cast<uint16>(fEntries));
    for (uint32 i = 0; i < fEntries; i++) {
        const tiff_tag& tag = *fTag[i];
        stream.PutUInt16(tag.Code());
        stream.PutUInt16(tag.Type());
        stream.PutUInt32(tag.Count());
        const uint32 size = tag.Size();
        if (size > 4) {
            stream.PutUInt32(bigOffset);
            bigOffset += RoundUpUint32ToMultiple(size, 2);
        } else {
            tag.Put(stream);
            stream.WriteZeros(4 - size);
        }
    }
    stream.PutUInt32(fChained);

    for (uint32 i = 0; i < fEntries; i++) {
        const tiff_tag& tag = *fTag[i];
        const uint32 size = tag.Size();
        if (size > 4) {
            tag.Put(stream);
            if (size & 1) stream.PutUInt8(0);
        }
    }
}
