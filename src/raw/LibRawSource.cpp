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
#include <numeric>

#include "dng/color/dng_temperature.h"
#include "platform/Colorimetry.h"
#include "platform/Error.h"
#include "platform/InputFile.h"
#include "platform/LibraryMessages.h"
#include "platform/Log.h"
#include "platform/RowBands.h"
#include "raw/RawFileFacts.h"
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
        const int got = LibRaw_file_datastream::read(p, size, n);
        if (got >= 0 && size_t(got) < n) missedInBlocks_ += (n - size_t(got)) * size;
        return got;
    }
    int seek(INT64 offset, int whence) override {
        check();
        return LibRaw_file_datastream::seek(offset, whence);
    }
    int get_char() override {
        check();
        const int c = LibRaw_file_datastream::get_char();
        if (c < 0) missedBytes_++;
        return c;
    }
    // Bytes asked for past the file's end since the counts were last reset
    // (LibRaw takes whatever its buffer held for them): one at a time, as
    // bit readers ask, and in blocks.
    uint64_t missedBytes() const { return missedBytes_; }
    uint64_t missedInBlocks() const { return missedInBlocks_; }
    void resetMissed() { missedBytes_ = missedInBlocks_ = 0; }
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
        // The clock at the first call and every 1024th: get_char runs once a byte.
        if ((calls_++ & 1023) == 0 && std::chrono::steady_clock::now() > end_) expired_ = true;
        if (expired_) throw LIBRAW_EXCEPTION_CANCELLED_BY_CALLBACK;
    }
    std::chrono::steady_clock::time_point end_;
    uint64_t calls_ = 0;
    uint64_t missedBytes_ = 0;
    uint64_t missedInBlocks_ = 0;
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

// The white whose camera response is `neutral`; nullopt when the matrix
// gives none with positive chromaticities.
std::optional<dng_xy_coord> WhiteOf(const Matrix3& cameraFromXYZ,
                                    const std::array<double, 3>& neutral) {
    Matrix3 xyzFromCamera{};
    if (!Invert3(cameraFromXYZ, xyzFromCamera)) return std::nullopt;
    std::array<double, 3> xyz{};
    for (size_t r = 0; r < 3; r++)
        for (size_t c = 0; c < 3; c++) xyz[r] += xyzFromCamera[r][c] * neutral[c];
    const double sum = xyz[0] + xyz[1] + xyz[2];
    if (!(sum > 0) || !(xyz[0] > 0) || !(xyz[1] > 0)) return std::nullopt;
    return dng_xy_coord(xyz[0] / sum, xyz[1] / sum);
}

// Whether the as-shot multipliers are all within a quarter of each other:
// data the camera balanced before storing them. A sensor's own red and blue
// lie much further from its green under any light.
bool NearOne(const std::array<double, 3>& mul) {
    if (!(mul[0] > 0 && mul[1] > 0 && mul[2] > 0)) return false;
    const auto [least, most] = std::minmax({mul[0], mul[1], mul[2]});
    return most <= 1.25 * least;
}

// The matrix with its rows scaled so that D65 gives `neutral`, green's row
// kept; the matrix itself when D65 gives no positive camera value.
Matrix3 DaylightAt(const Matrix3& cameraFromXYZ, const std::array<double, 3>& neutral) {
    namespace cm = platform::colorimetry;
    const std::array<double, 3> d65{cm::kD65White.x / cm::kD65White.y, 1.0,
                                    (1 - cm::kD65White.x - cm::kD65White.y) / cm::kD65White.y};
    std::array<double, 3> camera{};
    for (size_t r = 0; r < 3; r++)
        for (size_t c = 0; c < 3; c++) camera[r] += cameraFromXYZ[r][c] * d65[c];
    if (!(camera[0] > 0 && camera[1] > 0 && camera[2] > 0)) return cameraFromXYZ;
    Matrix3 out = cameraFromXYZ;
    for (size_t r = 0; r < 3; r++)
        for (double& e : out[r]) e *= (neutral[r] / camera[r]) / (neutral[1] / camera[1]);
    return out;
}

