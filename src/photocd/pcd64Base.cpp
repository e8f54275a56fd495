// The 64Base level from the extension folder: the index file "INFO.IC"
// (layer table, list of extension files, Huffman definitions, and per layer
// a fragment table that says in which extension file and at which byte its
// residual records lie) and the extension files themselves. Every offset the
// index gives is checked against the index's length before it is used.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "photocd/pcdDecode.h"
#include "platform/AsciiCase.h"
#include "platform/InputFile.h"

namespace fs = std::filesystem;

namespace {

constexpr long kMaxIndexBytes = 1 << 20;

struct FileCloser {
    std::FILE* file = nullptr;
    ~FileCloser() { close(); }
    void close() {
        if (file) std::fclose(file);
        file = nullptr;
    }
};

// Throws unless [offset, offset + count) lies inside the index.
void need(size_t length, uint64_t offset, uint64_t count) {
    if (offset > length || count > length - offset) throw "64Base IPE file is damaged";
}

}  // namespace

fs::path pcdFindEntry(const fs::path& folder, const std::string& name) {
    std::error_code ec;
    if (fs::exists(folder / name, ec)) return folder / name;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (platform::equalsIgnoringAsciiCase(it->path().filename().string(), name))
            return it->path();
    return folder / name;
}

bool pcdDecode::read64Base(const char* ipePath) {
    if (!ipePath || std::strlen(ipePath) <= 9) {
        setErrorText("IPE filename too short to be valid");
        return false;
    }
    FileCloser index{platform::openRegularFile(ipePath)};
    if (!index.file) {
        setErrorText("Could not open 64Base IPE file");
        return false;
    }
    long length = -1;
    if (std::fseek(index.file, 0, SEEK_END) == 0) length = std::ftell(index.file);
    if (length < 0 || std::fseek(index.file, 0, SEEK_SET) != 0) {
        setErrorText("Could not read 64Base IPE file");
        return false;
    }
    const fs::path folder = fs::path(ipePath).parent_path();
    try {
        // An index of the real format is a few sectors; a larger one is not
        // read into memory.
        if (length > kMaxIndexBytes) throw "64Base IPE file is too large";
        pcdBytes store = pcdAlloc(kPcdTableStoreBytes);
        if (!store) throw "Could not allocate huffman tables";
        const size_t len = size_t(length);
        std::vector<uint8_t> ic(len + kPcdSector);
        if (pcdReadBytes(index.file, ic.data(), len) != len || len < 60) throw "IC File too small";
        const uint8_t* d = ic.data();

        const uint32_t layerTable = pcdBig32(d + 44), fileList = pcdBig32(d + 48);
        const uint32_t tables = pcdBig32(d + 56);
        need(len, layerTable, 2);
        layerCount = pcdBig16(d + layerTable);
        if (layerCount != 1 && layerCount != 3) throw "Invalid number of layers";
        if (lumaOnly) layerCount = 1;
        need(len, fileList, 2);
        ipeFileCount = pcdBig16(d + fileList);
        if (ipeFileCount < 1 || ipeFileCount > 10 || ipeFileCount < layerCount)
            throw "Invalid number of IPE files";
        need(len, uint64_t(fileList) + 2, uint64_t(ipeFileCount) * 16);
        std::vector<std::string> names;
        for (unsigned i = 0; i < ipeFileCount; ++i) {
            const char* name = reinterpret_cast<const char*>(d + fileList + 2 + 16 * i);
            names.emplace_back(name, strnlen(name, 12));
            // A name stays inside the index's folder.
            if (names.back().empty() || names.back().find('/') != std::string::npos ||
                names.back() == "." || names.back() == "..")
                throw "Invalid extension file name";
        }
        need(len, tables, 1);
        pcdParseHuffmanTables(d + tables, len - tables, store.get(), layerCount);

        const pcdSize s = pcdLevelSize(5);
        const size_t lumaBytes = size_t(s.width) * s.height;
        residual[2][0] = pcdAllocZeroed(lumaBytes);
        if (!residual[2][0]) throw 0;
        if (layerCount == 3) {
            residual[2][1] = pcdAllocZeroed(lumaBytes / 4);
            residual[2][2] = pcdAllocZeroed(lumaBytes / 4);
            if (!residual[2][1] || !residual[2][2]) throw 0;
        }
        uint8_t* const planes[3] = {residual[2][0].get(), residual[2][1].get(),
                                    residual[2][2].get()};

        // Every extension byte is read about once; allow twice that plus a
        // sector per run start of a sane index.
        uint64_t budget = 16u << 20;
        for (const std::string& n : names) {
            std::error_code ec;
            const auto size = fs::file_size(pcdFindEntry(folder, n), ec);
            if (!ec) budget += 2 * uint64_t(size);
        }
        uint64_t descriptor = uint64_t(layerTable) + 2;
        for (unsigned layer = 0; layer < layerCount; ++layer) {
            need(len, descriptor, 18);
            const uint8_t* desc = d + descriptor;
            const uint32_t segmentWidth = pcdBig32(desc + 10);
            if (segmentWidth == 0) throw "Invalid segment width";
            const uint64_t entries =
                uint64_t(pcdBig16(desc + 4)) * pcdBig16(desc + 6) / segmentWidth;
            const uint32_t fragments = pcdBig32(desc + 14);
            need(len, fragments, entries * 6);
            // The last entry is never decoded; each run of entries naming one
            // file is read from its first entry's offset.
            bool firstRun = true;
            for (uint64_t e = 0; e + 1 < entries;) {
                const uint8_t* entry = d + fragments + e * 6;
                const uint16_t fileIndex = pcdBig16(entry);
                uint64_t runEnd = e + 1;
                while (runEnd + 1 < entries && pcdBig16(d + fragments + runEnd * 6) == fileIndex)
                    ++runEnd;
                const uint64_t runLength = runEnd - e;
                e = runEnd;
                const uint64_t records =
                    firstRun ? runLength : std::max<uint64_t>(1, runLength - 1);
                firstRun = false;
                if (fileIndex >= names.size()) throw "Invalid extension file number";
                const fs::path path = pcdFindEntry(folder, names[fileIndex]);
                FileCloser extension{platform::openRegularFile(path)};
                if (!extension.file) throw "Could not open 64Base extension image";
                if (std::fseek(extension.file, long(pcdBig32(entry + 2)), SEEK_SET) != 0)
                    throw "Could not read 64Base extension image";
                pcdBitReader reader;
                reader.start(extension.file);
                reader.budget = &budget;
                pcdSkipBits(reader, 0);
                pcdDecodeResiduals(reader, store.get(), 5, segmentWidth,
                                   uint32_t(std::min<uint64_t>(records, UINT32_MAX)), planes,
                                   pcdBig16(desc + 8));
            }
            descriptor += pcdBig16(desc);
        }
    } catch (const char* text) {
        setErrorText(text, " while processing 64Base image");
        freeResiduals(2);
        return false;
    } catch (...) {
        setErrorText("Error while processing 64Base image");
        freeResiduals(2);
        return false;
    }
    return true;
}
