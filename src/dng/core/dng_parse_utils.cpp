#include "dng/core/dng_parse_utils.h"

#include <cstring>
#include <vector>

#include "dng/core/dng_date_time.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_matrix.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_tag_types.h"

namespace {

// Reads count bytes plus a terminating NUL, after checking they exist.
std::vector<char> ReadTerminated(dng_stream& stream, uint32 count) {
    if (count > stream.RemainingBytes()) ThrowEndOfFile("Tag data beyond the end of the stream");
    std::vector<char> buffer(static_cast<size_t>(count) + 1, 0);
    stream.ReadBytes(buffer.data(), count);
    return buffer;
}

}  // namespace

bool CheckTagType(uint32, uint32, uint32 tagType, uint16 t0, uint16 t1, uint16 t2, uint16 t3) {
    return tagType == t0 || (t1 && tagType == t1) || (t2 && tagType == t2) || (t3 && tagType == t3);
}

bool CheckTagCount(uint32, uint32, uint32 tagCount, uint32 minCount, uint32 maxCount) {
    if (maxCount < minCount) maxCount = minCount;
    return tagCount >= minCount && tagCount <= maxCount;
}

bool CheckColorImage(uint32, uint32, uint32 colorPlanes) { return colorPlanes > 1; }

bool CheckMainIFD(uint32, uint32, uint32 newSubFileType) { return newSubFileType == 0; }

bool CheckRawIFD(uint32, uint32, uint32 pi) { return pi == 32803 || pi == 34892; }

bool CheckCFA(uint32, uint32, uint32 pi) { return pi == 32803; }

void ParseStringTag(dng_stream& stream, uint32, uint32, uint32 tagCount, dng_string& s,
                    bool trimBlanks) {
    if (tagCount == 0 || tagCount == 0xFFFFFFFF) {
        s.Clear();
        return;
    }
    const std::vector<char> buffer = ReadTerminated(stream, tagCount);
    s.SetUTF8OrSystem(buffer.data());
    if (trimBlanks) s.TrimTrailingBlanks();
}

void ParseDualStringTag(dng_stream& stream, uint32, uint32, uint32 tagCount, dng_string& s1,
                        dng_string& s2) {
    if (tagCount == 0 || tagCount == 0xFFFFFFFF) {
        s1.Clear();
        s2.Clear();
        return;
    }
    const std::vector<char> buffer = ReadTerminated(stream, tagCount);
    s1.SetUTF8OrSystem(buffer.data());
    s2.Clear();
    for (uint32 j = 1; j + 1 < tagCount; j++) {
        if (buffer[j - 1] != 0 && buffer[j] == 0) {
            s2.SetUTF8OrSystem(buffer.data() + j + 1);
            break;
        }
    }
    s1.TrimTrailingBlanks();
    s2.TrimTrailingBlanks();
}

void ParseEncodedStringTag(dng_stream& stream, uint32, uint32, uint32 tagCount, dng_string& s) {
    if (tagCount < 8) {
        s.Clear();
        return;
    }
    if (tagCount > stream.RemainingBytes()) ThrowEndOfFile("Tag data beyond the end of the stream");
    char code[8];
    stream.ReadBytes(code, 8);
    for (char& c : code)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');

    if (std::memcmp(code, "UNICODE\0", 8) == 0) {
        const uint32 units = (tagCount - 8) / 2;
        std::vector<uint16> text(static_cast<size_t>(units) + 1, 0);
        for (uint32 i = 0; i < units; i++) text[i] = stream.GetUInt16();
        s.SetUTF16(text.data());
    } else {
        std::vector<char> text = ReadTerminated(stream, tagCount - 8);
        if (std::memcmp(code, "ASCII\0\0\0", 8) == 0) {
            s.SetUTF8OrSystem(text.data());
        } else if (std::memcmp(code, "JIS\0\0\0\0\0", 8) == 0) {
            s.SetJIS(text.data());
        } else {
            // An unknown code: keep the text only when it is plain printable ASCII.
            if (tagCount != 8) {
                for (const char* p = text.data(); *p; p++) {
                    const uint8 c = static_cast<uint8>(*p);
                    if (c < 0x20 || c >= 0x7F) {
                        text[0] = 0;
                        break;
                    }
                }
            }
            s.SetUTF8OrSystem(text.data());
        }
    }
    s.TrimTrailingBlanks();
}

bool ParseMatrixTag(dng_stream& stream, uint32, uint32, uint32 tagType, uint32 tagCount,
                    uint32 rows, uint32 cols, dng_matrix& m) {
    if (static_cast<uint64>(rows) * cols != tagCount) return false;
    dng_matrix temp(rows, cols);
    for (uint32 r = 0; r < rows; r++)
        for (uint32 c = 0; c < cols; c++) temp[r][c] = stream.ReadTagValueAsReal64(tagType);
    m = temp;
    return true;
}

bool ParseVectorTag(dng_stream& stream, uint32, uint32, uint32 tagType, uint32 tagCount,
                    uint32 count, dng_vector& v) {
    if (tagCount != count) return false;
    dng_vector temp(count);
    for (uint32 i = 0; i < count; i++) temp[i] = stream.ReadTagValueAsReal64(tagType);
    v = temp;
    return true;
}

bool ParseDateTimeTag(dng_stream& stream, uint32, uint32, uint32 tagType, uint32 tagCount,
                      dng_date_time& dt) {
    if ((tagType != ttAscii && tagType != 0) || tagCount < 20) return false;
    char text[21];
    stream.ReadBytes(text, 20);
    text[20] = 0;
    if (dt.Parse(text)) return true;
    dt.Clear();
    // A blank date is all blanks, colons and zeros.
    for (uint32 i = 0; i < 20; i++) {
        const char c = text[i];
        if (c == ' ' || c == ':' || c == '0') continue;
        return c == 0;
    }
    return true;
}
