#include "raw/EmbeddedPreview.h"

#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_read_image.h"
#include "platform/Colorimetry.h"
#include "raw/LibRawSource.h"
#include "raw/PreviewBars.h"
#include "raw/RawColor.h"
#include "raw/RawDevelop.h"

namespace {

// Linear ProPhoto (D65) from sRGB-encoded 8-bit values, for previews.
struct PreviewConverter {
    RawMatrix3 matrix;
    std::array<float, 256> linear{};
    PreviewConverter() {
        namespace cm = platform::colorimetry;
        auto xy = [](const cm::Chromaticity& c) { return dng_xy_coord(c.x, c.y); };
        const dng_xy_coord primaries[3] = {xy(cm::kSRGBPrimaries[0]), xy(cm::kSRGBPrimaries[1]),
                                           xy(cm::kSRGBPrimaries[2])};
        matrix = ToRawMatrix3(RawProPhotoD65FromXYZ() * RawRGBToXYZ(primaries, xy(cm::kD65White)));
        for (int i = 0; i < 256; i++) {
            const double v = i / 255.0;
            linear[size_t(i)] =
                float(65535.0 * (v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4)));
        }
    }
};

const PreviewConverter& SharedConverter() {
    static const PreviewConverter converter;
    return converter;
}

struct JpegErrorExit {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

void OnJpegError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrorExit*>(info->err)->jump, 1);
}

// Decodes a baseline JPEG into packed 8-bit RGB; false on any error.
bool DecodeJpegRGB(const std::vector<uint8_t>& data, std::vector<uint8_t>& rgb, uint32_t& width,
                   uint32_t& height) {
    jpeg_decompress_struct cinfo{};
    JpegErrorExit err{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = OnJpegError;
    err.mgr.output_message = [](j_common_ptr) {};
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    // The decoder makes up data that is missing, so a few bytes could claim a
    // preview of gigabytes: the size is bounded by the bytes given, at more
    // than even a flat progressive preview needs.
    constexpr uint64_t kLargestExpansion = 4096;
    if (cinfo.image_width == 0 || cinfo.image_height == 0 || cinfo.image_width > 16384 ||
        cinfo.image_height > 16384 ||
        uint64_t(cinfo.image_width) * cinfo.image_height * 3 > data.size() * kLargestExpansion) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_start_decompress(&cinfo);
    width = cinfo.output_width;
    height = cinfo.output_height;
    if (cinfo.output_components != 3) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    rgb.assign(size_t(width) * height * 3, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = rgb.data() + size_t(cinfo.output_scanline) * width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// One preview directory as packed 8-bit RGB (sRGB), or false.
bool ReadPreview(dng_host& host, dng_stream& stream, const dng_parsed_ifd& ifd,
                 std::vector<uint8_t>& rgb, uint32_t& width, uint32_t& height) {
    if (ifd.fImageWidth == 0 || ifd.fImageLength == 0 || ifd.fImageWidth > 16384 ||
        ifd.fImageLength > 16384)
        return false;
    const bool jpeg = ifd.fCompression == ccJPEG || ifd.fCompression == ccOldJPEG;
    if (jpeg && ifd.fPhotometricInterpretation != piCFA &&
        ifd.fPhotometricInterpretation != piLinearRaw) {
        // One strip or tile holds the whole stream.
        uint64_t offset = ifd.fTileOffset[0];
        uint64_t count = ifd.fTileByteCount[0];
        if (ifd.fCompression == ccOldJPEG && ifd.fJPEGInterchangeFormat != 0) {
            offset = ifd.fJPEGInterchangeFormat;
            count = ifd.fJPEGInterchangeFormatLength;
        }
        if (count == 0 || count > stream.Length() || offset > stream.Length() - count) return false;
        std::vector<uint8_t> data(static_cast<size_t>(count));
        stream.SetReadPosition(offset);
        stream.ReadBytes(data.data(), uint32(count));
        return DecodeJpegRGB(data, rgb, width, height);
    }
    if (ifd.fCompression != ccUncompressed || ifd.fPhotometricInterpretation != piRGB ||
        ifd.fSamplesPerPixel != 3 || ifd.fBitsPerSample[0] != 8)
        return false;
    dng_read_image::CheckImageData(ifd, stream);
    width = ifd.fImageWidth;
    height = ifd.fImageLength;
    std::unique_ptr<dng_image> image(
        host.MakeImage(dng_rect(int32(height), int32(width)), 3, ttByte));
    dng_read_image reader;
    reader.Read(host, ifd, stream, *image, nullptr, nullptr);
    rgb.assign(size_t(width) * height * 3, 0);
    dng_pixel_buffer buffer(image->Bounds(), 0, 3, ttByte, pcInterleaved, rgb.data());
    image->Get(buffer);
    return true;
}

// An 8-bit sRGB preview as the master image, linear ProPhoto, oriented.
void StorePreview(const std::vector<uint8_t>& rgb8, uint32_t w, uint32_t h, uint32_t orientation,
                  unsigned bands, rawWrapper::Decoded& out) {
    const PreviewConverter& converter = SharedConverter();
    RawSamples linear(rgb8.size());
    for (size_t i = 0; i < rgb8.size(); i++) linear[i] = uint16_t(converter.linear[rgb8[i]] + 0.5f);
    uint32_t ow = 0, oh = 0;
    RawOrientedSize(orientation, w, h, ow, oh);
    RawFinish(linear, w, RawCrop{0, 0, w, h}, orientation, converter.matrix, bands, out.master);
    out.width = ow;
    out.height = oh;
    out.outputReferred = true;
}

}  // namespace

const RawMatrix3& RawProPhotoFromSRGB() { return SharedConverter().matrix; }

bool RawDecodeLargestPreview(dng_host& host, dng_stream& stream, const dng_info& info,
                             uint32_t orientation, unsigned bands, rawWrapper::Decoded& out) {
    std::vector<uint32_t> candidates;
    for (uint32_t i = 0; i < info.IFDCount(); i++)
        if (int32_t(i) != info.fMainIndex && info.IFD(i).fNewSubFileType == 1)
            candidates.push_back(i);
    std::sort(candidates.begin(), candidates.end(), [&](uint32_t a, uint32_t b) {
        return uint64_t(info.IFD(a).fImageWidth) * info.IFD(a).fImageLength >
               uint64_t(info.IFD(b).fImageWidth) * info.IFD(b).fImageLength;
    });
    for (uint32_t index : candidates) {
        std::vector<uint8_t> rgb8;
        uint32_t w = 0, h = 0;
        try {
            if (!ReadPreview(host, stream, info.IFD(index), rgb8, w, h)) continue;
        } catch (const dng_exception&) {
            continue;
        }
        StorePreview(rgb8, w, h, orientation, bands, out);
        return true;
    }
    return false;
}

bool RawDecodeEmbeddedPreview(LibRawSource& source, unsigned bands, rawWrapper::Decoded& out) {
    std::vector<uint8_t> jpeg, rgb8;
    uint32_t w = 0, h = 0;
    if (!source.readPreview(jpeg, rgb8, w, h)) return false;
    // A small bitmap (the Kodak cameras' 80 x 60) is the sensor's colours
    // unrendered: a half-size decode shows the picture better.
    if (jpeg.empty() && std::max(w, h) < 160) return false;
    if (!jpeg.empty() && !DecodeJpegRGB(jpeg, rgb8, w, h)) return false;
    const auto [pictureW, pictureH] = source.orientedSize();
    RawCutPreviewBars(rgb8, w, h, pictureW, pictureH, source.orientation());
    StorePreview(rgb8, w, h, source.orientation(), bands, out);
    return true;
}