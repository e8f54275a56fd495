// The pictures a raw file carries beside its raw data, for the browser's
// thumbnail: a DNG's preview directories and the preview LibRaw finds in a
// maker's file. Each comes as the master image of rawWrapper::Decoded: 8-bit
// sRGB turned to linear ProPhoto (D65 white), oriented, output-referred.
// A preview that does not decode is passed over (false), never an error.
#pragma once

#include <cstdint>

#include "raw/RawColor.h"
#include "raw/rawWrapper.h"

class dng_host;
class dng_info;
class dng_stream;
class LibRawSource;

// The largest of the DNG's previews that decodes (JPEG, or uncompressed
// 8-bit RGB).
bool RawDecodeLargestPreview(dng_host& host, dng_stream& stream, const dng_info& info,
                             uint32_t orientation, unsigned bands, rawWrapper::Decoded& out);
// The maker's file's preview, its black bars cut; false also for a bitmap
// too small to show the picture better than a half-size decode.
bool RawDecodeEmbeddedPreview(LibRawSource& source, unsigned bands, rawWrapper::Decoded& out);
// Linear ProPhoto (D65) from linear sRGB, as the previews are converted.
const RawMatrix3& RawProPhotoFromSRGB();