LibRawSource::ColourValues ColourValuesOf(const libraw_colordata_t& col) {
    LibRawSource::ColourValues v;
    for (size_t c = 0; c < 3; c++) {
        v.asShot[c] = col.cam_mul[c];
        v.daylight[c] = col.pre_mul[c];
        for (size_t k = 0; k < 3; k++) {
            v.cameraFromXYZ[c][k] = col.cam_xyz[c][k];
            v.rgbFromCamera[c][k] = col.rgb_cam[c][k];
        }
    }
    v.balancedInCamera = col.as_shot_wb_applied != 0;
    return v;
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

// The camera's clock as the file states it. LibRaw turns a date text into a
// time through the machine's zone, which reading it back the same way
// undoes; a count of seconds it takes as it stands, to be read as UTC.
std::string ExifDate(time_t when, bool clockIsUTC) {
    if (when <= 0) return {};
    std::tm t{};
    if (!(clockIsUTC ? gmtime_r(&when, &t) : localtime_r(&when, &t))) return {};
    char text[80];
    std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", (t.tm_year + 1900) % 10000,
                  (t.tm_mon + 1) % 100, t.tm_mday % 100, t.tm_hour % 100, t.tm_min % 100,
                  t.tm_sec % 100);
    return text;
}

}  // namespace

void LibRawSource::setTimeLimit(std::chrono::milliseconds limit) { gTimeLimitMs = limit.count(); }

bool LibRawSource::isDNG(const std::string& path) {
    const RawFileFacts facts = RawFileFacts::read(path);
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
    facts_ = RawFileFacts::read(path);
    if (facts_.pastEndBytes > 0)
        throw RawOpenError(
            "The image data of " + name_ + " are missing or cut short: the file places " +
            Megabytes(double(facts_.pastEndBytes)) + " of them " +
            (facts_.pastEndOffset >= fileBytes_ ? "past its end" : "across its end") +
            ", and it holds " + Megabytes(double(fileBytes_)) + ".");
    // libjpeg inside LibRaw writes to the log, not the terminal.
    if (!platform::libraryMessagesGoToLog()) platform::log("libjpeg messages reach stderr");
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
    // Kept now: a failed unpack clears them.
    const auto& unpacker = raw_->get_internal_data_pointer()->unpacker_data;
    dataOffset_ = uint64_t(std::max<INT64>(0, unpacker.data_offset));
    dataSize_ = uint64_t(std::max<INT64>(0, unpacker.data_size));
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
        if (pattern_) mosaicLayout_ = CFALayout::fromBayer(*pattern_);
    }
    // The 6 x 6 layout goes to our own demosaic too.
    if (plainRaw && id.colors == 3 && id.filters == 9) {
        std::array<uint8_t, 36> planes{};
        for (uint32_t i = 0; i < 36; i++) {
            const int code = raw_->COLOR(int(i / 6), int(i % 6));
            const char letter = code >= 0 && code < 4 ? id.cdesc[code] : '?';
            planes[i] = letter == 'R' ? 0 : letter == 'G' ? 1 : letter == 'B' ? 2 : 255;
        }
        mosaicLayout_ = CFALayout::fromColors(6, 6, planes.data());
        if (mosaicLayout_ && mosaicLayout_->isXTrans())
            layout_ = Layout::XTrans;
        else
            mosaicLayout_.reset();
    }
}

LibRawSource::~LibRawSource() = default;

