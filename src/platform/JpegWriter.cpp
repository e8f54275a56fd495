#include "platform/JpegWriter.h"

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Dispatch.h"

namespace platform {
namespace {

// Images from this many pixels on are encoded in bands on every core.
constexpr uint64_t kBandedFromPixels = 4000000;
// About this many pixels per band: enough bands to keep every core busy to the
// end, few enough that each band's set-up costs nothing.
constexpr uint64_t kPixelsPerBand = 1u << 19;
// Rows handed to the encoder at once.
constexpr uint32_t kChunkRows = 16;

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

// What every piece of one file is encoded with.
struct Settings {
    uint32_t width = 0;
    uint32_t height = 0;
    int quality = 0;
    const uint8_t* app1 = nullptr;
    std::size_t app1Length = 0;
    const uint8_t* icc = nullptr;
    std::size_t iccLength = 0;
};

// Where the rows come from: a packed image, or a source that fills scratch.
struct RowFeed {
    const uint8_t* rgb = nullptr;
    const JpegRowSource* source = nullptr;
    std::size_t rowBytes = 0;

    // Points rows[0..count) at image rows first.. (count <= kChunkRows).
    bool fetch(uint32_t first, uint32_t count, uint8_t* scratch, JSAMPROW* rows) const {
        const uint8_t* base = rgb ? rgb + rowBytes * first : scratch;
        if (!rgb && !(*source)(first, count, scratch)) return false;
        for (uint32_t i = 0; i < count; ++i) rows[i] = const_cast<JSAMPROW>(base + rowBytes * i);
        return true;
    }
};

// A destination that grows a malloc'd block; the owner frees `data`.
struct MemoryDestination {
    jpeg_destination_mgr pub;
    uint8_t* data = nullptr;
    std::size_t capacity = 0;
    std::size_t length = 0;
};

void memoryInit(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    d->pub.next_output_byte = d->data;
    d->pub.free_in_buffer = d->capacity;
}

boolean memoryGrow(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    const std::size_t grown = d->capacity * 2;
    auto* data = static_cast<uint8_t*>(std::realloc(d->data, grown));
    if (data == nullptr) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    d->data = data;
    d->pub.next_output_byte = data + d->capacity;
    d->pub.free_in_buffer = grown - d->capacity;
    d->capacity = grown;
    return TRUE;
}

void memoryTerm(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    d->length = d->capacity - d->pub.free_in_buffer;
}

// At high quality the colour keeps full resolution: halving it would put
// the largest errors of the file at sharp coloured edges.
void setSampling(jpeg_compress_struct& cinfo, int quality) {
    if (quality < kJpegFullChromaQuality) return;
    for (int c = 0; c < cinfo.num_components; ++c) {
        cinfo.comp_info[c].h_samp_factor = 1;
        cinfo.comp_info[c].v_samp_factor = 1;
    }
}

void setUp(jpeg_compress_struct& cinfo, const Settings& s, uint32_t rows) {
    cinfo.image_width = s.width;
    cinfo.image_height = rows;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, s.quality, TRUE);
    setSampling(cinfo, s.quality);
}

// Encodes rows [first, first + rows) as one image into `file` or `memory`,
// with the EXIF and ICC markers when `markers`. Everything between setjmp and
// a possible longjmp is plain data, so the jump skips no destructor. Returns
// false with the library's message (or an empty one when the row source
// failed).
bool encode(std::FILE* file, MemoryDestination* memory, const Settings& s, const RowFeed& feed,
            uint32_t first, uint32_t rows, bool markers, uint8_t* scratch, char* message) {
    jpeg_compress_struct cinfo;
    ErrorManager errors;
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = onError;
    errors.pub.emit_message = silence;
    errors.message[0] = 0;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::memcpy(message, errors.message, JMSG_LENGTH_MAX);
        if (message[0] == 0) std::strcpy(message, "encoder error");
        return false;
    }
    jpeg_create_compress(&cinfo);
    if (memory) {
        memory->pub.init_destination = memoryInit;
        memory->pub.empty_output_buffer = memoryGrow;
        memory->pub.term_destination = memoryTerm;
        cinfo.dest = &memory->pub;
    } else {
        jpeg_stdio_dest(&cinfo, file);
    }
    setUp(cinfo, s, rows);
    jpeg_start_compress(&cinfo, TRUE);
    if (markers && s.app1Length != 0) {
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, s.app1, static_cast<unsigned>(s.app1Length));
    }
    if (markers && s.iccLength != 0) {
        jpeg_write_icc_profile(&cinfo, s.icc, static_cast<unsigned>(s.iccLength));
    }
    JSAMPROW chunk[kChunkRows];
    while (cinfo.next_scanline < rows) {
        const uint32_t count = std::min(kChunkRows, rows - cinfo.next_scanline);
        if (!feed.fetch(first + cinfo.next_scanline, count, scratch, chunk)) {
            jpeg_destroy_compress(&cinfo);
            message[0] = 0;
            return false;
        }
        for (uint32_t done = 0; done < count;)
            done += jpeg_write_scanlines(&cinfo, chunk + done, count - done);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

// The MCU's size in pixels at this quality (4:2:0 gives 16 × 16).
bool mcuSize(int quality, uint32_t* mcuWidth, uint32_t* mcuHeight) {
    jpeg_compress_struct cinfo;
    ErrorManager errors;
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = onError;
    errors.pub.emit_message = silence;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    setSampling(cinfo, quality);
    int h = 1, v = 1;
    for (int c = 0; c < cinfo.num_components; ++c) {
        h = std::max(h, cinfo.comp_info[c].h_samp_factor);
        v = std::max(v, cinfo.comp_info[c].v_samp_factor);
    }
    jpeg_destroy_compress(&cinfo);
    *mcuWidth = static_cast<uint32_t>(h * DCTSIZE);
    *mcuHeight = static_cast<uint32_t>(v * DCTSIZE);
    return true;
}

// Where a band's pieces lie in its own file: its SOF segment, its SOS
// segment and the entropy-coded data that follows up to the closing EOI.
struct BandLayout {
    std::size_t sof = 0;
    std::size_t sos = 0;
    std::size_t dataBegin = 0;
    std::size_t dataEnd = 0;
};

bool isFrameMarker(uint8_t m) {
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

bool layoutOf(const uint8_t* p, std::size_t n, BandLayout* out) {
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8 || p[n - 2] != 0xFF || p[n - 1] != 0xD9) return false;
    bool sawFrame = false;
    for (std::size_t at = 2; at + 4 <= n;) {
        if (p[at] != 0xFF) return false;
        const uint8_t marker = p[at + 1];
        const std::size_t length = (std::size_t(p[at + 2]) << 8) | p[at + 3];
        if (length < 2 || at + 2 + length > n - 2) return false;
        if (isFrameMarker(marker)) {
            if (length < 8) return false;
            out->sof = at;
            sawFrame = true;
        } else if (marker == 0xDA) {
            out->sos = at;
            out->dataBegin = at + 2 + length;
            out->dataEnd = n - 2;
            return sawFrame;
        }
        at += 2 + length;
    }
    return false;
}

uint32_t bandRowsFor(uint32_t width, uint32_t height, uint32_t mcuWidth, uint32_t mcuHeight) {
    if (uint64_t(width) * height < kBandedFromPixels) return 0;
    const uint64_t mcusPerRow = (width + mcuWidth - 1) / mcuWidth;
    // The restart interval is a 16-bit field.
    const uint64_t most = 65535 / mcusPerRow;
    if (most == 0) return 0;
    const uint64_t mcuRows =
        std::clamp<uint64_t>(kPixelsPerBand / (uint64_t(width) * mcuHeight), 1, most);
    const uint64_t rows = mcuRows * mcuHeight;
    return rows < height ? static_cast<uint32_t>(rows) : 0;
}

struct Band {
    MemoryDestination memory{};
    BandLayout layout{};
    bool ok = false;
    bool done = false;  // guarded by the writer's lock
    char message[JMSG_LENGTH_MAX] = {};
    ~Band() { std::free(memory.data); }
};

bool put(std::FILE* file, const uint8_t* p, std::size_t n) {
    return std::fwrite(p, 1, n, file) == n;
}

// Writes the finished bands to the file in order while later ones are still
// being encoded: the first band's headers with the whole height and a DRI,
// then every band's data with RSTn between them. One thread at a time
// writes; the others only mark their band done and go on encoding.
class InOrderWriter {
public:
    InOrderWriter(std::FILE* file, std::vector<Band>& bands, uint32_t height, uint32_t interval)
        : file_(file), bands_(bands), height_(height), interval_(interval) {}

    // Band b has been encoded (or has failed).
    void finished(std::size_t b) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            bands_[b].done = true;
            if (writing_) return;
            writing_ = true;
        }
        drain();
    }

    // Once every band has finished: the rest and the EOI. False with the
    // first failure (errno set to a write's reason).
    bool finish(std::string* failure) {
        drain();
        const uint8_t eoi[2] = {0xFF, 0xD9};
        if (!failed_ && !put(file_, eoi, 2)) fail("Output file write failed", errno);
        if (!failed_) return true;
        *failure = failure_;
        errno = errno_;
        return false;
    }

