// The Photo CD image pack decoder. parseFile checks a ".pcd" file, reads the
// best uncompressed base image it can (Base/16 to Base), then the Huffman
// residuals of 4Base and 16Base from the same file and those of 64Base from
// the extension folder, falling back a level at a time with a warning.
// postProcess builds the image planes at the level in use; the read
// operations turn them into 8-bit, 16-bit or float RGB (or the YCC values),
// rotated to the stored orientation, in eight row bands.
//
// Planes are 8-bit luma Y at full size and chroma C1, C2 at half width and
// half height. Intermediate RGB runs on a scale of 0 to 1388.
//
// Calling order: construct; set interpolation, colour space, luma-only;
// parseFile; sizes and metadata; postProcess once; any read operation as
// often as needed.
//
// Ownership: the decoder owns its planes, residual planes and header.
// Thread safety: one thread drives a decoder; the row bands it starts touch
// disjoint rows and shared read-only tables only. Different decoders may run
// at once.
#pragma once

#include <cstdint>

#include "photocd/pcdCodec.h"

class pcdDecode {
public:
    pcdDecode();
    virtual ~pcdDecode();
    pcdDecode(const pcdDecode&) = delete;
    pcdDecode& operator=(const pcdDecode&) = delete;

    // Decodes up to `resolution` (0 Base/16 .. 5 64Base). False when no image
    // is available (getErrorString says why); true may carry a fall-back
    // warning. ipePath names the 64Base index file "INFO.IC".
    virtual bool parseFile(const char* path, const char* ipePath, int resolution);
    virtual void postProcess();
    virtual unsigned getWidth();
    virtual unsigned getHeight();
    virtual bool isLumaOnly();
    virtual void setLumaOnly(bool lumaOnly);
    virtual unsigned getOrientation();
    virtual uint32_t getScanTime();
    virtual void setInterpolation(int mode);
    virtual void setColorSpace(int space);
    virtual int getColorSpace();
    virtual void setOption(int option);
    virtual const char* getErrorString();
    virtual int getFilmTerm(int* term, int* code1, int* code2);
    // Outputs of getWidth() x getHeight() pixels, `step` elements apart; A
    // may be null. False when there is no image or no memory for the work.
    virtual bool readImageFloat(float* R, float* G, float* B, float* A, int step);
    virtual bool readImage16(uint16_t* R, uint16_t* G, uint16_t* B, uint16_t* A, int step);
    virtual bool readImage8(uint8_t* R, uint8_t* G, uint8_t* B, uint8_t* A, int step);
    // Item 0..19: name (may be null) and value (at least 81 bytes).
    virtual void getMetadata(int index, char* name, char* value);
    // format 0 8-bit, 1 16-bit, 2 float.
    virtual bool convertBands(void* R, void* G, void* B, void* A, int step, int format);
    virtual bool read64Base(const char* ipePath);

    // How many workers the row bands use: 1 runs every band on the caller,
    // anything else spreads them over the concurrent queue. Results are the
    // same either way.
    void setWorkerCount(unsigned workers) { workers_ = workers; }
    // The level in use after a parse (0..5).
    unsigned resolutionInUse() const { return resolution; }
    // The planes as they stand (0 Y, 1 C1, 2 C2), at currentPlaneLevel();
    // null when absent.
    const uint8_t* currentPlane(int which) const;
    unsigned currentPlaneLevel() const { return planeLevel; }

private:
    void freeAll();
    void setErrorText(const char* text, const char* suffix = "");
    void decodeHighLevels(std::FILE* file, uint8_t* store);
    void freeResiduals(int level);

    int interpolationMode = 2;
    bool lumaOnly = false;
    pcdBytes planeY, planeC1, planeC2;
    pcdBytes residual[3][3];
    uint32_t orientation = 0;
    uint32_t highestResolution = 2;
    int colorSpace = 0;
    int option = 0;
    uint64_t attributeBit4 = 0;
    uint64_t compressionClass = 0;
    uint32_t levelsRead = 0;
    uint32_t resolution = 0;
    uint32_t planeLevel = 0;  // level of planeY and the chroma planes
    uint16_t layerCount = 0;
    uint16_t ipeFileCount = 0;
    pcdBytes header;
    char errorText[360] = {};
    unsigned workers_ = 8;
};
