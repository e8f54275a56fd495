// The file-layout half of dng_image_writer: which directories a DNG or TIFF
// file has, in which order, which tags each gets, and where the data blocks
// go. Directories are built in memory first, placed one after another from
// offset 8, the data blocks written after them (recording their offsets),
// and finally the header and the directories are written at the start.
#include "dng/writer/dng_image_writer.h"

#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_color_space.h"
#include "dng/core/dng_date_time.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_exif.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_string_list.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/core/dng_xmp.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_jpeg_image.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_metadata.h"
#include "dng/image/dng_mosaic_info.h"
#include "dng/image/dng_negative.h"
#include "dng/writer/dng_basic_tag_set.h"
#include "dng/writer/dng_camera_color_tag_set.h"
#include "dng/writer/dng_camera_profile_tag_set.h"
#include "dng/writer/dng_cfa_tag_set.h"
#include "dng/writer/dng_exif_tag_set.h"
#include "dng/writer/dng_preview.h"
#include "dng/writer/dng_raw_levels_tag_set.h"
#include "dng/writer/dng_tiff_directory.h"
#include "dng/writer/tiff_dng_extended_color_profile.h"
#include "dng/writer/tiff_tag.h"

namespace {

constexpr uint32 kMaxSubIFDs = 24;

std::mutex gFixedDateLock;
std::unique_ptr<dng_date_time_info> gFixedDate;

// Keeps the tags a writing call makes until the file is complete.
class tag_keeper {
public:
    template <typename T, typename... Args>
    T& Add(dng_tiff_directory& directory, Args&&... args) {
        auto tag = std::make_unique<T>(std::forward<Args>(args)...);
        T& result = *tag;
        fTags.push_back(std::move(tag));
        directory.Add(&result);
        return result;
    }

private:
    std::vector<std::unique_ptr<tiff_tag>> fTags;
};

void CheckFileSize(dng_stream& stream, dng_error_code code) {
    if (stream.Position() > 0xFFFFFFFFull) ThrowDNGError(code, "File too large");
}

uint32 Offset32(uint64 offset) {
    if (offset > 0xFFFFFFFFull) ThrowOverflow("Offset beyond 4 GB");
    return static_cast<uint32>(offset);
}

void WriteHeader(dng_stream& stream) {
    stream.SetWritePosition(0);
    stream.PutUInt16(stream.IsBigEndian() ? 0x4D4D : 0x4949);
    stream.PutUInt16(42);
    stream.PutUInt32(8);
}

uint32 RoundHalfUp(real64 x) { return x <= 0.0 ? 0u : static_cast<uint32>(x + 0.5); }

bool SameRational(const dng_urational& a, const dng_urational& b) {
    return a.n == b.n && a.d == b.d;
}

uint32 CFAColumns(const dng_negative& negative) {
    const dng_mosaic_info* mosaic = negative.GetMosaicInfo();
    return mosaic ? static_cast<uint32>(mosaic->fCFAPatternSize.h) : 0;
}

bool HasCFA(const dng_negative& negative) {
    const dng_mosaic_info* mosaic = negative.GetMosaicInfo();
    return mosaic && mosaic->IsColorFilterArray();
}

uint32 ThumbnailArea(const dng_preview& preview) {
    if (auto* image = dynamic_cast<const dng_image_preview*>(&preview)) {
        return image->fImage ? image->fImage->Width() * image->fImage->Height() : 0;
    }
    if (auto* jpeg = dynamic_cast<const dng_jpeg_preview*>(&preview)) {
        return static_cast<uint32>(jpeg->fPreviewSize.h) *
               static_cast<uint32>(jpeg->fPreviewSize.v);
    }
    return 0;
}

// The first smallest image or JPEG preview, or -1.
int32 FindThumbnail(const dng_preview_list* previews) {
    int32 best = -1;
    uint32 bestArea = 0;
    if (!previews) return best;
    for (uint32 i = 0; i < previews->Count(); i++) {
        const dng_preview& preview = previews->Preview(i);
        if (!dynamic_cast<const dng_image_preview*>(&preview) &&
            !dynamic_cast<const dng_jpeg_preview*>(&preview)) {
            continue;
        }
        const uint32 area = ThumbnailArea(preview);
        if (best < 0 || area < bestArea) {
            best = static_cast<int32>(i);
            bestArea = area;
        }
    }
    return best;
}

// The raw image's stored bits per sample.
uint32 RawBitsPerSample(const dng_negative& negative, const dng_image& raw) {
    switch (raw.PixelType()) {
        case ttByte:
            return 8;
        case ttShort: {
            const dng_linearization_info* info = negative.GetLinearizationInfo();
            if (info && info->fLinearizationTable &&
                info->fLinearizationTable->LogicalSize() <= 513) {
                return 8;
            }
            return 16;
        }
        case ttLong:
            return 32;
        case ttFloat:
            switch (negative.RawFloatBitDepth()) {
                case 16:
                    return 16;
                case 24:
                    return 24;
                default:
                    return 32;
            }
        default:
            ThrowProgramError("Unsupported raw pixel type");
    }
}

}  // namespace

void dng_image_writer::SetFixedDateTimeForTesting(const dng_date_time_info* dateTime) {
    std::lock_guard<std::mutex> lock(gFixedDateLock);
    gFixedDate = dateTime ? std::make_unique<dng_date_time_info>(*dateTime) : nullptr;
}

void dng_image_writer::CompressPreviewToJPEG(dng_host&, const dng_image&) {
    ThrowProgramError("No JPEG encoder");
}

// ---- metadata ----------------------------------------------------------------

namespace {

void CopyAltLangDefaultProperty(const dng_xmp& saved, dng_xmp& xmp, const char* ns,
                                const char* path, dng_string* exifString) {
    dng_string s;
    if (saved.GetAltLangDefault(ns, path, s) && s.NotEmpty()) {
        xmp.SetAltLangDefault(ns, path, s);
        if (exifString) *exifString = s;
    }
}

void CopyStringProperty(const dng_xmp& saved, dng_xmp& xmp, const char* ns, const char* path) {
    dng_string s;
    if (saved.GetString(ns, path, s) && s.NotEmpty()) xmp.SetNormalizedString(ns, path, s);
}

void CopyContactInfoField(const dng_xmp& saved, dng_xmp& xmp, const char* ns, const char* field) {
    dng_string s;
    if (saved.GetStructField(XMP_NS_IPTC, "CreatorContactInfo", ns, field, s) && s.NotEmpty()) {
        xmp.SetStructField(XMP_NS_IPTC, "CreatorContactInfo", ns, field, s);
    }
}

}  // namespace