private:
    void drain() {
        for (;;) {
            std::size_t b;
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (failed_ || next_ == bands_.size() || !bands_[next_].done) {
                    writing_ = false;
                    return;
                }
                b = next_;
            }
            write(b);
            std::lock_guard<std::mutex> guard(lock_);
            ++next_;
        }
    }

    // Only the writing thread (or finish, after all threads) calls these.
    void fail(const char* reason, int err) {
        failure_ = reason;
        errno_ = err;
        std::lock_guard<std::mutex> guard(lock_);
        failed_ = true;
    }

    void write(std::size_t b) {
        Band& band = bands_[b];
        if (!band.ok) return fail(band.message, 0);
        const uint8_t* data = band.memory.data;
        bool written;
        if (b == 0) {
            const std::size_t heightAt = band.layout.sof + 5;
            const uint8_t height[2] = {static_cast<uint8_t>(height_ >> 8),
                                       static_cast<uint8_t>(height_)};
            const uint8_t dri[6] = {0xFF,
                                    0xDD,
                                    0,
                                    4,
                                    static_cast<uint8_t>(interval_ >> 8),
                                    static_cast<uint8_t>(interval_)};
            written = put(file_, data, heightAt) && put(file_, height, 2) &&
                      put(file_, data + heightAt + 2, band.layout.sos - heightAt - 2) &&
                      put(file_, dri, sizeof dri) &&
                      put(file_, data + band.layout.sos, band.layout.dataEnd - band.layout.sos);
        } else {
            const uint8_t rst[2] = {0xFF, static_cast<uint8_t>(0xD0 + ((b - 1) & 7))};
            written = put(file_, rst, 2) && put(file_, data + band.layout.dataBegin,
                                                band.layout.dataEnd - band.layout.dataBegin);
        }
        if (!written) return fail("Output file write failed", errno);
        std::free(band.memory.data);
        band.memory.data = nullptr;
    }

    std::FILE* file_;
    std::vector<Band>& bands_;
    const uint32_t height_, interval_;
    std::mutex lock_;
    std::size_t next_ = 0;  // the next band to write
    bool writing_ = false;
    bool failed_ = false;
    std::string failure_;
    int errno_ = 0;
};

