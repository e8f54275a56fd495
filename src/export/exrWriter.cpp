#include "export/exrWriter.h"

#include <ImathBox.h>
#include <ImfChannelList.h>
#include <ImfChromaticities.h>
#include <ImfChromaticitiesAttribute.h>
#include <ImfFloatAttribute.h>
#include <ImfHeader.h>
#include <ImfPreviewImage.h>
#include <ImfPreviewImageAttribute.h>
#include <ImfStringAttribute.h>
#include <fcntl.h>
#include <half.h>
#include <libdeflate.h>
#include <openexr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Colorimetry.h"
#include "platform/Dispatch.h"
#include "platform/Error.h"
#include "platform/Locks.h"

namespace {

void setStringAttribute(Imf::Header& header, const char* name, const char* text) {
    header.insert(name, Imf::StringAttribute(text ? text : ""));
}

void setFloatAttribute(Imf::Header& header, const char* name, double value) {
    header.insert(name, Imf::FloatAttribute(float(value)));
}

}  // namespace

exrWriter::exrWriter() : exrWriter(192, 128) {}

exrWriter::exrWriter(int width, int height)
    : width_(width),
      height_(height),
      header_(std::make_unique<Imf::Header>(width, height, 1.0f, Imath::V2f(0, 0), 1.0f,
                                            Imf::INCREASING_Y, Imf::ZIP_COMPRESSION)) {}

exrWriter::~exrWriter() = default;

void exrWriter::addMetadata(int index, const char* text, int32_t intValue, double realValue) {
    Imf::Header& h = *header_;
    switch (index) {
        case 4:
            setStringAttribute(h, "make", text);
            break;
        case 5:
            setStringAttribute(h, "model", text);
            break;
        case 10:
            setStringAttribute(h, "software", text);
            break;
        case 12:
        case 25:
        case 26:
            setStringAttribute(h, "capDate", text);
            break;
        case 13:
            if (h.findTypedAttribute<Imf::StringAttribute>("owner"))
                setStringAttribute(h, "owner", text);
            break;
        case 15:
            setStringAttribute(h, "owner", text);
            break;
        case 18:
            setFloatAttribute(h, "expTime", realValue);
            break;
        case 22:
            setFloatAttribute(h, "isoSpeed", double(intValue));
            break;
        case 19:
            setFloatAttribute(h, "aperture", realValue);
            fNumberSet_ = true;
            break;
        case 29:
            setFloatAttribute(h, "expTime", 1.0 / std::pow(2.0, realValue));
            break;
        case 30:
            // The F-number itself wins over its rounded APEX form.
            if (!fNumberSet_) setFloatAttribute(h, "aperture", std::pow(2.0, realValue / 2.0));
            break;
        case 34:
            setFloatAttribute(h, "focus", realValue);
            break;
        case 41:
            setStringAttribute(h, "comments", text);
            break;
        case 76:
            setStringAttribute(h, "lensModel", text);
            break;
        default:
            break;
    }
}

void exrWriter::addAttribute(const char* name, double value) {
    setFloatAttribute(*header_, name, value);
}

void exrWriter::addAttribute(const char* name, const char* text) {
    setStringAttribute(*header_, name, text);
}

uint8_t exrWriter::previewValue(float v) {
    const double c = 84.66 * std::pow(std::max(double(v), 0.0) * 5.5555, 0.4545);
    if (!(c > 0.0)) return 0;
    return uint8_t(std::min(c, 255.0));
}

uint8_t exrWriter::previewAlpha(float a) {
    const double v = double(a) * 255.0;
    if (!(v >= 0.0)) return 0;
    return uint8_t(std::min(v, 255.0) + 0.5);
}

