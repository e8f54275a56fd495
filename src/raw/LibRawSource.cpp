#include "raw/LibRawSource.h"

#include <libraw/libraw.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/Colorimetry.h"
#include "platform/Error.h"
#include "platform/InputFile.h"
#include "platform/Log.h"
#include "platform/RowBands.h"
#include "raw/RawMetadata.h"
#include "raw/RawOpenError.h"

namespace {

// The images handed on are at most 65535 pixels a side; the sensor's whole
// frame at most 2^28 pixels (half a gigabyte of 16-bit samples).
constexpr uint64_t kMostSensorPixels = uint64_t(1) << 28;
constexpr unsigned kMostRawMemoryMB = 1024;
// A decode stops after this long: no file may hang a run.
std::atomic<int64_t> gTimeLimitMs{30000};

std::string Quoted(const std::string& path) {
    return "\"" + std::filesystem::path(path).filename().string() + "\"";
}

LibRawUnsupported Unsupported(const std::string& path, const std::string& why) {
    return LibRawUnsupported(RawUnsupportedFormat(path, why));
}

std::vector<uint8_t> FirstBytes(const std::string& path, size_t n) {
    std::vector<uint8_t> head(n);
    std::FILE* f = platform::openRegularFile(path);
    if (!f) return {};
    head.resize(std::fread(head.data(), 1, n, f));
    std::fclose(f);
    return head;
}

// The bytes a file gives when read to its end (at most 1 GiB, more than
// any file that reports no size holds).
uint64_t BytesWhenRead(const std::string& path) {
    std::FILE* f = platform::openRegularFile(path);
    if (!f) return 0;
    uint64_t total = 0;
    std::vector<char> chunk(64 * 1024);
    for (size_t n;
         total < (uint64_t(1) << 30) && (n = std::fread(chunk.data(), 1, chunk.size(), f)) > 0;)
        total += n;
    std::fclose(f);
    return total;
}

bool StartsWith(const std::vector<uint8_t>& head, size_t at, const char* text, size_t n) {
    return head.size() >= at + n && std::memcmp(head.data() + at, text, n) == 0;
}

// A picture format LibRaw might take for headerless raw data of the same
// size: a JPEG (unless a raw format wraps its data in a JPEG's Exif
// segment, which then holds no JPEG marker after it) or a PNG.
const char* PictureFormat(const std::string& path) {
    const std::vector<uint8_t> head = FirstBytes(path, 16);
    if (StartsWith(head, 0, "\x89PNG", 4)) return "PNG";
    if (!StartsWith(head, 0, "\xff\xd8\xff", 3)) return nullptr;
    if (StartsWith(head, 3, "\xe1", 1) && StartsWith(head, 6, "Exif", 4)) {
        const size_t app1 = size_t(head[4]) << 8 | head[5];
        const std::vector<uint8_t> after = FirstBytes(path, 4 + app1 + 1);
        if (after.size() == 4 + app1 + 1 && after.back() != 0xff) return nullptr;
    }
    return "JPEG";
}

// Whether the start of the file is that of a raw format: a file cut short
// before LibRaw could identify it is damaged, not of an unknown format.
bool StartsLikeRaw(const std::vector<uint8_t>& h) {
    return StartsWith(h, 0, "II*\0", 4) || StartsWith(h, 0, "MM\0*", 4) ||
           StartsWith(h, 6, "HEAPCCDR", 8) || StartsWith(h, 0, "FUJIFILM", 8) ||
           StartsWith(h, 0, "\0MRM", 4) || StartsWith(h, 0, "IIRO", 4) ||
           StartsWith(h, 0, "IIRS", 4) || StartsWith(h, 0, "MMOR", 4) ||
           StartsWith(h, 0, "IIU\0", 4) || StartsWith(h, 0, "FOVb", 4) ||
           StartsWith(h, 4, "ftypcrx", 7) || StartsWith(h, 0, "IIII", 4);
}

int OnProgress(void* data, LibRaw_progress, int, int) {
    const auto* end = static_cast<const std::chrono::steady_clock::time_point*>(data);
    return std::chrono::steady_clock::now() > *end ? 1 : 0;
}

}  // namespace

