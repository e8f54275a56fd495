// The negative's raw-data digests and raw data unique ID: the classic digest
// streams the raw image in 16-row bands, the new one hashes a fixed grid of
// cells (through dng_find_new_raw_image_digest_task) and folds in the
// transparency mask; the unique ID hashes that digest with the model name,
// the crops and the opcode lists, so it changes with any of them.
#include <algorithm>
#include <utility>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_find_new_raw_image_digest_task.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_jpeg_image.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_pixel_buffer.h"
#include "platform/Dispatch.h"

namespace {

dng_fingerprint DigestTiles(dng_host& host, const dng_image& image, uint32 pixelType) {
    dng_find_new_raw_image_digest_task task(image, pixelType);
    host.PerformAreaTask(task, image.Bounds());
    return task.Result();
}

void PutURational(dng_stream& stream, const dng_urational& r) {
    stream.PutUInt32(r.n);
    stream.PutUInt32(r.d);
}

}  // namespace

dng_fingerprint dng_negative::FindImageDigest(dng_host& host, const dng_image& image) const {
    const uint32 pixelType = image.PixelType() == ttByte ? uint32(ttShort) : image.PixelType();
    const uint32 pixelSize = TiffTagTypeSize(pixelType);
    const uint32 rowSamples = SafeUint32Mult(image.Planes(), image.Width());
    uint32 bufferSize = 0;
    if (!SafeUint32Mult3Checked(16, rowSamples, pixelSize, &bufferSize)) {
        ThrowOverflow("Arithmetic overflow computing buffer size.");
    }
    auto block = host.Allocate(bufferSize);
    dng_md5_printer printer;
    const dng_rect& bounds = image.Bounds();
    for (int32 top = bounds.t; top < bounds.b; top += 16) {
        host.SniffForAbort();
        const int32 bottom = std::min(bounds.b, top + 16);
        const dng_rect band(top, bounds.l, bottom, bounds.r);
        dng_pixel_buffer buffer(band, 0, image.Planes(), pixelType, pcInterleaved, block->Buffer());
        image.Get(buffer);
        printer.Process(block->Buffer(),
                        SafeUint32Mult3(static_cast<uint32>(bottom - top), rowSamples, pixelSize));
    }
    return printer.Result();
}

void dng_negative::JoinRawImageDigest() {
    if (!fRawDigestPending) return;
    fRawDigestPending->wait();
    fRawDigestPending.reset();
}

void dng_negative::StartRawImageDigest(dng_host& host) {
    if (fRawImageDigest.IsValid() || fRawDigestPending) return;
    // Only the classic digest of the image alone: the other kinds share
    // state with the new digest, which others compute meanwhile.
    const dng_image& raw = RawImage();
    if (raw.PixelType() == ttFloat || fTransparencyMask || fRawTransparencyMask) return;
    fRawDigestError = nullptr;
    fRawDigestPending = std::make_unique<platform::DispatchGroup>();
    fRawDigestPending->async(platform::DispatchQueue::global(), [this, &host, &raw] {
        try {
            fRawImageDigest = FindImageDigest(host, raw);
        } catch (...) {
            fRawDigestError = std::current_exception();
        }
    });
}

void dng_negative::FindRawImageDigest(dng_host& host) {
    JoinRawImageDigest();
    if (fRawDigestError) std::rethrow_exception(std::exchange(fRawDigestError, nullptr));
    if (fRawImageDigest.IsValid()) return;
    const dng_image& raw = RawImage();
    if (raw.PixelType() != ttFloat && !fTransparencyMask && !fRawTransparencyMask) {
        fRawImageDigest = FindImageDigest(host, raw);
    } else {
        FindNewRawImageDigest(host);
        fRawImageDigest = fNewRawImageDigest;
    }
}

