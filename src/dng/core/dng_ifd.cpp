#include "dng/core/dng_ifd.h"

#include <algorithm>
#include <cmath>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_values.h"

dng_ifd::dng_ifd() = default;

dng_ifd::~dng_ifd() = default;

uint32 dng_ifd::TilesAcross() const {
    if (fTileWidth == 0) return 0;
    return SafeUint32DivideUp(fImageWidth, fTileWidth);
}

uint32 dng_ifd::TilesDown() const {
    if (fTileLength == 0) return 0;
    return SafeUint32DivideUp(fImageLength, fTileLength);
}

uint32 dng_ifd::TilesPerImage() const {
    uint32 total = SafeUint32Mult(TilesAcross(), TilesDown());
    if (fPlanarConfiguration == pcPlanar) total = SafeUint32Mult(total, fSamplesPerPixel);
    return total;
}

dng_rect dng_ifd::TileArea(uint32 rowIndex, uint32 colIndex) const {
    const uint32 top = SafeUint32Mult(rowIndex, fTileLength);
    const uint32 left = SafeUint32Mult(colIndex, fTileWidth);
    uint32 bottom = SafeUint32Add(top, fTileLength);
    const uint32 right = SafeUint32Add(left, fTileWidth);
    if (fUsesStrips) bottom = std::min(bottom, fImageLength);
    int32 t, l, b, r;
    if (!ConvertUint32ToInt32(top, &t) || !ConvertUint32ToInt32(left, &l) ||
        !ConvertUint32ToInt32(bottom, &b) || !ConvertUint32ToInt32(right, &r))
        ThrowOverflow("Tile area beyond the int32 range");
    return dng_rect(t, l, b, r);
}

uint32 dng_ifd::UncompressedTileSize(const dng_rect& tile) const {
    if (fCompression != ccUncompressed) return 0;
    const uint32 width = tile.W();
    const uint32 height = tile.H();
    const uint32 bits = fBitsPerSample[0];
    uint32 rowBytes;
    if (fPlanarConfiguration == pcInterleaved) {
        rowBytes = SafeUint32DivideUp(SafeUint32Mult3(width, bits, fSamplesPerPixel), 8);
    } else if (fPlanarConfiguration == pcRowInterleaved) {
        rowBytes =
            SafeUint32Mult(SafeUint32DivideUp(SafeUint32Mult(width, bits), 8), fSamplesPerPixel);
    } else {
        rowBytes = SafeUint32DivideUp(SafeUint32Mult(width, bits), 8);
    }
    return SafeUint32Mult(rowBytes, height);
}

bool dng_ifd::IsBaselineJPEG() const {
    if (fBitsPerSample[0] != 8) return false;
    if (fSampleFormat[0] != sfUnsignedInteger) return false;
    if (fCompression == ccLossyJPEG) return true;
    if (fCompression != ccJPEG) return false;
    switch (fPhotometricInterpretation) {
        case piBlackIsZero:
            return fSamplesPerPixel == 1;
        case piYCbCr:
            return fSamplesPerPixel == 3 && fPlanarConfiguration == pcInterleaved;
        default:
            return false;
    }
}

void dng_ifd::SetSingleStrip() {
    fTileWidth = fImageWidth;
    fTileLength = fImageLength;
    fUsesTiles = false;
    fUsesStrips = true;
}

uint32 dng_ifd::PixelBytes() const {
    const uint32 bits = std::max<uint32>(fBitsPerSample[0], 1);
    const uint32 samples = fPlanarConfiguration == pcInterleaved ? fSamplesPerPixel : 1;
    return std::max<uint32>(1, SafeUint32DivideUp(SafeUint32Mult(bits, samples), 8));
}

// Tiles are made as close to square as the budget allows, in whole cells,
// then evened out so that the last row and column are not mostly padding.
void dng_ifd::FindTileSize(uint32 bytesPerTile, uint32 cellV, uint32 cellH) {
    cellH = std::max<uint32>(cellH, 1);
    cellV = std::max<uint32>(cellV, 1);
    const uint32 pixelBytes = PixelBytes();
    const uint32 pixels = std::max<uint32>(bytesPerTile / pixelBytes, 1);
    const uint32 side = static_cast<uint32>(std::sqrt(static_cast<real64>(pixels)));

    uint32 tileWidth = std::max(cellH, side / cellH * cellH);
    uint32 tileLength = std::max(cellV, side / cellV * cellV);

    const uint32 widthCells = RoundUpUint32ToMultiple(std::max<uint32>(fImageWidth, 1), cellH);
    const uint32 lengthCells = RoundUpUint32ToMultiple(std::max<uint32>(fImageLength, 1), cellV);
    tileWidth = std::min(tileWidth, widthCells);
    tileLength = std::min(tileLength, lengthCells);

    const uint32 across = SafeUint32DivideUp(widthCells, tileWidth);
    const uint32 down = SafeUint32DivideUp(lengthCells, tileLength);
    fTileWidth = RoundUpUint32ToMultiple(SafeUint32DivideUp(widthCells, across), cellH);
    fTileLength = RoundUpUint32ToMultiple(SafeUint32DivideUp(lengthCells, down), cellV);
    fUsesTiles = true;
    fUsesStrips = false;
}

// Strips span the image width and hold as many whole cells of rows as the
// budget allows (at least one cell), evened out over the image length.
void dng_ifd::FindStripSize(uint32 bytesPerStrip, uint32 cellV) {
    cellV = std::max<uint32>(cellV, 1);
    const uint32 rowBytes =
        std::max<uint32>(1, SafeUint32Mult(std::max<uint32>(fImageWidth, 1), PixelBytes()));
    uint32 rows = std::max(cellV, bytesPerStrip / rowBytes / cellV * cellV);
    const uint32 length = std::max<uint32>(fImageLength, 1);
    rows = std::min(rows, RoundUpUint32ToMultiple(length, cellV));
    const uint32 strips = SafeUint32DivideUp(length, rows);
    fTileLength =
        std::min(RoundUpUint32ToMultiple(SafeUint32DivideUp(length, strips), cellV), length);
    fTileWidth = fImageWidth;
    fUsesStrips = true;
    fUsesTiles = false;
}