// The file as LibRaw reads it, cut off at the decode's deadline: LibRaw's
// parsers can loop for ever on a hostile file without reaching a progress
// callback, but not without reading it.
class LibRawSource::TimedStream : public LibRaw_file_datastream {
public:
    TimedStream(const char* path, std::chrono::steady_clock::time_point end)
        : LibRaw_file_datastream(path), end_(end) {}
    int read(void* p, size_t size, size_t n) override {
        check();
        return LibRaw_file_datastream::read(p, size, n);
    }
    int seek(INT64 offset, int whence) override {
        check();
        return LibRaw_file_datastream::seek(offset, whence);
    }
    int get_char() override {
        check();
        return LibRaw_file_datastream::get_char();
    }
    char* gets(char* text, int size) override {
        check();
        return LibRaw_file_datastream::gets(text, size);
    }
    int scanf_one(const char* format, void* value) override {
        check();
        return LibRaw_file_datastream::scanf_one(format, value);
    }

private:
    void check() {
        // The clock every 1024 calls: get_char runs once a byte.
        if ((++calls_ & 1023) == 0 && std::chrono::steady_clock::now() > end_) expired_ = true;
        if (expired_) throw LIBRAW_EXCEPTION_CANCELLED_BY_CALLBACK;
    }
    std::chrono::steady_clock::time_point end_;
    uint64_t calls_ = 0;
    bool expired_ = false;
};

namespace {

// LibRaw's own handlers print to the standard error.
void OnDataError(void*, const char* file, const int offset) {
    platform::log("LibRaw: data error in %s at %d", file ? file : "?", offset);
}

void OnMemoryError(void*, const char* file, const char* where) {
    platform::log("LibRaw: memory error in %s (%s)", file ? file : "?", where ? where : "?");
}

// dcraw-style flip (bit 0 mirror left-right, bit 1 top-bottom, bit 2
// transpose) as a TIFF orientation.
uint32_t TiffOrientation(int flip) {
    static const uint32_t kTiff[8] = {1, 2, 4, 3, 5, 8, 6, 7};
    return kTiff[flip & 7];
}

// The loaders whose data take a fixed number of bits per sample, at least
// 8; all others compress, at no less than one bit per block of 64 pixels.
bool FixedRate(const char* loader) {
    static const char* const kFixed[] = {"packed_load_raw",
                                         "unpacked_load_raw",
                                         "unpacked_load_raw_reversed",
                                         "unpacked_load_raw_FujiDBP",
                                         "eight_bit_load_raw",
                                         "panasonic_load_raw",
                                         "kodak_dc120_load_raw",
                                         "nokia_load_raw",
                                         "sony_arw2_load_raw",
                                         "sony_load_raw",
                                         "android_loose_load_raw",
                                         "android_tight_load_raw",
                                         "canon_rmf_load_raw",
                                         "fuji_14bit_load_raw",
                                         "nikon_load_striped_packed_raw",
                                         "phase_one_load_raw",
                                         "sinar_4shot_load_raw",
                                         "kodak_rgb_load_raw",
                                         "kodak_c330_load_raw",
                                         "kodak_c603_load_raw"};
    for (const char* name : kFixed)
        if (loader && std::strncmp(loader, name, std::strlen(name)) == 0 &&
            loader[std::strlen(name)] == '(')
            return true;
    return false;
}

std::string Megabytes(double bytes) {
    char text[32];
    if (bytes < 1e6)
        std::snprintf(text, sizeof text, "%.0f KB", std::ceil(bytes / 1e3));
    else
        std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    return text;
}

using Matrix3 = std::array<std::array<double, 3>, 3>;

bool Invert3(const Matrix3& m, Matrix3& out) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (!(std::fabs(det) > 1e-12)) return false;
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            out[size_t(r)][size_t(c)] = (m[size_t(r1)][size_t(c1)] * m[size_t(r2)][size_t(c2)] -
                                         m[size_t(r1)][size_t(c2)] * m[size_t(r2)][size_t(c1)]) /
                                        det;
        }
    return true;
}

bool Usable(const Matrix3& m) {
    Matrix3 inverse;
    for (const auto& row : m)
        for (double v : row)
            if (!std::isfinite(v)) return false;
    return Invert3(m, inverse);
}

// Linear sRGB (D65) from XYZ.
const Matrix3 kSRGBFromXYZ = {{{3.2404542, -1.5371385, -0.4985314},
                               {-0.9692660, 1.8760108, 0.0415560},
                               {0.0556434, -0.2040259, 1.0572252}}};

std::string Text(const char* s, size_t n) {
    std::string t(s, strnlen(s, n));
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}

std::string ExifDate(time_t when) {
    if (when <= 0) return {};
    std::tm t{};
    // LibRaw read the camera's clock as local time; reading it back so
    // gives the camera's own figures.
    if (!localtime_r(&when, &t)) return {};
    char text[80];
    std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", (t.tm_year + 1900) % 10000,
                  (t.tm_mon + 1) % 100, t.tm_mday % 100, t.tm_hour % 100, t.tm_min % 100,
                  t.tm_sec % 100);
    return text;
}

}  // namespace

