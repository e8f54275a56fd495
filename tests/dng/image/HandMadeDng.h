// Builds small CFA DNG files byte by byte, for layouts that no writer makes
// on purpose: tiles or strips that point at the same bytes, and images that
// claim far more pixels than their data can hold.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace handdng {

struct Entry {
    uint16_t tag;
    uint16_t type;
    std::vector<uint32_t> values;  // SHORT, LONG, BYTE; pairs for rationals; DOUBLE as two words
};

struct Layout {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t tileWidth = 0;  // 0: strips of tileLength rows
    uint32_t tileLength = 0;
    uint16_t compression = 8;
    uint16_t bits = 16;
    // Data blocks stored after the header, in order.
    std::vector<std::vector<uint8_t>> blobs;
    // Per tile or strip: the block it points at, and how far into it.
    std::vector<uint32_t> blobOf;
    std::vector<uint32_t> skip;  // empty: 0 for every tile
    // A JPEG preview in a second directory (none when empty), and the size
    // that directory gives it.
    std::vector<uint8_t> previewJpeg;
    uint32_t previewWidth = 0;
    uint32_t previewHeight = 0;
    // ColorMatrix1 as signed numerator, denominator pairs.
    std::vector<int32_t> colorMatrix = {8,  10, -2, 10, -1, 10, -3, 10, 12,
                                        10, 1,  10, -1, 20, 2,  10, 6,  10};
    // Entries added to the raw image's directory; one with the tag of a
    // built-in entry replaces it, and one without values removes it.
    std::vector<Entry> extra;
};

namespace detail {

using handdng::Entry;

// Entries whose values take two words each.
inline bool PairedType(uint16_t type) { return type == 5 || type == 10 || type == 12; }

inline void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int s = 0; s < 32; s += 8) out.push_back(uint8_t(v >> s));
}

inline uint32_t TypeSize(uint16_t type) {
    switch (type) {
        case 1:
        case 2:
            return 1;
        case 3:
            return 2;
        case 5:
        case 10:
        case 12:
            return 8;
        default:
            return 4;
    }
}

// Values of one entry in file form.
inline std::vector<uint8_t> Encode(const Entry& e) {
    std::vector<uint8_t> out;
    for (uint32_t v : e.values) {
        const uint32_t size = PairedType(e.type) ? 4 : TypeSize(e.type);
        if (size == 1)
            out.push_back(uint8_t(v));
        else if (size == 2)
            Put16(out, v);
        else
            Put32(out, v);
    }
    return out;
}

// Appends a directory and its out-of-line values and points the header
// at it when it is the first; returns where its next-directory link lies.
inline uint32_t WriteDirectory(std::vector<uint8_t>& file, const std::vector<Entry>& entries) {
    const uint32_t ifdAt = uint32_t(file.size());
    if (file[4] == 0 && file[5] == 0 && file[6] == 0 && file[7] == 0)
        for (int s = 0; s < 4; ++s) file[4 + s] = uint8_t(ifdAt >> (8 * s));
    const uint32_t outOfLineAt = ifdAt + 2 + uint32_t(entries.size()) * 12 + 4;
    std::vector<uint8_t> outOfLine;
    Put16(file, uint32_t(entries.size()));
    for (const Entry& e : entries) {
        const uint32_t count =
            PairedType(e.type) ? uint32_t(e.values.size() / 2) : uint32_t(e.values.size());
        std::vector<uint8_t> bytes = Encode(e);
        Put16(file, e.tag);
        Put16(file, e.type);
        Put32(file, count);
        if (bytes.size() <= 4) {
            bytes.resize(4, 0);
            file.insert(file.end(), bytes.begin(), bytes.end());
        } else {
            Put32(file, outOfLineAt + uint32_t(outOfLine.size()));
            outOfLine.insert(outOfLine.end(), bytes.begin(), bytes.end());
            if (outOfLine.size() % 2) outOfLine.push_back(0);
        }
    }
    const uint32_t nextAt = uint32_t(file.size());
    Put32(file, 0);
    file.insert(file.end(), outOfLine.begin(), outOfLine.end());
    return nextAt;
}

}  // namespace detail

