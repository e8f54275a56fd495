#include "raw/RawFileFacts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/InputFile.h"

namespace {

constexpr int kMostDirectories = 32;
constexpr uint64_t kMostEntries = 1024;

// The file's bytes, read on demand; a read outside the file gives nothing.
class Bytes {
public:
    explicit Bytes(const std::string& path) : f_(platform::openRegularFile(path)) {
        if (f_ && std::fseek(f_, 0, SEEK_END) == 0) size_ = uint64_t(std::max(0L, std::ftell(f_)));
    }
    ~Bytes() {
        if (f_) std::fclose(f_);
    }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    uint64_t size() const { return size_; }
    std::vector<uint8_t> at(uint64_t offset, uint64_t n) const {
        if (!f_ || offset >= size_ || n > size_ - offset) return {};
        std::vector<uint8_t> out(static_cast<size_t>(n));
        if (std::fseek(f_, long(offset), SEEK_SET) != 0 ||
            std::fread(out.data(), 1, out.size(), f_) != out.size())
            return {};
        return out;
    }

private:
    std::FILE* f_;
    uint64_t size_ = 0;
};

bool Has(const std::vector<uint8_t>& h, size_t at, const char* text, size_t n) {
    return h.size() >= at + n && std::memcmp(h.data() + at, text, n) == 0;
}

uint64_t Number(const uint8_t* p, int n, bool little) {
    uint64_t v = 0;
    for (int i = 0; i < n; i++) v |= uint64_t(p[little ? i : n - 1 - i]) << (8 * i);
    return v;
}

std::string Trimmed(const uint8_t* p, size_t n) {
    if (p == nullptr || n == 0) return {};
    std::string s(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), n));
    while (!s.empty() && (s.back() == ' ' || std::iscntrl(static_cast<unsigned char>(s.back()))))
        s.pop_back();
    return s;
}

// Raw formats known by the bytes they start with.
const char* SignatureFormat(const std::vector<uint8_t>& h) {
    if (Has(h, 6, "HEAPCCDR", 8)) return "Canon CRW";
    if (Has(h, 4, "ftypcrx", 7)) return "Canon CR3";
    if (Has(h, 0, "FUJIFILM", 8)) return "Fujifilm RAF";
    if (Has(h, 0, "\0MRM", 4)) return "Minolta MRW";
    if (Has(h, 0, "IIRO", 4) || Has(h, 0, "IIRS", 4) || Has(h, 0, "MMOR", 4)) return "Olympus ORF";
    if (Has(h, 0, "IIU\0", 4)) return "Panasonic RW2";
    if (Has(h, 0, "IIII", 4)) return "Phase One IIQ";
    if (Has(h, 0, "qktk", 4) || Has(h, 0, "qktn", 4)) return "QuickTake";
    if (Has(h, 0, "NOKIARAW", 8)) return "Nokia raw";
    if (Has(h, 0, "ARRI", 4)) return "ARRI raw";
    return nullptr;
}

// A file shorter than a signature whose bytes begin one: cut short.
bool BeginsASignature(const std::vector<uint8_t>& h) {
    static const std::string kStarts[] = {std::string("II*\0", 4),
                                          std::string("MM\0*", 4),
                                          std::string("II\x1a\0\0\0HEAPCCDR", 14),
                                          "FUJIFILM",
                                          std::string("\0MRM", 4),
                                          "IIRO",
                                          "IIRS",
                                          "MMOR",
                                          std::string("IIU\0", 4),
                                          "IIII",
                                          "qktk",
                                          "qktn",
                                          "NOKIARAW",
                                          "ARRI"};
    if (h.empty()) return false;
    for (const std::string& start : kStarts)
        if (h.size() < start.size() && std::memcmp(h.data(), start.data(), h.size()) == 0)
            return true;
    return false;
}

// Tags of a camera's raw data: a colour filter's layout (TIFF/EP's and
// DNG's) and TIFF/EP's version, which only a camera's raw file states.
bool RawDataTag(uint64_t tag) {
    return tag == 33421 || tag == 33422 || tag == 37398 || tag == 50710 || tag == 50711;
}