namespace {

// What the TIFF structure of a file says, read without LibRaw: whether its
// first directory can be read and holds a DNG version, and the first strip
// or tile of image data that lies past the file's end (the chain of
// directories and their sub-directories, at most 32 of them).
struct TiffFacts {
    bool tiff = false;
    bool firstReadable = false;
    bool dng = false;
    uint64_t pastEndOffset = 0;
    uint64_t pastEndBytes = 0;
    uint64_t largestStrip = 0;
};

TiffFacts ReadTiffFacts(const std::string& path) {
    TiffFacts facts;
    std::FILE* f = platform::openRegularFile(path);
    if (!f) return facts;
    std::fseek(f, 0, SEEK_END);
    const uint64_t size = uint64_t(std::max(0L, std::ftell(f)));
    uint8_t head[8] = {};
    std::fseek(f, 0, SEEK_SET);
    const bool little = std::fread(head, 1, 8, f) == 8 && std::memcmp(head, "II*\0", 4) == 0;
    facts.tiff = little || std::memcmp(head, "MM\0*", 4) == 0;
    const auto u = [little](const uint8_t* p, int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; i++) v |= uint64_t(p[little ? i : n - 1 - i]) << (8 * i);
        return v;
    };
    std::vector<uint64_t> pending;
    if (facts.tiff) pending.push_back(u(head + 4, 4));
    for (int visited = 0; !pending.empty() && visited < 32; visited++) {
        const uint64_t at = pending.back();
        pending.pop_back();
        uint8_t count[2];
        if (at >= size || std::fseek(f, long(at), SEEK_SET) != 0 || std::fread(count, 1, 2, f) != 2)
            continue;
        const uint64_t n = std::min<uint64_t>(u(count, 2), 1024);
        std::vector<uint8_t> entries(size_t(n) * 12 + 4);
        if (std::fread(entries.data(), 1, entries.size(), f) != entries.size()) continue;
        if (visited == 0) facts.firstReadable = true;
        uint64_t offset = 0, bytes = 0;
        for (uint64_t i = 0; i < n; i++) {
            const uint8_t* e = entries.data() + 12 * i;
            const uint64_t tag = u(e, 2), type = u(e + 2, 2), items = u(e + 4, 4);
            // The first value only: one offset per directory is enough to tell.
            const uint64_t value = type == 3 && items <= 2 ? u(e + 8, 2) : u(e + 8, 4);
            if (tag == 50706 && visited == 0) facts.dng = true;
            if ((tag == 273 || tag == 324) && items == 1) offset = value;
            if ((tag == 279 || tag == 325) && items == 1) bytes = value;
            if (tag == 330 && items == 1) pending.push_back(value);  // SubIFDs
        }
        facts.largestStrip = std::max(facts.largestStrip, bytes);
        if (bytes > 0 && offset > 0 && offset + bytes > size && facts.pastEndBytes == 0) {
            facts.pastEndOffset = offset;
            facts.pastEndBytes = bytes;
        }
        const uint64_t next = u(entries.data() + n * 12, 4);
        if (next != 0) pending.push_back(next);
    }
    std::fclose(f);
    return facts;
}

}  // namespace

void LibRawSource::setTimeLimit(std::chrono::milliseconds limit) { gTimeLimitMs = limit.count(); }

bool LibRawSource::isDNG(const std::string& path) {
    const TiffFacts facts = ReadTiffFacts(path);
    if (!facts.tiff) return false;
    return facts.dng || (!facts.firstReadable && RawUpperExtension(path) == "DNG");
}

