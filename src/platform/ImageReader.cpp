#include "platform/ImageReader.h"

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/AsciiCase.h"
#include "platform/InputFile.h"
#include "platform/Locks.h"
#include "platform/Log.h"

namespace platform {

namespace {

constexpr const char* kDomain = "ImageReaderErrorDomain";
// Pixels decoded at once for layouts that need a whole block (interlaced
// PNG, TIFF strips and tiles).
constexpr uint64_t kMaxBlockPixels = 64u << 20;

// Folds decoded rows into a picture of at most maxSide on the longer side:
// each result pixel is the mean of the source pixels that fall on it.
class Shrinker {
public:
    Shrinker(uint32_t width, uint32_t height, uint32_t maxSide) : srcW_(width), srcH_(height) {
        double scale =
            std::min(1.0, double(std::max<uint32_t>(maxSide, 1)) / double(std::max(width, height)));
        dstW_ = std::max<uint32_t>(1, uint32_t(width * scale + 0.5));
        dstH_ = std::max<uint32_t>(1, uint32_t(height * scale + 0.5));
        sums_.assign(size_t(dstW_) * dstH_ * 4, 0);
        counts_.assign(size_t(dstW_) * dstH_, 0);
        columnOf_.resize(width);
        for (uint32_t x = 0; x < width; ++x) columnOf_[x] = uint32_t(uint64_t(x) * dstW_ / width);
    }

    // One source row of RGBA bytes.
    void addRow(uint32_t y, const uint8_t* rgba) {
        if (y >= srcH_) return;
        size_t row = size_t(uint64_t(y) * dstH_ / srcH_) * dstW_;
        for (uint32_t x = 0; x < srcW_; ++x) {
            size_t i = row + columnOf_[x];
            for (int c = 0; c < 4; ++c) sums_[i * 4 + c] += rgba[x * 4 + c];
            ++counts_[i];
        }
    }

