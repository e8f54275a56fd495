#include "platform/JpegWriter.h"

#include <jpeglib.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace platform {
namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void onError(j_common_ptr cinfo) {
    auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, manager->message);
    std::longjmp(manager->jump, 1);
}

void silence(j_common_ptr, int) {}

// Everything between setjmp and a possible longjmp is plain data, so the jump
// skips no destructor. Returns false with the library's message on failure.
bool encode(std::FILE* file, const uint8_t* rgb, uint32_t width, uint32_t height, int quality,
            const uint8_t* app1, std::size_t app1Length, const uint8_t* icc, std::size_t iccLength,
            char* message) {
    jpeg_compress_struct cinfo;
    ErrorManager errors;
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = onError;
    errors.pub.emit_message = silence;
    errors.message[0] = 0;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::memcpy(message, errors.message, JMSG_LENGTH_MAX);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    if (app1Length != 0) {
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, app1, static_cast<unsigned>(app1Length));
    }
    if (iccLength != 0) jpeg_write_icc_profile(&cinfo, icc, static_cast<unsigned>(iccLength));
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + rowBytes * cinfo.next_scanline);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

bool writeJPEG(const uint8_t* rgb, uint32_t width, uint32_t height, int quality,
               std::span<const uint8_t> exifBlock, std::span<const uint8_t> iccProfile,
               std::FILE* file, Error* error) {
    // JPEG frames are limited to 65535 pixels a side.
    if (rgb == nullptr || width == 0 || height == 0 || width > 65535 || height > 65535) {
        return setError(error, QuorvexErrorDomain, 1,
                        "The image to write as JPEG is empty or too large.");
    }
    if (exifBlock.size() > kMaxJpegExifBlock) {
        return setError(error, QuorvexErrorDomain, 2,
                        "The EXIF block is too large for a JPEG file.");
    }
    if (iccProfile.size() > 0xFFFFFFFFu) {
        return setError(error, QuorvexErrorDomain, 3,
                        "The ICC profile is too large for a JPEG file.");
    }
    if (file == nullptr) return setPosixError(error, EBADF, "No file to write the JPEG image to");

    std::vector<uint8_t> app1;
    if (!exifBlock.empty()) {
        static const uint8_t kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
        app1.assign(kExifHeader, kExifHeader + 6);
        app1.insert(app1.end(), exifBlock.begin(), exifBlock.end());
    }

    char message[JMSG_LENGTH_MAX] = {};
    const int clamped = quality < 1 ? 1 : quality > 100 ? 100 : quality;
    errno = 0;
    if (!encode(file, rgb, width, height, clamped, app1.data(), app1.size(), iccProfile.data(),
                iccProfile.size(), message)) {
        // A full disk shows up as the library's write error; say the system's reason too.
        const int writeErrno = std::ferror(file) ? errno : 0;
        std::string text = std::string("JPEG encoding failed: ") + message;
        if (writeErrno) text += std::string(" (") + std::strerror(writeErrno) + ")";
        return setError(error, QuorvexErrorDomain, 4, text);
    }
    if (std::fflush(file) != 0 || std::ferror(file))
        return setPosixError(error, errno ? errno : EIO, "Cannot write the JPEG image");
    return true;
}

bool writeJPEG(const uint8_t* rgb, uint32_t width, uint32_t height, int quality,
               std::span<const uint8_t> exifBlock, std::span<const uint8_t> iccProfile,
               const std::string& path, Error* error) {
    if (rgb == nullptr || width == 0 || height == 0 || width > 65535 || height > 65535 ||
        exifBlock.size() > kMaxJpegExifBlock || iccProfile.size() > 0xFFFFFFFFu)
        return writeJPEG(rgb, width, height, quality, exifBlock, iccProfile,
                         static_cast<std::FILE*>(nullptr), error);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return setPosixError(error, errno, "Cannot create " + path);
    Error written;
    const bool ok = writeJPEG(rgb, width, height, quality, exifBlock, iccProfile, file, &written);
    const int closeErrno = std::fclose(file) == 0 ? 0 : errno;
    if (!ok || closeErrno) {
        std::remove(path.c_str());
        if (!ok) {
            if (error) *error = written;
            return false;
        }
        return setPosixError(error, closeErrno, "Cannot write " + path);
    }
    return true;
}

}  // namespace platform
