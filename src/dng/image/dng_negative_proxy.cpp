// Proxy conversion: a built negative reduced to a small negative whose raw
// image is its cropped, resampled stage 3, gamma-encoded to 8 bits per
// sample (16-bit float for float data). The encoding's inverse travels with
// it as one MapPolynomial opcode per plane in opcode list 2, so a reader
// recovers linear values within one code step.
#include <algorithm>
#include <cmath>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_area_spec.h"
#include "dng/image/dng_encode_proxy_task.h"
#include "dng/image/dng_gamma_encode_proxy.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_jpeg_image.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_misc_opcodes.h"
#include "dng/image/dng_mosaic_info.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_utils_image.h"

namespace {

constexpr uint32 kFullProxySize = 65000;
constexpr uint64 kFullProxyCount = 4225000000ull;
// A float proxy holds 16-bit floats scaled so that white is 2^15.
constexpr real32 kFloatProxyScale = 32768.0f;
// A plane's offset lifts values below the stage-3 black level by at most
// this many codes.
constexpr real64 kMaxOffset = 51.0;

// x + 0.5 truncated, within 0 .. 2^32 - 1.
uint32 RoundPositive(real64 x) {
    const real64 y = x + 0.5;
    if (!(y > 0.0)) return 0;
    if (y >= 4294967295.0) return 0xFFFFFFFF;
    return uint32(y);
}

// Bins counted from the end (downward) or the start (upward) until more
// than threshold samples are passed, not beyond limit.
uint32 WhiteIndex(const uint32* histogram, real64 threshold) {
    uint32 index = 65535;
    real64 sum = 0.0;
    while (index > 255) {
        sum += histogram[index];
        if (sum > threshold) break;
        index--;
    }
    return index;
}

uint32 BlackIndex(const uint32* histogram, real64 threshold, uint32 limit) {
    uint32 index = 0;
    real64 sum = 0.0;
    while (index < limit) {
        sum += histogram[index];
        if (sum > threshold) break;
        index++;
    }
    return index;
}

}  // namespace

std::unique_ptr<dng_image> dng_negative::EncodeRawProxy(dng_host& host, const dng_image& srcImage,
                                                        dng_opcode_list& opcodeList,
                                                        real64* offsets) const {
    std::fill(offsets, offsets + 4, 0.0);
    if (srcImage.PixelType() != ttShort) return nullptr;
    const uint32 planes = srcImage.Planes();
    if (planes > dng_encode_proxy_task::kMaxPlanes) ThrowProgramError("too many proxy planes");
    const dng_rect& bounds = srcImage.Bounds();

    const real64 threshold = real64(srcImage.Width()) * srcImage.Height() * 1.0e-5;
    real64 black[4] = {};
    real64 white[4] = {};
    {
        std::unique_ptr<dng_memory_block> block = host.Allocate(65536 * sizeof(uint32));
        uint32* histogram = block->Buffer_uint32();
        for (uint32 p = 0; p < planes; p++) {
            BuildAreaHistogram(host, srcImage, bounds, histogram, 65535, p);
            const uint32 whiteIndex = WhiteIndex(histogram, threshold);
            const uint32 blackIndex = BlackIndex(histogram, threshold, whiteIndex - 255);
            black[p] = blackIndex / 65535.0;
            white[p] = whiteIndex / 65535.0;
        }
    }

    const bool sceneReferred = ColorimetricReference() == 0;
    const real64 blackLevel = Stage3BlackLevel() / 65535.0;
    if (sceneReferred && blackLevel > 0.0) {
        for (uint32 p = 0; p < planes; p++) {
            if (!(blackLevel > black[p])) continue;
            const real64 d = blackLevel - black[p];
            white[p] = std::min(std::max(white[p], blackLevel + 4.0 * d), 1.0);
            if (!(white[p] > blackLevel)) continue;
            const real64 y =
                dng_gamma_encode_proxy::SceneReferredCurve(d / (white[p] - blackLevel));
            offsets[p] = std::min(std::ceil(y / (y + 1.0) * 255.0), kMaxOffset);
        }
    }

    std::unique_ptr<dng_image> dstImage(host.MakeImage(bounds, planes, ttByte));
    {
        dng_encode_proxy_task task(host, srcImage, *dstImage, black, white, sceneReferred, offsets,
                                   blackLevel);
        host.PerformAreaTask(task, bounds);
    }

    for (uint32 p = 0; p < planes; p++) {
        const dng_gamma_encode_proxy encoding(black[p], white[p], sceneReferred, blackLevel,
                                              offsets[p] / 255.0);
        real64 coefficients[4];
        const uint32 degree = encoding.InversePolynomial(coefficients);
        opcodeList.Append(std::make_unique<dng_opcode_MapPolynomial>(dng_area_spec(bounds, p, 1),
                                                                     degree, coefficients));
    }
    return dstImage;
}

