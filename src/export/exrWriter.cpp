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
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
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

void exrWriter::makePreview(const float* pixels) {
    const int pw = width_ / 8, ph = height_ / 8;
    Imf::PreviewImage preview(unsigned(std::max(pw, 0)), unsigned(std::max(ph, 0)));
    for (int y = 0; y < ph; ++y) {
        for (int x = 0; x < pw; ++x) {
            const float* p = pixels + (size_t(y) * 8 * size_t(width_) + size_t(x) * 8) * 4;
            Imf::PreviewRgba& out = preview.pixel(unsigned(x), unsigned(y));
            out.r = previewValue(p[0]);
            out.g = previewValue(p[1]);
            out.b = previewValue(p[2]);
            out.a = previewAlpha(p[3]);
        }
    }
    header_->setPreviewImage(preview);
}

int exrWriter::write(const float* pixels, int /*reserved*/, const char* fileName) {
    try {
        setGlobalThreadsOnce();
        if (!pixels || !fileName || width_ <= 0 || height_ <= 0)
            throw std::invalid_argument("No pixels or no file name");
        Imf::Header& h = *header_;
        makePreview(pixels);
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

        const size_t count = size_t(width_) * size_t(height_);
        Imf::FrameBuffer frame;
        std::vector<half> halves;
        if (float_) {
            for (int c = 0; c < channels; ++c)
                frame.insert(names[c],
                             Imf::Slice(Imf::FLOAT, (char*)(pixels + c), 16, size_t(width_) * 16));
        } else {
            halves.resize(count * 4);
            for (size_t i = 0; i < count * 4; ++i) halves[i] = half(pixels[i]);
            for (int c = 0; c < channels; ++c)
                frame.insert(names[c], Imf::Slice(Imf::HALF, (char*)(halves.data() + c), 8,
                                                  size_t(width_) * 8));
        }
        Imf::OutputFile file(fileName, h, Imf::globalThreadCount());
        file.setFrameBuffer(frame);
        file.writePixels(height_);
        return 0;
    } catch (const std::exception& e) {
        // Not logged: the caller reports it once, with the destination's name.
        std::snprintf(errorText_, sizeof errorText_, "%s", e.what());
    } catch (...) {
        std::snprintf(errorText_, sizeof errorText_, "%s", "Unknown error writing the file");
    }
    return 1;
}
