// dng_jpeg_image::Encode lives with the image writer, whose tile encoder
// compresses each tile; tiles are handed out by an atomic counter so that
// several area-task threads can share the work.
#include <algorithm>
#include <atomic>

#include "dng/core/dng_abort_sniffer.h"
#include "dng/core/dng_area_task.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_jpeg_image.h"
#include "dng/image/dng_negative.h"
#include "dng/writer/dng_image_writer.h"

namespace {

class dng_jpeg_image_encode_task : public dng_area_task {
public:
    dng_jpeg_image_encode_task(dng_host& host, dng_image_writer& writer, const dng_image& image,
                               dng_jpeg_image& jpegImage, uint32 tileCount, const dng_ifd& ifd)
        : dng_area_task("dng_jpeg_image_encode_task"),
          fHost(host),
          fWriter(writer),
          fImage(image),
          fJPEGImage(jpegImage),
          fTileCount(tileCount),
          fIFD(ifd) {
        fMinTaskArea = 16 * 16;
        fUnitCell = dng_point(16, 16);
        fMaxTileSize = dng_point(16, 16);
    }

    void Process(uint32, const dng_rect&, dng_abort_sniffer* sniffer) override {
        auto uncompressed = fHost.Allocate(
            SafeUint32Mult3(fIFD.fTileLength, fIFD.fTileWidth, fIFD.fSamplesPerPixel));
        std::unique_ptr<dng_memory_block> temp;
        const uint32 across = fIFD.TilesAcross();
        while (true) {
            const uint32 index = fNextTile.fetch_add(1);
            if (index >= fTileCount) return;
            dng_abort_sniffer::SniffForAbort(sniffer);
            const dng_rect area = fIFD.TileArea(index / across, index % across);
            dng_memory_stream stream(fHost.Allocator(), sniffer, 65536);
            fWriter.EncodeAndWriteTile(fHost, fIFD, stream, fImage, area, 1, nullptr,
                                       uncompressed.get(), nullptr, temp, true);
            fJPEGImage.fJPEGData[index] = stream.CopyToMemoryBlock(fHost.Allocator());
        }
    }

private:
    dng_host& fHost;
    dng_image_writer& fWriter;
    const dng_image& fImage;
    dng_jpeg_image& fJPEGImage;
    uint32 fTileCount;
    const dng_ifd& fIFD;
    std::atomic<uint32> fNextTile{0};
};

}  // namespace

void dng_jpeg_image::Encode(dng_host& host, const dng_negative& negative, dng_image_writer& writer,
                            const dng_image& image) {
    fImageSize = dng_point(int32(image.Height()), int32(image.Width()));

    dng_ifd ifd;
    ifd.fImageWidth = image.Width();
    ifd.fImageLength = image.Height();
    ifd.fSamplesPerPixel = image.Planes();
    if (ifd.fSamplesPerPixel > dng_ifd::kMaxSamplesPerPixel) {
        ThrowProgramError("Too many planes for a JPEG image");
    }
    for (uint32 i = 0; i < dng_ifd::kMaxSamplesPerPixel; i++) ifd.fBitsPerSample[i] = 8;
    ifd.fPhotometricInterpretation = piLinearRaw;
    ifd.fCompression = ccLossyJPEG;
    ifd.FindTileSize(SafeUint32Mult(image.Planes(), 256 * 1024), 16, 16);
    fTileSize = dng_point(int32(ifd.fTileLength), int32(ifd.fTileWidth));

    const dng_point& recorded = negative.OriginalDefaultFinalSize();
    const bool higher = uint64(image.Width()) * image.Height() > 5000000ull ||
                        (recorded.v == int32(image.Height()) && recorded.h == int32(image.Width()));
    if (negative.ColorimetricReference() == 0) {
        ifd.fCompressionQuality = higher ? 11 : 10;
    } else {
        ifd.fCompressionQuality = higher ? 10 : 8;
    }

    const uint32 tileCount = SafeUint32Mult(ifd.TilesAcross(), ifd.TilesDown());
    fJPEGData.clear();
    fJPEGData.resize(tileCount);
    if (tileCount == 0) return;
    const uint32 threads = std::min(tileCount, host.AreaTaskThreadCount());
    dng_jpeg_image_encode_task task(host, writer, image, *this, tileCount, ifd);
    host.PerformAreaTask(task, dng_rect(0, 0, 16, int32(16 * threads)));
}