// Encodes the bands on the pool, each written as soon as those before it are.
bool encodeInBands(std::FILE* file, const Settings& s, const RowFeed& feed, uint32_t bandRows,
                   uint32_t mcuWidth, uint32_t mcuHeight, std::string* failure) {
    const uint32_t count = (s.height + bandRows - 1) / bandRows;
    std::vector<Band> bands(count);
    const uint32_t interval = (s.width + mcuWidth - 1) / mcuWidth * (bandRows / mcuHeight);
    InOrderWriter writer(file, bands, s.height, interval);
    apply(count, DispatchQueue::global(), [&](size_t b) {
        Band& band = bands[b];
        const auto first = static_cast<uint32_t>(b * bandRows);
        const uint32_t rows = std::min(bandRows, s.height - first);
        // About a third of the packed size at the highest quality; grown as needed.
        band.memory.capacity = std::max<std::size_t>(feed.rowBytes * rows / 3, 1 << 16);
        band.memory.data = static_cast<uint8_t*>(std::malloc(band.memory.capacity));
        uint8_t* scratch =
            feed.rgb ? nullptr : static_cast<uint8_t*>(std::malloc(feed.rowBytes * kChunkRows));
        if (band.memory.data == nullptr || (!feed.rgb && scratch == nullptr)) {
            std::strcpy(band.message, "out of memory");
        } else {
            band.ok = encode(nullptr, &band.memory, s, feed, first, rows, b == 0, scratch,
                             band.message) &&
                      layoutOf(band.memory.data, band.memory.length, &band.layout);
            if (!band.ok && band.message[0] == 0 && !feed.rgb)
                std::strcpy(band.message, "the image's pixels are not available");
            if (!band.ok && band.message[0] == 0) std::strcpy(band.message, "malformed band");
        }
        std::free(scratch);
        writer.finished(b);
    });
    return writer.finish(failure);
}

