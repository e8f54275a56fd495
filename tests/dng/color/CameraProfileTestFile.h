// Writes small TIFF-structured camera-profile files for the tests: a header
// with the byte-order mark and the profile magic, one directory and the
// out-of-line values, in either byte order, with the directory before or
// after the values.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_types.h"

namespace cameraprofiletest {

class ProfileFile {
public:
    explicit ProfileFile(bool bigEndian) : big_(bigEndian) {}

    void Short(uint16 tag, std::vector<uint16> values) {
        std::vector<uint8> b;
        for (uint16 v : values) Put(b, v, 2);
        Add(tag, ttShort, static_cast<uint32>(values.size()), b);
    }
    void Long(uint16 tag, std::vector<uint32> values) {
        std::vector<uint8> b;
        for (uint32 v : values) Put(b, v, 4);
        Add(tag, ttLong, static_cast<uint32>(values.size()), b);
    }
    void SRational(uint16 tag, std::vector<double> values, int32 denominator = 10000) {
        std::vector<uint8> b;
        for (double v : values) {
            const double scaled = v * denominator;
            Put(b,
                static_cast<uint32>(static_cast<int32>(scaled < 0 ? scaled - 0.5 : scaled + 0.5)),
                4);
            Put(b, static_cast<uint32>(denominator), 4);
        }
        Add(tag, ttSRational, static_cast<uint32>(values.size()), b);
    }
    void Float(uint16 tag, std::vector<float> values) {
        std::vector<uint8> b;
        for (float v : values) {
            uint32 bits;
            std::memcpy(&bits, &v, 4);
            Put(b, bits, 4);
        }
        Add(tag, ttFloat, static_cast<uint32>(values.size()), b);
    }
    void Ascii(uint16 tag, const std::string& text, uint16 type = ttAscii) {
        std::vector<uint8> b(text.begin(), text.end());
        b.push_back(0);
        Add(tag, type, static_cast<uint32>(b.size()), b);
    }
    // An entry whose count and bytes need not agree (for hostile files).
    void Raw(uint16 tag, uint16 type, uint32 count, std::vector<uint8> bytes) {
        Add(tag, type, count, std::move(bytes));
    }

    // leadingPad bytes of junk follow the header; the directory is written
    // before the values or after them.
    std::vector<uint8> Build(uint32 leadingPad = 0, bool directoryLast = false) const {
        std::vector<uint8> out;
        out.push_back(big_ ? 'M' : 'I');
        out.push_back(big_ ? 'M' : 'I');
        Put(out, 0x4352, 2);
        Put(out, 0, 4);
        out.insert(out.end(), leadingPad, 0xA5);

        const uint32 dirSize = 2 + 12 * static_cast<uint32>(entries_.size()) + 4;
        uint32 dirOffset = static_cast<uint32>(out.size());
        uint32 dataOffset = dirOffset + dirSize;
        if (directoryLast) {
            dataOffset = dirOffset;
            dirOffset = dataOffset + OutOfLineBytes();
        }

        std::vector<uint8> dir, data;
        Put(dir, static_cast<uint32>(entries_.size()), 2);
        for (const Entry& e : entries_) {
            Put(dir, e.tag, 2);
            Put(dir, e.type, 2);
            Put(dir, e.count, 4);
            if (e.bytes.size() <= 4) {
                std::vector<uint8> inl = e.bytes;
                inl.resize(4, 0);
                dir.insert(dir.end(), inl.begin(), inl.end());
            } else {
                Put(dir, dataOffset + static_cast<uint32>(data.size()), 4);
                data.insert(data.end(), e.bytes.begin(), e.bytes.end());
                if (data.size() & 1) data.push_back(0);
            }
        }
        Put(dir, 0, 4);

        if (directoryLast) {
            out.insert(out.end(), data.begin(), data.end());
            out.insert(out.end(), dir.begin(), dir.end());
        } else {
            out.insert(out.end(), dir.begin(), dir.end());
            out.insert(out.end(), data.begin(), data.end());
        }
        PutAt(out, 4, dirOffset);
        return out;
    }

private:
    struct Entry {
        uint16 tag;
        uint16 type;
        uint32 count;
        std::vector<uint8> bytes;
    };

    void Add(uint16 tag, uint16 type, uint32 count, std::vector<uint8> bytes) {
        entries_.push_back({tag, type, count, std::move(bytes)});
    }

    uint32 OutOfLineBytes() const {
        uint32 n = 0;
        for (const Entry& e : entries_)
            if (e.bytes.size() > 4) n += static_cast<uint32>((e.bytes.size() + 1) & ~size_t(1));
        return n;
    }

    void Put(std::vector<uint8>& b, uint32 v, int size) const {
        for (int i = 0; i < size; i++) {
            const int shift = big_ ? 8 * (size - 1 - i) : 8 * i;
            b.push_back(static_cast<uint8>(v >> shift));
        }
    }
    void PutAt(std::vector<uint8>& b, size_t at, uint32 v) const {
        std::vector<uint8> tmp;
        Put(tmp, v, 4);
        std::memcpy(b.data() + at, tmp.data(), 4);
    }

    bool big_;
    std::vector<Entry> entries_;
};

}  // namespace cameraprofiletest
