// Values of TIFF directory entries as the writer emits them. Each object knows
// its tag number, field type and count and writes exactly its value bytes to a
// stream in the stream's byte order: multi-byte values are swapped element by
// element for a big-endian stream, byte-sized types (BYTE, ASCII, SBYTE,
// UNDEFINED) are copied as they are.
//
// Ownership: a tag points at the caller's values unless its comment says it
// holds them; pointed-to values must outlive every Put. Tags are neither
// copyable nor movable (holding tags point into themselves). Put only reads
// the tag, so one tag may be written from several threads when each thread
// has its own stream.
#pragma once

#include <memory>

#include "dng/core/dng_date_time.h"
#include "dng/core/dng_matrix.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_memory_data.h"
#include "dng/core/dng_rational.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_types.h"

class dng_noise_profile;
class dng_stream;

class tiff_tag {
public:
    virtual ~tiff_tag() = default;
    tiff_tag(const tiff_tag&) = delete;
    tiff_tag& operator=(const tiff_tag&) = delete;

    uint16 Code() const { return fCode; }
    uint16 Type() const { return fType; }
    uint32 Count() const { return fCount; }
    void SetCount(uint32 count) { fCount = count; }

    // Bytes of the value: count × the type's size (dng_error_overflow when
    // that does not fit 32 bits).
    uint32 Size() const;

    // Writes exactly Size() bytes at the stream's position.
    virtual void Put(dng_stream& stream) const = 0;

protected:
    tiff_tag(uint16 code, uint16 type, uint32 count) : fCode(code), fType(type), fCount(count) {}

    uint16 fCode;
    uint16 fType;
    uint32 fCount;
};

// A value array of any type, not owned.
class tag_data_ptr : public tiff_tag {
public:
    tag_data_ptr(uint16 code, uint16 type, uint32 count, const void* data)
        : tiff_tag(code, type, count), fData(data) {}

    void SetData(const void* data) { fData = data; }
    const void* Data() const { return fData; }

    void Put(dng_stream& stream) const override;

protected:
    const void* fData;
};

class tag_uint8 : public tag_data_ptr {
public:
    tag_uint8(uint16 code, uint8 value = 0)
        : tag_data_ptr(code, ttByte, 1, &fValue), fValue(value) {}
    void Set(uint8 value) { fValue = value; }

private:
    uint8 fValue;
};

class tag_uint8_ptr : public tag_data_ptr {
public:
    tag_uint8_ptr(uint16 code, const uint8* data, uint32 count = 1)
        : tag_data_ptr(code, ttByte, count, data) {}
};

class tag_uint16 : public tag_data_ptr {
public:
    tag_uint16(uint16 code, uint16 value = 0)
        : tag_data_ptr(code, ttShort, 1, &fValue), fValue(value) {}
    void Set(uint16 value) { fValue = value; }

private:
    uint16 fValue;
};

class tag_uint16_ptr : public tag_data_ptr {
public:
    tag_uint16_ptr(uint16 code, const uint16* data, uint32 count = 1)
        : tag_data_ptr(code, ttShort, count, data) {}
};

class tag_uint32 : public tag_data_ptr {
public:
    tag_uint32(uint16 code, uint32 value = 0)
        : tag_data_ptr(code, ttLong, 1, &fValue), fValue(value) {}
    void Set(uint32 value) { fValue = value; }
    uint32 Value() const { return fValue; }

private:
    uint32 fValue;
};

class tag_uint32_ptr : public tag_data_ptr {
public:
    tag_uint32_ptr(uint16 code, const uint32* data, uint32 count = 1)
        : tag_data_ptr(code, ttLong, count, data) {}
};

class tag_urational : public tag_data_ptr {
public:
    tag_urational(uint16 code, const dng_urational& value)
        : tag_data_ptr(code, ttRational, 1, &fValue), fValue(value) {}

private:
    dng_urational fValue;
};

class tag_urational_ptr : public tag_data_ptr {
public:
    tag_urational_ptr(uint16 code, const dng_urational* data = nullptr, uint32 count = 1)
        : tag_data_ptr(code, ttRational, count, data) {}
};

class tag_srational : public tag_data_ptr {
public:
    tag_srational(uint16 code, const dng_srational& value)
        : tag_data_ptr(code, ttSRational, 1, &fValue), fValue(value) {}

private:
    dng_srational fValue;
};

