#include "photocd/PcdPackWriter.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

namespace pcdtest {

namespace fs = std::filesystem;

namespace {

constexpr size_t kSector = 2048;

class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
    void put(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            acc_ = uint8_t((acc_ << 1) | ((value >> i) & 1));
            if (++count_ == 8) flushByte();
        }
    }
    void align() {
        while (count_ != 0) put(0, 1);
    }

private:
    void flushByte() {
        out_.push_back(acc_);
        acc_ = 0;
        count_ = 0;
    }
    std::vector<uint8_t>& out_;
    uint8_t acc_ = 0;
    int count_ = 0;
};

// Symbol k is "0", k ones, "0" (k = 14: 16 bits); values 0, 1, -1, 2, -2, ...
int symbolOf(int value) { return value > 0 ? 2 * value - 1 : -2 * value; }
int valueOf(int symbol) { return symbol % 2 ? (symbol + 1) / 2 : -(symbol / 2); }

void putCode(BitWriter& w, int value) {
    const int k = symbolOf(value);
    w.put(0, 1);
    if (k) w.put((1u << k) - 1, k);
    w.put(0, 1);
}

void appendDefinition(std::vector<uint8_t>& out, bool strayBits, bool badLength) {
    out.push_back(14);  // 15 codes
    for (int k = 0; k <= 14; ++k) {
        const int length = k + 2;
        uint32_t code = (((1u << k) - 1) << 1) << (16 - length);
        if (strayBits) code |= (1u << (16 - length)) - 1;
        out.push_back(uint8_t(badLength && k == 3 ? 16 : length - 1));
        out.push_back(uint8_t(code >> 8));
        out.push_back(uint8_t(code));
        out.push_back(uint8_t(int8_t(valueOf(k))));
    }
}

void padTo(std::vector<uint8_t>& v, size_t size) {
    if (v.size() < size) v.resize(size, 0);
}

void padToSector(std::vector<uint8_t>& v) {
    padTo(v, (v.size() + kSector - 1) / kSector * kSector);
}

void put16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    padTo(v, at + 2);
    v[at] = uint8_t(x >> 8);
    v[at + 1] = uint8_t(x);
}

void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    put16(v, at, x >> 16);
    put16(v, at + 2, x & 0xFFFF);
}

void sync(BitWriter& w) {
    w.align();
    w.put(0xFFFFFE, 24);
}

Planes randomPlanes(unsigned w, unsigned h, std::mt19937& rng) {
    Planes p;
    p.width = w;
    p.height = h;
    std::uniform_int_distribution<int> d(16, 240);
    p.y.resize(size_t(w) * h);
    p.c1.resize(p.y.size() / 4);
    p.c2.resize(p.y.size() / 4);
    for (auto* v : {&p.y, &p.c1, &p.c2})
        for (auto& s : *v) s = uint8_t(d(rng));
    return p;
}

std::vector<unsigned> everyNth(unsigned n, unsigned height) {
    std::vector<unsigned> rows;
    for (unsigned r = 0; r < height; r += n) rows.push_back(r);
    if (rows.back() != height - 1) rows.push_back(height - 1);
    return rows;
}

void fillRows(std::vector<int8_t>& plane, unsigned width, const std::vector<unsigned>& rows,
              std::mt19937& rng) {
    std::uniform_int_distribution<int> d(-7, 7);
    for (unsigned r : rows)
        for (unsigned c = 0; c < width; ++c) plane[size_t(r) * width + c] = int8_t(d(rng));
}

Residuals makeResiduals(unsigned w, unsigned h, bool chroma, unsigned lumaStep, unsigned chromaStep,
                        std::mt19937& rng) {
    Residuals r;
    r.width = w;
    r.height = h;
    r.y.assign(size_t(w) * h, 0);
    r.lumaRows = everyNth(lumaStep, h);
    fillRows(r.y, w, r.lumaRows, rng);
    if (chroma) {
        r.c1.assign(r.y.size() / 4, 0);
        r.c2.assign(r.y.size() / 4, 0);
        r.chromaRows = everyNth(chromaStep, h / 2);
        fillRows(r.c1, w / 2, r.chromaRows, rng);
        fillRows(r.c2, w / 2, r.chromaRows, rng);
    }
    return r;
}

