// Reads EXIF, TIFF descriptive and GPS tags of a DNG file into a dng_exif.
// EXIF tags are taken from IFD 0 as well as from the EXIF directory, since
// TIFF/EP writers put them into IFD 0.
#pragma once

#include "dng/core/dng_types.h"

class dng_exif;
class dng_stream;

// True when the tag was taken. The stream stands at the tag's value; values
// beyond the end of the stream throw dng_error_end_of_file.
bool ParseExifTag(dng_exif& exif, dng_stream& stream, uint32 parentCode, uint32 tagCode,
                  uint32 tagType, uint32 tagCount);

// Tags of the GPS directory.
bool ParseGPSTag(dng_exif& exif, dng_stream& stream, uint32 tagCode, uint32 tagType,
                 uint32 tagCount);