bool PictureCompression(uint64_t c) {
    static const uint16_t kCodes[] = {1, 2, 3, 4, 5, 6, 7, 8, 32773, 32946, 34712, 34925, 50000};
    return std::find(std::begin(kCodes), std::end(kCodes), c) != std::end(kCodes);
}

// The maker's word in a Make text, for naming a TIFF-based raw file.
std::string MakerWord(const std::string& make) {
    static const char* const kMakers[] = {
        "Canon", "Nikon",   "Kodak",   "Sony",       "Pentax", "Olympus", "Panasonic", "Leica",
        "Fuji",  "Samsung", "Minolta", "Hasselblad", "Leaf",   "Mamiya",  "Sigma",     "Epson",
        "Casio", "Ricoh",   "Apple",   "Kyocera",    "Sinar",  "Imacon",  "Phase One"};
    std::string lower = make;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    for (const char* maker : kMakers) {
        std::string m = maker;
        for (char& c : m) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (lower.find(m) != std::string::npos) return maker;
    }
    return {};
}

// Whether the Exif directory at `at` holds a maker's note.
bool HoldsMakerNote(const Bytes& file, bool little, uint64_t at) {
    const std::vector<uint8_t> count = file.at(at, 2);
    if (count.empty()) return false;
    const uint64_t n = std::min(Number(count.data(), 2, little), kMostEntries);
    const std::vector<uint8_t> entries = file.at(at + 2, n * 12);
    for (uint64_t i = 0; i < n && !entries.empty(); i++)
        if (Number(entries.data() + 12 * i, 2, little) == 37500) return true;
    return false;
}

void ReadTiff(const Bytes& file, bool little, uint64_t first, RawFileFacts& facts) {
    std::vector<uint64_t> pending{first};
    facts.directoriesIntact = true;
    bool picturePhotometric = false, haveWidth = false, haveOffsets = false;
    for (int visited = 0; !pending.empty() && visited < kMostDirectories; visited++) {
        const uint64_t at = pending.back();
        pending.pop_back();
        const std::vector<uint8_t> count = file.at(at, 2);
        if (count.empty()) {
            facts.directoriesIntact = false;
            continue;
        }
        const uint64_t n = std::min(Number(count.data(), 2, little), kMostEntries);
        const std::vector<uint8_t> entries = file.at(at + 2, n * 12 + 4);
        if (entries.empty()) {
            facts.directoriesIntact = false;
            continue;
        }
        if (visited == 0) facts.firstReadable = true;
        uint64_t offset = 0, bytes = 0;
        for (uint64_t i = 0; i < n; i++) {
            const uint8_t* e = entries.data() + 12 * i;
            const uint64_t tag = Number(e, 2, little), type = Number(e + 2, 2, little),
                           items = Number(e + 4, 4, little);
            // The first value only: one offset per directory is enough to tell.
            const uint64_t value =
                type == 3 && items <= 2 ? Number(e + 8, 2, little) : Number(e + 8, 4, little);
            if (tag == 50706 && visited == 0) facts.dng = true;
            if ((tag == 273 || tag == 324) && items == 1) offset = value;
            if ((tag == 279 || tag == 325) && items == 1) bytes = value;
            if (tag == 330) {
                facts.makerTags = true;
                if (items == 1) pending.push_back(value);
            }
            if (tag == 262 && (value == 32803 || value == 34892)) facts.makerTags = true;
            if (tag == 259 && !PictureCompression(value)) facts.makerTags = true;
            if (RawDataTag(tag)) facts.makerTags = true;
            if (visited != 0) continue;
            if (tag == 34665 && items == 1 && HoldsMakerNote(file, little, value))
                facts.makerTags = true;
            if (tag == 262 && value <= 6 && value != 4) picturePhotometric = true;
            if (tag == 256 && value > 0) haveWidth = true;
            if (tag == 273 || tag == 324) haveOffsets = true;
            if ((tag == 271 || tag == 272) && type == 2 && items > 0 && items <= 256) {
                const std::vector<uint8_t> text =
                    items <= 4 ? std::vector<uint8_t>(e + 8, e + 8 + items) : file.at(value, items);
                (tag == 271 ? facts.make : facts.model) = Trimmed(text.data(), text.size());
            }
        }
        facts.largestStrip = std::max(facts.largestStrip, bytes);
        if (bytes > 0 && offset > 0 && offset + bytes > file.size() && facts.pastEndBytes == 0) {
            facts.pastEndOffset = offset;
            facts.pastEndBytes = bytes;
        }
        const uint64_t next = Number(entries.data() + n * 12, 4, little);
        if (next != 0) pending.push_back(next);
    }
    if (facts.pastEndBytes > 0) facts.directoriesIntact = false;
    facts.tiffPicture = facts.tiff && facts.firstReadable && !facts.dng && !facts.makerTags &&
                        picturePhotometric && haveWidth && haveOffsets;
}