void exrWriter::makePreview(const RowSource& rows) {
    const int pw = width_ / 8, ph = height_ / 8;
    Imf::PreviewImage preview(unsigned(std::max(pw, 0)), unsigned(std::max(ph, 0)));
    // Each preview row from one image row, on its own: rows in parallel.
    std::atomic<bool> ok{true};
    platform::apply(size_t(std::max(ph, 0)), platform::DispatchQueue::global(), [&](size_t y) {
        if (!ok) return;
        std::vector<float> row(size_t(width_) * 4);
        if (!rows(int(y) * 8, 1, row.data())) {
            ok = false;
            return;
        }
        for (int x = 0; x < pw; ++x) {
            const float* p = row.data() + size_t(x) * 8 * 4;
            Imf::PreviewRgba& out = preview.pixel(unsigned(x), unsigned(y));
            out.r = previewValue(p[0]);
            out.g = previewValue(p[1]);
            out.b = previewValue(p[2]);
            out.a = previewAlpha(p[3]);
        }
    });
    if (!ok) throw std::runtime_error("The image's rows cannot be read");
    header_->setPreviewImage(preview);
}

namespace {

static_assert(std::endian::native == std::endian::little,
              "the chunks are packed with the host's byte order");

// Rows per chunk of a ZIP-compressed scanline file.
constexpr int kChunkRows = 16;
// Chunks made ahead of the one being written, per processor: enough to keep
// every thread busy while the file is written in order, few enough that the
// chunks waiting take little memory.
constexpr unsigned kChunksAheadPerProcessor = 3;
// The deflate level: about the size the library's own default level gives,
// in much less time (the benchmark of the export types shows both).
constexpr int kDeflateLevel = 1;

// One scanline file of one part, written through the core library to a file
// of our own. The library gives every part a "type" attribute, which a
// single-part scanline file does without and which the files written before
// did not have: the header is held until it is complete and written without
// it, every later byte a little nearer the start, and each chunk offset by as
// much less.
class CoreFile {
public:
    explicit CoreFile(const char* fileName) : name_(fileName) {
        fd_ = ::open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0)
            throw std::runtime_error("Cannot open image file \"" + name_ +
                                     "\": " + platform::systemErrorText(errno));
        exr_context_initializer_t init{};
        init.size = sizeof init;
        init.error_handler_fn = &keepMessage;  // instead of printing it
        init.user_data = this;
        init.write_fn = &writeTo;
        init.zip_level = -2;  // the library's defaults, as its initializer has them
        init.dwa_quality = -1.0f;
        check(exr_start_write(&context_, fileName, EXR_WRITE_FILE_DIRECTLY, &init));
        check(exr_add_part(context_, nullptr, EXR_STORAGE_SCANLINE, &part_));
    }
    ~CoreFile() {
        if (context_) exr_finish(&context_);
        if (fd_ >= 0) ::close(fd_);
    }
    CoreFile(const CoreFile&) = delete;
    CoreFile& operator=(const CoreFile&) = delete;

    exr_context_t context() const { return context_; }
    int part() const { return part_; }

    void check(exr_result_t result) {
        if (result == EXR_ERR_SUCCESS) return;
        if (result == EXR_ERR_OUT_OF_MEMORY) throw std::bad_alloc();
        throw std::runtime_error(message_.empty() ? exr_get_default_error_message(result)
                                                  : message_);
    }
    // Writes the header, ready for `chunks` chunks.
    void writeHeader(int chunks) {
        check(exr_write_header(context_));
        dropTypeAttribute();
        tableBytes_ = uint64_t(chunks) * 8;
        headerDone_ = true;
        if (!writeAll(header_.data(), header_.size(), 0)) fail();
        header_ = std::string();
    }
    // Writes the chunk offsets and closes the file.
    void finish() {
        check(exr_finish(&context_));
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0) fail();
    }