class tag_srational_ptr : public tag_data_ptr {
public:
    tag_srational_ptr(uint16 code, const dng_srational* data = nullptr, uint32 count = 1)
        : tag_data_ptr(code, ttSRational, count, data) {}
};

class tag_real64 : public tag_data_ptr {
public:
    tag_real64(uint16 code, real64 value = 0.0)
        : tag_data_ptr(code, ttDouble, 1, &fValue), fValue(value) {}

private:
    real64 fValue;
};

// A matrix of up to 4 × 4 entries held as rationals over 10000, row by row.
class tag_matrix : public tag_srational_ptr {
public:
    static constexpr int32 kDenominator = 10000;

    tag_matrix(uint16 code, const dng_matrix& m);

    const dng_srational& Entry(uint32 index) const { return fEntry[index]; }

private:
    dng_srational fEntry[dng_matrix::kMaxColorPlanes * dng_matrix::kMaxColorPlanes];
};

// InterColorProfile over the caller's profile bytes; count 0 without a profile.
class tag_icc_profile : public tag_data_ptr {
public:
    tag_icc_profile(const void* profileData, uint32 profileSize);
};

// "YYYY:MM:DD HH:MM:SS" and a NUL, held in the tag. The text of an invalid
// date-time is all zero bytes; the tag sets never add such a tag.
class tag_exif_date_time : public tag_data_ptr {
public:
    tag_exif_date_time(uint16 code, const dng_date_time& dt);

private:
    char fData[20] = {};
};

// XMP (BYTE) over a serialised packet that the tag owns; no packet, or an
// empty one, gives count 0. This system keeps XMP as a packet of bytes, so
// the caller hands over the serialised form rather than a record.
class tag_xmp : public tag_uint8_ptr {
public:
    explicit tag_xmp(std::unique_ptr<dng_memory_block> packet);

private:
    std::unique_ptr<dng_memory_block> fPacket;
};

// NoiseProfile: the (scale, offset) pair of each noise function, in plane
// order. More than four functions fail with dng_error_unknown.
class tag_dng_noise_profile : public tag_data_ptr {
public:
    static constexpr uint32 kMaxFunctions = 4;

    explicit tag_dng_noise_profile(const dng_noise_profile& profile);

private:
    real64 fValues[2 * kMaxFunctions] = {};
};

// ASCII text with its NUL (count = bytes + 1). Unless forced to ASCII, text
// with a byte of 128 or more is written as BYTE; either way the bytes are the
// string's UTF-8 bytes unchanged.
class tag_string : public tiff_tag {
public:
    tag_string(uint16 code, const dng_string& s, bool forceASCII = true);

    void Put(dng_stream& stream) const override;

private:
    dng_string fString;
};

// EXIF's character-coded text: an 8-byte code ("ASCII" or "UNICODE") then
// the text without a terminator, as bytes or as UTF-16 units.
class tag_encoded_text : public tiff_tag {
public:
    tag_encoded_text(uint16 code, const dng_string& text);

    void Put(dng_stream& stream) const override;

private:
    dng_string fText;
    dng_memory_data fUTF16;
};

// EXIF's CFAPattern: repeat rows and columns as 16-bit values, then the colour
// codes row by row, each row from left to right. The pattern is the caller's
// 8 × 8 array (row stride 8); rows and columns are 1..8.
class tag_cfa_pattern : public tiff_tag {
public:
    static constexpr uint32 kMaxPattern = 8;

    tag_cfa_pattern(uint16 code, uint32 rows, uint32 cols, const uint8* pattern);

    void Put(dng_stream& stream) const override;

private:
    uint32 fRows;
    uint32 fCols;
    const uint8* fPattern;
};

// IPTC-NAA data as LONGs: the block's bytes, zero-padded to a whole number of
// longs. The bytes are a byte stream and are never swapped.
class tag_iptc : public tiff_tag {
public:
    tag_iptc(const void* data, uint32 length);

    void Put(dng_stream& stream) const override;

private:
    const void* fData;
    uint32 fLength;
};

// XResolution, YResolution and ResolutionUnit of an image.
class dng_resolution_info {
public:
    dng_urational fXResolution{0, 0};
    dng_urational fYResolution{0, 0};
    uint32 fResolutionUnit = 0;
};