void dng_image_writer::PrepareMetadataForFile(dng_host&, dng_metadata& metadata, uint32 subset,
                                              const char* dstMIME, const char* software) {
    dng_exif* exif = metadata.GetExif();
    dng_xmp* xmp = metadata.GetXMP();
    if (!exif || !xmp) return;

    if (software) {
        exif->fSoftware.Set(software);
        xmp->SetString(XMP_NS_XAP, "CreatorTool", exif->fSoftware);
    }

    {
        std::lock_guard<std::mutex> lock(gFixedDateLock);
        if (gFixedDate) {
            metadata.UpdateDateTime(*gFixedDate);
            xmp->UpdateMetadataDate(*gFixedDate);
        } else {
            metadata.UpdateDateTimeToNow();
        }
    }

    if (!exif->AtLeastVersion0231()) {
        exif->SetVersion0231();
        dng_string version;
        version.Set("0231");
        xmp->SetString(XMP_NS_EXIF, "ExifVersion", version);
    }

    xmp->SyncExif(*exif, metadata.GetOriginalExif(), false, true);

    for (const char* ns : {XMP_NS_DC, XMP_NS_XAP, XMP_NS_EDITOR, XMP_NS_IPTC, XMP_NS_XAP_RIGHTS}) {
        xmp->RemoveEmptyProperties(ns);
    }

    if (subset > 7) subset = kMetadataSubset_All;
    const bool dropDevelop = subset == kMetadataSubset_AllExceptCameraInfo ||
                             subset == kMetadataSubset_AllExceptCameraAndLocation ||
                             subset == kMetadataSubset_AllExceptCameraRawInfo ||
                             subset == kMetadataSubset_AllExceptCameraRawInfoAndLocation;
    const bool dropCamera = subset == kMetadataSubset_AllExceptCameraInfo ||
                            subset == kMetadataSubset_AllExceptCameraAndLocation;
    const bool dropLocation = subset == kMetadataSubset_AllExceptLocationInfo ||
                              subset == kMetadataSubset_AllExceptCameraAndLocation ||
                              subset == kMetadataSubset_AllExceptCameraRawInfoAndLocation;
    if (dropDevelop || dropCamera || dropLocation) {
        const std::unique_ptr<dng_exif> saved = exif->Clone();
        if (dropDevelop) {
            xmp->RemoveProperties(XMP_NS_RAW_SETTINGS);
            xmp->RemoveProperties(XMP_NS_RAW_SAVED_SETTINGS);
            xmp->RemoveProperties(XMP_NS_DEV_EXPERIMENTAL);
            xmp->RemoveProperty(XMP_NS_MM, "History");
            xmp->RemoveProperties(XMP_NS_PANO);
        }
        if (dropCamera) {
            exif->SetEmpty();
            exif->fImageDescription = saved->fImageDescription;
            exif->fSoftware = saved->fSoftware;
            exif->fArtist = saved->fArtist;
            exif->fCopyright = saved->fCopyright;
            exif->fCopyright2 = saved->fCopyright2;
            exif->fDateTime = saved->fDateTime;
            exif->fDateTimeOriginal = saved->fDateTimeOriginal;
            exif->fDateTimeDigitized = saved->fDateTimeDigitized;
            exif->fExifVersion = saved->fExifVersion;
            exif->fImageUniqueID = saved->fImageUniqueID;
            exif->CopyGPSFrom(*saved);
            xmp->RemoveProperties(XMP_NS_EXIF);
            xmp->RemoveProperties(XMP_NS_EXIFEX);
            xmp->RemoveProperties(XMP_NS_AUX);
            metadata.ClearMakerNote();
        }
        if (dropLocation) {
            const dng_exif empty;
            exif->CopyGPSFrom(empty);
            metadata.ClearMakerNote();
            xmp->RemoveProperty(XMP_NS_EDITOR, "City");
            xmp->RemoveProperty(XMP_NS_EDITOR, "State");
            xmp->RemoveProperty(XMP_NS_EDITOR, "Country");
            xmp->RemoveProperty(XMP_NS_IPTC, "Location");
            xmp->RemoveProperty(XMP_NS_IPTC, "CountryCode");
            xmp->RemoveProperty(XMP_NS_IPTC_EXT, "LocationCreated");
            xmp->RemoveProperty(XMP_NS_IPTC_EXT, "LocationShown");
        }
    }

    if (subset == kMetadataSubset_CopyrightOnly || subset == kMetadataSubset_CopyrightAndContact) {
        const std::unique_ptr<dng_xmp> savedXMP = xmp->Clone();
        const std::unique_ptr<dng_exif> saved = exif->Clone();
        xmp->RemoveAllProperties();
        exif->SetEmpty();
        metadata.ClearMakerNote();
        exif->fExifVersion = saved->fExifVersion;
        // The copyright is kept as the record holds it (no XMP here carries
        // it), and replaced by the XMP rights when those exist.
        exif->fCopyright = saved->fCopyright;
        exif->fCopyright2 = saved->fCopyright2;
        CopyAltLangDefaultProperty(*savedXMP, *xmp, XMP_NS_DC, "rights", &exif->fCopyright);
        CopyAltLangDefaultProperty(*savedXMP, *xmp, XMP_NS_XAP_RIGHTS, "UsageTerms", nullptr);
        CopyStringProperty(*savedXMP, *xmp, XMP_NS_XAP_RIGHTS, "WebStatement");
        bool marked = false;
        if (savedXMP->GetBoolean(XMP_NS_XAP_RIGHTS, "Marked", marked)) {
            xmp->SetBoolean(XMP_NS_XAP_RIGHTS, "Marked", marked);
        }
        if (subset == kMetadataSubset_CopyrightAndContact) {
            dng_string_list creators;
            if (savedXMP->GetStringList(XMP_NS_DC, "creator", creators) && creators.Count()) {
                xmp->SetStringList(XMP_NS_DC, "creator", creators);
            }
            exif->fArtist = saved->fArtist;
            CopyStringProperty(*savedXMP, *xmp, XMP_NS_EDITOR, "AuthorsPosition");
            for (const char* field : {"CiEmailWork", "CiAdrExtadr", "CiAdrCity", "CiAdrRegion",
                                      "CiAdrPcode", "CiAdrCtry", "CiTelWork", "CiUrlWork"}) {
                CopyContactInfoField(*savedXMP, *xmp, XMP_NS_IPTC, field);
            }
            CopyAltLangDefaultProperty(*savedXMP, *xmp, XMP_NS_DC, "title", nullptr);
        }
    }

    const bool toDNG = dstMIME && std::strcmp(dstMIME, "image/dng") == 0;
    if (toDNG) {
        metadata.ClearIPTC();
    } else {
        metadata.RebuildIPTC(gDefaultDNGMemoryAllocator,
                             dstMIME && std::strcmp(dstMIME, "image/tiff") == 0);
    }

    xmp->RemoveOrientation();
    xmp->ClearImageInfo();
    xmp->RemoveProperties(XMP_NS_DNG);
    if (!toDNG) xmp->RemoveProperties(XMP_NS_RAW_DEFAULTS);
    xmp->ClearIPTCDigest();
    xmp->RemoveProperty(XMP_NS_EDITOR, "SidecarForExtension");
    xmp->RemoveProperty(XMP_NS_EDITOR, "EmbeddedXMPDigest");
}