void putSamples(BitWriter& w, const int8_t* samples, size_t n) {
    for (size_t i = 0; i < n; ++i) putCode(w, samples[i]);
}

// Records of level 3 or 4: 16-bit header (plane, 13-bit row, spare bit).
void writeLowRecords(std::vector<uint8_t>& out, Residuals& r, bool invalidCode) {
    BitWriter w(out);
    bool spoiled = false;
    for (unsigned row : r.lumaRows) {
        sync(w);
        w.put((0u << 14) | (row << 1), 16);
        int8_t* samples = &r.y[size_t(row) * r.width];
        if (invalidCode && !spoiled && row > 0) {
            // A pattern that starts no code: the decoder zeroes the record.
            putSamples(w, samples, r.width / 3);
            w.put(0x8000, 16);
            std::fill(samples, samples + r.width, 0);
            spoiled = true;
            continue;
        }
        putSamples(w, samples, r.width);
    }
    const unsigned cw = r.width / 2;
    for (int p = 0; p < 2 && !r.c1.empty(); ++p)
        for (unsigned row : r.chromaRows) {
            sync(w);
            w.put(((p == 0 ? 2u : 3u) << 14) | ((2 * row) << 1), 16);
            putSamples(w, &(p == 0 ? r.c1 : r.c2)[size_t(row) * cw], cw);
        }
    sync(w);
    w.put(0x1FFFu << 1, 16);  // a row beyond the image ends the level
    w.put(0, 32);
    w.align();
}

void writeBase(std::vector<uint8_t>& out, size_t sector, const Planes& p) {
    size_t at = sector * kSector;
    padTo(out, at + size_t(p.width) * p.height * 3 / 2);
    const unsigned W = p.width;
    for (unsigned pair = 0; pair < p.height / 2; ++pair) {
        std::memcpy(&out[at], &p.y[size_t(2 * pair) * W], 2 * W);
        at += 2 * W;
        std::memcpy(&out[at], &p.c1[size_t(pair) * (W / 2)], W / 2);
        at += W / 2;
        std::memcpy(&out[at], &p.c2[size_t(pair) * (W / 2)], W / 2);
        at += W / 2;
    }
}

Planes nextLevel(const Planes& below, const Residuals& r) {
    Planes p;
    p.width = below.width * 2;
    p.height = below.height * 2;
    p.y = replicateAdd(below.y, p.width, p.height, r.y);
    const std::vector<int8_t> none;
    p.c1 = replicateAdd(below.c1, p.width / 2, p.height / 2, r.c1.empty() ? none : r.c1);
    p.c2 = replicateAdd(below.c2, p.width / 2, p.height / 2, r.c2.empty() ? none : r.c2);
    return p;
}

}  // namespace

std::vector<uint8_t> replicateAdd(const std::vector<uint8_t>& plane, unsigned width,
                                  unsigned height, const std::vector<int8_t>& residual) {
    std::vector<uint8_t> out(size_t(width) * height);
    for (unsigned r = 0; r < height; ++r)
        for (unsigned c = 0; c < width; ++c) {
            int v = plane[size_t(r / 2) * (width / 2) + c / 2];
            if (!residual.empty()) v += residual[size_t(r) * width + c];
            out[size_t(r) * width + c] = uint8_t(std::clamp(v, 0, 255));
        }
    return out;
}

void writeFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path.string());
}

