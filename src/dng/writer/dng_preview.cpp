#include "dng/writer/dng_preview.h"

#include <algorithm>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image.h"
#include "dng/writer/dng_image_writer.h"
#include "dng/writer/dng_tiff_directory.h"

namespace {

constexpr uint16 kTagRawToPreviewGain = 51112;
constexpr uint16 kTagCacheVersion = 51114;

uint32 NewSubFileType(const dng_preview_info& info) { return info.fIsPrimary ? 1 : 0x10001; }

class dng_jpeg_preview_tag_set : public dng_preview_tag_set {
public:
    dng_jpeg_preview_tag_set(dng_tiff_directory& directory, const dng_jpeg_preview& preview,
                             const dng_ifd& ifd)
        : dng_preview_tag_set(directory, preview, ifd),
          fCoefficientsTag(tcYCbCrCoefficients, fCoefficients, 3),
          fSubSamplingTag(tcYCbCrSubSampling, fSubSampling, 2),
          fPositioningTag(tcYCbCrPositioning, preview.fYCbCrPositioning),
          fReferenceTag(tcReferenceBlackWhite, fReference, 6) {
        if (preview.fPhotometricInterpretation != piYCbCr) return;
        fSubSampling[0] = static_cast<uint16>(preview.fYCbCrSubSampling.h);
        fSubSampling[1] = static_cast<uint16>(preview.fYCbCrSubSampling.v);
        directory.Add(&fCoefficientsTag);
        directory.Add(&fSubSamplingTag);
        directory.Add(&fPositioningTag);
        directory.Add(&fReferenceTag);
    }

private:
    dng_urational fCoefficients[3] = {{299, 1000}, {587, 1000}, {114, 1000}};
    uint16 fSubSampling[2] = {1, 1};
    dng_urational fReference[6] = {{0, 1}, {255, 1}, {128, 1}, {255, 1}, {128, 1}, {255, 1}};
    tag_urational_ptr fCoefficientsTag;
    tag_uint16_ptr fSubSamplingTag;
    tag_uint16 fPositioningTag;
    tag_urational_ptr fReferenceTag;
};

class dng_raw_preview_tag_set : public dng_preview_tag_set {
public:
    dng_raw_preview_tag_set(dng_tiff_directory& directory, const dng_raw_preview& preview,
                            const dng_ifd& ifd)
        : dng_preview_tag_set(directory, preview, ifd),
          fOpcodeList2Tag(tcOpcodeList2, ttUndefined,
                          preview.fOpcodeList2Data ? preview.fOpcodeList2Data->LogicalSize() : 0,
                          preview.fOpcodeList2Data ? preview.fOpcodeList2Data->Buffer() : nullptr),
          fWhiteLevelTag(tcWhiteLevel, fWhiteLevel, ifd.fSamplesPerPixel),
          fBlackLevelTag(tcBlackLevel, fBlackLevel, ifd.fSamplesPerPixel) {
        if (preview.fOpcodeList2Data) directory.Add(&fOpcodeList2Tag);
        if (preview.fImage->PixelType() == ttFloat) {
            for (uint32 i = 0; i < 4; i++) fWhiteLevel[i] = 32768;
            directory.Add(&fWhiteLevelTag);
            return;
        }
        bool any = false;
        for (uint32 i = 0; i < ifd.fSamplesPerPixel && i < 4; i++) {
            fBlackLevel[i].SetReal64(preview.fBlackLevel[i], 1);
            any = any || preview.fBlackLevel[i] != 0.0;
        }
        if (any) directory.Add(&fBlackLevelTag);
    }

private:
    uint32 fWhiteLevel[4] = {};
    dng_urational fBlackLevel[4];
    tag_data_ptr fOpcodeList2Tag;
    tag_uint32_ptr fWhiteLevelTag;
    tag_urational_ptr fBlackLevelTag;
};

}  // namespace

// ---- description tags --------------------------------------------------------