    std::shared_ptr<const BitmapImage> image() const {
        std::vector<uint8_t> bytes(sums_.size());
        for (size_t i = 0; i < counts_.size(); ++i) {
            uint32_t n = std::max<uint32_t>(counts_[i], 1);
            for (int c = 0; c < 4; ++c) bytes[i * 4 + c] = uint8_t((sums_[i * 4 + c] + n / 2) / n);
        }
        return BitmapImage::create(dstW_, dstH_, 8, 32, size_t(dstW_) * 4, kBitmapAlphaLast,
                                   sRGBColorSpace(),
                                   BitmapDataProvider::withData(std::move(bytes)));
    }

private:
    uint32_t srcW_, srcH_, dstW_ = 1, dstH_ = 1;
    std::vector<uint64_t> sums_;
    std::vector<uint32_t> counts_;
    std::vector<uint32_t> columnOf_;
};

bool fail(Error* error, const std::string& reason) { return setError(error, kDomain, -1, reason); }

bool sidesUsable(uint64_t width, uint64_t height, Error* error) {
    if (width == 0 || height == 0 || width > kImageReaderMaxSide || height > kImageReaderMaxSide)
        return fail(error, "image size out of range");
    return true;
}

// Decoder state that must survive a longjmp out of the codec.
struct DecodeWork {
    std::unique_ptr<Shrinker> shrinker;
    std::vector<uint8_t> row, rgba;
};

// ---- JPEG ----

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpegErrorExit(j_common_ptr cinfo) {
    auto* e = reinterpret_cast<JpegError*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, e->message);
    std::longjmp(e->jump, 1);
}

void jpegSilence(j_common_ptr, int) {}

std::shared_ptr<const BitmapImage> readJPEG(FILE* file, uint32_t maxSide, Error* error) {
    jpeg_decompress_struct cinfo{};
    JpegError err{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegErrorExit;
    err.mgr.emit_message = jpegSilence;
    // What changes after setjmp lives on the heap, so the jump leaves nothing stale.
    auto work = std::make_unique<DecodeWork>();
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        fail(error, std::string("JPEG: ") + err.message);
        return nullptr;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    if (!sidesUsable(cinfo.image_width, cinfo.image_height, error)) {
        jpeg_destroy_decompress(&cinfo);
        return nullptr;
    }
    bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_RGBA;
    // Let the decoder drop detail it would otherwise average away.
    uint32_t longer = std::max(cinfo.image_width, cinfo.image_height);
    unsigned denom = 1;
    while (denom < 8 && longer / (denom * 2) >= maxSide) denom *= 2;
    cinfo.scale_num = 1;
    cinfo.scale_denom = denom;
    jpeg_start_decompress(&cinfo);
    uint32_t w = cinfo.output_width, h = cinfo.output_height;
    work->shrinker = std::make_unique<Shrinker>(w, h, maxSide);
    std::vector<uint8_t>& row = work->row;
    std::vector<uint8_t>& rgba = work->rgba;
    row.resize(size_t(w) * 4);
    rgba.resize(size_t(w) * 4);
    while (cinfo.output_scanline < h) {
        uint32_t y = cinfo.output_scanline;
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&cinfo, rows, 1);
        if (cmyk) {
            // Inverted CMYK, as the writers of such files store it.
            for (uint32_t x = 0; x < w; ++x) {
                unsigned k = row[x * 4 + 3];
                for (int c = 0; c < 3; ++c) rgba[x * 4 + c] = uint8_t(row[x * 4 + c] * k / 255);
                rgba[x * 4 + 3] = 255;
            }
            work->shrinker->addRow(y, rgba.data());
        } else {
            work->shrinker->addRow(y, row.data());
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return work->shrinker->image();
}

// ---- PNG ----

struct PngState {
    std::jmp_buf jump;
    std::string message;
};

void pngError(png_structp png, png_const_charp message) {
    auto* state = static_cast<PngState*>(png_get_error_ptr(png));
    state->message = message ? message : "error";
    std::longjmp(state->jump, 1);
}

void pngWarning(png_structp, png_const_charp) {}

std::shared_ptr<const BitmapImage> readPNG(FILE* file, uint32_t maxSide, Error* error) {
    PngState state;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, pngError, pngWarning);
    if (!png) {
        fail(error, "PNG: no memory");
        return nullptr;
    }
    png_infop info = png_create_info_struct(png);
    auto work = std::make_unique<DecodeWork>();
    if (!info || setjmp(state.jump)) {
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        fail(error, "PNG: " + state.message);
        return nullptr;
    }
    png_set_user_limits(png, kImageReaderMaxSide, kImageReaderMaxSide);
    png_set_chunk_malloc_max(png, 8u << 20);
    png_init_io(png, file);
    png_read_info(png, info);
    uint32_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    if (!sidesUsable(w, h, error)) {
        png_destroy_read_struct(&png, &info, nullptr);
        return nullptr;
    }
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    bool interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != size_t(w) * 4) {
        png_destroy_read_struct(&png, &info, nullptr);
        fail(error, "PNG: unexpected row layout");
        return nullptr;
    }
    work->shrinker = std::make_unique<Shrinker>(w, h, maxSide);
    Shrinker* shrinker = work->shrinker.get();
    std::vector<uint8_t>& pixels = work->row;
    if (interlaced) {
        // Later passes refine earlier rows, so the whole picture is needed.
        if (uint64_t(w) * h > kMaxBlockPixels) {
            png_destroy_read_struct(&png, &info, nullptr);
            fail(error, "PNG: interlaced image too large");
            return nullptr;
        }
        pixels.resize(size_t(w) * h * 4);
        for (int pass = 0; pass < passes; ++pass)
            for (uint32_t y = 0; y < h; ++y) png_read_row(png, &pixels[size_t(y) * w * 4], nullptr);
        for (uint32_t y = 0; y < h; ++y) shrinker->addRow(y, &pixels[size_t(y) * w * 4]);
    } else {
        pixels.resize(size_t(w) * 4);
        for (uint32_t y = 0; y < h; ++y) {
            png_read_row(png, pixels.data(), nullptr);
            shrinker->addRow(y, pixels.data());
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return shrinker->image();
}

// The content type its first bytes give a JPEG, PNG or TIFF file; null for
// anything else. Reads from the file's current position.
const char* typeByFirstBytes(FILE* file) {
    std::array<uint8_t, 8> magic{};
    const size_t n = std::fread(magic.data(), 1, magic.size(), file);
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (n >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) return kImageTypeJPEG;
    if (n == 8 && std::memcmp(magic.data(), kPng, 8) == 0) return kImageTypePNG;
    if (n >= 4 && ((magic[0] == 'I' && magic[1] == 'I' && (magic[2] == 42 || magic[2] == 43) &&
                    magic[3] == 0) ||
                   (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 &&
                    (magic[3] == 42 || magic[3] == 43))))
        return kImageTypeTIFF;
    return nullptr;
}

// ---- TIFF ----

// libtiff's own handlers print on stderr, which belongs to the programs'
// user: what it says about a file (an unknown tag, an odd tile size) is for
// the log.
void logTIFFMessage(const char* kind, const char* module, const char* format, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    log("libtiff %s: %s%s%s", kind, module ? module : "", module ? ": " : "", text);
}

TIFF* openTIFF(const std::filesystem::path& path) {
    static platform::OnceFlag installed;
    platform::callOnce(installed, [] {
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandlerExt(
            [](thandle_t, const char* module, const char* format, va_list args) {
                logTIFFMessage("warning", module, format, args);
            });
        TIFFSetErrorHandlerExt([](thandle_t, const char* module, const char* format, va_list args) {
            logTIFFMessage("error", module, format, args);
        });
    });
    return TIFFOpen(path.c_str(), "r");
}

std::shared_ptr<const BitmapImage> readTIFF(const std::filesystem::path& path, uint32_t maxSide,
                                            Error* error) {
    TIFF* tif = openTIFF(path);
    if (!tif) {
        fail(error, "TIFF: cannot open");
        return nullptr;
    }
    std::unique_ptr<TIFF, void (*)(TIFF*)> closer(tif, TIFFClose);
    char message[1024] = "";
    if (!TIFFRGBAImageOK(tif, message)) {
        fail(error, std::string("TIFF: ") + message);
        return nullptr;
    }
    TIFFRGBAImage img{};
    if (!TIFFRGBAImageBegin(&img, tif, 0, message)) {
        fail(error, std::string("TIFF: ") + message);
        return nullptr;
    }
    std::unique_ptr<TIFFRGBAImage, void (*)(TIFFRGBAImage*)> ender(&img, TIFFRGBAImageEnd);
    uint32_t w = img.width, h = img.height;
    if (!sidesUsable(w, h, error)) return nullptr;
    Shrinker shrinker(w, h, maxSide);
    std::vector<uint8_t> rgba(size_t(w) * 4);
    auto unpack = [&](const uint32_t* src, uint32_t count, uint8_t* out) {
        for (uint32_t x = 0; x < count; ++x) {
            out[x * 4 + 0] = uint8_t(TIFFGetR(src[x]));
            out[x * 4 + 1] = uint8_t(TIFFGetG(src[x]));
            out[x * 4 + 2] = uint8_t(TIFFGetB(src[x]));
            out[x * 4 + 3] = uint8_t(TIFFGetA(src[x]));
        }
    };
    if (TIFFIsTiled(tif)) {
        // Tile by tile: each tile raster has its first row at the bottom.
        uint32_t tw = 0, th = 0;
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
        if (tw == 0 || th == 0 || uint64_t(tw) * th > kMaxBlockPixels ||
            uint64_t(w) * th > kMaxBlockPixels) {
            fail(error, "TIFF: unusable tile size");
            return nullptr;
        }
        std::vector<uint32_t> tile(size_t(tw) * th);
        std::vector<uint8_t> band(size_t(w) * th * 4);
        for (uint32_t ty = 0; ty < h; ty += th) {
            uint32_t rows = std::min(th, h - ty);
            for (uint32_t tx = 0; tx < w; tx += tw) {
                if (!TIFFReadRGBATile(tif, tx, ty, tile.data())) {
                    fail(error, "TIFF: cannot decode the image data");
                    return nullptr;
                }
                uint32_t cols = std::min(tw, w - tx);
                for (uint32_t r = 0; r < rows; ++r)
                    unpack(&tile[size_t(th - 1 - r) * tw], cols, &band[(size_t(r) * w + tx) * 4]);
            }
            for (uint32_t r = 0; r < rows; ++r) shrinker.addRow(ty + r, &band[size_t(r) * w * 4]);
        }
        return shrinker.image();
    }
    img.req_orientation = ORIENTATION_TOPLEFT;
    uint32_t chunk = uint32_t(std::clamp<uint64_t>((16u << 20) / w, 1, 256));
    std::vector<uint32_t> raster(size_t(w) * chunk);
    for (uint32_t y0 = 0; y0 < h; y0 += chunk) {
        uint32_t rows = std::min(chunk, h - y0);
        img.row_offset = int(y0);
        img.col_offset = 0;
        if (!TIFFRGBAImageGet(&img, raster.data(), w, rows)) {
            fail(error, "TIFF: cannot decode the image data");
            return nullptr;
        }
        for (uint32_t r = 0; r < rows; ++r) {
            unpack(&raster[size_t(r) * w], w, rgba.data());
            shrinker.addRow(y0 + r, rgba.data());
        }
    }
    return shrinker.image();
}

// ---- the Software tag ----

// The Software text of the first directory of the TIFF structure in `data`
// (a JPEG's EXIF block); every offset is checked against its size.
std::optional<std::string> tiffSoftware(const uint8_t* data, size_t size) {
    if (size < 8) return std::nullopt;
    const bool little = data[0] == 'I' && data[1] == 'I';
    if (!little && !(data[0] == 'M' && data[1] == 'M')) return std::nullopt;
    auto u16 = [&](uint64_t at) -> uint32_t {
        return little ? data[at] | data[at + 1] << 8 : data[at] << 8 | data[at + 1];
    };
    auto u32 = [&](uint64_t at) -> uint32_t {
        return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
    };
    if (u16(2) != 42) return std::nullopt;
    const uint64_t directory = u32(4);
    if (directory + 2 > size) return std::nullopt;
    const uint32_t count = u16(directory);
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t entry = directory + 2 + 12 * uint64_t(i);
        if (entry + 12 > size) return std::nullopt;
        constexpr uint32_t kSoftware = 0x0131, kAscii = 2;
        if (u16(entry) != kSoftware || u16(entry + 2) != kAscii) continue;
        const uint64_t length = u32(entry + 4);
        const uint64_t at = length <= 4 ? entry + 8 : u32(entry + 8);
        if (at > size || length > size - at) return std::nullopt;
        const std::string text(reinterpret_cast<const char*>(data + at), size_t(length));
        return text.substr(0, text.find('\0'));
    }
    return std::nullopt;
}

// An OpenEXR header is a list of attributes (name, type, size, value) ended
// by an empty name; its "software" string names the writer. Bounded: a
// damaged header is read no further than a real one reaches.
std::optional<std::string> exrSoftware(FILE* file) {
    uint8_t start[8];
    if (std::fread(start, 1, 8, file) != 8 || start[0] != 0x76 || start[1] != 0x2F ||
        start[2] != 0x31 || start[3] != 0x01)
        return std::nullopt;
    auto readText = [&](std::string& out) {
        out.clear();
        for (int c; (c = std::fgetc(file)) != EOF;) {
            if (c == 0) return true;
            if (out.size() == 255) return false;
            out.push_back(char(c));
        }
        return false;
    };
    constexpr uint32_t kMaxSkipped = 1u << 24, kMaxSoftware = 4096;
    uint64_t skipped = 0;
    std::string name, type;
    while (readText(name) && !name.empty() && readText(type)) {
        uint8_t size[4];
        if (std::fread(size, 1, 4, file) != 4) return std::nullopt;
        const uint32_t n = uint32_t(size[0]) | uint32_t(size[1]) << 8 | uint32_t(size[2]) << 16 |
                           uint32_t(size[3]) << 24;
        if (name == "software" && type == "string" && n <= kMaxSoftware) {
            std::string text(n, '\0');
            if (std::fread(text.data(), 1, n, file) != n) return std::nullopt;
            return text;
        }
        skipped += n;
        if (skipped > kMaxSkipped || std::fseek(file, long(n), SEEK_CUR) != 0) return std::nullopt;
    }
    return std::nullopt;
}

// libjpeg reads the markers before the picture's data and keeps the APP1 ones.
std::optional<std::string> jpegSoftware(FILE* file) {
    jpeg_decompress_struct cinfo{};
    JpegError err{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegErrorExit;
    err.mgr.emit_message = jpegSilence;
    // Filled after setjmp, so on the heap: the jump leaves nothing stale.
    auto exif = std::make_unique<std::vector<uint8_t>>();
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return std::nullopt;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    static const uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    for (auto* marker = cinfo.marker_list; marker && exif->empty(); marker = marker->next)
        if (marker->data_length > 6 && std::memcmp(marker->data, kExif, 6) == 0)
            exif->assign(marker->data + 6, marker->data + marker->data_length);
    jpeg_destroy_decompress(&cinfo);
    if (exif->empty()) return std::nullopt;
    return tiffSoftware(exif->data(), exif->size());
}

}  // namespace

std::shared_ptr<const BitmapImage> readImageThumbnail(const std::filesystem::path& path,
                                                      uint32_t maxSide, Error* error) {
    FILE* file = openRegularFile(path);
    if (!file) {
        setPosixError(error, errno, path.string());
        return nullptr;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> closer(file, std::fclose);
    const char* type = typeByFirstBytes(file);
    std::rewind(file);
    if (type == kImageTypeJPEG) return readJPEG(file, maxSide, error);
    if (type == kImageTypePNG) return readPNG(file, maxSide, error);
    if (type == kImageTypeTIFF) {
        closer.reset();
        return readTIFF(path, maxSide, error);
    }
    fail(error, "not a JPEG, PNG or TIFF file");
    return nullptr;
}

std::optional<std::string> imageTypeOfContents(const std::filesystem::path& path) {
    FILE* file = openRegularFile(path);
    if (!file) return std::nullopt;
    const char* type = typeByFirstBytes(file);
    std::fclose(file);
    if (!type) return std::nullopt;
    if (type != kImageTypeTIFF) return type;
    // A DNG file is a TIFF file whose first directory holds DNGVersion.
    std::unique_ptr<TIFF, void (*)(TIFF*)> tif(openTIFF(path), TIFFClose);
    if (!tif) return type;
    const TIFFField* field = TIFFFindField(tif.get(), TIFFTAG_DNGVERSION, TIFF_ANY);
    void* version = nullptr;
    uint32_t count = 0;
    const bool dng = field && (TIFFFieldPassCount(field)
                                   ? TIFFGetField(tif.get(), TIFFTAG_DNGVERSION, &count, &version)
                                   : TIFFGetField(tif.get(), TIFFTAG_DNGVERSION, &version));
    return dng ? kImageTypeDNG : type;
}

std::optional<std::string> imageTypeForExtension(std::string_view extension) {
    static const std::pair<const char*, const char*> kTypes[] = {
        {"jpg", kImageTypeJPEG},          {"jpeg", kImageTypeJPEG},
        {"jpe", kImageTypeJPEG},          {"png", kImageTypePNG},
        {"tif", kImageTypeTIFF},          {"tiff", kImageTypeTIFF},
        {"gif", "com.compuserve.gif"},    {"bmp", "com.microsoft.bmp"},
        {"exr", "com.ilm.openexr-image"}, {"webp", "org.webmproject.webp"},
        {"heic", "public.heic"},          {"jp2", "public.jpeg-2000"},
    };
    std::string ext = asciiLowercase(extension);
    for (const auto& [e, type] : kTypes)
        if (ext == e) return std::string(type);
    return std::nullopt;
}

const std::vector<std::string>& imageReaderTypeIdentifiers() {
    static const std::vector<std::string>* types =
        new std::vector<std::string>{kImageTypeJPEG, kImageTypePNG, kImageTypeTIFF};
    return *types;
}

std::optional<std::string> imageSoftware(const std::filesystem::path& path) {
    FILE* file = openRegularFile(path);
    if (!file) return std::nullopt;
    std::unique_ptr<FILE, int (*)(FILE*)> closer(file, std::fclose);
    const char* type = typeByFirstBytes(file);
    std::rewind(file);
    if (type == kImageTypeJPEG) return jpegSoftware(file);
    if (!type) return exrSoftware(file);
    if (type != kImageTypeTIFF) return std::nullopt;
    closer.reset();
    std::unique_ptr<TIFF, void (*)(TIFF*)> tif(openTIFF(path), TIFFClose);
    const char* text = nullptr;
    if (!tif || TIFFGetField(tif.get(), TIFFTAG_SOFTWARE, &text) != 1 || !text) return std::nullopt;
    return std::string(text);
}

}  // namespace platform