// A CRW's heaps: make and model sit in one record of two texts, a few
// sub-heaps down.
void ReadCiff(const Bytes& file, bool little, uint64_t start, uint64_t end, int depth,
              int& heapsLeft, RawFileFacts& facts) {
    // Heaps may point at each other: a budget of heaps, not only a depth.
    if (depth > 4 || heapsLeft-- <= 0 || end < start + 4) return;
    const std::vector<uint8_t> tail = file.at(end - 4, 4);
    if (tail.empty()) return;
    const uint64_t table = start + Number(tail.data(), 4, little);
    const std::vector<uint8_t> count = file.at(table, 2);
    if (count.empty() || table >= end) return;
    const uint64_t n = std::min(Number(count.data(), 2, little), kMostEntries);
    const std::vector<uint8_t> entries = file.at(table + 2, n * 10);
    if (entries.empty()) return;
    for (uint64_t i = 0; i < n && facts.model.empty(); i++) {
        const uint8_t* e = entries.data() + 10 * i;
        const uint64_t type = Number(e, 2, little), size = Number(e + 2, 4, little),
                       offset = Number(e + 6, 4, little);
        if (type & 0xc000) continue;  // data held in the record itself
        if (offset > end - start || size > end - start - offset) continue;
        const uint64_t kind = (type >> 8) & 0x38;
        if (kind == 0x28 || kind == 0x30) {
            ReadCiff(file, little, start + offset, start + offset + size, depth + 1, heapsLeft,
                     facts);
        } else if ((type & 0x3fff) == 0x080a && size > 0 && size <= 256) {
            const std::vector<uint8_t> text = file.at(start + offset, size);
            if (text.empty()) continue;
            facts.make = Trimmed(text.data(), text.size());
            const size_t second = strnlen(reinterpret_cast<const char*>(text.data()), text.size());
            if (second + 1 < text.size())
                facts.model = Trimmed(text.data() + second + 1, text.size() - second - 1);
        }
    }
}

}  // namespace

RawFileFacts RawFileFacts::read(const std::string& path) {
    RawFileFacts facts;
    const Bytes file(path);
    const std::vector<uint8_t> head = file.at(0, std::min<uint64_t>(16, file.size()));
    if (const char* format = SignatureFormat(head)) facts.format = format;
    if (head.size() < 16 && head.size() == file.size() && BeginsASignature(head))
        facts.format = "camera raw";
    const bool little = Has(head, 0, "II", 2);
    facts.tiff = Has(head, 0, "II*\0", 4) || Has(head, 0, "MM\0*", 4);
    // Olympus and Panasonic files are TIFF structures under magic of their own.
    if ((facts.tiff || Has(head, 0, "IIRO", 4) || Has(head, 0, "IIRS", 4) ||
         Has(head, 0, "MMOR", 4) || Has(head, 0, "IIU\0", 4)) &&
        head.size() >= 8)
        ReadTiff(file, little, Number(head.data() + 4, 4, little), facts);
    if (Has(head, 6, "HEAPCCDR", 8)) {
        facts.clockIsUTC = true;
        int heapsLeft = kMostDirectories;
        ReadCiff(file, little, Number(head.data() + 2, 4, little), file.size(), 0, heapsLeft,
                 facts);
    }
    // A TIFF whose first directory cannot be read could be any camera's; one
    // that is no whole picture is a camera's when a maker's Make says so.
    const std::string maker = MakerWord(facts.make);
    if (facts.format.empty() && facts.tiff && !facts.tiffPicture && !facts.dng &&
        (facts.makerTags || !facts.firstReadable || !maker.empty())) {
        facts.format = (maker.empty() ? std::string("camera") : maker) + " raw (TIFF-based)";
    }
    return facts;
}
