// Feeds arbitrary bytes to the DNG stream, its tag-value readers, the tag
// parsing utilities, the IPTC parser and the string decoders. Any crash, hang,
// sanitizer report or exception other than dng_exception is a fault.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "dng/core/dng_date_time.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_iptc.h"
#include "dng/core/dng_matrix.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_parse_utils.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_tag_types.h"

namespace {

// Walks a TIFF-like directory: header, then entries whose values are read
// with every reader the directory parsers use.
void WalkDirectory(dng_stream& s) {
    s.SetReadPosition(0);
    const uint16 order = s.GetUInt16();
    s.SetBigEndian(order == 0x4D4D);
    s.GetUInt16();
    uint64 ifdOffset = s.GetUInt32();
    for (int ifd = 0; ifd < 4 && ifdOffset; ifd++) {
        s.SetReadPosition(ifdOffset);
        const uint32 entries = s.GetUInt16();
        for (uint32 i = 0; i < entries && i < 64; i++) {
            const uint64 entryStart = ifdOffset + 2 + 12 * static_cast<uint64>(i);
            s.SetReadPosition(entryStart);
            const uint32 tag = s.GetUInt16();
            const uint32 type = s.GetUInt16();
            const uint32 count = s.GetUInt32();
            const uint64 bytes = static_cast<uint64>(TiffTagTypeSize(type)) * count;
            if (bytes > 4) s.SetReadPosition(s.GetUInt32());
            try {
                switch (tag % 8) {
                    case 0: {
                        dng_string text;
                        ParseStringTag(s, 0, tag, count, text);
                        break;
                    }
                    case 1: {
                        dng_string a, b;
                        ParseDualStringTag(s, 0, tag, count, a, b);
                        break;
                    }
                    case 2: {
                        dng_string text;
                        ParseEncodedStringTag(s, 0, tag, count, text);
                        break;
                    }
                    case 3: {
                        dng_matrix m;
                        const uint32 rows = 1 + tag % 4, cols = 1 + (tag / 4) % 4;
                        ParseMatrixTag(s, 0, tag, type, count, rows, cols, m);
                        break;
                    }
                    case 4: {
                        dng_date_time dt;
                        ParseDateTimeTag(s, 0, tag, type, count, dt);
                        break;
                    }
                    default:
                        for (uint32 j = 0; j < count && j < 16; j++) {
                            s.ReadTagValueAsUInt32(type);
                            s.ReadTagValueAsInt32(type);
                            s.ReadTagValueAsReal64(type);
                            s.ReadTagValueAsURational(type);
                            s.ReadTagValueAsSRational(type);
                        }
                        break;
                }
            } catch (const dng_exception&) {
            }
        }
        s.SetReadPosition(ifdOffset + 2 + 12 * static_cast<uint64>(entries));
        ifdOffset = s.GetUInt32();
    }
}

// UTF-8 text through UTF-16 and back is itself, except where the UTF-16
// reader takes a first unit for a byte-order mark: U+FEFF is dropped, and
// after U+FFFE the other units are read byte-swapped.
dng_string ExpectedUTF16RoundTrip(const dng_string& text, const uint16* units) {
    if (units[0] == 0xFEFF) {
        dng_string rest;
        rest.Set(text.Get() + 3);
        return rest;
    }
    if (units[0] != 0xFFFE) return text;
    std::vector<uint16> swapped = {0xFEFF};
    for (const uint16* u = units + 1; *u; u++) swapped.push_back(uint16((*u >> 8) | (*u << 8)));
    swapped.push_back(0);
    dng_string expected;
    expected.SetUTF16(swapped.data());
    return expected;
}

void Strings(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    dng_string s;
    s.SetUTF8(text.c_str());
    if (!dng_string::IsUTF8(s.Get())) __builtin_trap();
    dng_memory_data units;
    s.GetUTF16(units);
    dng_string back;
    back.SetUTF16(units.Buffer_uint16());
    if (!(back == ExpectedUTF16RoundTrip(s, units.Buffer_uint16()))) __builtin_trap();
    s.SetUTF8OrSystem(text.c_str());
    s.ForceASCII();
    s.NormalizeNumberList();
    s.SetLineEndings('\n');
    dng_date_time_info info;
    info.DecodeISO8601(text.c_str());
    info.EncodeISO8601();
    dng_date_time dt;
    dt.Parse(text.c_str());
    dng_string::Compare(s, back, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::quietLog();
    if (size > 1 << 20) return 0;
    try {
        dng_stream s(data, static_cast<uint32>(size));
        WalkDirectory(s);
    } catch (const dng_exception&) {
    }
    try {
        // The same bytes through a paged stream, read back at odd offsets.
        dng_memory_stream m(gDefaultDNGMemoryAllocator, nullptr, 1024);
        m.WriteBytes(data, static_cast<uint32>(size));
        m.Flush();
        WalkDirectory(m);
        auto block = m.CopyToMemoryBlock(gDefaultDNGMemoryAllocator);
        if (block->LogicalSize() != size || (size && std::memcmp(block->Buffer(), data, size)))
            __builtin_trap();
    } catch (const dng_exception&) {
    }
    try {
        dng_iptc iptc;
        iptc.Parse(data, static_cast<uint32>(size), 0);
        iptc.Spool(gDefaultDNGMemoryAllocator, true);
    } catch (const dng_exception&) {
    }
    try {
        Strings(data, size);
    } catch (const dng_exception&) {
    }
    return 0;
}