private:
    static void keepMessage(exr_const_context_t context, exr_result_t code, const char* text) {
        void* self = nullptr;
        if (exr_get_user_data(context, &self) != EXR_ERR_SUCCESS || !self) return;
        std::string& message = static_cast<CoreFile*>(self)->message_;
        if (message.empty()) message = text ? text : exr_get_default_error_message(code);
    }

    static int64_t writeTo(exr_const_context_t context, void* self, const void* buffer,
                           uint64_t size, uint64_t offset, exr_stream_error_func_ptr_t error) {
        auto& f = *static_cast<CoreFile*>(self);
        if (size == 0) return 0;  // an empty preview comes without a buffer
        if (!f.headerDone_) {
            if (offset + size > f.header_.size()) f.header_.resize(offset + size);
            std::memcpy(f.header_.data() + offset, buffer, size);
            return int64_t(size);
        }
        const uint64_t table = f.headerEnd_, tableEnd = table + f.tableBytes_;
        const bool inTable = offset < tableEnd && offset + size > table;
        if (offset < table || (inTable && ((offset - table) % 8 || size % 8))) {
            error(context, EXR_ERR_WRITE_IO, "Unexpected write of %llu bytes at %llu",
                  (unsigned long long)size, (unsigned long long)offset);
            return -1;
        }
        std::vector<uint8_t> entries;
        if (inTable) {
            entries.assign(static_cast<const uint8_t*>(buffer),
                           static_cast<const uint8_t*>(buffer) + size);
            for (size_t i = 0; i + 8 <= size && offset + i < tableEnd; i += 8) {
                uint64_t at;
                std::memcpy(&at, entries.data() + i, 8);
                if (at >= table) at -= f.dropped_;
                std::memcpy(entries.data() + i, &at, 8);
            }
            buffer = entries.data();
        }
        if (f.writeAll(buffer, size, offset - f.dropped_)) return int64_t(size);
        error(context, EXR_ERR_WRITE_IO, "Cannot write image file \"%s\": %s", f.name_.c_str(),
              platform::systemErrorText(errno).c_str());
        return -1;
    }

    bool writeAll(const void* buffer, size_t size, uint64_t offset) {
        const char* p = static_cast<const char*>(buffer);
        while (size > 0) {
            const ssize_t n = ::pwrite(fd_, p, size, off_t(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n == 0) errno = EIO;
                return false;
            }
            p += n;
            size -= size_t(n);
            offset += uint64_t(n);
        }
        return true;
    }

    [[noreturn]] void fail() {
        throw std::runtime_error("Cannot write image file \"" + name_ +
                                 "\": " + platform::systemErrorText(errno));
    }

    // Finds where the header ends and takes the "type" attribute out of it.
    void dropTypeAttribute() {
        size_t at = 8;  // after the magic number and the version
        auto text = [&] {
            const size_t end = header_.find('\0', at);
            if (end == std::string::npos) throw std::logic_error("Malformed header");
            std::string t = header_.substr(at, end - at);
            at = end + 1;
            return t;
        };
        while (true) {
            const size_t start = at;
            const std::string name = text();
            if (name.empty()) break;
            text();
            int32_t size = 0;
            if (at + 4 > header_.size()) throw std::logic_error("Malformed header");
            std::memcpy(&size, header_.data() + at, 4);
            if (size < 0 || at + 4 + size_t(size) > header_.size())
                throw std::logic_error("Malformed header");
            at += 4 + size_t(size);
            if (name == "type") {
                header_.erase(start, at - start);
                dropped_ += at - start;
                at = start;
            }
        }
        headerEnd_ = at + dropped_;
        header_.resize(at);
    }

    std::string name_;
    int fd_ = -1;
    std::string message_;
    exr_context_t context_ = nullptr;
    int part_ = 0;
    bool headerDone_ = false;
    std::string header_;
    uint64_t headerEnd_ = 0;  // in the library's reckoning, as the offsets are
    uint64_t dropped_ = 0;
    uint64_t tableBytes_ = 0;
};

exr_attr_v2i_t v2i(const Imath::V2i& v) {
    exr_attr_v2i_t out;
    out.x = v.x;
    out.y = v.y;
    return out;
}

exr_attr_box2i_t box2i(const Imath::Box2i& b) { return {v2i(b.min), v2i(b.max)}; }

exr_pixel_type_t pixelType(Imf::PixelType type) {
    switch (type) {
        case Imf::UINT:
            return EXR_PIXEL_UINT;
        case Imf::HALF:
            return EXR_PIXEL_HALF;
        default:
            return EXR_PIXEL_FLOAT;
    }
}