// The whole file, little-endian: header, data blocks, the raw image's
// directory with its out-of-line values, then the preview and its directory.
inline std::vector<uint8_t> Build(const Layout& l) {
    using detail::Entry;
    std::vector<uint8_t> file = {'I', 'I', 42, 0, 0, 0, 0, 0};
    std::vector<uint32_t> blobAt;
    for (const auto& blob : l.blobs) {
        blobAt.push_back(uint32_t(file.size()));
        file.insert(file.end(), blob.begin(), blob.end());
        if (file.size() % 2) file.push_back(0);
    }
    std::vector<uint32_t> offsets, counts;
    for (size_t i = 0; i < l.blobOf.size(); ++i) {
        const uint32_t skip = l.skip.empty() ? 0 : l.skip[i];
        offsets.push_back(blobAt[l.blobOf[i]] + skip);
        counts.push_back(uint32_t(l.blobs[l.blobOf[i]].size()) - skip);
    }
    const bool tiles = l.tileWidth != 0;
    std::vector<Entry> entries = {
        {254, 4, {0}},
        {256, 4, {l.width}},
        {257, 4, {l.height}},
        {258, 3, {l.bits}},
        {259, 3, {l.compression}},
        {262, 3, {32803}},
        {277, 3, {1}},
        {284, 3, {1}},
        {33421, 3, {2, 2}},
        {33422, 1, {0, 1, 1, 2}},
        {50706, 1, {1, 4, 0, 0}},
        {50721, 10, std::vector<uint32_t>(l.colorMatrix.begin(), l.colorMatrix.end())},
        {50728, 5, {1, 2, 1, 1, 3, 5}},
        {50778, 3, {21}},
    };
    if (tiles) {
        entries.push_back({322, 4, {l.tileWidth}});
        entries.push_back({323, 4, {l.tileLength}});
        entries.push_back({324, 4, offsets});
        entries.push_back({325, 4, counts});
    } else {
        entries.push_back({273, 4, offsets});
        entries.push_back({278, 4, {l.tileLength}});
        entries.push_back({279, 4, counts});
    }
    for (const Entry& e : l.extra) {
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const Entry& old) { return old.tag == e.tag; }),
                      entries.end());
        if (!e.values.empty()) entries.push_back(e);
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.tag < b.tag; });

    const uint32_t nextAt = detail::WriteDirectory(file, entries);
    if (!l.previewJpeg.empty()) {
        const uint32_t jpegAt = uint32_t(file.size());
        file.insert(file.end(), l.previewJpeg.begin(), l.previewJpeg.end());
        if (file.size() % 2) file.push_back(0);
        const std::vector<Entry> preview = {
            {254, 4, {1}},
            {256, 4, {l.previewWidth}},
            {257, 4, {l.previewHeight}},
            {258, 3, {8, 8, 8}},
            {259, 3, {7}},
            {262, 3, {6}},
            {273, 4, {jpegAt}},
            {277, 3, {3}},
            {278, 4, {l.previewHeight}},
            {279, 4, {uint32_t(l.previewJpeg.size())}},
        };
        const uint32_t previewAt = uint32_t(file.size());
        for (int s = 0; s < 4; ++s) file[nextAt + s] = uint8_t(previewAt >> (8 * s));
        detail::WriteDirectory(file, preview);
    }
    return file;
}

inline void Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// zlib data of count zero bytes: the most a real tile can be compressed.
inline std::vector<uint8_t> DeflatedZeros(uint32_t count) {
    const std::vector<uint8_t> zeros(count, 0);
    std::vector<uint8_t> out(compressBound(count));
    uLongf length = uLongf(out.size());
    compress2(out.data(), &length, zeros.data(), count, 9);
    out.resize(length);
    return out;
}

// A tiled 16-bit Deflate mosaic whose tiles all point at one tile's bytes.
inline Layout SharedDeflateTiles(uint32_t side, uint32_t tile) {
    Layout l;
    l.width = l.height = side;
    l.tileWidth = l.tileLength = tile;
    l.blobs = {DeflatedZeros(tile * tile * 2)};
    const uint32_t across = (side + tile - 1) / tile;
    l.blobOf.assign(size_t(across) * across, 0);
    return l;
}

}  // namespace handdng
