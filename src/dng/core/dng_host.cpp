#include "dng/core/dng_host.h"

#include <algorithm>

#include "dng/core/dng_abort_sniffer.h"
#include "dng/core/dng_area_task.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_exif.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_xmp.h"

dng_host::dng_host(dng_memory_allocator* allocator, dng_abort_sniffer* sniffer)
    : fAllocator(allocator), fSniffer(sniffer) {}

dng_host::~dng_host() = default;

dng_memory_allocator& dng_host::Allocator() {
    return fAllocator ? *fAllocator : gDefaultDNGMemoryAllocator;
}

std::unique_ptr<dng_memory_block> dng_host::Allocate(uint32 logicalSize) {
    return Allocator().Allocate(logicalSize);
}

void dng_host::SniffForAbort() { dng_abort_sniffer::SniffForAbort(fSniffer); }

void dng_host::ValidateSizes() {
    if (fMaximumSize) {
        fMinimumSize = std::min(fMinimumSize, fMaximumSize);
        fPreferredSize = std::min(fPreferredSize, fMaximumSize);
    }
    if (fMinimumSize == 0 && fPreferredSize != 0) {
        // Bands: small previews need no reserve; larger ones may be served by
        // an image down to about two thirds of the asked size, never below 160.
        if (fPreferredSize <= 160)
            fMinimumSize = fPreferredSize;
        else if (fPreferredSize <= 1024)
            fMinimumSize = std::max<uint32>(160, fPreferredSize / 2);
        else
            fMinimumSize = fPreferredSize / 3 * 2;
    }
    if (fPreferredSize && fMinimumSize > fPreferredSize) fMinimumSize = fPreferredSize;
}

void dng_host::PerformAreaTask(dng_area_task& task, const dng_rect& area) {
    dng_area_task::Perform(task, area, &Allocator(), fSniffer, AreaTaskThreadCount());
}

bool dng_host::IsTransientError(dng_error_code code) {
    return code == dng_error_user_canceled || code == dng_error_memory;
}

dng_exif* dng_host::MakeExif() { return new dng_exif; }

dng_xmp* dng_host::MakeXmp() { return new dng_xmp(Allocator()); }

dng_image* dng_host::MakeImage(const dng_rect&, uint32, uint32) {
    ThrowNotYetImplemented("dng_host::MakeImage");
}

dng_negative* dng_host::MakeNegative() { ThrowNotYetImplemented("dng_host::MakeNegative"); }

dng_opcode* dng_host::MakeOpcode(uint32, dng_stream&) {
    ThrowNotYetImplemented("dng_host::MakeOpcode");
}

void dng_host::ApplyOpcodeList(dng_opcode_list&, dng_negative&, std::unique_ptr<dng_image>&) {
    ThrowNotYetImplemented("dng_host::ApplyOpcodeList");
}

void dng_host::ResampleImage(const dng_image&, dng_image&) {
    ThrowNotYetImplemented("dng_host::ResampleImage");
}