// Defines the file's part from the header: the attributes every file has,
// the channels, and the descriptive ones (text, numbers, chromaticities and
// the preview, the only kinds this writer puts there).
void defineFile(CoreFile& file, const Imf::Header& h) {
    if (h.compression() != Imf::ZIP_COMPRESSION || h.lineOrder() != Imf::INCREASING_Y)
        throw std::logic_error("Only ZIP-compressed files of increasing lines are written");
    exr_context_t c = file.context();
    const int part = file.part();
    const exr_attr_box2i_t display = box2i(h.displayWindow()), data = box2i(h.dataWindow());
    exr_attr_v2f_t center;
    center.x = h.screenWindowCenter().x;
    center.y = h.screenWindowCenter().y;
    file.check(exr_initialize_required_attr(c, part, &display, &data, h.pixelAspectRatio(), &center,
                                            h.screenWindowWidth(), EXR_LINEORDER_INCREASING_Y,
                                            EXR_COMPRESSION_ZIP));
    for (auto it = h.channels().begin(); it != h.channels().end(); ++it) {
        const Imf::Channel& ch = it.channel();
        file.check(
            exr_add_channel(c, part, it.name(), pixelType(ch.type),
                            ch.pLinear ? EXR_PERCEPTUALLY_LINEAR : EXR_PERCEPTUALLY_LOGARITHMIC,
                            ch.xSampling, ch.ySampling));
    }
    static constexpr std::string_view kRequired[] = {
        "channels",  "compression",      "dataWindow",         "displayWindow",
        "lineOrder", "pixelAspectRatio", "screenWindowCenter", "screenWindowWidth"};
    for (auto it = h.begin(); it != h.end(); ++it) {
        const char* name = it.name();
        if (std::find(std::begin(kRequired), std::end(kRequired), name) != std::end(kRequired))
            continue;
        const Imf::Attribute& a = it.attribute();
        if (auto* s = dynamic_cast<const Imf::StringAttribute*>(&a)) {
            file.check(exr_attr_set_string(c, part, name, s->value().c_str()));
        } else if (auto* f = dynamic_cast<const Imf::FloatAttribute*>(&a)) {
            file.check(exr_attr_set_float(c, part, name, f->value()));
        } else if (auto* ch = dynamic_cast<const Imf::ChromaticitiesAttribute*>(&a)) {
            const Imf::Chromaticities& v = ch->value();
            const exr_attr_chromaticities_t out{v.red.x,  v.red.y,  v.green.x, v.green.y,
                                                v.blue.x, v.blue.y, v.white.x, v.white.y};
            file.check(exr_attr_set_chromaticities(c, part, name, &out));
        } else if (auto* p = dynamic_cast<const Imf::PreviewImageAttribute*>(&a)) {
            const Imf::PreviewImage& v = p->value();
            static_assert(sizeof(Imf::PreviewRgba) == 4);
            const exr_attr_preview_t out{v.width(), v.height(), 0,
                                         reinterpret_cast<const uint8_t*>(v.pixels())};
            file.check(exr_attr_set_preview(c, part, name, &out));
        } else {
            throw std::logic_error(std::string("The attribute ") + name + " has a type (" +
                                   a.typeName() + ") this writer does not store");
        }
    }
}

// How the chunks of one image are laid out.
struct ChunkLayout {
    int width;
    int height;
    int channels;  // 4: A, B, G, R; 3: B, G, R (the file's alphabetical order)
    bool isFloat;

    size_t rowBytes() const { return size_t(width) * size_t(channels) * (isFloat ? 4 : 2); }
    int rowsOf(int chunk) const { return std::min(kChunkRows, height - chunk * kChunkRows); }
};

// Packs rows of RGBA floats as a chunk holds them: per row, each channel's
// samples in turn, halves as Imath rounds them or floats, little-endian.
void packRows(const ChunkLayout& layout, const float* rgba, int rows, uint8_t* out) {
    static constexpr int kSourceOf[2][4] = {{3, 2, 1, 0}, {2, 1, 0, 0}};
    const int* source = kSourceOf[layout.channels == 4 ? 0 : 1];
    const size_t width = size_t(layout.width);
    for (int y = 0; y < rows; ++y) {
        const float* row = rgba + size_t(y) * width * 4;
        for (int c = 0; c < layout.channels; ++c) {
            const float* in = row + source[c];
            if (layout.isFloat) {
                for (size_t x = 0; x < width; ++x, out += 4) std::memcpy(out, in + x * 4, 4);
            } else {
                for (size_t x = 0; x < width; ++x, out += 2) {
                    const uint16_t bits = half(in[x * 4]).bits();
                    std::memcpy(out, &bits, 2);
                }
            }
        }
    }
}

