#include "dng/image/dng_jpeg_image.h"

#include <algorithm>
#include <atomic>

#include "dng/core/dng_abort_sniffer.h"
#include "dng/core/dng_area_task.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_safe_arithmetic.h"

namespace {

class dng_jpeg_image_find_digest_task : public dng_area_task {
public:
    dng_jpeg_image_find_digest_task(const dng_jpeg_image& image, uint32 tileCount,
                                    dng_fingerprint* digests)
        : dng_area_task("dng_jpeg_image_find_digest_task"),
          fImage(image),
          fTileCount(tileCount),
          fDigests(digests) {
        fMinTaskArea = 16 * 16;
        fUnitCell = dng_point(16, 16);
        fMaxTileSize = dng_point(16, 16);
    }

    void Process(uint32, const dng_rect&, dng_abort_sniffer* sniffer) override {
        while (true) {
            const uint32 index = fNextTile.fetch_add(1);
            if (index >= fTileCount) return;
            dng_abort_sniffer::SniffForAbort(sniffer);
            dng_md5_printer printer;
            const dng_memory_block* data =
                index < fImage.fJPEGData.size() ? fImage.fJPEGData[index].get() : nullptr;
            if (data) printer.Process(data->Buffer(), data->LogicalSize());
            fDigests[index] = printer.Result();
        }
    }

private:
    const dng_jpeg_image& fImage;
    uint32 fTileCount;
    dng_fingerprint* fDigests;
    std::atomic<uint32> fNextTile{0};
};

}  // namespace

uint32 dng_jpeg_image::TilesAcross() const {
    return fTileSize.h > 0 ? SafeUint32DivideUp(uint32(fImageSize.h), uint32(fTileSize.h)) : 0;
}

uint32 dng_jpeg_image::TilesDown() const {
    return fTileSize.v > 0 ? SafeUint32DivideUp(uint32(fImageSize.v), uint32(fTileSize.v)) : 0;
}

uint32 dng_jpeg_image::TileCount() const { return SafeUint32Mult(TilesAcross(), TilesDown()); }

dng_fingerprint dng_jpeg_image::FindDigest(dng_host& host) const {
    const uint32 tileCount = TileCount();
    std::vector<dng_fingerprint> digests(size_t(tileCount) + (fJPEGTables ? 1 : 0));
    if (tileCount) {
        const uint32 threads = std::min(tileCount, host.AreaTaskThreadCount());
        dng_jpeg_image_find_digest_task task(*this, tileCount, digests.data());
        host.PerformAreaTask(task, dng_rect(0, 0, 16, int32(16 * threads)));
    }
    if (fJPEGTables) {
        dng_md5_printer printer;
        printer.Process(fJPEGTables->Buffer(), fJPEGTables->LogicalSize());
        digests[tileCount] = printer.Result();
    }
    dng_md5_printer printer;
    for (const dng_fingerprint& d : digests) {
        printer.Process(d.data, dng_fingerprint::kDNGFingerprintSize);
    }
    return printer.Result();
}
