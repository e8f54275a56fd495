// Parsing an image pack: the header checks, the base image, the levels built
// from residuals with their fall-backs, and the assembly of the planes at the
// level in use (postProcess).
#include "photocd/pcdDecode.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/InputFile.h"

namespace {

struct FileCloser {
    std::FILE* file;
    ~FileCloser() {
        if (file) std::fclose(file);
    }
};

}  // namespace

pcdDecode::pcdDecode() = default;

pcdDecode::~pcdDecode() = default;

void pcdDecode::freeAll() {
    planeY.reset();
    planeC1.reset();
    planeC2.reset();
    for (auto& level : residual)
        for (auto& plane : level) plane.reset();
    header.reset();
    layerCount = 0;
    ipeFileCount = 0;
}

void pcdDecode::setErrorText(const char* text, const char* suffix) {
    if (errorText[0]) return;
    std::snprintf(errorText, sizeof errorText, "%s%s", text, suffix);
}

void pcdDecode::freeResiduals(int level) {
    for (auto& plane : residual[level]) plane.reset();
}

bool pcdDecode::parseFile(const char* path, const char* ipePath, int asked) {
    freeAll();
    errorText[0] = 0;
    asked = std::clamp(asked, 0, 5);
    FileCloser closer{path ? platform::openRegularFile(path) : nullptr};
    std::FILE* file = closer.file;
    if (!file) {
        setErrorText(errno == EINVAL
                         ? "Could not open PCD file - it is not a regular file"
                         : "Could not open PCD file - may be a file permissions problem");
        return false;
    }
    header = pcdAlloc(kPcdHeaderBytes);
    if (!header || pcdReadBytes(file, header.get(), kPcdHeaderBytes) != kPcdHeaderBytes) {
        header.reset();
        setErrorText("PCD file is too small to be valid");
        return false;
    }
    const uint8_t* h = header.get();
    if (std::memcmp(h, "PCD_OPA", 7) != 0 && std::memcmp(h + 2048, "PCD_IPI", 7) != 0) {
        header.reset();
        setErrorText("That is not a valid PCD file");
        return false;
    }
    if (h[3593] != 1) {
        header.reset();
        setErrorText("The file contains interleaved audio");
        return false;
    }
    const uint8_t attributes = h[3586];
    orientation = attributes & 3;
    highestResolution = ((attributes >> 2) & 3) + 2;
    attributeBit4 = (attributes >> 4) & 1;
    compressionClass = (attributes >> 5) & 3;
    resolution = highestResolution < 4 ? std::min<uint32_t>(highestResolution, uint32_t(asked))
                                       : uint32_t(asked);

    pcdBytes base[3];
    const unsigned baseLevel = std::min<uint32_t>(resolution, 2);
    const char* why = nullptr;
    const int got = pcdReadBaseImage(file, baseLevel, base, &why);
    if (got < 0) {
        header.reset();
        setErrorText("Could not read a base image from the PCD file");
        return false;
    }
    if (unsigned(got) < baseLevel) {
        static const char* const names[3] = {"Base/16", "Base/4", "Base"};
        char text[160];
        std::snprintf(text, sizeof text, "%s in the %s image; falling back to %s",
                      why ? why : "Read error", names[baseLevel], names[got]);
        setErrorText(text);
    }
    planeY = std::move(base[0]);
    planeC1 = std::move(base[1]);
    planeC2 = std::move(base[2]);
    levelsRead = uint32_t(got);
    planeLevel = levelsRead;
    if (levelsRead < 2) {
        resolution = levelsRead;
        return true;
    }
    if (resolution >= 3) {
        pcdBytes store = pcdAlloc(kPcdTableStoreBytes);
        if (!store) {
            setErrorText("Could not allocate huffman tables");
            resolution = 2;
        } else {
            decodeHighLevels(file, store.get());
        }
    }
    if (resolution == 5 && !read64Base(ipePath)) {
        resolution = 4;
        setErrorText("Error while processing 64Base image");
    }
    return true;
}

