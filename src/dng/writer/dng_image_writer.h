// Writes a negative as a complete DNG file, or one image as a TIFF file, on a
// stream in the stream's byte order: the directories and their tags, the
// metadata prepared for the file, and the pixel data cut into tiles or
// strips, converted to the stored sample width, predicted and compressed
// (uncompressed, LZW, Deflate or lossless JPEG).
//
// Ownership: the writer holds no state; every object a call builds is
// released before it returns, also on failure. Every step is virtual so a
// subclass may replace it. A call may run tile encoding on the host's
// area-task threads; tiles are appended strictly in tile order, so the file
// is identical for any thread count. One call at a time per stream.
#pragma once

#include <memory>

#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_rect.h"
#include "dng/core/dng_types.h"
#include "dng/image/dng_opcodes.h"

class dng_basic_tag_set;
class dng_color_space;
class dng_host;
class dng_ifd;
class dng_image;
class dng_jpeg_preview;
class dng_metadata;
class dng_negative;
class dng_pixel_buffer;
class dng_preview_list;
class dng_resolution_info;
class dng_stream;

// What PrepareMetadataForFile removes (values above 7 keep everything).
enum dng_metadata_subset : uint32 {
    kMetadataSubset_CopyrightOnly = 0,
    kMetadataSubset_CopyrightAndContact = 1,
    kMetadataSubset_AllExceptCameraInfo = 2,
    kMetadataSubset_All = 3,
    kMetadataSubset_AllExceptLocationInfo = 4,
    kMetadataSubset_AllExceptCameraAndLocation = 5,
    kMetadataSubset_AllExceptCameraRawInfo = 6,
    kMetadataSubset_AllExceptCameraRawInfoAndLocation = 7
};

constexpr uint32 dngVersion_1_1_0_0 = 0x01010000;
constexpr uint32 dngVersion_1_2_0_0 = 0x01020000;
constexpr uint32 dngVersion_1_4_0_0 = 0x01040000;

class dng_image_writer {
public:
    dng_image_writer() = default;
    virtual ~dng_image_writer() = default;
    dng_image_writer(const dng_image_writer&) = delete;
    dng_image_writer& operator=(const dng_image_writer&) = delete;

    // This writer has no lossy JPEG encoder: always dng_error_unknown.
    virtual void CompressPreviewToJPEG(dng_host& host, const dng_image& image);

    // Every tile of the image at the stream's position; offsets and byte
    // counts go into the tag set.
    virtual void WriteImageData(dng_host& host, const dng_ifd& ifd, dng_basic_tag_set& basic,
                                dng_stream& stream, const dng_image& image,
                                uint32 fakeChannels = 1);

    // A TIFF file of one image. Every pointer may be null.
    virtual void WriteTIFFFile(dng_host& host, dng_stream& stream, const dng_image& image,
                               uint32 photometricInterpretation, uint32 compression,
                               const dng_metadata* metadata, const void* profileData,
                               uint32 profileSize, const dng_resolution_info* resolution,
                               const dng_jpeg_preview* thumbnail,
                               const dng_memory_block* imageResources,
                               uint32 metadataSubset = kMetadataSubset_All,
                               bool hasTransparency = false);

    // WriteTIFFFile with the colour space's ICC profile (none when the space
    // is null or has none).
    void WriteTIFFWithSpace(dng_host& host, dng_stream& stream, const dng_image& image,
                            uint32 photometricInterpretation, uint32 compression,
                            const dng_metadata* metadata, const dng_color_space* space,
                            const dng_resolution_info* resolution,
                            const dng_jpeg_preview* thumbnail,
                            const dng_memory_block* imageResources,
                            uint32 metadataSubset = kMetadataSubset_All,
                            bool hasTransparency = false);
    // The same with the negative's metadata (none without a negative).
    void WriteTIFFWithSpaceForNegative(dng_host& host, dng_stream& stream, const dng_image& image,
                                       uint32 photometricInterpretation, uint32 compression,
                                       const dng_negative* negative, const dng_color_space* space,
                                       const dng_resolution_info* resolution,
                                       const dng_jpeg_preview* thumbnail,
                                       const dng_memory_block* imageResources,
                                       uint32 metadataSubset = kMetadataSubset_All,
                                       bool hasTransparency = false);
    void WriteTIFFForNegative(dng_host& host, dng_stream& stream, const dng_image& image,
                              uint32 photometricInterpretation, uint32 compression,
                              const dng_negative* negative, const void* profileData,
                              uint32 profileSize, const dng_resolution_info* resolution,
                              const dng_jpeg_preview* thumbnail,
                              const dng_memory_block* imageResources,
                              uint32 metadataSubset = kMetadataSubset_All,
                              bool hasTransparency = false);

