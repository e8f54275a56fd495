#include "dng/writer/dng_basic_tag_set.h"

#include <algorithm>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/writer/dng_tiff_directory.h"

namespace {

const dng_ifd& CheckedInfo(const dng_ifd& info) {
    if (info.fSamplesPerPixel > dng_ifd::kMaxSamplesPerPixel) {
        ThrowProgramError("Too many samples per pixel");
    }
    return info;
}

}  // namespace

dng_basic_tag_set::dng_basic_tag_set(dng_tiff_directory& directory, const dng_ifd& ifd)
    : fStrips(CheckedInfo(ifd).fUsesStrips),
      fTileCount(ifd.TilesPerImage()),
      fTileInfo(SafeUint32Mult(fTileCount, 2), 0),
      fNewSubFileType(tcNewSubFileType, ifd.fNewSubFileType),
      fImageWidth(tcImageWidth, ifd.fImageWidth),
      fImageLength(tcImageLength, ifd.fImageLength),
      fPhotoInterpretation(tcPhotometricInterpretation,
                           static_cast<uint16>(ifd.fPhotometricInterpretation)),
      fSamplesPerPixel(tcSamplesPerPixel, static_cast<uint16>(ifd.fSamplesPerPixel)),
      fBitsPerSample(tcBitsPerSample, fBitsPerSampleData, ifd.fSamplesPerPixel),
      fFillOrder(tcFillOrder, 1),
      fTileWidth(tcTileWidth, ifd.fTileWidth),
      fTileLength(fStrips ? tcRowsPerStrip : tcTileLength, ifd.fTileLength),
      fTileOffsets(fStrips ? tcStripOffsets : tcTileOffsets, fTileInfo.data(), fTileCount),
      fTileByteCounts(fStrips ? tcStripByteCounts : tcTileByteCounts, fTileInfo.data() + fTileCount,
                      fTileCount),
      fPlanarConfiguration(tcPlanarConfiguration, 1),
      fCompression(tcCompression, static_cast<uint16>(ifd.fCompression)),
      fPredictor(tcPredictor, static_cast<uint16>(ifd.fPredictor)),
      fExtraSamples(tcExtraSamples, fExtraSamplesData,
                    std::min(ifd.fExtraSamplesCount, dng_ifd::kMaxSamplesPerPixel)),
      fSampleFormat(tcSampleFormat, fSampleFormatData, ifd.fSamplesPerPixel),
      fRowInterleaveFactor(tcRowInterleaveFactor, static_cast<uint16>(ifd.fRowInterleaveFactor)),
      fSubTileBlockSize(tcSubTileBlockSize, fSubTileBlockSizeData, 2) {
    for (uint32 i = 0; i < ifd.fSamplesPerPixel; i++) {
        fBitsPerSampleData[i] = static_cast<uint16>(ifd.fBitsPerSample[0]);
        fSampleFormatData[i] = static_cast<uint16>(ifd.fSampleFormat[i]);
    }
    for (uint32 i = 0; i < fExtraSamples.Count(); i++) {
        fExtraSamplesData[i] = static_cast<uint16>(ifd.fExtraSamples[i]);
    }
    fSubTileBlockSizeData[0] = static_cast<uint16>(ifd.fSubTileBlockRows);
    fSubTileBlockSizeData[1] = static_cast<uint16>(ifd.fSubTileBlockCols);

    directory.Add(&fNewSubFileType);
    directory.Add(&fImageWidth);
    directory.Add(&fImageLength);
    directory.Add(&fPhotoInterpretation);
    directory.Add(&fSamplesPerPixel);
    directory.Add(&fBitsPerSample);
    const uint32 bits = ifd.fBitsPerSample[0];
    if (bits != 8 && bits != 16 && bits != 32) directory.Add(&fFillOrder);
    if (!fStrips) directory.Add(&fTileWidth);
    directory.Add(&fTileLength);
    directory.Add(&fTileOffsets);
    directory.Add(&fTileByteCounts);
    directory.Add(&fPlanarConfiguration);
    directory.Add(&fCompression);
    if (ifd.fPredictor != 1) directory.Add(&fPredictor);
    if (fExtraSamples.Count() != 0) directory.Add(&fExtraSamples);
    if (ifd.fSampleFormat[0] != 1) directory.Add(&fSampleFormat);
    if (ifd.fRowInterleaveFactor != 1) directory.Add(&fRowInterleaveFactor);
    if (ifd.fSubTileBlockRows != 1 || ifd.fSubTileBlockCols != 1) {
        directory.Add(&fSubTileBlockSize);
    }
}

dng_basic_tag_set::~dng_basic_tag_set() = default;