void LibRawSource::fail(int code, const char* during) const {
    platform::log("LibRaw: %s of %s: %s", during, path_.c_str(), libraw_strerror(code));
    switch (code) {
        case LIBRAW_IO_ERROR:
            if (std::strcmp(during, "open") != 0) failPastEnd(0);
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
            if (facts_.tiff && !make.empty() && facts_.largestStrip < 4096)
                throw RawOpenError("The image data of " + name_ +
                                   " are missing or cut short: this " + make +
                                   " file's largest block of image data holds " +
                                   RawByteCount(facts_.largestStrip) + ".");
            if (StartsLikeRaw(head) && !StartsWith(head, 0, "II*\0", 4) &&
                !StartsWith(head, 0, "MM\0*", 4) && fileBytes_ < 64 * 1024)
                throw RawOpenError("The image data of " + name_ +
                                   " are missing or cut short: the file (" +
                                   Megabytes(double(fileBytes_)) +
                                   ") ends before any image could be found in it.");
            if (facts_.tiffPicture)
                throw RawOpenError("The file " + name_ +
                                   " holds a TIFF picture, not a camera's raw data.");
            // What begins as a raw format LibRaw knows and then fails is
            // damaged, whatever part of it went.
            if (!facts_.format.empty())
                throw RawDamagedFormat(path_, facts_.format,
                                       fileBytes_ < 16 ? "it ends after " + RawByteCount(fileBytes_)
                                       : std::strcmp(during, "open") == 0
                                           ? "its description cannot be read to the end"
                                           : "its image data cannot be read to the end",
                                       facts_.tiff && facts_.directoriesIntact);
            if (RawNamesKnownFormat(path_)) throw LibRawUnsupported(RawUnknownFormat(path_));
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

void LibRawSource::failPastEnd(uint64_t missing) const {
    const uint64_t offset = dataOffset_, size = dataSize_;
    // A file that holds all the image data it declares has its full length:
    // what the decoder missed, damage made it look for.
    if (size > 0 && offset < fileBytes_ && size <= fileBytes_ - offset)
        throw RawOpenError("The image data of " + name_ +
                           " are damaged: the file holds all of them, but they do not decode to "
                           "their end.");
    // Where the file does not say how long they are, damage that made the
    // decoder look further reads the same as a cut.
    if (offset > 0 && offset < fileBytes_)
        throw RawOpenError(
            "The image data of " + name_ +
            (size > 0 ? " are cut short" : " are damaged or cut short") +
            ": the file ends inside them" +
            (missing == 0 ? std::string() : ", " + RawByteCount(missing) + " before their end") +
            ".");
    throw RawOpenError("The image data of " + name_ +
                       " are missing or cut short: the file ends before them.");
}

// A fixed-rate loader reads nothing but its image data. A bit reader looks
// a few bytes past data that end with the file. A block may be declared
// longer than the self-ending stream it holds (a JPEG tile), so short
// blocks of a compressed loader do not count.
uint64_t LibRawSource::missingBytes(uint64_t bytes, uint64_t blocks, const char* loader) {
    constexpr uint64_t kLookAhead = 8;
    // Panasonic's loader reads whole 16 KB blocks, the last one past the data.
    constexpr uint64_t kPanasonicBlock = 0x4000;
    if (loader && std::strncmp(loader, "panasonic_load_raw", 18) == 0)
        return bytes + blocks > kPanasonicBlock ? bytes + blocks : 0;
    if (FixedRate(loader)) return bytes + blocks;
    return bytes > kLookAhead ? bytes + blocks : 0;
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
    stream_->resetMissed();
    const unsigned jpegDataEnds = platform::jpegDataEndsOnThisThread();
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
    // A JPEG-coded block may be declared longer than its stream, which
    // ends itself; libjpeg says when the stream ends before the picture.
    if (platform::jpegDataEndsOnThisThread() != jpegDataEnds)
        throw RawOpenError("The image data of " + name_ +
                           " are missing or cut short: they end before the picture does.");
    if (const uint64_t missing = missingBytes(stream_->missedBytes(), stream_->missedInBlocks(),
                                              raw_->unpack_function_name()))
        failPastEnd(missing);
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
    // and the file's repeating pattern, if any; white at the top of the range
    // above each position's own black.
    const uint32_t patternRows = c.cblack[4], patternCols = c.cblack[5];
    const bool havePattern = patternRows > 0 && patternCols > 0 &&
                             uint64_t(patternRows) * patternCols <= LIBRAW_CBLACK_SIZE - 6;
    const bool grey = layout_ == Layout::Monochrome;
    // One period of both the colour layout's repeat (2 x 2, or 6 x 6) and the pattern.
    const uint32_t period = layout_ == Layout::XTrans ? 6 : 2;
    const uint32_t rows = havePattern ? std::lcm(period, patternRows) : period;
    const uint32_t cols = havePattern ? std::lcm(period, patternCols) : period;
    std::vector<float> black(size_t(rows) * cols), scale(size_t(rows) * cols);
    for (uint32_t r = 0; r < rows; r++)
        for (uint32_t col = 0; col < cols; col++) {
            const int code = grey ? 0 : raw_->COLOR(int(r % period), int(col % period));
            double b = double(c.black) + c.cblack[size_t(code & 3)];
            if (havePattern) b += c.cblack[6 + (r % patternRows) * patternCols + col % patternCols];
            if (!(double(c.maximum) > b))
                throw RawOpenError("The raw file " + name_ +
                                   " is damaged: its white level is not above its black level.");
            black[size_t(r) * cols + col] = float(b);
            scale[size_t(r) * cols + col] = float(65535.0 / (double(c.maximum) - b));
        }
    RawSamples out(size_t(width_) * height_);
    platform::RunInRowBands(height_, bands, [&](uint32_t first, uint32_t end) {
        for (uint32_t y = first; y < end; y++) {
            const uint16_t* in = raw + size_t(y + s.top_margin) * pitch + s.left_margin;
            uint16_t* o = out.data() + size_t(y) * width_;
            const size_t row = size_t(y % rows) * cols;
            for (uint32_t x = 0; x < width_; x++) {
                const size_t at = row + (cols == 2 ? (x & 1) : x % cols);
                const float v = (float(in[x]) - black[at]) * scale[at];
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
    if (Usable(m)) {
        const Colour theirs = out;
        out = colourFrom(ColourValuesOf(col));
        out.cameraFromXYZ1 = theirs.cameraFromXYZ1;
        out.illuminant1 = theirs.illuminant1;
        out.cameraFromXYZ2 = theirs.cameraFromXYZ2;
        out.illuminant2 = theirs.illuminant2;
        return out;
    }
    return colourFrom(ColourValuesOf(col));
}

LibRawSource::Colour LibRawSource::colourFrom(const ColourValues& v) {
    Colour out;
    Matrix3 m = v.cameraFromXYZ;
    const bool perModel = Usable(m);
    if (!perModel) {
        // No per-model matrix: LibRaw's camera-to-sRGB matrix (identity when
        // it knows nothing), for balanced data, taken back to XYZ.
        Matrix3 camRgb{};
        if (!Invert3(v.rgbFromCamera, camRgb)) camRgb = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
        for (size_t r = 0; r < 3; r++)
            for (size_t c = 0; c < 3; c++) {
                double sum = 0;
                for (size_t k = 0; k < 3; k++) sum += camRgb[r][k] * kSRGBFromXYZ[k][c];
                m[r][c] = sum * (v.daylight[r] > 0 ? 1.0 / v.daylight[r] : 1.0);
            }
    }
    // The as-shot multipliers; else the daylight ones.
    std::array<double, 3> mul = v.asShot;
    if (!(mul[0] > 0 && mul[1] > 0 && mul[2] > 0)) mul = v.daylight;
    if (mul[0] > 0 && mul[1] > 0 && mul[2] > 0) {
        const std::array<double, 3> n{1 / mul[0], 1 / mul[1], 1 / mul[2]};
        const double largest = std::max({n[0], n[1], n[2]});
        for (size_t c = 0; c < 3; c++) out.asShotNeutral[c] = n[c] / largest;
    }
    const auto tint = [&](const Matrix3& matrix) {
        const auto xy = WhiteOf(matrix, out.asShotNeutral);
        return xy ? std::fabs(dng_temperature(*xy).Tint()) : 1e9;
    };
    constexpr double kNoLight = 50, kCameraRange = 30;
    const auto& d = v.daylight;
    if (perModel && d[0] > 0 && d[1] > 0 && d[2] > 0) {
        Matrix3 stored = m;
        for (size_t r = 0; r < 3; r++)
            for (double& e : stored[r]) e *= d[r] / d[1];
        if (v.balancedInCamera || (tint(m) > kNoLight && tint(stored) <= kCameraRange)) m = stored;
    }
    // Balanced data whose multipliers still read as no light a camera
    // records: what is left of the balance is the decoder's guess, not the
    // light (the daylight multipliers, too, may be no sensor's). The matrix
    // is then taken to the data so that the as-shot white is daylight, the
    // white equal data stand for. Any row scaling of the matrix before this
    // gives the same result.
    if ((v.balancedInCamera || NearOne(v.asShot)) && tint(m) > kCameraRange)
        m = DaylightAt(m, out.asShotNeutral);
    out.cameraFromXYZ1 = m;
    out.illuminant1 = 21;
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
    // The names as the file states them; LibRaw's tidied ones name the
    // camera for profiles to match.
    const std::string& make = facts_.make.empty() ? make_ : facts_.make;
    const std::string& model = facts_.model.empty() ? model_ : facts_.model;
    if (!make.empty()) tiff.set(kCGImagePropertyTIFFMake, make);
    if (!model.empty()) tiff.set(kCGImagePropertyTIFFModel, model);
    if (!make_.empty() || !model_.empty()) {
        Dictionary dng;
        dng.set(kCGImagePropertyDNGUniqueCameraModel,
                make_.empty() ? model_ : (model_.empty() ? make_ : make_ + " " + model_));
        top.set(kCGImagePropertyDNGDictionary, Value(std::move(dng)));
    }
    tiff.set(kCGImagePropertyTIFFOrientation, int64_t(orientation_));
    if (std::string s = Text(d.idata.software, sizeof d.idata.software); !s.empty())
        tiff.set(kCGImagePropertyTIFFSoftware, s);
    if (std::string s = Text(d.other.desc, sizeof d.other.desc); !s.empty())
        tiff.set(kCGImagePropertyTIFFImageDescription, s);
    if (std::string s = Text(d.other.artist, sizeof d.other.artist); !s.empty())
        tiff.set(kCGImagePropertyTIFFArtist, s);
    const std::string date = ExifDate(d.other.timestamp, facts_.clockIsUTC);
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
