// The previews a DNG file carries beside its raw image: a rendered image, a
// lossy JPEG, a raw (linear) preview, a transparency mask or a depth map.
// Each builds the tags of its own directory (MakeTagSet) and writes its data
// (WriteData) when the image writer lays out the file; the list holds up to
// 20 of them.
//
// Ownership: a preview owns its image or compressed bytes; the list owns the
// previews it accepted. The tag set MakeTagSet returns belongs to the caller
// and refers to the preview, which must outlive it. One thread at a time.
#pragma once

#include <memory>

#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_point.h"
#include "dng/core/dng_string.h"
#include "dng/writer/dng_basic_tag_set.h"
#include "dng/writer/tiff_tag.h"

class dng_host;
class dng_image;
class dng_image_writer;
class dng_stream;
class dng_tiff_directory;

// What a preview says about itself.
class dng_preview_info {
public:
    bool fIsPrimary = true;
    dng_string fApplicationName;
    dng_string fApplicationVersion;
    dng_string fSettingsName;
    dng_fingerprint fSettingsDigest;
    uint32 fColorSpace = 0xFFFFFFFF;
    dng_string fDateTime;
    real64 fRawToPreviewGain = 1.0;
    uint32 fCacheVersion = 0;
};

class dng_preview {
public:
    dng_preview() = default;
    virtual ~dng_preview() = default;
    dng_preview(const dng_preview&) = delete;
    dng_preview& operator=(const dng_preview&) = delete;

    virtual std::unique_ptr<dng_basic_tag_set> MakeTagSet(dng_tiff_directory& directory) const = 0;
    virtual void WriteData(dng_host& host, dng_image_writer& writer, dng_basic_tag_set& basic,
                           dng_stream& stream) const = 0;

    dng_preview_info fInfo;
};

// The basic tags plus the preview-description tags.
class dng_preview_tag_set : public dng_basic_tag_set {
public:
    dng_preview_tag_set(dng_tiff_directory& directory, const dng_preview& preview,
                        const dng_ifd& ifd);
    ~dng_preview_tag_set() override;

private:
    std::unique_ptr<tag_string> fApplicationNameTag;
    std::unique_ptr<tag_string> fApplicationVersionTag;
    std::unique_ptr<tag_string> fSettingsNameTag;
    std::unique_ptr<tag_uint8_ptr> fSettingsDigestTag;
    std::unique_ptr<tag_uint32> fColorSpaceTag;
    std::unique_ptr<tag_string> fDateTimeTag;
    std::unique_ptr<tag_real64> fRawToPreviewGainTag;
    std::unique_ptr<tag_uint32> fCacheVersionTag;
};

// A rendered image written uncompressed in one strip.
class dng_image_preview : public dng_preview {
public:
    std::unique_ptr<dng_basic_tag_set> MakeTagSet(dng_tiff_directory& directory) const override;
    void WriteData(dng_host& host, dng_image_writer& writer, dng_basic_tag_set& basic,
                   dng_stream& stream) const override;

    std::unique_ptr<dng_image> fImage;

private:
    mutable dng_ifd fIFD;
};

// Compressed JPEG bytes made elsewhere.
class dng_jpeg_preview : public dng_preview {
public:
    std::unique_ptr<dng_basic_tag_set> MakeTagSet(dng_tiff_directory& directory) const override;
    void WriteData(dng_host& host, dng_image_writer& writer, dng_basic_tag_set& basic,
                   dng_stream& stream) const override;

    // The image resource 1036 (a JPEG thumbnail) in the stream's byte order.
    void WriteThumbnailResource(dng_stream& stream) const;

    dng_point fPreviewSize;
    uint16 fPhotometricInterpretation = 6;
    dng_point fYCbCrSubSampling{1, 1};
    uint16 fYCbCrPositioning = 2;
    std::unique_ptr<dng_memory_block> fCompressedData;
};

// A linear preview: float data deflated, else lossy JPEG tiles.
class dng_raw_preview : public dng_preview {
public:
    std::unique_ptr<dng_basic_tag_set> MakeTagSet(dng_tiff_directory& directory) const override;
    void WriteData(dng_host& host, dng_image_writer& writer, dng_basic_tag_set& basic,
                   dng_stream& stream) const override;

    std::unique_ptr<dng_image> fImage;
    std::unique_ptr<dng_memory_block> fOpcodeList2Data;
    real64 fBlackLevel[4] = {0.0, 0.0, 0.0, 0.0};
    int32 fCompressionQuality = -1;

private:
    mutable dng_ifd fIFD;
};

// A preview's transparency mask or depth map, deflated with differencing.
class dng_mask_preview : public dng_preview {
public:
    std::unique_ptr<dng_basic_tag_set> MakeTagSet(dng_tiff_directory& directory) const override;
    void WriteData(dng_host& host, dng_image_writer& writer, dng_basic_tag_set& basic,
                   dng_stream& stream) const override;

    std::unique_ptr<dng_image> fImage;
    int32 fCompressionQuality = -1;

protected:
    void FillIFD(uint32 newSubFileType, uint32 photometric) const;
    mutable dng_ifd fIFD;
};

class dng_depth_preview : public dng_mask_preview {
public:
    std::unique_ptr<dng_basic_tag_set> MakeTagSet(dng_tiff_directory& directory) const override;

    bool fFullResolution = false;
};

class dng_preview_list {
public:
    static constexpr uint32 kMaxDNGPreviews = 20;

    dng_preview_list() = default;
    ~dng_preview_list();
    dng_preview_list(const dng_preview_list&) = delete;
    dng_preview_list& operator=(const dng_preview_list&) = delete;

    // Takes the preview when there is room; otherwise the caller keeps it
    // (the pointer is left untouched).
    void Append(std::unique_ptr<dng_preview>& preview);

    uint32 Count() const { return fCount; }
    const dng_preview& Preview(uint32 index) const { return *fPreview[index]; }

private:
    uint32 fCount = 0;
    std::unique_ptr<dng_preview> fPreview[kMaxDNGPreviews];
};