void dng_negative::FindNewRawImageDigest(dng_host& host) {
    if (fNewRawImageDigest.IsValid()) return;
    const dng_image& raw = RawImage();
    uint32 pixelType = raw.PixelType();
    if (pixelType == ttShort && fLinearizationInfo && fLinearizationInfo->fLinearizationTable &&
        fLinearizationInfo->fLinearizationTable->LogicalSize() < 514) {
        pixelType = ttByte;
    }
    const dng_fingerprint imageDigest = DigestTiles(host, raw, pixelType);
    const dng_image* mask = RawTransparencyMask();
    if (!mask) {
        fNewRawImageDigest = imageDigest;
        return;
    }
    const dng_fingerprint maskDigest = DigestTiles(host, *mask, mask->PixelType());
    dng_md5_printer printer;
    printer.Process(imageDigest.data, dng_fingerprint::kDNGFingerprintSize);
    printer.Process(maskDigest.data, dng_fingerprint::kDNGFingerprintSize);
    fNewRawImageDigest = printer.Result();
}

void dng_negative::SetRawJPEGImage(std::unique_ptr<dng_jpeg_image> image) {
    fRawJPEGImage = std::move(image);
}

void dng_negative::ClearRawJPEGImage() { fRawJPEGImage.reset(); }

void dng_negative::FindRawJPEGImageDigest(dng_host& host) {
    if (fRawJPEGImageDigest.IsValid()) return;
    if (!fRawJPEGImage) ThrowProgramError("No raw JPEG image");
    fRawJPEGImageDigest = fRawJPEGImage->FindDigest(host);
}

void dng_negative::ValidateRawImageDigest(dng_host& host) {
    if (!fStage1Image || fIsPreview) return;
    if (fRawImageDigest.IsNull() && fNewRawImageDigest.IsNull()) return;
    const bool useNew = fNewRawImageDigest.IsValid();
    dng_fingerprint& digest = useNew ? fNewRawImageDigest : fRawImageDigest;
    if (fRawJPEGImage || fRawJPEGImageDigest.IsValid()) {
        FindRawJPEGImageDigest(host);
        if (fRawJPEGImageDigest != digest) fIsDamaged = true;
        return;
    }
    const dng_fingerprint stored = digest;
    digest.Clear();
    try {
        if (useNew) {
            FindNewRawImageDigest(host);
        } else {
            FindRawImageDigest(host);
        }
    } catch (...) {
        digest = stored;
        throw;
    }
    if (digest == stored) return;
    bool damaged = true;
    if (!useNew) {
        // Some writers got the classic digest's first bytes wrong.
        const bool tailAgrees = std::equal(digest.data + 4, digest.data + 16, stored.data + 4);
        const bool oldMarker = stored.data[0] == 8 && stored.data[1] == 0 && stored.data[2] == 0 &&
                               stored.data[3] == 0;
        damaged = !tailAgrees && !oldMarker;
    }
    if (damaged) fIsDamaged = true;
    digest = stored;
}

void dng_negative::FindRawDataUniqueID(dng_host& host) {
    if (RawDataUniqueID().IsValid()) return;
    dng_md5_printer_stream stream;
    if (fRawJPEGImage && !fTransparencyMask && !fRawTransparencyMask) {
        FindRawJPEGImageDigest(host);
        stream.WriteBytes(fRawJPEGImageDigest.data, dng_fingerprint::kDNGFingerprintSize);
    } else {
        FindNewRawImageDigest(host);
        stream.WriteBytes(fNewRawImageDigest.data, dng_fingerprint::kDNGFingerprintSize);
    }
    stream.WriteBytes(fModelName.Get(), fModelName.Length());
    PutURational(stream, fDefaultCropSizeH);
    PutURational(stream, fDefaultCropSizeV);
    PutURational(stream, fDefaultCropOriginH);
    PutURational(stream, fDefaultCropOriginV);
    PutURational(stream, fDefaultUserCropT);
    PutURational(stream, fDefaultUserCropL);
    PutURational(stream, fDefaultUserCropB);
    PutURational(stream, fDefaultUserCropR);
    fOpcodeList1.FingerprintToStream(stream);
    fOpcodeList2.FingerprintToStream(stream);
    fOpcodeList3.FingerprintToStream(stream);
    std::lock_guard<std::mutex> lock(fRawDataUniqueIDLock);
    stream.Flush();
    fRawDataUniqueID = stream.Result();
}

void dng_negative::RecomputeRawDataUniqueID(dng_host& host) {
    SetRawDataUniqueID(dng_fingerprint());
    FindRawDataUniqueID(host);
}