LibRawSource::LibRawSource(const std::string& path)
    : path_(path),
      name_(Quoted(path)),
      deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(gTimeLimitMs.load())),
      raw_(std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE)) {
    if (const char* picture = PictureFormat(path))
        throw RawOpenError("The file " + name_ + " holds a " + picture +
                           " picture, not a camera's raw data.");
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw RawOpenError("The file " + name_ +
                           " could not be opened: there is no file at that path.");
    fileBytes_ = uint64_t(st.st_size);
    // Files of the system (/proc/cpuinfo) report no size but hold bytes:
    // only one that gives none when read is empty.
    if (fileBytes_ == 0) fileBytes_ = BytesWhenRead(path);
    if (fileBytes_ == 0) throw RawOpenError("The file " + name_ + " is empty.");
    if (const TiffFacts facts = ReadTiffFacts(path); facts.pastEndBytes > 0)
        throw RawOpenError("The image data of " + name_ +
                           " are missing or cut short: the file places " +
                           Megabytes(double(facts.pastEndBytes)) + " of them " +
                           (facts.pastEndOffset >= fileBytes_ ? "past its end" : "across its end") +
                           ", and it holds " + Megabytes(double(fileBytes_)) + ".");
    raw_->set_dataerror_handler(OnDataError, nullptr);
    raw_->set_memerror_handler(OnMemoryError, nullptr);
    auto& p = raw_->imgdata.params;
    p.max_raw_memory_mb = kMostRawMemoryMB;
    stream_ = std::make_unique<TimedStream>(path.c_str(), deadline_);
    if (!stream_->valid())
        throw RawOpenError("The file " + name_ + " could not be opened: it cannot be read.");
    if (const int code = raw_->open_datastream(stream_.get()); code != LIBRAW_SUCCESS)
        fail(code, "open");
    const auto& id = raw_->imgdata.idata;
    const auto& s = raw_->imgdata.sizes;
    make_ = Text(id.make, sizeof id.make);
    model_ = Text(id.model, sizeof id.model);
    width_ = s.width;
    height_ = s.height;
    orientation_ = TiffOrientation(s.flip);
    pixelAspect_ = s.pixel_aspect > 0.1 && s.pixel_aspect < 10 ? s.pixel_aspect : 1.0;
    checkSizes();

    // Which road the data takes: our demosaics for a plain Bayer mosaic.
    const bool plainRaw =
        !id.is_foveon && !raw_->is_sraw() && !raw_->is_fuji_rotated() && !raw_->is_floating_point();
    if (id.colors == 1 && id.filters == 0 && plainRaw) {
        layout_ = Layout::Monochrome;
        return;
    }
    if (plainRaw && id.colors == 3 && id.filters > 1000) {
        std::array<CFAColor, 4> colors{};
        bool bayer = true;
        for (uint32_t r = 0; r < 8 && bayer; r++)
            for (uint32_t c = 0; c < 2 && bayer; c++) {
                const int code = raw_->COLOR(int(r), int(c));
                bayer = code >= 0 && code < 4 && code == raw_->COLOR(int(r & 1), int(c));
                if (!bayer) break;
                const char letter = id.cdesc[code];
                bayer = letter == 'R' || letter == 'G' || letter == 'B';
                if (bayer && r < 2)
                    colors[r * 2 + c] = letter == 'R'
                                            ? CFAColor::Red
                                            : (letter == 'G' ? CFAColor::Green : CFAColor::Blue);
            }
        if (bayer) pattern_ = CFAPattern::fromColors(colors);
        if (pattern_) layout_ = Layout::Bayer;
    }
}

LibRawSource::~LibRawSource() = default;

void LibRawSource::fail(int code, const char* during) const {
    platform::log("LibRaw: %s of %s: %s", during, path_.c_str(), libraw_strerror(code));
    switch (code) {
        case LIBRAW_IO_ERROR:
            if (std::strcmp(during, "open") != 0)
                throw RawOpenError("The image data of " + name_ +
                                   " are missing or cut short: the file ends before them.");
            [[fallthrough]];
        case LIBRAW_FILE_UNSUPPORTED: {
            // A maker's file too short for any raw file's directories is cut
            // short rather than of an unknown format (a TIFF-based one says
            // so by its strips, read before LibRaw).
            const std::vector<uint8_t> head = FirstBytes(path_, 16);
            // A camera's TIFF-based file whose image went: no strip holds
            // even the smallest picture.
            const std::string make =
                Text(raw_->imgdata.idata.make, sizeof raw_->imgdata.idata.make);
            if (const TiffFacts facts = ReadTiffFacts(path_);
                facts.tiff && !make.empty() && facts.largestStrip < 4096)
                throw RawOpenError("The image data of " + name_ +
                                   " are missing or cut short: this " + make +
                                   " file's largest block of image data holds " +
                                   std::to_string(facts.largestStrip) + " bytes.");
            if (StartsLikeRaw(head) && !StartsWith(head, 0, "II*\0", 4) &&
                !StartsWith(head, 0, "MM\0*", 4) && fileBytes_ < 64 * 1024)
                throw RawOpenError("The image data of " + name_ +
                                   " are missing or cut short: the file (" +
                                   Megabytes(double(fileBytes_)) +
                                   ") ends before any image could be found in it.");
            throw Unsupported(path_, "it is no camera raw format that Quorvex decodes");
        }
        case LIBRAW_UNSUFFICIENT_MEMORY:
            throw RawOpenError("There is not enough memory to decode " + name_ + ".");
        case LIBRAW_TOO_BIG:
            throw RawOpenError("The image of " + name_ + " is larger than this system decodes.");
        case LIBRAW_CANCELLED_BY_CALLBACK:
            throw RawOpenError("Decoding " + name_ + " was stopped: it took longer than " +
                               std::to_string(gTimeLimitMs.load() / 1000) +
                               " seconds, so its data are most likely damaged.");
        case LIBRAW_NOT_IMPLEMENTED:
            throw Unsupported(path_, "its " + make_ + " " + model_ +
                                         " data are stored in a way Quorvex does not decode");
        default:
            throw RawOpenError("The raw file " + name_ + " is damaged: its " +
                               (std::strcmp(during, "open") == 0 ? "description" : "image data") +
                               " cannot be read.");
    }
}