    // A DNG file of the negative with the given metadata. The negative's
    // digests and unique ID may be computed and cached on the way.
    virtual void WriteDNGFile(dng_host& host, dng_stream& stream, dng_negative& negative,
                              const dng_metadata& metadata, const dng_preview_list* previewList,
                              uint32 maxBackwardVersion = dngVersion_1_4_0_0,
                              bool uncompressed = false);

    // WriteDNGFile with the negative's own metadata.
    void WriteDNGForNegative(dng_host& host, dng_stream& stream, dng_negative& negative,
                             const dng_preview_list* previewList,
                             uint32 maxBackwardVersion = dngVersion_1_4_0_0,
                             bool uncompressed = false);

    // Brings a private copy of metadata into the state a file should carry.
    virtual void PrepareMetadataForFile(dng_host& host, dng_metadata& metadata, uint32 subset,
                                        const char* dstMIME, const char* software);

    // EXIF ColorSpace 1 only for the exact sRGB profile, else 65535.
    virtual void SetExifColorSpaceFromProfile(dng_metadata& metadata, const void* profileData,
                                              uint32 profileSize);

    // Room the compressor needs beyond the uncompressed bytes (0 = none).
    virtual uint32 CompressedBufferBytes(const dng_ifd& ifd, uint32 uncompressedSize);

    // Differencing in place; the temp buffer is grown on demand and kept.
    virtual void ApplyPredictor(dng_host& host, const dng_ifd& ifd, dng_pixel_buffer& buffer,
                                std::unique_ptr<dng_memory_block>& tempBuffer);

    virtual void SwapBufferBytes(dng_host& host, const dng_ifd& ifd, dng_pixel_buffer& buffer);

    // Compresses one prepared buffer and appends it to the stream.
    virtual void WriteBufferData(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                                 dng_pixel_buffer& buffer, dng_memory_block* compressedBuffer,
                                 bool usingMultipleThreads);

    // Reads, converts, predicts and writes one tile or strip part.
    virtual void EncodeAndWriteTile(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                                    const dng_image& image, const dng_rect& tileArea,
                                    uint32 fakeChannels, dng_memory_block* compressedBuffer,
                                    dng_memory_block* uncompressedBuffer,
                                    dng_memory_block* subTileBlockBuffer,
                                    std::unique_ptr<dng_memory_block>& tempBuffer,
                                    bool usingMultipleThreads);

    virtual void WriteTilesThreaded(dng_host& host, const dng_ifd& ifd, dng_basic_tag_set& basic,
                                    dng_stream& stream, const dng_image& image, uint32 fakeChannels,
                                    uint32 tilesDown, uint32 tilesAcross, uint32 compressedSize,
                                    uint32 uncompressedSize);

    // Regroups a tile into sub-tile blocks; a tile that is not a whole
    // number of blocks fails with dng_error_unknown.
    void GroupSubTileBlocks(const dng_ifd& ifd, dng_pixel_buffer& buffer,
                            dng_memory_block* uncompressedBuffer,
                            dng_memory_block* subTileBlockBuffer);

    // Test hook: a fixed "now" for the dates PrepareMetadataForFile stamps
    // (null restores the clock). Process-wide; set it before writing.
    static void SetFixedDateTimeForTesting(const class dng_date_time_info* dateTime);
};

// Sample conversions of the float encoders (bit patterns of IEEE binary32).
uint16 DNG_FloatToHalf(uint32 bits);
// Three bytes, most significant first: sign and 7-bit exponent, 16 mantissa bits.
void DNG_FloatToFP24(uint32 bits, uint8* output);