bool dng_negative::IsProxy(uint32 proxySize, uint64 proxyCount) const {
    const dng_image* raw = fRawImage      ? fRawImage.get()
                           : fStage1Image ? fStage1Image.get()
                                          : fStage3Image.get();
    if (!raw) return false;
    const dng_image* mask = RawTransparencyMask();
    const bool maskFits = !mask || mask->PixelType() == ttByte;
    const bool sizeFits = raw->Width() <= proxySize && raw->Height() <= proxySize &&
                          uint64(raw->Width()) * raw->Height() <= proxyCount;
    const bool unscaled = fRawToFullScaleH == 1.0 && fRawToFullScaleV == 1.0;
    if (!maskFits || !sizeFits || !unscaled) return false;
    // An 8-bit proxy has no lossy-JPEG record here: the writer keeps it
    // losslessly.
    if (raw->PixelType() == ttByte)
        return raw->Bounds() == DefaultCropArea() &&
               !(fMosaicInfo && fMosaicInfo->IsColorFilterArray());
    return raw->PixelType() == ttFloat && fRawFloatBitDepth == 16;
}

void dng_negative::CheckProxySource() const {
    if (!fStage3Image) ThrowProgramError("proxy conversion needs stage 3");
    if (fStage3Image->Planes() > dng_encode_proxy_task::kMaxPlanes)
        ThrowProgramError("proxy conversion of more than four planes");
    const dng_rect crop = DefaultCropArea();
    if (crop.IsEmpty() || !(SquareHeight() > 0.0) || !(fDefaultCropSizeH.AsReal64() > 0.0))
        ThrowProgramError("proxy conversion of an empty default crop");
    if ((crop & fStage3Image->Bounds()) != crop) ThrowProgramError("default crop outside stage 3");
}

