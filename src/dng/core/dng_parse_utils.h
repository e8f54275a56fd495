// Checks and readers shared by the TIFF directory parsers. The parent and tag
// codes name the tag being parsed; they do not change the result. Every count
// is checked against what remains of the stream before anything is allocated.
#pragma once

#include "dng/core/dng_types.h"

class dng_date_time;
class dng_matrix;
class dng_stream;
class dng_string;
class dng_vector;

bool CheckTagType(uint32 parentCode, uint32 tagCode, uint32 tagType, uint16 validType0,
                  uint16 validType1 = 0, uint16 validType2 = 0, uint16 validType3 = 0);
// minimum <= count <= max(maximum, minimum): a maximum of 0 means exactly minimum.
bool CheckTagCount(uint32 parentCode, uint32 tagCode, uint32 tagCount, uint32 minCount,
                   uint32 maxCount = 0);
bool CheckColorImage(uint32 parentCode, uint32 tagCode, uint32 colorPlanes);
bool CheckMainIFD(uint32 parentCode, uint32 tagCode, uint32 newSubFileType);
bool CheckRawIFD(uint32 parentCode, uint32 tagCode, uint32 photometricInterpretation);
bool CheckCFA(uint32 parentCode, uint32 tagCode, uint32 photometricInterpretation);

void ParseStringTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagCount,
                    dng_string& s, bool trimBlanks = true);
void ParseDualStringTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagCount,
                        dng_string& s1, dng_string& s2);
// EXIF user-comment style: an 8-byte character code, then the text.
void ParseEncodedStringTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagCount,
                           dng_string& s);
bool ParseMatrixTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                    uint32 tagCount, uint32 rows, uint32 cols, dng_matrix& m);
bool ParseVectorTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                    uint32 tagCount, uint32 count, dng_vector& v);
bool ParseDateTimeTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                      uint32 tagCount, dng_date_time& dt);
