// The parsed tags of one camera profile: read from a standalone profile file
// (byte-order mark, magic 0x4352, one directory) or handed tag by tag by the
// DNG main-directory parser. The large tables (hue/sat maps, look table, tone
// curve) are only located here; dng_camera_profile reads them later from the
// recorded offsets, in the recorded byte order.
//
// A plain copyable value with no lock; one thread at a time.
#pragma once

#include "dng/core/dng_matrix.h"
#include "dng/core/dng_rational.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_types.h"

class dng_stream;

class dng_camera_profile_info {
public:
    // Magic number of a standalone profile file (its bytes read "RC" or "CR").
    static constexpr uint16 kProfileMagic = 0x4352;

    dng_camera_profile_info();
    virtual ~dng_camera_profile_info();
    dng_camera_profile_info(const dng_camera_profile_info&) = default;
    dng_camera_profile_info& operator=(const dng_camera_profile_info&) = default;

    // Parses one tag at the stream's position (the value's position); true
    // when the tag is a profile tag and was taken. Table data lying beyond
    // the end of the stream throws dng_error_end_of_file.
    bool ParseTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                  uint32 tagCount, uint64 tagOffset);

    // Reads a standalone profile starting at the stream's position. False
    // for a wrong mark, a wrong magic number or an empty directory; stream
    // errors propagate. The stream's byte order is restored afterwards.
    bool ParseProfileStream(dng_stream& stream);

    // Entries of a hue/sat or look table of these divisions, full and without
    // the zero-saturation row (three floats per entry); 100016 on overflow.
    static uint32 TableCount(uint32 hues, uint32 sats, uint32 vals);
    static uint32 ReducedTableCount(uint32 hues, uint32 sats, uint32 vals);

    bool fBigEndian = false;

    uint32 fColorPlanes = 0;

    uint32 fCalibrationIlluminant1 = 0;
    uint32 fCalibrationIlluminant2 = 0;

    dng_matrix fColorMatrix1;
    dng_matrix fColorMatrix2;

    dng_matrix fForwardMatrix1;
    dng_matrix fForwardMatrix2;

    dng_matrix fReductionMatrix1;
    dng_matrix fReductionMatrix2;

    dng_string fProfileCalibrationSignature;
    dng_string fProfileName;
    dng_string fProfileCopyright;

    uint32 fEmbedPolicy = 0;

    uint32 fProfileHues = 0;
    uint32 fProfileSats = 0;
    uint32 fProfileVals = 0;

    uint64 fHueSatDeltas1Offset = 0;
    uint32 fHueSatDeltas1Count = 0;

    uint64 fHueSatDeltas2Offset = 0;
    uint32 fHueSatDeltas2Count = 0;

    uint32 fHueSatMapEncoding = 0;

    uint32 fLookTableHues = 0;
    uint32 fLookTableSats = 0;
    uint32 fLookTableVals = 0;

    uint64 fLookTableOffset = 0;
    uint32 fLookTableCount = 0;

    uint32 fLookTableEncoding = 0;

    dng_srational fBaselineExposureOffset{0, 100};

    uint32 fDefaultBlackRender = 0;

    uint64 fToneCurveOffset = 0;
    uint32 fToneCurveCount = 0;

    dng_string fUniqueCameraModel;

private:
    bool ParseDims(dng_stream& stream, uint32 tagType, uint32 tagCount, uint32& hues, uint32& sats,
                   uint32& vals);
    bool ParseTableData(dng_stream& stream, uint32 tagType, uint32 tagCount, uint64 tagOffset,
                        uint32 hues, uint32 sats, uint32 vals, uint64& offset, uint32& count);
    bool ParseColorMatrix(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                          uint32 tagCount, dng_matrix& m);
    bool ParsePlanesByThree(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                            uint32 tagCount, dng_matrix& m);
};