void dng_negative::ConvertToProxy(dng_host& host, dng_image_writer& /*writer*/, uint32 proxySize,
                                  uint64 proxyCount) {
    JoinRawImageDigest();
    if (proxySize == 0) proxySize = kFullProxySize;
    if (proxyCount == 0) proxyCount = uint64(proxySize) * proxySize;

    // Everything that can refuse the conversion is checked before the
    // negative changes.
    const bool isProxy = IsProxy(proxySize, proxyCount);
    if (!isProxy) CheckProxySource();

    if (!(proxySize >= kFullProxySize && proxyCount >= kFullProxyCount)) {
        fMetadata->ClearMakerNote();
        fDNGPrivateData.reset();
    }
    if (isProxy) return;

    fRawImage.reset();
    fRawImageBlackLevel = 0;
    fRawJPEGImage.reset();
    fRawFloatBitDepth = 0;
    fLinearizationInfo.reset();
    fMosaicInfo.reset();
    fOpcodeList1.Clear();
    fOpcodeList2.Clear();
    fOpcodeList3.Clear();
    PrepareProxy(host);
    fRawImageDigest.Clear();
    fNewRawImageDigest.Clear();
    fRawJPEGImageDigest.Clear();

    const dng_rect crop = DefaultCropArea();
    if (fStage3Image->Bounds() != crop) {
        // The mask and depth map share stage 3's geometry before the crop.
        ResizeTransparencyToMatchStage3(host, false);
        ResizeAuxiliaryToMatchStage3(host);
        fStage3Image->Trim(crop);
        if (fTransparencyMask) fTransparencyMask->Trim(crop);
        if (fAuxiliaryImage) fAuxiliaryImage->Trim(crop);
        fRawAuxiliaryImage.reset();
        fDefaultCropOriginH = dng_urational(0, 1);
        fDefaultCropOriginV = dng_urational(0, 1);
    }

    // The target size keeps the square-pixel aspect within the limits.
    const real64 squareHeight = SquareHeight();
    const real64 cropWidth = fDefaultCropSizeH.AsReal64();
    const real64 scaleH = fDefaultScaleH.AsReal64();
    const real64 aspect = cropWidth / squareHeight;
    uint32 widthLimit = proxySize;
    uint32 heightLimit = proxySize;
    if (aspect >= 1.0)
        heightLimit = std::max<uint32>(RoundPositive(proxySize / aspect), 1);
    else
        widthLimit = std::max<uint32>(RoundPositive(proxySize * aspect), 1);
    uint32 height =
        std::max<uint32>(std::min(RoundPositive(squareHeight * scaleH), heightLimit), 1);
    uint32 width = std::max<uint32>(std::min(RoundPositive(cropWidth * scaleH), widthLimit), 1);
    if (uint64(width) * height > proxyCount) {
        if (aspect >= 1.0) {
            width = std::max<uint32>(uint32(std::sqrt(real64(proxyCount) * aspect)), 1);
            height = std::max<uint32>(RoundPositive(width / aspect), 1);
        } else {
            height = std::max<uint32>(uint32(std::sqrt(real64(proxyCount) / aspect)), 1);
            width = std::max<uint32>(RoundPositive(height * aspect), 1);
        }
    }

    const real64 pixelAspect =
        (scaleH / fRawToFullScaleH) / (fDefaultScaleV.AsReal64() / fRawToFullScaleV);
    const dng_rect area = DefaultCropArea();
    bool rescaled = true;
    if (pixelAspect >= 0.99 && pixelAspect <= 1.01 &&
        uint64(width) * height >= uint64(area.W()) * area.H()) {
        width = area.W();
        height = area.H();
        rescaled = !(fRawToFullScaleH == 1.0 && fRawToFullScaleV == 1.0);
    } else {
        std::unique_ptr<dng_image> resampled(host.MakeImage(dng_rect(int32(height), int32(width)),
                                                            fStage3Image->Planes(),
                                                            fStage3Image->PixelType()));
        host.ResampleImage(*fStage3Image, *resampled);
        fStage3Image = std::move(resampled);
    }
    if (rescaled) {
        fDefaultCropSizeH = dng_urational(width, 1);
        fDefaultCropSizeV = dng_urational(height, 1);
        fDefaultScaleH = dng_urational(1, 1);
        fDefaultScaleV = dng_urational(1, 1);
        fBestQualityScale = dng_urational(1, 1);
        fRawToFullScaleH = 1.0;
        fRawToFullScaleV = 1.0;
    }

    if (fStage3Image->PixelType() != ttFloat) {
        real64 offsets[4];
        fRawImage = EncodeRawProxy(host, *fStage3Image, fOpcodeList2, offsets);
        fRawImageBlackLevel = 0;
        if (fRawImage) {
            SetWhiteLevel(255);
            for (uint32 p = 0; p < 4; p++) SetBlackLevel(offsets[p], int32(p));
        }
    } else {
        std::unique_ptr<dng_image> limited(
            host.MakeImage(fStage3Image->Bounds(), fStage3Image->Planes(), ttFloat));
        LimitFloatImageBitDepth(host, *fStage3Image, *limited, 16, kFloatProxyScale);
        fRawImage = std::move(limited);
        fRawFloatBitDepth = 16;
        SetWhiteLevel(uint32(kFloatProxyScale));
    }

    if (fTransparencyMask) {
        ResizeTransparencyToMatchStage3(host, true);
        fRawTransparencyMask = fTransparencyMask->Clone();
        fRawTransparencyMaskBitDepth = 8;
    }
    if (fAuxiliaryImage) {
        ResizeAuxiliaryToMatchStage3(host);
        if (fRawAuxiliaryImage && (fRawAuxiliaryImage->Width() > fAuxiliaryImage->Width() ||
                                   fRawAuxiliaryImage->Height() > fAuxiliaryImage->Height()))
            fRawAuxiliaryImage.reset();
    }

    RecomputeRawDataUniqueID(host);
}