void LibRawSource::checkSizes() const {
    const auto& s = raw_->imgdata.sizes;
    const uint64_t sensor = uint64_t(s.raw_width) * s.raw_height;
    if (sensor > kMostSensorPixels || sensor == 0 || s.width == 0 || s.height == 0)
        throw RawOpenError("The image of " + name_ + " is " + std::to_string(s.raw_width) + " x " +
                           std::to_string(s.raw_height) + " pixels, " +
                           (sensor == 0 ? "which is no image" : "more than this system decodes") +
                           ".");
    // Rotated layouts (LibRaw interpolates them) give their turned size.
    if (!raw_->is_fuji_rotated() && (uint32_t(s.top_margin) + s.height > s.raw_height ||
                                     uint32_t(s.left_margin) + s.width > s.raw_width))
        throw RawOpenError("The raw file " + name_ +
                           " is damaged: its visible area lies outside its sensor's.");
    const auto [w, h] = orientedSize();
    if (w > 65535 || h > 65535)
        throw RawOpenError("The image of " + name_ + " is " + std::to_string(w) + " x " +
                           std::to_string(h) + " pixels; this system handles 1 to 65535 per side.");
}

std::pair<uint32_t, uint32_t> LibRawSource::orientedSize() const {
    uint32_t w = width_, h = height_;
    if (pixelAspect_ > 1.0)
        w = uint32_t(w * pixelAspect_);
    else if (pixelAspect_ < 1.0)
        h = uint32_t(h / pixelAspect_);
    if (orientation_ >= 5) std::swap(w, h);
    return {std::max(1u, w), std::max(1u, h)};
}

// LibRaw reads past a file's end as zeros for several formats (a stripped
// file becomes a picture of noise), so the file must reach as far as the
// least its image data can take.
void LibRawSource::checkDataPresent() const {
    const auto* internal = raw_->get_internal_data_pointer();
    const uint64_t offset = uint64_t(std::max<INT64>(0, internal->unpacker_data.data_offset));
    const auto& s = raw_->imgdata.sizes;
    const double pixels = double(s.raw_width) * s.raw_height;
    const bool fixed = FixedRate(raw_->unpack_function_name());
    const double least = fixed ? pixels : pixels / 512;
    if (offset < fileBytes_ && double(fileBytes_ - offset) >= least) return;
    const std::string what = make_.empty() ? std::string("its") : "its " + make_ + " " + model_;
    throw RawOpenError(
        "The image data of " + name_ + " are missing or cut short: " + what + " image of " +
        std::to_string(s.raw_width) + " x " + std::to_string(s.raw_height) +
        " pixels needs at least " + Megabytes(least) +
        (fixed ? "" : " even as tightly as it is compressed") + ", and the file holds " +
        (offset < fileBytes_ ? Megabytes(double(fileBytes_ - offset)) : std::string("nothing")) +
        " after its description.");
}

