// Writes float RGBA pixels as a scanline OpenEXR file: ZIP compression, half
// or float samples, with or without alpha, an 8-bit preview of one eighth the
// size and a few descriptive attributes set from the image properties.
//
// Ownership: owns its header, which is the model of the file's attributes.
// One thread at a time per writer; the chunks are compressed on the shared
// dispatch pool. write() catches every exception and keeps its text.
#pragma once

#include <ImfForward.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class exrWriter {
public:
    exrWriter();
    exrWriter(int width, int height);
    virtual ~exrWriter();
    exrWriter(const exrWriter&) = delete;
    exrWriter& operator=(const exrWriter&) = delete;

    void setFloat(bool on) { float_ = on; }
    void setChromaticities(bool on) { chromaticities_ = on; }
    void setNoAlpha(bool on) { noAlpha_ = on; }
    bool isFloat() const { return float_; }
    bool noAlpha() const { return noAlpha_; }

    // One attribute by the shared property index (ImagePropertyImport).
    void addMetadata(int index, const char* text, int32_t intValue, double realValue);
    // Attributes the index has no number for (position, lens make, UTC offset).
    void addAttribute(const char* name, double value);
    void addAttribute(const char* name, const char* text);

    // 0 on success, 1 on failure (errorString() says why), kNoMemory when
    // memory ran short. `pixels`: width × height × 4 floats; `fileName` is
    // opened created-or-truncated.
    static constexpr int kNoMemory = 2;
    int write(const float* pixels, int reserved, const char* fileName);
    // Fills `count` rows from `first` with width × 4 floats each; false when
    // it cannot. Called from several threads at once, for disjoint rows.
    using RowSource = std::function<bool(int first, int count, float* rgba)>;
    // The same from rows read band by band: no copy of the whole image is
    // made, in floats or halves; the file's bytes are those write() makes.
    int write(const RowSource& rows, const char* fileName);
    const char* errorString() const { return errorText_; }

    // The preview's 8-bit value of one colour sample.
    static uint8_t previewValue(float v);
    // The preview's 8-bit alpha of one alpha sample.
    static uint8_t previewAlpha(float a);

    const Imf::Header& header() const { return *header_; }

private:
    void makePreview(const RowSource& rows);
    // Writes the header and the image, chunk by chunk, in order.
    void writeChunks(const RowSource& rows, const char* fileName);

    int width_;
    int height_;
    bool float_ = false;
    bool chromaticities_ = false;
    bool noAlpha_ = false;
    bool fNumberSet_ = false;
    std::unique_ptr<Imf::Header> header_;
    char errorText_[768] = {};
};