void dng_image_writer::SetExifColorSpaceFromProfile(dng_metadata& metadata, const void* profileData,
                                                    uint32 profileSize) {
    dng_exif* exif = metadata.GetExif();
    if (!exif) return;
    exif->fColorSpace = 0xFFFF;
    if (!profileData || profileSize == 0) return;
    uint32 srgbSize = 0;
    const uint8* srgbData = nullptr;
    if (dng_space_sRGB::Get().ICCProfile(srgbSize, srgbData) && srgbSize == profileSize &&
        srgbData && std::memcmp(srgbData, profileData, profileSize) == 0) {
        exif->fColorSpace = 1;
    }
}

// ---- TIFF --------------------------------------------------------------------

void dng_image_writer::WriteTIFFFile(dng_host& host, dng_stream& stream, const dng_image& image,
                                     uint32 photometricInterpretation, uint32 compression,
                                     const dng_metadata* metadata, const void* profileData,
                                     uint32 profileSize, const dng_resolution_info* resolution,
                                     const dng_jpeg_preview* thumbnail,
                                     const dng_memory_block* imageResources, uint32 metadataSubset,
                                     bool hasTransparency) {
    std::unique_ptr<dng_metadata> prepared;
    if (metadata) {
        prepared = metadata->Clone(host.Allocator());
        PrepareMetadataForFile(host, *prepared, metadataSubset, "image/tiff", nullptr);
        SetExifColorSpaceFromProfile(*prepared, profileData, profileSize);
    }

    dng_ifd ifd;
    ifd.fNewSubFileType = 0;
    ifd.fImageWidth = image.Width();
    ifd.fImageLength = image.Height();
    ifd.fSamplesPerPixel = image.Planes();
    if (ifd.fSamplesPerPixel > dng_ifd::kMaxSamplesPerPixel) {
        ThrowProgramError("Too many planes for TIFF");
    }
    for (uint32 i = 0; i < ifd.fSamplesPerPixel; i++) {
        ifd.fBitsPerSample[i] = 8 * TiffTagTypeSize(image.PixelType());
    }
    ifd.fPhotometricInterpretation = photometricInterpretation;
    ifd.fCompression = compression;
    if (compression == ccUncompressed) {
        ifd.SetSingleStrip();
    } else {
        ifd.FindStripSize(128 * 1024, 16);
        ifd.fPredictor = cpHorizontalDifference;
    }

    uint32 colorPlanes = 0;
    switch (photometricInterpretation) {
        case piBlackIsZero:
            colorPlanes = 1;
            break;
        case piRGB:
        case piCIELab:
        case piICCLab:
            colorPlanes = 3;
            break;
        case piCMYK:
            colorPlanes = 4;
            break;
        default:
            break;
    }
    if (colorPlanes) {
        if (ifd.fSamplesPerPixel < colorPlanes) {
            ThrowProgramError("Fewer planes than the photometric interpretation needs");
        }
        ifd.fExtraSamplesCount = ifd.fSamplesPerPixel - colorPlanes;
        if (ifd.fExtraSamplesCount && hasTransparency) ifd.fExtraSamples[0] = 1;
    }
    if (image.PixelType() == ttFloat) {
        for (uint32 i = 0; i < ifd.fSamplesPerPixel; i++) ifd.fSampleFormat[i] = sfFloatingPoint;
        // Float data takes the floating-point predictor.
        if (ifd.fPredictor == cpHorizontalDifference) ifd.fPredictor = cpFloatingPoint;
    }

    dng_tiff_directory mainIFD;
    tag_keeper tags;
    dng_basic_tag_set basic(mainIFD, ifd);

    if (resolution) {
        tags.Add<tag_urational>(mainIFD, tcXResolution, resolution->fXResolution);
        tags.Add<tag_urational>(mainIFD, tcYResolution, resolution->fYResolution);
        tags.Add<tag_uint16>(mainIFD, tcResolutionUnit,
                             static_cast<uint16>(resolution->fResolutionUnit));
    }
    if (profileData && profileSize) tags.Add<tag_icc_profile>(mainIFD, profileData, profileSize);

    std::unique_ptr<dng_memory_block> xmpBlock;
    if (prepared && prepared->GetXMP()) xmpBlock = prepared->GetXMP()->SerializeToBlock();
    if (xmpBlock && xmpBlock->LogicalSize()) tags.Add<tag_xmp>(mainIFD, std::move(xmpBlock));
    if (prepared && prepared->IPTCLength()) {
        tags.Add<tag_iptc>(mainIFD, prepared->IPTCData(), prepared->IPTCLength());
    }

    // Image resources (big-endian "8BIM" records).
    dng_memory_stream resources(host.Allocator());
    resources.SetBigEndian();
    auto putResource = [&](uint16 id, const void* data, uint32 length) {
        resources.PutUInt32(0x3842494D);
        resources.PutUInt16(id);
        resources.PutUInt16(0);
        resources.PutUInt32(length);
        resources.WriteBytes(data, length);
        if (length & 1) resources.PutUInt8(0);
    };
    if (prepared && prepared->GetXMP()) {
        bool marked = false;
        if (prepared->GetXMP()->GetBoolean(XMP_NS_XAP_RIGHTS, "Marked", marked)) {
            const uint8 flag[2] = {uint8(marked ? 1 : 0), 0};
            putResource(1034, flag, 1);
        }
        dng_string webStatement;
        if (prepared->GetXMP()->GetString(XMP_NS_XAP_RIGHTS, "WebStatement", webStatement) &&
            webStatement.NotEmpty()) {
            putResource(1035, webStatement.Get(), webStatement.Length());
        }
    }
    if (thumbnail) thumbnail->WriteThumbnailResource(resources);
    if (prepared && prepared->IPTCLength()) {
        const dng_fingerprint digest = prepared->IPTCDigest(true);
        if (digest.IsValid()) putResource(1061, digest.data, dng_fingerprint::kDNGFingerprintSize);
    }
    if (imageResources && imageResources->LogicalSize()) {
        resources.WriteBytes(imageResources->Buffer(), imageResources->LogicalSize());
        if (imageResources->LogicalSize() & 1) resources.PutUInt8(0);
    }
    resources.Flush();
    std::unique_ptr<dng_memory_block> resourceBlock;
    if (resources.Length()) {
        resourceBlock = resources.CopyToMemoryBlock(host.Allocator());
        tags.Add<tag_uint8_ptr>(mainIFD, tcImageResources, resourceBlock->Buffer_uint8(),
                                resourceBlock->LogicalSize());
    }

    const dng_exif emptyExif;
    const dng_exif& exif = (prepared && prepared->GetExif()) ? *prepared->GetExif() : emptyExif;
    const dng_memory_block* makerNote = prepared ? prepared->MakerNote() : nullptr;
    dng_exif_tag_set exifSet(mainIFD, exif, prepared && prepared->IsMakerNoteSafe(),
                             makerNote ? makerNote->Buffer() : nullptr,
                             makerNote ? makerNote->LogicalSize() : 0, false);

    const uint32 mainSize = mainIFD.Size();
    exifSet.Locate(8 + mainSize);
    const uint64 dataStart = 8ull + mainSize + exifSet.Size();

    stream.SetWritePosition(Offset32(dataStart));
    WriteImageData(host, ifd, basic, stream, image, 1);
    CheckFileSize(stream, dng_error_image_too_big_tiff);
    stream.SetLength(stream.Position());

    WriteHeader(stream);
    mainIFD.Put(stream);
    exifSet.ExifIFD().Put(stream);
    exifSet.GPSIFD().Put(stream);
    stream.Flush();
}