// The format's ZIP preprocessing of `size` (even) bytes: the even bytes in
// the first half, the odd ones in the second, then each byte as its
// difference to the one before, offset by 128.
void reorderAndPredict(const uint8_t* in, size_t size, uint8_t* out) {
    const size_t half = size / 2;
    out[0] = in[0];
    for (size_t i = 1; i < half; ++i) out[i] = uint8_t(in[2 * i] - in[2 * i - 2] + 128);
    out[half] = uint8_t(in[1] - in[2 * half - 2] + 128);
    for (size_t i = 1; i < half; ++i) out[half + i] = uint8_t(in[2 * i + 1] - in[2 * i - 1] + 128);
}

// The buffers of one encoding task, kept for the next one.
struct Scratch {
    explicit Scratch(const ChunkLayout& layout)
        : rgba(std::make_unique_for_overwrite<float[]>(size_t(layout.width) * 4 * kChunkRows)),
          raw(std::make_unique_for_overwrite<uint8_t[]>(layout.rowBytes() * kChunkRows)),
          reordered(std::make_unique_for_overwrite<uint8_t[]>(layout.rowBytes() * kChunkRows)),
          deflater(libdeflate_alloc_compressor(kDeflateLevel)) {
        if (!deflater) throw std::bad_alloc();
    }
    ~Scratch() { libdeflate_free_compressor(deflater); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::unique_ptr<float[]> rgba;  // also the compressed bytes, once packed
    std::unique_ptr<uint8_t[]> raw;
    std::unique_ptr<uint8_t[]> reordered;
    libdeflate_compressor* deflater;
};

// Scratch buffers for the tasks running at once: as many as there are.
class ScratchPool {
public:
    explicit ScratchPool(const ChunkLayout& layout) : layout_(layout) {}
    std::unique_ptr<Scratch> take() {
        {
            std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                auto s = std::move(free_.back());
                free_.pop_back();
                return s;
            }
        }
        return std::make_unique<Scratch>(layout_);
    }
    void give(std::unique_ptr<Scratch> s) {
        std::lock_guard lock(mutex_);
        free_.push_back(std::move(s));
    }

private:
    ChunkLayout layout_;
    platform::Mutex mutex_;
    std::vector<std::unique_ptr<Scratch>> free_;
};

// One chunk being made or waiting to be written.
struct Slot {
    platform::DispatchGroup done;
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    const char* error = nullptr;
};

// A chunk's error when its memory was refused; the writer reports kNoMemory.
constexpr const char* kNoMemoryForChunk = "Not enough memory to compress the image";

// Makes chunk `index` in `slot`: its rows read, packed, preprocessed and
// deflated, or stored as they are when deflating does not make them smaller.
void encodeChunk(const ChunkLayout& layout, const exrWriter::RowSource& rows, int index,
                 ScratchPool& pool, Slot& slot) {
    try {
        auto scratch = pool.take();
        const int count = layout.rowsOf(index);
        if (!rows(index * kChunkRows, count, scratch->rgba.get())) {
            slot.error = "The image's rows cannot be read";
            pool.give(std::move(scratch));
            return;
        }
        const size_t size = layout.rowBytes() * size_t(count);
        packRows(layout, scratch->rgba.get(), count, scratch->raw.get());
        reorderAndPredict(scratch->raw.get(), size, scratch->reordered.get());
        // The floats are packed: their buffer, at least `size` bytes, takes
        // the compressed ones. Anything but smaller is stored raw.
        uint8_t* deflated = reinterpret_cast<uint8_t*>(scratch->rgba.get());
        const size_t packed = libdeflate_zlib_compress(scratch->deflater, scratch->reordered.get(),
                                                       size, deflated, size - 1);
        const uint8_t* keep = packed ? deflated : scratch->raw.get();
        slot.size = packed ? packed : size;
        slot.bytes = std::make_unique_for_overwrite<uint8_t[]>(slot.size);
        std::memcpy(slot.bytes.get(), keep, slot.size);
        pool.give(std::move(scratch));
    } catch (const std::bad_alloc&) {
        slot.error = kNoMemoryForChunk;
    } catch (...) {
        slot.error = "The image's rows cannot be read";
    }
}

}  // namespace