void LibRawSource::unpack() {
    if (unpacked_) return;
    checkDataPresent();
    const auto start = std::chrono::steady_clock::now();
    raw_->set_progress_handler(OnProgress, &deadline_);
    const int code = raw_->unpack();
    raw_->set_progress_handler(nullptr, nullptr);
    platform::log("LibRaw: unpacked %s (%s) in %.3f s", path_.c_str(), raw_->unpack_function_name(),
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (code != LIBRAW_SUCCESS) fail(code, "unpack");
    if (raw_->error_count() > 0)
        throw RawOpenError("The image data of " + name_ +
                           " are damaged or cut short: the decoder found " +
                           std::to_string(raw_->error_count()) + " faults in them.");
    if (std::chrono::steady_clock::now() > deadline_) fail(LIBRAW_CANCELLED_BY_CALLBACK, "unpack");
    unpacked_ = true;
}

RawSamples LibRawSource::readPlane(unsigned bands) {
    const auto& s = raw_->imgdata.sizes;
    const auto& c = raw_->imgdata.color;
    const uint16_t* raw = raw_->imgdata.rawdata.raw_image;
    if (!raw || s.raw_pitch < 2u * s.raw_width)
        throw RawOpenError("The raw file " + name_ +
                           " is damaged: its sensor data did not decode.");
    const size_t pitch = s.raw_pitch / 2;
    // Black per position: the common level, the level of the pixel's colour
    // and the file's repeating pattern, if any.
    const uint32_t patternRows = c.cblack[4], patternCols = c.cblack[5];
    const bool havePattern = patternRows > 0 && patternCols > 0 &&
                             uint64_t(patternRows) * patternCols <= LIBRAW_CBLACK_SIZE - 6;
    const bool grey = layout_ == Layout::Monochrome;
    std::array<std::array<float, 4>, 4> scale{}, black{};
    for (uint32_t r = 0; r < 2; r++)
        for (uint32_t col = 0; col < 2; col++) {
            const int code = grey ? 0 : raw_->COLOR(int(r), int(col));
            const double b = double(c.black) + c.cblack[size_t(code & 3)];
            if (!(double(c.maximum) > b))
                throw RawOpenError("The raw file " + name_ +
                                   " is damaged: its white level is not above its black level.");
            black[r][col] = float(b);
            scale[r][col] = float(65535.0 / (double(c.maximum) - b));
        }
    RawSamples out(size_t(width_) * height_);
    platform::RunInRowBands(height_, bands, [&](uint32_t first, uint32_t end) {
        for (uint32_t y = first; y < end; y++) {
            const uint16_t* in = raw + size_t(y + s.top_margin) * pitch + s.left_margin;
            uint16_t* o = out.data() + size_t(y) * width_;
            for (uint32_t x = 0; x < width_; x++) {
                float b = black[y & 1][x & 1];
                if (havePattern)
                    b += float(c.cblack[6 + (y % patternRows) * patternCols + x % patternCols]);
                const float v = (float(in[x]) - b) * scale[y & 1][x & 1];
                o[x] = uint16_t(std::clamp(v + 0.5f, 0.0f, 65535.0f));
            }
        }
    });
    return out;
}

RawSamples LibRawSource::readInterpolated(const std::array<double, 3>& neutral, bool halfSize,
                                          uint32_t& width, uint32_t& height) {
    auto& p = raw_->imgdata.params;
    p.output_color = raw_->imgdata.idata.colors == 3 ? 0 : 1;  // camera RGB where it has three
    p.output_bps = 16;
    p.gamm[0] = p.gamm[1] = 1.0;
    p.no_auto_bright = 1;
    p.use_auto_wb = 0;
    p.use_camera_wb = 0;
    p.user_flip = 0;
    p.half_size = halfSize ? 1 : 0;
    p.highlight = 0;
    p.user_qual = 3;  // AHD
    for (int c = 0; c < 3; c++)
        p.user_mul[c] = float(neutral[size_t(c)] > 0 ? 1.0 / neutral[size_t(c)] : 1.0);
    p.user_mul[3] = p.user_mul[1];
    raw_->set_progress_handler(OnProgress, &deadline_);
    int code = raw_->dcraw_process();
    raw_->set_progress_handler(nullptr, nullptr);
    if (code != LIBRAW_SUCCESS) fail(code, "interpolation");
    libraw_processed_image_t* image = raw_->dcraw_make_mem_image(&code);
    if (!image) fail(code ? code : LIBRAW_UNSUFFICIENT_MEMORY, "interpolation");
    std::unique_ptr<libraw_processed_image_t, void (*)(libraw_processed_image_t*)> owned(
        image, [](libraw_processed_image_t* i) { LibRaw::dcraw_clear_mem(i); });
    if (image->type != LIBRAW_IMAGE_BITMAP || image->bits != 16 ||
        (image->colors != 3 && image->colors != 1) || image->width == 0 || image->height == 0)
        throw RawOpenError("The raw file " + name_ + " did not decode to a picture.");
    width = image->width;
    height = image->height;
    const size_t pixels = size_t(width) * height;
    RawSamples out(pixels * 3);
    const auto* in = reinterpret_cast<const uint16_t*>(image->data);
    for (size_t i = 0; i < pixels; i++)
        for (size_t c = 0; c < 3; c++) out[3 * i + c] = in[image->colors == 3 ? 3 * i + c : i];
    return out;
}

LibRawSource::Colour LibRawSource::colour() const {
    const auto& col = raw_->imgdata.color;
    Colour out;
    Matrix3 m{};
    // A DNG's own matrices, when it goes this way.
    if (raw_->imgdata.idata.dng_version != 0) {
        int found = 0;
        for (const auto& d : col.dng_color) {
            Matrix3 dm{};
            for (size_t r = 0; r < 3; r++)
                for (size_t c = 0; c < 3; c++) dm[r][c] = d.colormatrix[r][c];
            if (d.illuminant == 0 || d.illuminant > 255 || !Usable(dm)) continue;
            if (found == 0) {
                out.cameraFromXYZ1 = dm;
                out.illuminant1 = d.illuminant;
            } else {
                out.cameraFromXYZ2 = dm;
                out.illuminant2 = d.illuminant;
            }
            found++;
        }
        if (found > 0) m = out.cameraFromXYZ1;
    }
    if (!Usable(m)) {
        for (size_t r = 0; r < 3; r++)
            for (size_t c = 0; c < 3; c++) m[r][c] = col.cam_xyz[r][c];
        out.illuminant1 = 21;
    }
    if (!Usable(m)) {
        // No per-model matrix: LibRaw's camera-to-sRGB matrix (identity when
        // it knows nothing), for balanced data, taken back to XYZ.
        Matrix3 rgbCam{}, camRgb{};
        for (size_t r = 0; r < 3; r++)
            for (size_t c = 0; c < 3; c++) rgbCam[r][c] = col.rgb_cam[r][c];
        if (!Invert3(rgbCam, camRgb)) camRgb = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
        for (size_t r = 0; r < 3; r++)
            for (size_t c = 0; c < 3; c++) {
                double v = 0;
                for (size_t k = 0; k < 3; k++) v += camRgb[r][k] * kSRGBFromXYZ[k][c];
                const double daylight = col.pre_mul[r] > 0 ? 1.0 / col.pre_mul[r] : 1.0;
                m[r][c] = v * daylight;
            }
    }
    out.cameraFromXYZ1 = m;
    // The as-shot multipliers; else the daylight ones.
    std::array<double, 3> mul{};
    for (size_t c = 0; c < 3; c++) mul[c] = col.cam_mul[c];
    if (!(mul[0] > 0 && mul[1] > 0 && mul[2] > 0))
        for (size_t c = 0; c < 3; c++) mul[c] = col.pre_mul[c];
    if (mul[0] > 0 && mul[1] > 0 && mul[2] > 0) {
        std::array<double, 3> n{1 / mul[0], 1 / mul[1], 1 / mul[2]};
        const double largest = std::max({n[0], n[1], n[2]});
        for (size_t c = 0; c < 3; c++) out.asShotNeutral[c] = n[c] / largest;
    }
    return out;
}

bool LibRawSource::interpolatesInCameraRGB() const { return raw_->imgdata.idata.colors == 3; }

bool LibRawSource::statesWhiteBalance() const {
    const float* mul = raw_->imgdata.color.cam_mul;
    return mul[0] > 0 && mul[1] > 0 && mul[2] > 0;
}

bool LibRawSource::readPreview(std::vector<uint8_t>& jpeg, std::vector<uint8_t>& rgb,
                               uint32_t& width, uint32_t& height) {
    const auto& t = raw_->imgdata.thumbnail;
    if (t.twidth == 0 || t.theight == 0 || t.tlength == 0 || t.tlength > fileBytes_) return false;
    if (raw_->unpack_thumb() != LIBRAW_SUCCESS || !t.thumb) return false;
    width = t.twidth;
    height = t.theight;
    if (t.tformat == LIBRAW_THUMBNAIL_JPEG) {
        jpeg.assign(t.thumb, t.thumb + t.tlength);
        return true;
    }
    if (t.tformat != LIBRAW_THUMBNAIL_BITMAP || t.tcolors != 3 ||
        uint64_t(width) * height * 3 != t.tlength)
        return false;
    rgb.assign(t.thumb, t.thumb + t.tlength);
    return true;
}

platform::Dictionary LibRawSource::metadata(uint32_t width, uint32_t height, uint32_t depth) const {
    using platform::Dictionary;
    using platform::Value;
    const auto& d = raw_->imgdata;
    Dictionary top, tiff, exif, aux, gps;
    top.set(kCGImagePropertyPixelWidth, int64_t(width));
    top.set(kCGImagePropertyPixelHeight, int64_t(height));
    top.set(kCGImagePropertyDepth, int64_t(depth));
    if (!make_.empty()) tiff.set(kCGImagePropertyTIFFMake, make_);
    if (!model_.empty()) tiff.set(kCGImagePropertyTIFFModel, model_);
    tiff.set(kCGImagePropertyTIFFOrientation, int64_t(orientation_));
    if (std::string s = Text(d.idata.software, sizeof d.idata.software); !s.empty())
        tiff.set(kCGImagePropertyTIFFSoftware, s);
    if (std::string s = Text(d.other.desc, sizeof d.other.desc); !s.empty())
        tiff.set(kCGImagePropertyTIFFImageDescription, s);
    if (std::string s = Text(d.other.artist, sizeof d.other.artist); !s.empty())
        tiff.set(kCGImagePropertyTIFFArtist, s);
    const std::string date = ExifDate(d.other.timestamp);
    if (!date.empty()) {
        tiff.set(kCGImagePropertyTIFFDateTime, date);
        exif.set(kCGImagePropertyExifDateTimeOriginal, date);
    }
    if (d.other.shutter > 0) exif.set(kCGImagePropertyExifExposureTime, double(d.other.shutter));
    if (d.other.aperture > 0) exif.set(kCGImagePropertyExifFNumber, double(d.other.aperture));
    if (d.other.iso_speed > 0)
        exif.set(kCGImagePropertyExifISOSpeedRatings,
                 Value(Value::Array{int64_t(std::lround(d.other.iso_speed))}));
    if (d.other.focal_len > 0) exif.set(kCGImagePropertyExifFocalLength, double(d.other.focal_len));
    if (d.lens.FocalLengthIn35mmFormat > 0)
        exif.set(kCGImagePropertyExifFocalLenIn35mmFilm, int64_t(d.lens.FocalLengthIn35mmFormat));
    if (std::string s = Text(d.lens.LensMake, sizeof d.lens.LensMake); !s.empty())
        exif.set(kCGImagePropertyExifLensMake, s);
    std::string lens = Text(d.lens.Lens, sizeof d.lens.Lens);
    if (lens.empty()) lens = Text(d.lens.makernotes.Lens, sizeof d.lens.makernotes.Lens);
    if (!lens.empty()) aux.set(kCGImagePropertyExifAuxLensModel, lens);
    if (d.lens.MinFocal > 0 && d.lens.MaxFocal >= d.lens.MinFocal)
        aux.set(kCGImagePropertyExifAuxLensInfo,
                Value(Value::Array{double(d.lens.MinFocal), double(d.lens.MaxFocal),
                                   double(d.lens.MaxAp4MinFocal), double(d.lens.MaxAp4MaxFocal)}));
    if (std::string s = Text(d.shootinginfo.BodySerial, sizeof d.shootinginfo.BodySerial);
        !s.empty())
        aux.set(kCGImagePropertyExifAuxSerialNumber, s);
    const auto& g = d.other.parsed_gps;
    if (g.gpsparsed) {
        const auto degrees = [](const float(&dms)[3]) {
            return double(dms[0]) + double(dms[1]) / 60.0 + double(dms[2]) / 3600.0;
        };
        if (g.latref) gps.set(kCGImagePropertyGPSLatitudeRef, std::string(1, g.latref));
        gps.set(kCGImagePropertyGPSLatitude, degrees(g.latitude));
        if (g.longref) gps.set(kCGImagePropertyGPSLongitudeRef, std::string(1, g.longref));
        gps.set(kCGImagePropertyGPSLongitude, degrees(g.longitude));
        gps.set(kCGImagePropertyGPSAltitudeRef, int64_t(g.altref ? 1 : 0));
        gps.set(kCGImagePropertyGPSAltitude, double(g.altitude));
        char stamp[48];
        std::snprintf(stamp, sizeof stamp, "%02u:%02u:%05.2f", unsigned(g.gpstimestamp[0]) % 100u,
                      unsigned(g.gpstimestamp[1]) % 100u, double(g.gpstimestamp[2]));
        gps.set(kCGImagePropertyGPSTimeStamp, std::string(stamp));
    }
    for (auto [key, group] :
         {std::pair<const char*, Dictionary*>{kCGImagePropertyTIFFDictionary, &tiff},
          {kCGImagePropertyExifDictionary, &exif},
          {kCGImagePropertyExifAuxDictionary, &aux},
          {kCGImagePropertyGPSDictionary, &gps}})
        if (!group->empty()) top.set(key, Value(std::move(*group)));
    return top;
}

RawSamples RawStretch(const RawSamples& rgb, uint32_t width, uint32_t height, bool alongRows,
                      uint32_t newSize) {
    const uint32_t outW = alongRows ? newSize : width, outH = alongRows ? height : newSize;
    RawSamples out(size_t(outW) * outH * 3);
    const uint32_t from = alongRows ? width : height;
    platform::RunInRowBands(outH, 8, [&](uint32_t first, uint32_t end) {
        for (uint32_t y = first; y < end; y++)
            for (uint32_t x = 0; x < outW; x++) {
                const uint32_t at = alongRows ? x : y;
                const double pos = std::max(0.0, (at + 0.5) * from / double(newSize) - 0.5);
                const uint32_t i0 = std::min<uint32_t>(uint32_t(pos), from - 1);
                const uint32_t i1 = std::min(i0 + 1, from - 1);
                const float f = float(pos - i0);
                const uint16_t* a =
                    rgb.data() + 3 * (alongRows ? size_t(y) * width + i0 : size_t(i0) * width + x);
                const uint16_t* b =
                    rgb.data() + 3 * (alongRows ? size_t(y) * width + i1 : size_t(i1) * width + x);
                uint16_t* o = out.data() + 3 * (size_t(y) * outW + x);
                for (int c = 0; c < 3; c++) o[c] = uint16_t(a[c] + f * (float(b[c]) - a[c]) + 0.5f);
            }
    });
    return out;
}
