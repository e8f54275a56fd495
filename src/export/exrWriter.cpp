#include "export/exrWriter.h"

#include <Iex.h>
#include <ImathBox.h>
#include <ImfChannelList.h>
#include <ImfChromaticities.h>
#include <ImfChromaticitiesAttribute.h>
#include <ImfFloatAttribute.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <ImfPreviewImage.h>
#include <ImfStringAttribute.h>
#include <ImfThreading.h>
#include <half.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "platform/Colorimetry.h"
#include "platform/Dispatch.h"

namespace {

void setGlobalThreadsOnce() {
    static std::once_flag once;
    std::call_once(once, [] { Imf::setGlobalThreadCount(int(platform::processorCount())); });
}

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
    std::vector<float> row(size_t(width_) * 4);
    for (int y = 0; y < ph; ++y) {
        if (!rows(y * 8, 1, row.data()))
            throw std::runtime_error("The image's rows cannot be read");
        for (int x = 0; x < pw; ++x) {
            const float* p = row.data() + size_t(x) * 8 * 4;
            Imf::PreviewRgba& out = preview.pixel(unsigned(x), unsigned(y));
            out.r = previewValue(p[0]);
            out.g = previewValue(p[1]);
            out.b = previewValue(p[2]);
            out.a = previewAlpha(p[3]);
        }
    }
    header_->setPreviewImage(preview);
}

namespace {

// Rows converted and handed to the library at once: a whole number of its
// 16-row ZIP blocks, enough of them to keep its threads busy.
constexpr int kBandRows = 256;
// Rows each task of a band's conversion takes.
constexpr int kConvertRows = 16;

}  // namespace

void exrWriter::writeBands(const RowSource& rows, Imf::OutputFile& file, int channels) {
    const char* names[4] = {"R", "G", "B", "A"};
    const size_t width = size_t(width_);
    const size_t bandRows = size_t(std::min(kBandRows, height_));
    std::vector<float> floats(bandRows * width * 4);
    std::vector<half> halves(float_ ? 0 : floats.size());
    for (int first = 0; first < height_; first += kBandRows) {
        const int count = std::min(kBandRows, height_ - first);
        // Each sample is converted on its own: the split does not change it.
        std::atomic<bool> ok{true};
        const size_t tasks = size_t((count + kConvertRows - 1) / kConvertRows);
        platform::apply(tasks, platform::DispatchQueue::global(), [&](size_t t) {
            const int r0 = int(t) * kConvertRows, n = std::min(kConvertRows, count - r0);
            float* band = floats.data() + size_t(r0) * width * 4;
            if (!rows(first + r0, n, band)) {
                ok = false;
                return;
            }
            if (float_) return;
            half* out = halves.data() + size_t(r0) * width * 4;
            for (size_t i = 0, e = size_t(n) * width * 4; i < e; ++i) out[i] = half(band[i]);
        });
        if (!ok) throw std::runtime_error("The image's rows cannot be read");
        // The slices address the whole image (the library adds row × stride
        // to the base); only this band's rows are read. The base is reckoned
        // as an address, since it lies before the band's buffer.
        auto originOf = [&](const void* band, size_t rowBytes, int c, size_t sampleBytes) {
            return reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(band) -
                                           uintptr_t(first) * rowBytes +
                                           uintptr_t(c) * sampleBytes);
        };
        Imf::FrameBuffer frame;
        for (int c = 0; c < channels; ++c) {
            if (float_)
                frame.insert(names[c],
                             Imf::Slice(Imf::FLOAT, originOf(floats.data(), width * 16, c, 4), 16,
                                        width * 16));
            else
                frame.insert(
                    names[c],
                    Imf::Slice(Imf::HALF, originOf(halves.data(), width * 8, c, 2), 8, width * 8));
        }
        file.setFrameBuffer(frame);
        file.writePixels(count);
    }
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
        setGlobalThreadsOnce();
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
        for (int c = 0; c < channels; ++c) h.channels().insert(names[c], Imf::Channel(type));

        Imf::OutputFile file(fileName, h, Imf::globalThreadCount());
        writeBands(rows, file, channels);
        return 0;
    } catch (const std::exception& e) {
        // Not logged: the caller reports it once, with the destination's name.
        std::snprintf(errorText_, sizeof errorText_, "%s", e.what());
    } catch (...) {
        std::snprintf(errorText_, sizeof errorText_, "%s", "Unknown error writing the file");
    }
    return 1;
}