void exrWriter::writeChunks(const RowSource& rows, const char* fileName) {
    CoreFile file(fileName);
    defineFile(file, *header_);
    const ChunkLayout layout{width_, height_, noAlpha_ ? 3 : 4, float_};
    const int chunks = (height_ + kChunkRows - 1) / kChunkRows;
    file.writeHeader(chunks);
    const int window =
        std::min(chunks, int(std::max(1u, platform::processorCount()) * kChunksAheadPerProcessor));
    ScratchPool pool(layout);
    std::vector<Slot> slots(static_cast<size_t>(window));
    std::atomic<bool> abandoned{false};
    const auto queue = platform::DispatchQueue::global();
    auto start = [&](int index) {
        Slot& slot = slots[size_t(index % window)];
        slot.error = nullptr;
        slot.done.async(queue, [&layout, &rows, &pool, &abandoned, &slot, index] {
            if (abandoned)
                slot.error = "Abandoned";
            else
                encodeChunk(layout, rows, index, pool, slot);
        });
    };
    // The tasks use this frame's locals: on every way out, wait for them.
    struct Settle {
        std::vector<Slot>& slots;
        std::atomic<bool>& abandoned;
        ~Settle() {
            abandoned = true;
            for (Slot& s : slots) s.done.wait();
        }
    } settle{slots, abandoned};

    for (int i = 0; i < window; ++i) start(i);
    for (int i = 0; i < chunks; ++i) {
        Slot& slot = slots[size_t(i % window)];
        slot.done.wait();
        if (slot.error == kNoMemoryForChunk) throw std::bad_alloc();
        if (slot.error) throw std::runtime_error(slot.error);
        file.check(exr_write_scanline_chunk(file.context(), file.part(),
                                            header_->dataWindow().min.y + i * kChunkRows,
                                            slot.bytes.get(), slot.size));
        slot.bytes.reset();
        if (i + window < chunks) start(i + window);
    }
    file.finish();
}

int exrWriter::write(const float* pixels, int /*reserved*/, const char* fileName) {
    if (!pixels) return write(RowSource(), fileName);
    const size_t rowFloats = size_t(std::max(width_, 0)) * 4;
    return write(
        [pixels, rowFloats](int first, int count, float* rgba) {
            std::memcpy(rgba, pixels + size_t(first) * rowFloats,
                        size_t(count) * rowFloats * sizeof(float));
            return true;
        },
        fileName);
}

int exrWriter::write(const RowSource& rows, const char* fileName) {
    try {
        if (!rows || !fileName || width_ <= 0 || height_ <= 0)
            throw std::invalid_argument("No pixels or no file name");
        Imf::Header& h = *header_;
        makePreview(rows);
        if (chromaticities_) {
            namespace cm = platform::colorimetry;
            auto v2f = [](const cm::Chromaticity& xy) {
                return Imath::V2f(float(xy.x), float(xy.y));
            };
            const Imf::Chromaticities c(
                v2f(cm::kProPhotoPrimaries[0]), v2f(cm::kProPhotoPrimaries[1]),
                v2f(cm::kProPhotoPrimaries[2]), v2f(cm::kD50WhiteFiveDigits));
            h.insert("chromaticities", Imf::ChromaticitiesAttribute(c));
        } else {
            h.erase("chromaticities");
        }
        const Imf::PixelType type = float_ ? Imf::FLOAT : Imf::HALF;
        const char* names[4] = {"R", "G", "B", "A"};
        const int channels = noAlpha_ ? 3 : 4;
        // Exactly the channels the chunks are packed with, whatever an earlier
        // write of this writer had.
        Imf::ChannelList list;
        for (int c = 0; c < channels; ++c) list.insert(names[c], Imf::Channel(type));
        h.channels() = list;
        writeChunks(rows, fileName);
        return 0;
    } catch (const std::bad_alloc&) {
        std::snprintf(errorText_, sizeof errorText_, "%s", "Not enough memory to write the file");
        return kNoMemory;
    } catch (const std::exception& e) {
        // Not logged: the caller reports it once, with the destination's name.
        std::snprintf(errorText_, sizeof errorText_, "%s", e.what());
    } catch (...) {
        std::snprintf(errorText_, sizeof errorText_, "%s", "Unknown error writing the file");
    }
    return 1;
}