dng_preview_tag_set::dng_preview_tag_set(dng_tiff_directory& directory, const dng_preview& preview,
                                         const dng_ifd& ifd)
    : dng_basic_tag_set(directory, ifd) {
    const dng_preview_info& info = preview.fInfo;
    if (info.fApplicationName.NotEmpty()) {
        fApplicationNameTag =
            std::make_unique<tag_string>(tcPreviewApplicationName, info.fApplicationName, false);
        directory.Add(fApplicationNameTag.get());
    }
    if (info.fApplicationVersion.NotEmpty()) {
        fApplicationVersionTag = std::make_unique<tag_string>(tcPreviewApplicationVersion,
                                                              info.fApplicationVersion, false);
        directory.Add(fApplicationVersionTag.get());
    }
    if (info.fSettingsName.NotEmpty()) {
        fSettingsNameTag =
            std::make_unique<tag_string>(tcPreviewSettingsName, info.fSettingsName, false);
        directory.Add(fSettingsNameTag.get());
    }
    if (info.fSettingsDigest.IsValid()) {
        fSettingsDigestTag =
            std::make_unique<tag_uint8_ptr>(tcPreviewSettingsDigest, info.fSettingsDigest.data,
                                            dng_fingerprint::kDNGFingerprintSize);
        directory.Add(fSettingsDigestTag.get());
    }
    if (info.fColorSpace < 0xFFFFFFFF) {
        fColorSpaceTag = std::make_unique<tag_uint32>(tcPreviewColorSpace, info.fColorSpace);
        directory.Add(fColorSpaceTag.get());
    }
    if (info.fDateTime.NotEmpty()) {
        fDateTimeTag = std::make_unique<tag_string>(tcPreviewDateTime, info.fDateTime, true);
        directory.Add(fDateTimeTag.get());
    }
    if (!(info.fRawToPreviewGain == 1.0)) {
        fRawToPreviewGainTag =
            std::make_unique<tag_real64>(kTagRawToPreviewGain, info.fRawToPreviewGain);
        directory.Add(fRawToPreviewGainTag.get());
    }
    if (info.fCacheVersion != 0) {
        fCacheVersionTag = std::make_unique<tag_uint32>(kTagCacheVersion, info.fCacheVersion);
        directory.Add(fCacheVersionTag.get());
    }
}

dng_preview_tag_set::~dng_preview_tag_set() = default;

// ---- image preview -----------------------------------------------------------

std::unique_ptr<dng_basic_tag_set> dng_image_preview::MakeTagSet(
    dng_tiff_directory& directory) const {
    fIFD = dng_ifd();
    fIFD.fNewSubFileType = NewSubFileType(fInfo);
    fIFD.fImageWidth = fImage->Width();
    fIFD.fImageLength = fImage->Height();
    fIFD.fSamplesPerPixel = fImage->Planes();
    fIFD.fPhotometricInterpretation = fImage->Planes() > 1 ? piRGB : piBlackIsZero;
    for (uint32 i = 0; i < fIFD.fSamplesPerPixel && i < dng_ifd::kMaxSamplesPerPixel; i++) {
        fIFD.fBitsPerSample[i] = fImage->PixelSize() * 8;
    }
    fIFD.SetSingleStrip();
    return std::make_unique<dng_preview_tag_set>(directory, *this, fIFD);
}

void dng_image_preview::WriteData(dng_host& host, dng_image_writer& writer,
                                  dng_basic_tag_set& basic, dng_stream& stream) const {
    writer.WriteImageData(host, fIFD, basic, stream, *fImage, 1);
}

// ---- JPEG preview ------------------------------------------------------------

std::unique_ptr<dng_basic_tag_set> dng_jpeg_preview::MakeTagSet(
    dng_tiff_directory& directory) const {
    dng_ifd ifd;
    ifd.fNewSubFileType = NewSubFileType(fInfo);
    ifd.fImageWidth = static_cast<uint32>(fPreviewSize.h);
    ifd.fImageLength = static_cast<uint32>(fPreviewSize.v);
    ifd.fPhotometricInterpretation = fPhotometricInterpretation;
    ifd.fSamplesPerPixel = fPhotometricInterpretation == piBlackIsZero ? 1 : 3;
    for (uint32 i = 0; i < 3; i++) ifd.fBitsPerSample[i] = 8;
    ifd.fCompression = ccJPEG;
    ifd.fPredictor = cpNullPredictor;
    ifd.SetSingleStrip();
    return std::make_unique<dng_jpeg_preview_tag_set>(directory, *this, ifd);
}

void dng_jpeg_preview::WriteData(dng_host&, dng_image_writer&, dng_basic_tag_set& basic,
                                 dng_stream& stream) const {
    const uint32 size = fCompressedData ? fCompressedData->LogicalSize() : 0;
    if (stream.Position() > 0xFFFFFFFFull) ThrowOverflow("Preview beyond 4 GB");
    basic.SetTileOffset(0, static_cast<uint32>(stream.Position()));
    basic.SetTileByteCount(0, size);
    if (size) stream.WriteBytes(fCompressedData->Buffer(), size);
    if (size & 1) stream.PutUInt8(0);
}

