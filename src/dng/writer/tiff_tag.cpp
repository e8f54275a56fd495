#include "dng/writer/tiff_tag.h"

#include <cstdio>
#include <cstring>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/image/dng_noise_profile.h"

namespace {

constexpr uint16 kInterColorProfileTag = 34675;
constexpr uint16 kIPTCTag = 33723;

}  // namespace

uint32 tiff_tag::Size() const { return SafeUint32Mult(fCount, TiffTagTypeSize(fType)); }

void tag_data_ptr::Put(dng_stream& stream) const {
    const uint32 size = Size();
    if (size == 0) return;
    if (stream.SwapBytes() && fType < 16) {
        switch (fType) {
            case ttShort:
            case ttSShort:
            case ttUnicode: {
                const uint16* p = static_cast<const uint16*>(fData);
                for (uint32 i = 0; i < size / 2; i++) stream.PutUInt16(p[i]);
                return;
            }
            case ttLong:
            case ttRational:
            case ttSLong:
            case ttSRational:
            case ttFloat:
            case ttIFD:
            case ttComplex: {
                const uint32* p = static_cast<const uint32*>(fData);
                for (uint32 i = 0; i < size / 4; i++) stream.PutUInt32(p[i]);
                return;
            }
            case ttDouble: {
                const real64* p = static_cast<const real64*>(fData);
                for (uint32 i = 0; i < size / 8; i++) stream.PutReal64(p[i]);
                return;
            }
            default:
                break;
        }
    }
    stream.WriteBytes(fData, size);
}

tag_matrix::tag_matrix(uint16 code, const dng_matrix& m)
    : tag_srational_ptr(code, fEntry, m.Rows() * m.Cols()) {
    uint32 index = 0;
    for (uint32 r = 0; r < m.Rows(); r++) {
        for (uint32 c = 0; c < m.Cols(); c++) {
            dng_srational& entry = fEntry[index++];
            entry.SetReal64(m[r][c], kDenominator);
            // Zero keeps the fixed denominator too.
            if (entry.n == 0) entry.d = kDenominator;
        }
    }
}

tag_icc_profile::tag_icc_profile(const void* profileData, uint32 profileSize)
    : tag_data_ptr(kInterColorProfileTag, ttUndefined, 0, nullptr) {
    if (profileData != nullptr && profileSize != 0) {
        fCount = profileSize;
        fData = profileData;
    }
}

tag_exif_date_time::tag_exif_date_time(uint16 code, const dng_date_time& dt)
    : tag_data_ptr(code, ttAscii, 20, fData) {
    if (dt.IsValid()) {
        std::snprintf(fData, sizeof(fData), "%04u:%02u:%02u %02u:%02u:%02u", dt.fYear, dt.fMonth,
                      dt.fDay, dt.fHour, dt.fMinute, dt.fSecond);
    }
}

tag_xmp::tag_xmp(std::unique_ptr<dng_memory_block> packet)
    : tag_uint8_ptr(tcXMP, nullptr, 0), fPacket(std::move(packet)) {
    if (fPacket && fPacket->LogicalSize() != 0) {
        fData = fPacket->Buffer();
        fCount = fPacket->LogicalSize();
    }
}

tag_dng_noise_profile::tag_dng_noise_profile(const dng_noise_profile& profile)
    : tag_data_ptr(tcNoiseProfile, ttDouble, 0, fValues) {
    const uint32 functions = profile.NumFunctions();
    if (functions > kMaxFunctions) ThrowProgramError("Too many noise functions");
    for (uint32 i = 0; i < functions; i++) {
        fValues[2 * i] = profile.NoiseFunction(i).Scale();
        fValues[2 * i + 1] = profile.NoiseFunction(i).Offset();
    }
    fCount = 2 * functions;
}

tag_string::tag_string(uint16 code, const dng_string& s, bool forceASCII)
    : tiff_tag(code, ttAscii, 0), fString(s) {
    if (!forceASCII && !fString.IsASCII()) fType = ttByte;
    fCount = SafeUint32Add(fString.Length(), 1);
}

void tag_string::Put(dng_stream& stream) const {
    // Get() is NUL-terminated, so count bytes include the terminator.
    stream.WriteBytes(fString.Get(), Size());
}

tag_encoded_text::tag_encoded_text(uint16 code, const dng_string& text)
    : tiff_tag(code, ttUndefined, 0), fText(text) {
    if (fText.IsASCII()) {
        fCount = SafeUint32Add(8, fText.Length());
    } else {
        const uint32 units = fText.GetUTF16(fUTF16);
        fCount = SafeUint32Add(8, SafeUint32Mult(2, units));
    }
}

void tag_encoded_text::Put(dng_stream& stream) const {
    if (fUTF16.Buffer() == nullptr) {
        static const char kASCII[8] = {'A', 'S', 'C', 'I', 'I', 0, 0, 0};
        stream.WriteBytes(kASCII, 8);
        stream.WriteBytes(fText.Get(), fCount - 8);
    } else {
        static const char kUnicode[8] = {'U', 'N', 'I', 'C', 'O', 'D', 'E', 0};
        stream.WriteBytes(kUnicode, 8);
        const uint16* units = fUTF16.Buffer_uint16();
        for (uint32 i = 0; i < (fCount - 8) / 2; i++) stream.PutUInt16(units[i]);
    }
}

tag_cfa_pattern::tag_cfa_pattern(uint16 code, uint32 rows, uint32 cols, const uint8* pattern)
    : tiff_tag(code, ttUndefined, 0), fRows(rows), fCols(cols), fPattern(pattern) {
    if (rows < 1 || rows > kMaxPattern || cols < 1 || cols > kMaxPattern || pattern == nullptr) {
        ThrowProgramError("Bad CFA pattern size");
    }
    fCount = rows * cols + 4;
}

void tag_cfa_pattern::Put(dng_stream& stream) const {
    // Rows first, then columns, then the colours in raster order: the order
    // EXIF readers take it in, so a pattern that is not square reads back
    // untransposed.
    stream.PutUInt16(static_cast<uint16>(fRows));
    stream.PutUInt16(static_cast<uint16>(fCols));
    for (uint32 r = 0; r < fRows; r++) {
        for (uint32 c = 0; c < fCols; c++) stream.PutUInt8(fPattern[r * kMaxPattern + c]);
    }
}

tag_iptc::tag_iptc(const void* data, uint32 length)
    : tiff_tag(kIPTCTag, ttLong, 0), fData(data), fLength(data != nullptr ? length : 0) {
    fCount = static_cast<uint32>((static_cast<uint64>(fLength) + 3) / 4);
}

void tag_iptc::Put(dng_stream& stream) const {
    if (fLength != 0) stream.WriteBytes(fData, fLength);
    stream.WriteZeros(static_cast<uint64>(fCount) * 4 - fLength);
}
