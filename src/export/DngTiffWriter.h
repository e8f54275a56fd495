// Turns a caller's uncompressed 16-bit image (linear ProPhoto RGB, or one
// sample per pixel of a Bayer mosaic) into a DNG negative and writes it as a
// DNG file (lossless JPEG raw data, an 8-bit sRGB preview of at most 256
// pixels) or as a 16-bit ProPhoto TIFF file. Also holds the text of every
// DNG error code.
//
// Ownership: owns its host and its negative (replaced by each build); the
// setters change the current negative and do nothing without one.
// Threads: one caller at a time; the host offers one area-task thread per
// processor, and tiles, digests and renders are the same for any count.
// Every method catches what it throws and returns a code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dng/core/dng_matrix.h"
#include "dng/image/dng_image_host.h"

class dng_negative;
class dng_stream;

class DngTiffWriter {
public:
    DngTiffWriter();
    DngTiffWriter(int width, int height);
    virtual ~DngTiffWriter();
    DngTiffWriter(const DngTiffWriter&) = delete;
    DngTiffWriter& operator=(const DngTiffWriter&) = delete;

    // Nine values in column order; `invert` stores the inverse (the inverse
    // of the sRGB D65 matrix when that fails).
    void SetColorMatrix(bool invert, float m00, float m10, float m20, float m01, float m11,
                        float m21, float m02, float m12, float m22);
    void SetCFAPattern(uint32_t code) { fCFAPattern = code; }

    // 0 or a dng_exception code; `buffer` holds width × height pixels of 3
    // (CFA: 1) little-endian 16-bit samples.
    int32_t BuildNegative(const uint8_t* buffer, uint32_t orientation);
    // Fills `count` rows from `first`, each width × 3 (CFA: 1) samples,
    // packed; false when it cannot. Called from several threads at once, for
    // disjoint rows.
    using RowSource = std::function<bool(uint32_t first, uint32_t count, uint16_t* rows)>;
    // The same from a source read band by band, so that no second copy of
    // the whole image is made; the source (and what it holds) is released
    // before this returns.
    int32_t BuildNegative(RowSource rows, uint32_t orientation);

    void SetMake(const char* text);
    void SetModel(const char* text);
    void SetSoftware(const char* text);
    void SetImageDescription(const char* text);
    void SetCopyright(const char* text);
    void SetUserComment(const char* text);
    void SetCameraSerialNumber(const char* text);
    void SetArtist(const char* text);
    // EXIF date texts ("YYYY:MM:DD HH:MM:SS"); a text that does not parse
    // stores the all-zero date (absent in the file).
    void SetDateTime(const char* text);
    void SetDateTimeOriginal(const char* text);
    void SetDateTimeDigitized(const char* text);
    void SetOriginalFileName(const char* name);
    // One property of the shared property index (see ImagePropertyImport).
    void SetEXIFProperty(int index, const char* text, int32_t intValue, double realValue);

    // 0 or an error code. `type` containing "dng" writes DNG, else "tif"
    // TIFF (case ignored); any other type returns 100000 before the file is
    // opened. `fileName` is opened created-or-truncated.
    int32_t writeFile(const char* fileName, const char* embedFileName, const char* type);

    static const char* errorStringForCode(int32_t code);
    // The system's reason for the last failed write ("File too large"); empty
    // when the last writeFile did not fail writing.
    const std::string& writeFailure() const { return fWriteFailure; }

    dng_negative* Negative() const { return fNegative.get(); }
    dng_host& Host() { return fHost; }
    const dng_matrix& ColorMatrix() const { return fColorMatrix; }

    // The embedded-original block of a file's bytes (exposed for tests):
    // 0 or an error code.
    static int32_t CompressOriginal(dng_stream& input, dng_host& host,
                                    std::unique_ptr<dng_memory_block>& block);

private:
    void DescribeBuffer(class dng_ifd& ifd, uint32_t orientation) const;

    int fWidth;
    int fHeight;
    std::string fWriteFailure;
    std::unique_ptr<dng_negative> fNegative;
    dng_image_host fHost;
    dng_matrix fColorMatrix;
    uint32_t fCFAPattern = 0;
};