void pcdDecode::decodeHighLevels(std::FILE* file, uint8_t* store) {
    pcdBitReader reader;
    try {
        pcdBuildHuffmanTables(file, 0xC2000, store, 1);
        const pcdSize s = pcdLevelSize(3);
        residual[0][0] = pcdAllocZeroed(size_t(s.width) * s.height);
        if (!residual[0][0]) throw 0;
        if (std::fseek(file, 389 * long(kPcdSector), SEEK_SET) != 0) throw 0;
        reader.start(file);
        pcdSkipBits(reader, 0);
        uint8_t* const planes[3] = {residual[0][0].get(), nullptr, nullptr};
        pcdDecodeResiduals(reader, store, 3, 0, 0, planes, 0);
    } catch (const char* text) {
        resolution = 2;
        setErrorText(text, " while processing 4Base image");
    } catch (...) {
        resolution = 2;
        setErrorText("Could not find a valid 4Base image; falling back to Base");
    }
    if (resolution < 3) {
        freeResiduals(0);
        return;
    }
    if (resolution < 4) return;
    try {
        const long S = pcdBig16(header.get() + 3587);
        pcdBuildHuffmanTables(file, (S + 12) * long(kPcdSector), store, lumaOnly ? 1 : 3);
        const pcdSize s = pcdLevelSize(4);
        const size_t lumaBytes = size_t(s.width) * s.height;
        residual[1][0] = pcdAllocZeroed(lumaBytes);
        if (!residual[1][0]) throw 0;
        if (!lumaOnly) {
            residual[1][1] = pcdAllocZeroed(lumaBytes / 4);
            residual[1][2] = pcdAllocZeroed(lumaBytes / 4);
            if (!residual[1][1] || !residual[1][2]) throw 0;
        }
        if (std::fseek(file, (S + 14) * long(kPcdSector), SEEK_SET) != 0) throw 0;
        reader.start(file);
        pcdSkipBits(reader, 0);
        uint8_t* const planes[3] = {residual[1][0].get(), residual[1][1].get(),
                                    residual[1][2].get()};
        pcdDecodeResiduals(reader, store, 4, 0, 0, planes, 0);
    } catch (const char* text) {
        resolution = 3;
        setErrorText(text, " while processing 16Base image");
    } catch (...) {
        resolution = 3;
        setErrorText("Could not find a valid 16Base image; falling back to 4Base");
    }
    if (resolution < 4) freeResiduals(1);
}

void pcdDecode::postProcess() {
    if (!header || !planeY) return;
    const int mode = std::clamp(interpolationMode, 0, 1);
    for (int level = 0; level < 3; ++level) {
        if (!residual[level][0]) continue;
        const pcdSize s = pcdLevelSize(unsigned(level) + 3);
        pcdUpsample(planeY.get(), residual[level][0].get(), nullptr, s.width, s.height, mode, true,
                    workers_);
        planeY = std::move(residual[level][0]);
        planeLevel = unsigned(level) + 3;
        pcdBytes* chroma[2] = {&planeC1, &planeC2};
        for (int c = 0; c < 2; ++c) {
            pcdBytes& target = residual[level][c + 1];
            const bool add = bool(target);
            if (!add) target = pcdAlloc(size_t(s.width / 2) * (s.height / 2));
            if (!target || !*chroma[c]) {
                // Planes of different levels must never meet in the output.
                planeY.reset();
                planeC1.reset();
                planeC2.reset();
                for (auto& l : residual)
                    for (auto& p : l) p.reset();
                return;
            }
            pcdUpsample(chroma[c]->get(), target.get(), nullptr, s.width / 2, s.height / 2, mode,
                        add, workers_);
            *chroma[c] = std::move(target);
        }
    }
}

unsigned pcdDecode::getWidth() {
    if (!header) return 0;
    const pcdSize s = pcdLevelSize(resolution);
    return (orientation & 1) ? s.height : s.width;
}

unsigned pcdDecode::getHeight() {
    if (!header) return 0;
    const pcdSize s = pcdLevelSize(resolution);
    return (orientation & 1) ? s.width : s.height;
}

bool pcdDecode::isLumaOnly() { return lumaOnly; }

void pcdDecode::setLumaOnly(bool v) { lumaOnly = lumaOnly || v; }

unsigned pcdDecode::getOrientation() { return orientation; }

uint32_t pcdDecode::getScanTime() { return header ? pcdBig32(header.get() + 2061) : 0; }

void pcdDecode::setInterpolation(int mode) { interpolationMode = mode; }

void pcdDecode::setColorSpace(int space) { colorSpace = space; }

int pcdDecode::getColorSpace() { return colorSpace; }

void pcdDecode::setOption(int v) { option = v; }

const char* pcdDecode::getErrorString() { return errorText; }

const uint8_t* pcdDecode::currentPlane(int which) const {
    const pcdBytes* planes[3] = {&planeY, &planeC1, &planeC2};
    return which >= 0 && which < 3 ? planes[which]->get() : nullptr;
}