Pack makePack(const PackSpec& spec) {
    std::mt19937 rng(spec.seed);
    Pack pack;
    auto& out = pack.bytes;
    out.assign(3 * kSector, 0xFF);
    if (spec.pcdOpaOnly) {
        std::memcpy(&out[0], "PCD_OPA", 7);
    } else {
        std::fill(out.begin() + 2048, out.begin() + 4096, 0x20);
        std::memcpy(&out[2048], "PCD_IPI", 7);
    }
    out[3586] = uint8_t((spec.orientation & 3) | (((spec.highest - 2) & 3) << 2));
    out[3593] = 1;

    const unsigned sizes[3][2] = {{192, 128}, {384, 256}, {768, 512}};
    const size_t sectors[3] = {4, 23, 96};
    for (int l = 0; l < 3; ++l) {
        pack.base[l] = randomPlanes(sizes[l][0], sizes[l][1], rng);
        pack.expected[l] = pack.base[l];
        writeBase(out, sectors[l], pack.base[l]);
    }

    pack.residual[0] = makeResiduals(1536, 1024, false, 5, 0, rng);
    padTo(out, 388 * kSector);
    std::vector<uint8_t> table;
    appendDefinition(table, spec.strayCodeBits, false);
    out.insert(out.end(), table.begin(), table.end());
    padTo(out, 389 * kSector);
    writeLowRecords(out, pack.residual[0], false);
    padToSector(out);

    const size_t S = out.size() / kSector - 12;
    put16(out, 3587, uint32_t(S));
    pack.residual[1] = makeResiduals(3072, 2048, true, 9, 7, rng);
    std::vector<uint8_t> tables;
    for (int t = 0; t < 3; ++t) appendDefinition(tables, spec.strayCodeBits, spec.badCodeLength);
    out.insert(out.end(), tables.begin(), tables.end());
    padTo(out, (S + 14) * kSector);
    writeLowRecords(out, pack.residual[1], spec.invalidCodeIn16Base);
    padToSector(out);
    out.resize(out.size() + kSector, 0);

    pack.expected[3] = nextLevel(pack.expected[2], pack.residual[0]);
    pack.expected[4] = nextLevel(pack.expected[3], pack.residual[1]);
    return pack;
}