void dng_jpeg_preview::WriteThumbnailResource(dng_stream& stream) const {
    const uint32 size = fCompressedData ? fCompressedData->LogicalSize() : 0;
    const int32 width = fPreviewSize.h;
    const int32 height = fPreviewSize.v;
    const int32 rowBytes = ((width * 24 + 31) / 32) * 4;
    stream.PutUInt32(0x3842494D);  // "8BIM"
    stream.PutUInt16(1036);
    stream.PutUInt16(0);
    stream.PutUInt32(size + 28);
    stream.PutUInt32(1);
    stream.PutUInt32(static_cast<uint32>(width));
    stream.PutUInt32(static_cast<uint32>(height));
    stream.PutUInt32(static_cast<uint32>(rowBytes));
    stream.PutUInt32(static_cast<uint32>(rowBytes * height));
    stream.PutUInt32(size);
    stream.PutUInt16(24);
    stream.PutUInt16(1);
    if (size) stream.WriteBytes(fCompressedData->Buffer(), size);
    if (size & 1) stream.PutUInt8(0);
}

// ---- raw preview -------------------------------------------------------------

std::unique_ptr<dng_basic_tag_set> dng_raw_preview::MakeTagSet(
    dng_tiff_directory& directory) const {
    fIFD = dng_ifd();
    fIFD.fNewSubFileType = 1;
    fIFD.fImageWidth = fImage->Width();
    fIFD.fImageLength = fImage->Height();
    fIFD.fSamplesPerPixel = fImage->Planes();
    fIFD.fPhotometricInterpretation = piLinearRaw;
    const uint32 planes = std::min<uint32>(fImage->Planes(), dng_ifd::kMaxSamplesPerPixel);
    if (fImage->PixelType() == ttFloat) {
        fIFD.fCompression = ccDeflate;
        fIFD.fPredictor = cpFloatingPoint;
        for (uint32 i = 0; i < planes; i++) {
            fIFD.fBitsPerSample[i] = 16;
            fIFD.fSampleFormat[i] = sfFloatingPoint;
        }
        fIFD.FindTileSize(512 * 1024, 16, 16);
    } else {
        fIFD.fCompression = ccLossyJPEG;
        for (uint32 i = 0; i < planes; i++) fIFD.fBitsPerSample[i] = fImage->PixelSize() * 8;
        fIFD.FindTileSize(fImage->Planes() * 256 * 1024, 16, 16);
    }
    fIFD.fCompressionQuality = static_cast<uint32>(fCompressionQuality);
    return std::make_unique<dng_raw_preview_tag_set>(directory, *this, fIFD);
}

void dng_raw_preview::WriteData(dng_host& host, dng_image_writer& writer, dng_basic_tag_set& basic,
                                dng_stream& stream) const {
    writer.WriteImageData(host, fIFD, basic, stream, *fImage, 1);
}

// ---- mask and depth previews -------------------------------------------------

void dng_mask_preview::FillIFD(uint32 newSubFileType, uint32 photometric) const {
    fIFD = dng_ifd();
    fIFD.fNewSubFileType = newSubFileType;
    fIFD.fImageWidth = fImage->Width();
    fIFD.fImageLength = fImage->Height();
    fIFD.fSamplesPerPixel = 1;
    fIFD.fPhotometricInterpretation = photometric;
    fIFD.fCompression = ccDeflate;
    fIFD.fPredictor = cpHorizontalDifference;
    fIFD.fCompressionQuality = static_cast<uint32>(fCompressionQuality);
    fIFD.fBitsPerSample[0] = fImage->PixelSize() * 8;
    fIFD.FindTileSize(256 * 1024, 16, 16);
}

std::unique_ptr<dng_basic_tag_set> dng_mask_preview::MakeTagSet(
    dng_tiff_directory& directory) const {
    FillIFD(5, piTransparencyMask);
    return std::make_unique<dng_basic_tag_set>(directory, fIFD);
}

void dng_mask_preview::WriteData(dng_host& host, dng_image_writer& writer, dng_basic_tag_set& basic,
                                 dng_stream& stream) const {
    writer.WriteImageData(host, fIFD, basic, stream, *fImage, 1);
}

std::unique_ptr<dng_basic_tag_set> dng_depth_preview::MakeTagSet(
    dng_tiff_directory& directory) const {
    FillIFD(fFullResolution ? 8 : 9, piDepth);
    return std::make_unique<dng_basic_tag_set>(directory, fIFD);
}

// ---- list --------------------------------------------------------------------

dng_preview_list::~dng_preview_list() {
    for (uint32 i = kMaxDNGPreviews; i-- > 0;) fPreview[i].reset();
}

void dng_preview_list::Append(std::unique_ptr<dng_preview>& preview) {
    if (!preview || fCount >= kMaxDNGPreviews) return;
    fPreview[fCount++] = std::move(preview);
}