void dng_image_writer::WriteTIFFWithSpace(
    dng_host& host, dng_stream& stream, const dng_image& image, uint32 photometricInterpretation,
    uint32 compression, const dng_metadata* metadata, const dng_color_space* space,
    const dng_resolution_info* resolution, const dng_jpeg_preview* thumbnail,
    const dng_memory_block* imageResources, uint32 metadataSubset, bool hasTransparency) {
    uint32 profileSize = 0;
    const uint8* profileData = nullptr;
    if (!space || !space->ICCProfile(profileSize, profileData)) {
        profileSize = 0;
        profileData = nullptr;
    }
    WriteTIFFFile(host, stream, image, photometricInterpretation, compression, metadata,
                  profileData, profileSize, resolution, thumbnail, imageResources, metadataSubset,
                  hasTransparency);
}

void dng_image_writer::WriteTIFFWithSpaceForNegative(
    dng_host& host, dng_stream& stream, const dng_image& image, uint32 photometricInterpretation,
    uint32 compression, const dng_negative* negative, const dng_color_space* space,
    const dng_resolution_info* resolution, const dng_jpeg_preview* thumbnail,
    const dng_memory_block* imageResources, uint32 metadataSubset, bool hasTransparency) {
    WriteTIFFWithSpace(host, stream, image, photometricInterpretation, compression,
                       negative ? &negative->Metadata() : nullptr, space, resolution, thumbnail,
                       imageResources, metadataSubset, hasTransparency);
}

void dng_image_writer::WriteTIFFForNegative(
    dng_host& host, dng_stream& stream, const dng_image& image, uint32 photometricInterpretation,
    uint32 compression, const dng_negative* negative, const void* profileData, uint32 profileSize,
    const dng_resolution_info* resolution, const dng_jpeg_preview* thumbnail,
    const dng_memory_block* imageResources, uint32 metadataSubset, bool hasTransparency) {
    WriteTIFFFile(host, stream, image, photometricInterpretation, compression,
                  negative ? &negative->Metadata() : nullptr, profileData, profileSize, resolution,
                  thumbnail, imageResources, metadataSubset, hasTransparency);
}

// ---- DNG ---------------------------------------------------------------------

void dng_image_writer::WriteDNGForNegative(dng_host& host, dng_stream& stream,
                                           dng_negative& negative,
                                           const dng_preview_list* previewList,
                                           uint32 maxBackwardVersion, bool uncompressed) {
    WriteDNGFile(host, stream, negative, negative.Metadata(), previewList, maxBackwardVersion,
                 uncompressed);
}