fs::path writeExtension(Pack& pack, const fs::path& pcdFile, const ExtensionLayout& layout,
                        uint32_t seed) {
    std::mt19937 rng(seed);
    const bool lower = layout.lowerCaseFolder;
    auto name = [lower](std::string s) {
        if (lower)
            std::transform(s.begin(), s.end(), s.begin(),
                           [](unsigned char c) { return char(std::tolower(c)); });
        return s;
    };
    std::string stem = pcdFile.stem().string();
    std::transform(stem.begin(), stem.end(), stem.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    const fs::path folder =
        pcdFile.parent_path().parent_path() / name("IPE") / name(stem) / name("64BASE");
    fs::create_directories(folder);

    Residuals& r = pack.residual[2];
    r = makeResiduals(6144, 4096, layout.layers == 3, 97, 61, rng);
    pack.expected[5] = nextLevel(pack.expected[4], r);

    // One extension file per run; the luma layer is spread over several.
    struct Record {
        int plane;
        unsigned row, segment;
    };
    struct Run {
        int file;
        std::vector<Record> records;
        uint32_t offset = 0;
    };
    struct Layer {
        std::vector<Run> runs;
        uint32_t segmentWidth;
    };
    std::vector<Layer> layers(size_t(layout.layers));
    const uint32_t seg = layout.segmentWidth;
    std::vector<Record> luma;
    for (unsigned row : r.lumaRows)
        for (unsigned s = 0; s < 6144 / seg; ++s) luma.push_back({0, row, s});
    int fileCount = 0;
    const size_t per =
        (luma.size() + size_t(layout.filesPerLayer) - 1) / size_t(layout.filesPerLayer);
    for (size_t at = 0; at < luma.size(); at += per)
        layers[0].runs.push_back(
            {fileCount++,
             std::vector<Record>(luma.begin() + long(at),
                                 luma.begin() + long(std::min(luma.size(), at + per))),
             0});
    layers[0].segmentWidth = seg;
    for (int p = 1; p < layout.layers; ++p) {
        Run run{fileCount++, {}, 0};
        for (unsigned row : r.chromaRows)
            for (unsigned s = 0; s < 3072 / seg; ++s) run.records.push_back({p, row, s});
        layers[size_t(p)].runs.push_back(run);
        layers[size_t(p)].segmentWidth = seg;
    }

    std::vector<std::string> fileNames;
    for (int f = 0; f < fileCount; ++f) {
        std::vector<uint8_t> data(layout.rereadRuns ? (1u << 20) : 16u, 0);
        BitWriter w(data);
        for (auto& layer : layers)
            for (auto& run : layer.runs) {
                if (run.file != f) continue;
                w.align();
                run.offset = uint32_t(data.size());
                for (const Record& rec : run.records) {
                    sync(w);
                    w.put((uint32_t(rec.plane) << 20) | (rec.row << 6) | (rec.segment << 1), 24);
                    const unsigned pw = rec.plane == 0 ? 6144 : 3072;
                    const auto& plane = rec.plane == 0 ? r.y : rec.plane == 1 ? r.c1 : r.c2;
                    putSamples(w, &plane[size_t(rec.row) * pw + rec.segment * seg], seg);
                }
                w.put(0, 32);
            }
        w.align();
        const std::string fileName = "L" + std::to_string(f) + "F" + std::to_string(f) + ".IPE";
        fileNames.push_back(fileName);
        writeFile(folder / name(fileName), data);
    }

    // INFO.IC: header, layer table, file list, Huffman definitions, fragments.
    std::vector<uint8_t> ic(64, 0);
    const uint32_t A = 64, descriptorBytes = 20;
    put16(ic, A, uint32_t(layout.layers));
    const uint32_t B = A + 2 + descriptorBytes * uint32_t(layout.layers);
    const int declared = layout.declaredFiles > 0 ? layout.declaredFiles : fileCount;
    put16(ic, B, uint32_t(declared));
    for (int f = 0; f < declared; ++f) {
        const std::string n = f < fileCount ? fileNames[size_t(f)] : "MISSING.IPE";
        padTo(ic, B + 2 + 16 * size_t(f) + 16);
        std::memcpy(&ic[B + 2 + 16 * size_t(f)], n.data(), std::min<size_t>(12, n.size()));
    }
    const uint32_t H = uint32_t(ic.size());
    std::vector<uint8_t> defs;
    for (int l = 0; l < layout.layers; ++l) appendDefinition(defs, false, false);
    ic.insert(ic.end(), defs.begin(), defs.end());
    for (size_t l = 0; l < layers.size(); ++l) {
        std::vector<std::pair<int, uint32_t>> entries;
        for (size_t k = 0; k < layers[l].runs.size(); ++k) {
            const Run& run = layers[l].runs[k];
            const size_t count = run.records.size() + (k == 0 ? 0 : 1);
            int file = run.file;
            if (layout.badFileIndex && k == 1) file = declared + 3;
            for (size_t e = 0; e < count; ++e) entries.push_back({file, run.offset});
        }
        if (l == 0 && layout.rereadRuns > 0) {
            entries.clear();
            for (int k = 0; k < layout.rereadRuns; ++k) entries.push_back({k % 2, 0});
        }
        entries.push_back({layers[l].runs.back().file, 0});
        const uint32_t fragments = uint32_t(ic.size());
        for (auto [file, offset] : entries) {
            const size_t at = ic.size();
            put16(ic, at, uint32_t(file));
            put32(ic, at + 2, offset);
        }
        const size_t d = A + 2 + descriptorBytes * l;
        put16(ic, d, descriptorBytes);
        put16(ic, d + 4, uint32_t(entries.size()));
        put16(ic, d + 6, seg);
        put16(ic, d + 8, layout.destinationOffset);
        put32(ic, d + 10, layout.zeroSegmentWidth ? 0 : seg);
        put32(ic, d + 14, fragments);
    }
    put32(ic, 44, layout.layerTableOffset ? layout.layerTableOffset : A);
    put32(ic, 48, B);
    put32(ic, 56, layout.tablesRunPastEnd ? uint32_t(ic.size() - 1) : H);
    if (layout.oversizeIndex) padTo(ic, (1u << 20) + 1);
    const fs::path index = folder / name("INFO.IC");
    writeFile(index, ic);
    return index;
}

}  // namespace pcdtest