bool writeFeed(const RowFeed& feed, uint32_t width, uint32_t height, int quality,
               std::span<const uint8_t> exifBlock, std::span<const uint8_t> iccProfile,
               std::FILE* file, Error* error) {
    // JPEG frames are limited to 65535 pixels a side.
    if (width == 0 || height == 0 || width > 65535 || height > 65535) {
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
    Settings s;
    s.width = width;
    s.height = height;
    s.quality = quality < 1 ? 1 : quality > 100 ? 100 : quality;
    s.app1 = app1.data();
    s.app1Length = app1.size();
    s.icc = iccProfile.data();
    s.iccLength = iccProfile.size();

    uint32_t mcuWidth = 0, mcuHeight = 0;
    const uint32_t bandRows =
        mcuSize(s.quality, &mcuWidth, &mcuHeight) ? bandRowsFor(width, height, mcuWidth, mcuHeight)
                                                   : 0;
    errno = 0;
    std::string failure;
    bool ok = false;
    if (bandRows != 0) {
        ok = encodeInBands(file, s, feed, bandRows, mcuWidth, mcuHeight, &failure);
    } else {
        std::vector<uint8_t> scratch(feed.rgb ? 0 : feed.rowBytes * kChunkRows);
        char message[JMSG_LENGTH_MAX] = {};
        ok = encode(file, nullptr, s, feed, 0, height, true, scratch.data(), message);
        if (!ok) failure = message[0] ? message : "the image's pixels are not available";
    }
    if (!ok) {
        // A write that failed is told in the system's words alone: the
        // library guesses "out of disk space?" even past a file-size limit.
        const int writeErrno = std::ferror(file) ? errno : 0;
        const std::string text = writeErrno
                                     ? "Cannot write the JPEG image: " + systemErrorText(writeErrno)
                                     : "JPEG encoding failed: " + failure;
        return setError(error, QuorvexErrorDomain, 4, text);
    }
    if (std::fflush(file) != 0 || std::ferror(file))
        return setPosixError(error, errno ? errno : EIO, "Cannot write the JPEG image");
    return true;
}

}  // namespace

bool writeJPEG(const uint8_t* rgb, uint32_t width, uint32_t height, int quality,
               std::span<const uint8_t> exifBlock, std::span<const uint8_t> iccProfile,
               std::FILE* file, Error* error) {
    if (rgb == nullptr) {
        return setError(error, QuorvexErrorDomain, 1,
                        "The image to write as JPEG is empty or too large.");
    }
    RowFeed feed;
    feed.rgb = rgb;
    feed.rowBytes = static_cast<std::size_t>(width) * 3;
    return writeFeed(feed, width, height, quality, exifBlock, iccProfile, file, error);
}

bool writeJPEG(const JpegRowSource& rows, uint32_t width, uint32_t height, int quality,
               std::span<const uint8_t> exifBlock, std::span<const uint8_t> iccProfile,
               std::FILE* file, Error* error) {
    if (!rows) {
        return setError(error, QuorvexErrorDomain, 1,
                        "The image to write as JPEG is empty or too large.");
    }
    RowFeed feed;
    feed.source = &rows;
    feed.rowBytes = static_cast<std::size_t>(width) * 3;
    return writeFeed(feed, width, height, quality, exifBlock, iccProfile, file, error);
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

uint32_t jpegBandRows(uint32_t width, uint32_t height, int quality) {
    uint32_t mcuWidth = 0, mcuHeight = 0;
    if (width == 0 || height == 0 || width > 65535 || height > 65535 ||
        !mcuSize(quality < 1 ? 1 : quality > 100 ? 100 : quality, &mcuWidth, &mcuHeight))
        return 0;
    return bandRowsFor(width, height, mcuWidth, mcuHeight);
}

}  // namespace platform