void dng_image_writer::WriteDNGFile(dng_host& host, dng_stream& stream, dng_negative& negative,
                                    const dng_metadata& sourceMetadata,
                                    const dng_preview_list* previewList, uint32 maxBackwardVersion,
                                    bool uncompressed) {
    std::unique_ptr<dng_metadata> metadata = sourceMetadata.Clone(host.Allocator());
    PrepareMetadataForFile(host, *metadata, kMetadataSubset_All, "image/dng", nullptr);

    const dng_image& raw = negative.RawImage();
    uint32 rawCompression = uncompressed ? ccUncompressed : ccJPEG;

    // Lossy-JPEG raw data is kept only where the reader may expect it.
    const dng_jpeg_image* jpegImage = negative.RawJPEGImage();
    if (uncompressed || maxBackwardVersion < dngVersion_1_4_0_0) {
        if (jpegImage || negative.RawJPEGImageDigest().IsValid()) {
            negative.SetRawJPEGImageDigest(dng_fingerprint());
            negative.ClearRawImageDigest();
        }
        jpegImage = nullptr;
    } else if (jpegImage) {
        rawCompression = ccLossyJPEG;
    }
    const bool isFloat = raw.PixelType() == ttFloat;
    const bool compressedInt32 =
        raw.PixelType() == ttLong && !uncompressed && maxBackwardVersion >= dngVersion_1_4_0_0;
    const dng_image* mask = negative.RawTransparencyMask();

    // A depth map and an enhanced (already processed) image need 1.5.
    const dng_image* depth = negative.RawAuxiliaryImage();
    const dng_image* enhanced = nullptr;
    if (negative.Stage3Image() && negative.Stage3Image() != &raw &&
        negative.UniqueIDQualifier().NotEmpty()) {
        enhanced = negative.Stage3Image();
    }

    // Versions.
    const uint32 mainVersion = (depth || enhanced) ? dngVersion_1_5_0_0 : dngVersion_1_4_0_0;
    uint32 backwardVersion = dngVersion_1_1_0_0;
    backwardVersion = std::max(backwardVersion, negative.OpcodeList1().MinVersion(false));
    backwardVersion = std::max(backwardVersion, negative.OpcodeList2().MinVersion(false));
    backwardVersion = std::max(backwardVersion, negative.OpcodeList3().MinVersion(false));
    if (negative.GetMosaicInfo() && negative.GetMosaicInfo()->fCFALayout >= 6) {
        backwardVersion = std::max(backwardVersion, dngVersion_1_3_0_0);
    }
    // ColorimetricReference came with 1.2; an older reader would take an
    // output-referred image for scene data.
    if (negative.ColorimetricReference() != 0) {
        backwardVersion = std::max(backwardVersion, dngVersion_1_2_0_0);
    }
    if (jpegImage || isFloat || mask || compressedInt32) {
        backwardVersion = std::max(backwardVersion, dngVersion_1_4_0_0);
    }
    if (backwardVersion > mainVersion) ThrowProgramError("Backward version above main version");

    // The raw directory's description.
    const bool cfa = HasCFA(negative);
    const uint32 cfaColumns = cfa ? CFAColumns(negative) : 0;
    dng_ifd rawIFD;
    rawIFD.fNewSubFileType = 0;
    rawIFD.fImageWidth = raw.Width();
    rawIFD.fImageLength = raw.Height();
    rawIFD.fSamplesPerPixel = raw.Planes();
    if (rawIFD.fSamplesPerPixel > dng_ifd::kMaxSamplesPerPixel) {
        ThrowProgramError("Too many raw planes");
    }
    rawIFD.fPhotometricInterpretation = cfa ? piCFA : piLinearRaw;
    rawIFD.fCompression = rawCompression;
    if ((isFloat && !uncompressed) || compressedInt32) rawIFD.fCompression = ccDeflate;
    if (isFloat && rawIFD.fCompression == ccDeflate) {
        rawIFD.fPredictor = cfaColumns == 2   ? cpFloatingPointX2
                            : cfaColumns == 4 ? cpFloatingPointX4
                                              : cpFloatingPoint;
    } else if (compressedInt32) {
        rawIFD.fPredictor = cfaColumns == 2   ? cpHorizontalDifferenceX2
                            : cfaColumns == 4 ? cpHorizontalDifferenceX4
                                              : cpHorizontalDifference;
    }
    const uint32 bits = RawBitsPerSample(negative, raw);
    for (uint32 i = 0; i < rawIFD.fSamplesPerPixel; i++) {
        rawIFD.fBitsPerSample[i] = bits;
        if (isFloat) rawIFD.fSampleFormat[i] = sfFloatingPoint;
    }
    uint32 fakeChannels = 1;
    if (rawIFD.fCompression == ccJPEG && cfa) {
        fakeChannels = cfaColumns == 2 ? 2 : cfaColumns == 4 ? 4 : 1;
        while (fakeChannels >= 2 && fakeChannels * rawIFD.fSamplesPerPixel > 4) fakeChannels /= 2;
    }
    if (jpegImage) {
        rawIFD.fTileWidth = static_cast<uint32>(jpegImage->fTileSize.h);
        rawIFD.fTileLength = static_cast<uint32>(jpegImage->fTileSize.v);
        rawIFD.fUsesStrips = jpegImage->fUsesStrips;
        rawIFD.fUsesTiles = !jpegImage->fUsesStrips;
        if (rawIFD.TilesAcross() * rawIFD.TilesDown() != jpegImage->TileCount() ||
            jpegImage->fJPEGData.size() != jpegImage->TileCount()) {
            ThrowProgramError("JPEG image does not match the raw image");
        }
    } else if (rawIFD.fCompression == ccJPEG) {
        rawIFD.FindTileSize(128 * 1024, 16, 16);
    } else if (rawIFD.fCompression == ccDeflate) {
        rawIFD.FindTileSize(512 * 1024, 16, 16);
    } else if (rawIFD.fCompression == ccLossyJPEG) {
        ThrowProgramError("No JPEG compressed image");
    } else {
        rawIFD.SetSingleStrip();
    }

    // Transparency mask directory.
    dng_ifd maskIFD;
    if (mask) {
        maskIFD.fNewSubFileType = 4;
        maskIFD.fImageWidth = mask->Width();
        maskIFD.fImageLength = mask->Height();
        maskIFD.fSamplesPerPixel = 1;
        maskIFD.fBitsPerSample[0] = negative.RawTransparencyMaskBitDepth();
        maskIFD.fPhotometricInterpretation = piTransparencyMask;
        maskIFD.fCompression = uncompressed ? ccUncompressed : ccDeflate;
        maskIFD.fPredictor = uncompressed ? cpNullPredictor : cpHorizontalDifference;
        if (mask->PixelType() == ttFloat) {
            maskIFD.fSampleFormat[0] = sfFloatingPoint;
            if (!uncompressed) maskIFD.fPredictor = cpFloatingPoint;
        }
        if (uncompressed) {
            maskIFD.SetSingleStrip();
        } else {
            maskIFD.FindTileSize(512 * 1024, 16, 16);
        }
    }

    // Depth map directory.
    dng_ifd depthIFD;
    if (depth) {
        depthIFD.fNewSubFileType = 8;
        depthIFD.fImageWidth = depth->Width();
        depthIFD.fImageLength = depth->Height();
        depthIFD.fSamplesPerPixel = 1;
        depthIFD.fBitsPerSample[0] = 8 * depth->PixelSize();
        depthIFD.fPhotometricInterpretation = piDepth;
        depthIFD.fCompression = uncompressed ? ccUncompressed : ccDeflate;
        depthIFD.fPredictor = uncompressed ? cpNullPredictor : cpHorizontalDifference;
        if (uncompressed) {
            depthIFD.SetSingleStrip();
        } else {
            depthIFD.FindTileSize(512 * 1024, 16, 16);
        }
    }

    // Enhanced image directory.
    dng_ifd enhancedIFD;
    if (enhanced) {
        enhancedIFD.fNewSubFileType = 16;
        enhancedIFD.fImageWidth = enhanced->Width();
        enhancedIFD.fImageLength = enhanced->Height();
        enhancedIFD.fSamplesPerPixel = enhanced->Planes();
        if (enhancedIFD.fSamplesPerPixel > dng_ifd::kMaxSamplesPerPixel) {
            ThrowProgramError("Too many enhanced planes");
        }
        for (uint32 i = 0; i < enhancedIFD.fSamplesPerPixel; i++) {
            enhancedIFD.fBitsPerSample[i] = 8 * enhanced->PixelSize();
            if (enhanced->PixelType() == ttFloat) enhancedIFD.fSampleFormat[i] = sfFloatingPoint;
        }
        enhancedIFD.fPhotometricInterpretation = piLinearRaw;
        if (uncompressed) {
            enhancedIFD.fCompression = ccUncompressed;
            enhancedIFD.SetSingleStrip();
        } else if (enhanced->PixelType() == ttShort) {
            enhancedIFD.fCompression = ccJPEG;
            enhancedIFD.FindTileSize(128 * 1024, 16, 16);
        } else {
            enhancedIFD.fCompression = ccDeflate;
            enhancedIFD.fPredictor = cpFloatingPoint;
            enhancedIFD.FindTileSize(512 * 1024, 16, 16);
        }
    }

    const int32 thumbnailIndex = FindThumbnail(previewList);
    const dng_preview* thumbnail =
        thumbnailIndex >= 0 ? &previewList->Preview(static_cast<uint32>(thumbnailIndex)) : nullptr;

    tag_keeper tags;
    dng_tiff_directory mainIFD;
    std::unique_ptr<dng_tiff_directory> rawDirectoryHolder;
    dng_tiff_directory* rawDirectory = &mainIFD;
    if (thumbnail) {
        rawDirectoryHolder = std::make_unique<dng_tiff_directory>();
        rawDirectory = rawDirectoryHolder.get();
    }

    // ---- IFD 0 ----
    uint8 dngVersion[4] = {1, static_cast<uint8>(mainVersion >> 16), 0, 0};
    uint8 backward[4] = {
        static_cast<uint8>(backwardVersion >> 24), static_cast<uint8>(backwardVersion >> 16),
        static_cast<uint8>(backwardVersion >> 8), static_cast<uint8>(backwardVersion)};
    tags.Add<tag_uint8_ptr>(mainIFD, tcDNGVersion, dngVersion, 4);
    tags.Add<tag_uint8_ptr>(mainIFD, tcDNGBackwardVersion, backward, 4);

    std::unique_ptr<dng_basic_tag_set> thumbnailTags;
    if (thumbnail) thumbnailTags = thumbnail->MakeTagSet(mainIFD);

    std::unique_ptr<dng_camera_profile_tag_set> profileTags;
    std::unique_ptr<dng_camera_color_tag_set> colorTags;
    const dng_camera_profile* embedded = nullptr;
    std::vector<const dng_camera_profile*> extraProfiles;
    if (negative.ColorChannels() != 1) {
        embedded = negative.ComputeCameraProfileToEmbed(*metadata);
        if (embedded)
            profileTags = std::make_unique<dng_camera_profile_tag_set>(mainIFD, *embedded);
        colorTags = std::make_unique<dng_camera_color_tag_set>(mainIFD, negative);
        for (uint32 i = 0; i < negative.ProfileCount(); i++) {
            const dng_camera_profile& profile = negative.ProfileByIndex(i);
            if (&profile != embedded && profile.WasReadFromDNG()) extraProfiles.push_back(&profile);
        }
    }
    std::vector<uint32> extraProfileOffsets(extraProfiles.size(), 0);
    if (!extraProfiles.empty()) {
        tags.Add<tag_uint32_ptr>(mainIFD, tcExtraCameraProfiles, extraProfileOffsets.data(),
                                 static_cast<uint32>(extraProfileOffsets.size()));
    }

    tags.Add<tag_uint16>(mainIFD, tcOrientation,
                         static_cast<uint16>(negative.ComputeOrientation(*metadata).GetTIFF()));
    tags.Add<tag_srational>(mainIFD, tcBaselineExposure, negative.BaselineExposureR());
    tags.Add<tag_urational>(mainIFD, tcBaselineNoise, negative.BaselineNoiseR());

    // With an enhanced image the main directories describe the raw data,
    // so they carry the values from before the enhancement.
    const dng_urational& noiseReduction =
        enhanced ? negative.OriginalNoiseReductionApplied() : negative.NoiseReductionApplied();
    const dng_noise_profile& noiseProfile =
        enhanced ? negative.OriginalNoiseProfile() : negative.NoiseProfile();
    auto addNoiseTags = [&](dng_tiff_directory& directory) {
        if (noiseReduction.d != 0) {
            tags.Add<tag_urational>(directory, tcNoiseReductionApplied, noiseReduction);
        }
        if (noiseProfile.IsValidForNegative(negative)) {
            tags.Add<tag_dng_noise_profile>(directory, noiseProfile);
        }
    };
    addNoiseTags(mainIFD);

    const dng_urational mainSharpness = negative.OriginalBaselineSharpnessR().d != 0
                                            ? negative.OriginalBaselineSharpnessR()
                                            : negative.BaselineSharpnessR();
    tags.Add<tag_urational>(mainIFD, tcBaselineSharpness, mainSharpness);
    tags.Add<tag_string>(mainIFD, tcUniqueCameraModel, negative.ModelName(), true);
    if (negative.LocalName().NotEmpty()) {
        tags.Add<tag_string>(mainIFD, tcLocalizedCameraModel, negative.LocalName(), false);
    }
    tags.Add<tag_urational>(mainIFD, tcShadowScale, negative.ShadowScaleR());
    if (negative.ColorimetricReference() != 0) {
        tags.Add<tag_uint16>(mainIFD, tcColorimetricReference,
                             static_cast<uint16>(negative.ColorimetricReference()));
    }

    // Raw digest.
    if (jpegImage) {
        negative.FindRawJPEGImageDigest(host);
        tags.Add<tag_uint8_ptr>(
            mainIFD,
            maxBackwardVersion >= dngVersion_1_4_0_0 ? tcNewRawImageDigest : tcRawImageDigest,
            negative.RawJPEGImageDigest().data, dng_fingerprint::kDNGFingerprintSize);
    } else if (maxBackwardVersion < dngVersion_1_4_0_0) {
        // The tag refers to the digest, which is complete before the
        // directories are written: it is computed while the image is encoded.
        negative.StartRawImageDigest(host);
        tags.Add<tag_uint8_ptr>(mainIFD, tcRawImageDigest, negative.RawImageDigest().data,
                                dng_fingerprint::kDNGFingerprintSize);
    } else {
        negative.FindNewRawImageDigest(host);
        tags.Add<tag_uint8_ptr>(mainIFD, tcNewRawImageDigest, negative.NewRawImageDigest().data,
                                dng_fingerprint::kDNGFingerprintSize);
    }
    negative.FindRawDataUniqueID(host);
    const dng_fingerprint uniqueID = negative.RawDataUniqueID();
    if (uniqueID.IsValid()) {
        tags.Add<tag_uint8_ptr>(mainIFD, tcRawDataUniqueID, uniqueID.data,
                                dng_fingerprint::kDNGFingerprintSize);
    }

    if (negative.OriginalRawFileName().NotEmpty()) {
        tags.Add<tag_string>(mainIFD, tcOriginalRawFileName, negative.OriginalRawFileName(), false);
    }
    negative.FindOriginalRawFileDigest();
    const dng_memory_block* original = negative.OriginalRawFileData();
    if (original && original->LogicalSize()) {
        tags.Add<tag_data_ptr>(mainIFD, tcOriginalRawFileData, ttUndefined, original->LogicalSize(),
                               original->Buffer());
        tags.Add<tag_uint8_ptr>(mainIFD, tcOriginalRawFileDigest,
                                negative.OriginalRawFileDigest().data,
                                dng_fingerprint::kDNGFingerprintSize);
    }

    std::unique_ptr<dng_memory_block> xmpBlock =
        metadata->GetXMP() ? metadata->GetXMP()->SerializeToBlock() : nullptr;
    if (xmpBlock && xmpBlock->LogicalSize()) tags.Add<tag_xmp>(mainIFD, std::move(xmpBlock));

    const dng_memory_block* makerNote = metadata->MakerNote();
    const dng_exif emptyExif;
    dng_exif_tag_set exifSet(mainIFD, metadata->GetExif() ? *metadata->GetExif() : emptyExif,
                             metadata->IsMakerNoteSafe(), makerNote ? makerNote->Buffer() : nullptr,
                             makerNote ? makerNote->LogicalSize() : 0, true);

    const dng_memory_block* privateData = negative.PrivateData();
    if (privateData && privateData->LogicalSize()) {
        tags.Add<tag_uint8_ptr>(mainIFD, tcDNGPrivateData, privateData->Buffer_uint8(),
                                privateData->LogicalSize());
    }

    uint16 depthShorts[3] = {uint16(negative.AuxiliaryFormat()), uint16(negative.AuxiliaryUnits()),
                             uint16(negative.AuxiliaryMeasureType())};
    if (depth) {
        tags.Add<tag_uint16>(mainIFD, tcDepthFormat, depthShorts[0]);
        tags.Add<tag_urational>(mainIFD, tcDepthNear, negative.AuxiliaryNear());
        tags.Add<tag_urational>(mainIFD, tcDepthFar, negative.AuxiliaryFar());
        tags.Add<tag_uint16>(mainIFD, tcDepthUnits, depthShorts[1]);
        tags.Add<tag_uint16>(mainIFD, tcDepthMeasureType, depthShorts[2]);
    }

    // Original sizes.
    const real64 scaleH = negative.DefaultScaleH().AsReal64();
    const real64 scaleV = negative.DefaultScaleV().AsReal64();
    const real64 cropW = negative.DefaultCropSizeH().AsReal64();
    const real64 cropH = negative.DefaultCropSizeV().AsReal64();
    const real64 best = negative.BestQualityScale().AsReal64();
    const dng_point defaultFinal(static_cast<int32>(RoundHalfUp(scaleH * cropH * scaleV / scaleH)),
                                 static_cast<int32>(RoundHalfUp(scaleH * cropW)));
    const dng_point bestFinal(
        static_cast<int32>(RoundHalfUp(scaleH * cropH * scaleV / scaleH * best)),
        static_cast<int32>(RoundHalfUp(scaleH * cropW * best)));
    const dng_point& storedFinal = negative.OriginalDefaultFinalSize();
    const dng_point& storedBest = negative.OriginalBestQualityFinalSize();
    bool writeFinal = false, writeBest = false, writeCrop = false;
    if (storedFinal == defaultFinal) {
        writeBest = storedBest != bestFinal;
        writeCrop =
            !SameRational(negative.OriginalDefaultCropSizeH(), negative.DefaultCropSizeH()) ||
            !SameRational(negative.OriginalDefaultCropSizeV(), negative.DefaultCropSizeV());
    } else {
        writeFinal = true;
        writeBest = storedBest != storedFinal;
        writeCrop = !(negative.OriginalDefaultCropSizeH().d == 1 &&
                      negative.OriginalDefaultCropSizeV().d == 1 &&
                      negative.OriginalDefaultCropSizeH().n == static_cast<uint32>(storedFinal.h) &&
                      negative.OriginalDefaultCropSizeV().n == static_cast<uint32>(storedFinal.v));
    }
    uint32 finalSizeData[2] = {static_cast<uint32>(storedFinal.h),
                               static_cast<uint32>(storedFinal.v)};
    uint32 bestSizeData[2] = {static_cast<uint32>(storedBest.h), static_cast<uint32>(storedBest.v)};
    dng_urational cropSizeData[2] = {negative.OriginalDefaultCropSizeH(),
                                     negative.OriginalDefaultCropSizeV()};
    if (writeFinal) tags.Add<tag_uint32_ptr>(mainIFD, tcOriginalDefaultFinalSize, finalSizeData, 2);
    if (writeBest) {
        tags.Add<tag_uint32_ptr>(mainIFD, tcOriginalBestQualityFinalSize, bestSizeData, 2);
    }
    if (writeCrop) tags.Add<tag_urational_ptr>(mainIFD, tcOriginalDefaultCropSize, cropSizeData, 2);

    // ---- raw directory ----
    dng_basic_tag_set rawBasic(*rawDirectory, rawIFD);
    if (jpegImage && jpegImage->fJPEGTables) {
        tags.Add<tag_data_ptr>(*rawDirectory, tcJPEGTables, ttUndefined,
                               jpegImage->fJPEGTables->LogicalSize(),
                               jpegImage->fJPEGTables->Buffer());
    }
    dng_urational defaultScale[2] = {negative.DefaultScaleH(), negative.DefaultScaleV()};
    dng_urational cropOrigin[2] = {negative.DefaultCropOriginH(), negative.DefaultCropOriginV()};
    dng_urational cropSize[2] = {negative.DefaultCropSizeH(), negative.DefaultCropSizeV()};
    dng_urational userCrop[4] = {negative.DefaultUserCropT(), negative.DefaultUserCropL(),
                                 negative.DefaultUserCropB(), negative.DefaultUserCropR()};
    tags.Add<tag_urational_ptr>(*rawDirectory, tcDefaultScale, defaultScale, 2);
    tags.Add<tag_urational>(*rawDirectory, tcBestQualityScale, negative.BestQualityScale());
    tags.Add<tag_urational_ptr>(*rawDirectory, tcDefaultCropOrigin, cropOrigin, 2);
    tags.Add<tag_urational_ptr>(*rawDirectory, tcDefaultCropSize, cropSize, 2);
    if (negative.HasUserCrop())
        tags.Add<tag_urational_ptr>(*rawDirectory, tcDefaultUserCrop, userCrop, 4);
    dng_raw_levels_tag_set levels(*rawDirectory, negative);
    std::unique_ptr<dng_cfa_tag_set> cfaTags;
    if (negative.GetMosaicInfo()) {
        cfaTags = std::make_unique<dng_cfa_tag_set>(*rawDirectory, *negative.GetMosaicInfo());
    }
    if (negative.ChromaBlurRadius().d != 0) {
        tags.Add<tag_urational>(*rawDirectory, tcChromaBlurRadius, negative.ChromaBlurRadius());
    }
    if (negative.AntiAliasStrength().d != 0) {
        tags.Add<tag_urational>(*rawDirectory, tcAntiAliasStrength, negative.AntiAliasStrength());
    }
    std::unique_ptr<dng_memory_block> opcodeBlocks[3] = {negative.OpcodeList1().Spool(host),
                                                         negative.OpcodeList2().Spool(host),
                                                         negative.OpcodeList3().Spool(host)};
    const uint16 opcodeTags[3] = {tcOpcodeList1, tcOpcodeList2, tcOpcodeList3};
    for (uint32 i = 0; i < 3; i++) {
        if (opcodeBlocks[i]) {
            tags.Add<tag_data_ptr>(*rawDirectory, opcodeTags[i], ttUndefined,
                                   opcodeBlocks[i]->LogicalSize(), opcodeBlocks[i]->Buffer());
        }
    }
    if (rawDirectory != &mainIFD) addNoiseTags(*rawDirectory);

    // ---- mask and previews ----
    std::unique_ptr<dng_tiff_directory> maskDirectory;
    std::unique_ptr<dng_basic_tag_set> maskBasic;
    if (mask) {
        maskDirectory = std::make_unique<dng_tiff_directory>();
        maskBasic = std::make_unique<dng_basic_tag_set>(*maskDirectory, maskIFD);
    }
    std::unique_ptr<dng_tiff_directory> depthDirectory;
    std::unique_ptr<dng_basic_tag_set> depthBasic;
    if (depth) {
        depthDirectory = std::make_unique<dng_tiff_directory>();
        depthBasic = std::make_unique<dng_basic_tag_set>(*depthDirectory, depthIFD);
    }
    std::unique_ptr<dng_tiff_directory> enhancedDirectory;
    std::unique_ptr<dng_basic_tag_set> enhancedBasic;
    std::vector<uint16> enhancedBlack;
    if (enhanced) {
        enhancedDirectory = std::make_unique<dng_tiff_directory>();
        dng_tiff_directory& dir = *enhancedDirectory;
        enhancedBasic = std::make_unique<dng_basic_tag_set>(dir, enhancedIFD);
        tags.Add<tag_string>(dir, tcEnhanceParams, negative.UniqueIDQualifier(), false);
        if (!SameRational(negative.BaselineSharpnessR(), mainSharpness)) {
            tags.Add<tag_urational>(dir, tcBaselineSharpness, negative.BaselineSharpnessR());
        }
        if (!SameRational(negative.NoiseReductionApplied(),
                          negative.OriginalNoiseReductionApplied())) {
            tags.Add<tag_urational>(dir, tcNoiseReductionApplied, negative.NoiseReductionApplied());
        }
        if (!(negative.NoiseProfile() == negative.OriginalNoiseProfile()) &&
            negative.NoiseProfile().IsValidForNegative(negative)) {
            tags.Add<tag_dng_noise_profile>(dir, negative.NoiseProfile());
        }
        if (negative.Stage3BlackLevel() != 0) {
            enhancedBlack.assign(enhanced->Planes(), negative.Stage3BlackLevel());
            tags.Add<tag_uint16_ptr>(dir, tcBlackLevel, enhancedBlack.data(),
                                     uint32(enhancedBlack.size()));
        }
    }
    std::vector<uint32> previewIndex;
    std::vector<std::unique_ptr<dng_tiff_directory>> previewDirectories;
    std::vector<std::unique_ptr<dng_basic_tag_set>> previewTags;
    if (previewList) {
        for (uint32 i = 0; i < previewList->Count(); i++) {
            if (static_cast<int32>(i) == thumbnailIndex) continue;
            previewIndex.push_back(i);
            previewDirectories.push_back(std::make_unique<dng_tiff_directory>());
            previewTags.push_back(previewList->Preview(i).MakeTagSet(*previewDirectories.back()));
        }
    }

    // Sub-directories in file order.
    std::vector<dng_tiff_directory*> subDirectories;
    if (rawDirectory != &mainIFD) subDirectories.push_back(rawDirectory);
    if (maskDirectory) subDirectories.push_back(maskDirectory.get());
    if (depthDirectory) subDirectories.push_back(depthDirectory.get());
    if (enhancedDirectory) subDirectories.push_back(enhancedDirectory.get());
    for (auto& d : previewDirectories) subDirectories.push_back(d.get());
    if (subDirectories.size() > kMaxSubIFDs) ThrowProgramError("Too many sub-directories");
    std::vector<uint32> subIFDOffsets(subDirectories.size(), 0);
    if (!subDirectories.empty()) {
        tags.Add<tag_uint32_ptr>(mainIFD, tcSubIFDs, subIFDOffsets.data(),
                                 static_cast<uint32>(subIFDOffsets.size()));
    }

    // ---- placement ----
    uint64 offset = 8ull + mainIFD.Size();
    for (size_t i = 0; i < subDirectories.size(); i++) {
        subIFDOffsets[i] = Offset32(offset);
        offset += subDirectories[i]->Size();
    }
    exifSet.Locate(Offset32(offset));
    offset += exifSet.Size();

    // ---- data blocks ----
    stream.SetWritePosition(offset);
    for (size_t i = 0; i < extraProfiles.size(); i++) {
        extraProfileOffsets[i] = Offset32(stream.Position());
        dng_memory_stream block(host.Allocator());
        block.SetBigEndian(stream.IsBigEndian());
        tiff_dng_extended_color_profile profile(*extraProfiles[i]);
        profile.Put(block, false);
        block.Flush();
        block.SetReadPosition(0);
        block.CopyBytesTo(stream, block.Length());
        stream.PadToEven();
    }
    if (thumbnail) thumbnail->WriteData(host, *this, *thumbnailTags, stream);
    for (size_t i = 0; i < previewIndex.size(); i++) {
        previewList->Preview(previewIndex[i]).WriteData(host, *this, *previewTags[i], stream);
    }
    if (jpegImage) {
        for (uint32 t = 0; t < jpegImage->TileCount(); t++) {
            const dng_memory_block* tile = jpegImage->fJPEGData[t].get();
            const uint32 size = tile ? tile->LogicalSize() : 0;
            rawBasic.SetTileOffset(t, Offset32(stream.Position()));
            rawBasic.SetTileByteCount(t, size);
            if (size) stream.WriteBytes(tile->Buffer(), size);
            if (size & 1) stream.PutUInt8(0);
        }
    } else {
        WriteImageData(host, rawIFD, rawBasic, stream, raw, fakeChannels);
    }
    if (mask) WriteImageData(host, maskIFD, *maskBasic, stream, *mask, 1);
    if (depth) WriteImageData(host, depthIFD, *depthBasic, stream, *depth, 1);
    if (enhanced) WriteImageData(host, enhancedIFD, *enhancedBasic, stream, *enhanced, 1);

    if (!jpegImage && maxBackwardVersion < dngVersion_1_4_0_0) negative.FindRawImageDigest(host);
    CheckFileSize(stream, dng_error_image_too_big_dng);
    stream.SetLength(stream.Position());

    WriteHeader(stream);
    mainIFD.Put(stream);
    for (dng_tiff_directory* directory : subDirectories) directory->Put(stream);
    exifSet.ExifIFD().Put(stream);
    exifSet.GPSIFD().Put(stream);
    stream.Flush();
}
