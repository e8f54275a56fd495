// The inner pixel and byte loops of the DNG code, gathered in one table of
// routines. Every routine is a pure loop over caller-owned memory: it never
// allocates, locks or reports errors, and is safe to call from any number of
// threads at once as long as their destination areas do not overlap.
//
// Steps (row, column, plane) count samples of the routine's sample type, not
// bytes. Loops visit rows, then columns, then planes. Signed 16-bit samples
// are offset binary: a value u in 0..65535 is stored as u ^ 0x8000.
//
// The table is filled at build time and never changes; callers either call a
// Reference routine directly or go through gDNGBottleneck by slot.
#pragma once

#include "dng/core/dng_types.h"

class dng_matrix;
class dng_vector;
class dng_1d_table;
class dng_hue_sat_map;

// Slot 0..3: bytes.
void ReferenceZeroBytes(void* dPtr, uint32 count);
void ReferenceCopyBytes(const void* sPtr, void* dPtr, uint32 count);
void ReferenceSwapBytes16(uint16* dPtr, uint32 count);
void ReferenceSwapBytes32(uint32* dPtr, uint32 count);

// Slot 4..6: fill an area with one value.
void ReferenceSetArea8(uint8* dPtr, uint8 value, uint32 rows, uint32 cols, uint32 planes,
                       int32 rowStep, int32 colStep, int32 planeStep);
void ReferenceSetArea16(uint16* dPtr, uint16 value, uint32 rows, uint32 cols, uint32 planes,
                        int32 rowStep, int32 colStep, int32 planeStep);
void ReferenceSetArea32(uint32* dPtr, uint32 value, uint32 rows, uint32 cols, uint32 planes,
                        int32 rowStep, int32 colStep, int32 planeStep);

// Slot 7..20: copy an area, converting the sample type.
void ReferenceCopyArea8(const uint8* sPtr, uint8* dPtr, uint32 rows, uint32 cols, uint32 planes,
                        int32 sRowStep, int32 sColStep, int32 sPlaneStep, int32 dRowStep,
                        int32 dColStep, int32 dPlaneStep);
void ReferenceCopyArea16(const uint16* sPtr, uint16* dPtr, uint32 rows, uint32 cols, uint32 planes,
                         int32 sRowStep, int32 sColStep, int32 sPlaneStep, int32 dRowStep,
                         int32 dColStep, int32 dPlaneStep);
void ReferenceCopyArea32(const uint32* sPtr, uint32* dPtr, uint32 rows, uint32 cols, uint32 planes,
                         int32 sRowStep, int32 sColStep, int32 sPlaneStep, int32 dRowStep,
                         int32 dColStep, int32 dPlaneStep);
void ReferenceCopyArea8To16(const uint8* sPtr, uint16* dPtr, uint32 rows, uint32 cols,
                            uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep,
                            int32 dRowStep, int32 dColStep, int32 dPlaneStep);
void ReferenceCopyArea8ToSigned16(const uint8* sPtr, int16* dPtr, uint32 rows, uint32 cols,
                                  uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep,
                                  int32 dRowStep, int32 dColStep, int32 dPlaneStep);
void ReferenceCopyArea8To32(const uint8* sPtr, uint32* dPtr, uint32 rows, uint32 cols,
                            uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep,
                            int32 dRowStep, int32 dColStep, int32 dPlaneStep);
void ReferenceCopyArea16ToSigned16(const uint16* sPtr, int16* dPtr, uint32 rows, uint32 cols,
                                   uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep,
                                   int32 dRowStep, int32 dColStep, int32 dPlaneStep);
void ReferenceCopyArea16To32(const uint16* sPtr, uint32* dPtr, uint32 rows, uint32 cols,
                             uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep,
                             int32 dRowStep, int32 dColStep, int32 dPlaneStep);
void ReferenceCopyArea8ToReal32(const uint8* sPtr, real32* dPtr, uint32 rows, uint32 cols,
                                uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep,
                                int32 dRowStep, int32 dColStep, int32 dPlaneStep,
                                uint32 pixelRange);
void ReferenceCopyArea16ToReal32(const uint16* sPtr, real32* dPtr, uint32 rows, uint32 cols,
                                 uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep,
                                 int32 dRowStep, int32 dColStep, int32 dPlaneStep,
                                 uint32 pixelRange);
void ReferenceCopyAreaSigned16ToReal32(const int16* sPtr, real32* dPtr, uint32 rows, uint32 cols,
                                       uint32 planes, int32 sRowStep, int32 sColStep,
                                       int32 sPlaneStep, int32 dRowStep, int32 dColStep,
                                       int32 dPlaneStep, uint32 pixelRange);
void ReferenceCopyAreaReal32To8(const real32* sPtr, uint8* dPtr, uint32 rows, uint32 cols,
                                uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep,
                                int32 dRowStep, int32 dColStep, int32 dPlaneStep,
                                uint32 pixelRange);
void ReferenceCopyAreaReal32To16(const real32* sPtr, uint16* dPtr, uint32 rows, uint32 cols,
                                 uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep,
                                 int32 dRowStep, int32 dColStep, int32 dPlaneStep,
                                 uint32 pixelRange);
void ReferenceCopyAreaReal32ToSigned16(const real32* sPtr, int16* dPtr, uint32 rows, uint32 cols,
                                       uint32 planes, int32 sRowStep, int32 sColStep,
                                       int32 sPlaneStep, int32 dRowStep, int32 dColStep,
                                       int32 dPlaneStep, uint32 pixelRange);

// Slot 21..23: tile an area with a repeat pattern that starts at sPtr.
void ReferenceRepeatArea8(const uint8* sPtr, uint8* dPtr, uint32 rows, uint32 cols, uint32 planes,
                          int32 rowStep, int32 colStep, int32 planeStep, uint32 repeatV,
                          uint32 repeatH, uint32 phaseV, uint32 phaseH);
void ReferenceRepeatArea16(const uint16* sPtr, uint16* dPtr, uint32 rows, uint32 cols,
                           uint32 planes, int32 rowStep, int32 colStep, int32 planeStep,
                           uint32 repeatV, uint32 repeatH, uint32 phaseV, uint32 phaseH);
void ReferenceRepeatArea32(const uint32* sPtr, uint32* dPtr, uint32 rows, uint32 cols,
                           uint32 planes, int32 rowStep, int32 colStep, int32 planeStep,
                           uint32 repeatV, uint32 repeatH, uint32 phaseV, uint32 phaseH);

// Slot 24.
void ReferenceShiftRight16(uint16* dPtr, uint32 rows, uint32 cols, uint32 planes, int32 rowStep,
                           int32 colStep, int32 planeStep, uint32 shift);

// Slot 25, 26: one interpolated row; kernels cycle through patCount phases.
void ReferenceBilinearRow16(const uint16* sPtr, uint16* dPtr, uint32 cols, uint32 patPhase,
                            uint32 patCount, const uint32* kernCounts,
                            const int32* const* kernOffsets, const uint16* const* kernWeights,
                            uint32 sShift);
void ReferenceBilinearRow32(const real32* sPtr, real32* dPtr, uint32 cols, uint32 patPhase,
                            uint32 patCount, const uint32* kernCounts,
                            const int32* const* kernOffsets, const real32* const* kernWeights,
                            uint32 sShift);

// Slot 27..33: colour.
void ReferenceApplyCameraMatrix3(const real32* sPtrA, const real32* sPtrB, const real32* sPtrC,
                                 real32* dPtrR, real32* dPtrG, real32* dPtrB, uint32 count,
                                 const dng_vector& cameraWhite, const dng_matrix& cameraToRGB);
void ReferenceApplyCameraMatrix4(const real32* sPtrA, const real32* sPtrB, const real32* sPtrC,
                                 const real32* sPtrD, real32* dPtrR, real32* dPtrG, real32* dPtrB,
                                 uint32 count, const dng_vector& cameraWhite,
                                 const dng_matrix& cameraToRGB);
void ReferenceApplyHueSatMap(const real32* sPtrR, const real32* sPtrG, const real32* sPtrB,
                             real32* dPtrR, real32* dPtrG, real32* dPtrB, uint32 count,
                             const dng_hue_sat_map& lut, const dng_1d_table* encodeTable,
                             const dng_1d_table* decodeTable);
void ReferenceRGBToGray(const real32* sPtrR, const real32* sPtrG, const real32* sPtrB,
                        real32* dPtrG, uint32 count, const dng_matrix& matrix);
void ReferenceRGBToRGB(const real32* sPtrR, const real32* sPtrG, const real32* sPtrB, real32* dPtrR,
                       real32* dPtrG, real32* dPtrB, uint32 count, const dng_matrix& matrix);
void ReferenceApplyTable1D(const real32* sPtr, real32* dPtr, uint32 count,
                           const dng_1d_table& table);
void ReferenceApplyRGBToneCurve(const real32* sPtrR, const real32* sPtrG, const real32* sPtrB,
                                real32* dPtrR, real32* dPtrG, real32* dPtrB, uint32 count,
                                const dng_1d_table& table);

// Slot 34..37: resampling filters (16-bit weights are 14-bit fixed point).
void ReferenceResampleDown16(const uint16* sPtr, uint16* dPtr, uint32 sCount, int32 sRowStep,
                             const int16* wPtr, uint32 wCount, uint32 pixelRange);
void ReferenceResampleDown32(const real32* sPtr, real32* dPtr, uint32 sCount, int32 sRowStep,
                             const real32* wPtr, uint32 wCount);
void ReferenceResampleAcross16(const uint16* sPtr, uint16* dPtr, uint32 dCount, const int32* coord,
                               const int16* wPtr, uint32 wCount, uint32 wStep, uint32 pixelRange);
void ReferenceResampleAcross32(const real32* sPtr, real32* dPtr, uint32 dCount, const int32* coord,
                               const real32* wPtr, uint32 wCount, uint32 wStep);

// Slot 38..41: equality.
bool ReferenceEqualBytes(const void* sPtr, const void* dPtr, uint32 count);
bool ReferenceEqualArea8(const uint8* sPtr, const uint8* dPtr, uint32 rows, uint32 cols,
                         uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep,
                         int32 dRowStep, int32 dColStep, int32 dPlaneStep);
bool ReferenceEqualArea16(const uint16* sPtr, const uint16* dPtr, uint32 rows, uint32 cols,
                          uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep,
                          int32 dRowStep, int32 dColStep, int32 dPlaneStep);
bool ReferenceEqualArea32(const uint32* sPtr, const uint32* dPtr, uint32 rows, uint32 cols,
                          uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep,
                          int32 dRowStep, int32 dColStep, int32 dPlaneStep);

// Slot 42..44: radial vignette mask and its application.
void ReferenceVignetteMask16(uint16* mPtr, uint32 rows, uint32 cols, int32 rowStep, int64 offsetH,
                             int64 offsetV, int64 stepH, int64 stepV, uint32 tBits,
                             const uint16* table);
void ReferenceVignette16(int16* sPtr, const uint16* mPtr, uint32 rows, uint32 cols, uint32 planes,
                         int32 sRowStep, int32 sPlaneStep, int32 mRowStep, uint32 mBits);
void ReferenceVignette32(real32* sPtr, const uint16* mPtr, uint32 rows, uint32 cols, uint32 planes,
                         int32 sRowStep, int32 sPlaneStep, int32 mRowStep, uint32 mBits,
                         uint16 blackLevel);

// Slot 45, 46: in-place tone mapping.
void ReferenceMapArea16(uint16* dPtr, uint32 count0, uint32 count1, uint32 count2, int32 step0,
                        int32 step1, int32 step2, const uint16* map);
void ReferenceMapPolynomial32(real32* dPtr, int32 rowStep, uint32 rows, uint32 cols,
                              uint32 rowPitch, uint32 colPitch, const real32* coefficients,
                              uint32 degree, uint16 blackLevel);

// The table itself; member order is the slot order and must not change.
struct dng_bottleneck_table {
    decltype(&ReferenceZeroBytes) ZeroBytes;
    decltype(&ReferenceCopyBytes) CopyBytes;
    decltype(&ReferenceSwapBytes16) SwapBytes16;
    decltype(&ReferenceSwapBytes32) SwapBytes32;
    decltype(&ReferenceSetArea8) SetArea8;
    decltype(&ReferenceSetArea16) SetArea16;
    decltype(&ReferenceSetArea32) SetArea32;
    decltype(&ReferenceCopyArea8) CopyArea8;
    decltype(&ReferenceCopyArea16) CopyArea16;
    decltype(&ReferenceCopyArea32) CopyArea32;
    decltype(&ReferenceCopyArea8To16) CopyArea8To16;
    decltype(&ReferenceCopyArea8ToSigned16) CopyArea8ToSigned16;
    decltype(&ReferenceCopyArea8To32) CopyArea8To32;
    decltype(&ReferenceCopyArea16ToSigned16) CopyArea16ToSigned16;
    decltype(&ReferenceCopyArea16To32) CopyArea16To32;
    decltype(&ReferenceCopyArea8ToReal32) CopyArea8ToReal32;
    decltype(&ReferenceCopyArea16ToReal32) CopyArea16ToReal32;
    decltype(&ReferenceCopyAreaSigned16ToReal32) CopyAreaSigned16ToReal32;
    decltype(&ReferenceCopyAreaReal32To8) CopyAreaReal32To8;
    decltype(&ReferenceCopyAreaReal32To16) CopyAreaReal32To16;
    decltype(&ReferenceCopyAreaReal32ToSigned16) CopyAreaReal32ToSigned16;
    decltype(&ReferenceRepeatArea8) RepeatArea8;
    decltype(&ReferenceRepeatArea16) RepeatArea16;
    decltype(&ReferenceRepeatArea32) RepeatArea32;
    decltype(&ReferenceShiftRight16) ShiftRight16;
    decltype(&ReferenceBilinearRow16) BilinearRow16;
    decltype(&ReferenceBilinearRow32) BilinearRow32;
    decltype(&ReferenceApplyCameraMatrix3) ApplyCameraMatrix3;
    decltype(&ReferenceApplyCameraMatrix4) ApplyCameraMatrix4;
    decltype(&ReferenceApplyHueSatMap) ApplyHueSatMap;
    decltype(&ReferenceRGBToGray) RGBToGray;
    decltype(&ReferenceRGBToRGB) RGBToRGB;
    decltype(&ReferenceApplyTable1D) ApplyTable1D;
    decltype(&ReferenceApplyRGBToneCurve) ApplyRGBToneCurve;
    decltype(&ReferenceResampleDown16) ResampleDown16;
    decltype(&ReferenceResampleDown32) ResampleDown32;
    decltype(&ReferenceResampleAcross16) ResampleAcross16;
    decltype(&ReferenceResampleAcross32) ResampleAcross32;
    decltype(&ReferenceEqualBytes) EqualBytes;
    decltype(&ReferenceEqualArea8) EqualArea8;
    decltype(&ReferenceEqualArea16) EqualArea16;
    decltype(&ReferenceEqualArea32) EqualArea32;
    decltype(&ReferenceVignetteMask16) VignetteMask16;
    decltype(&ReferenceVignette16) Vignette16;
    decltype(&ReferenceVignette32) Vignette32;
    decltype(&ReferenceMapArea16) MapArea16;
    decltype(&ReferenceMapPolynomial32) MapPolynomial32;
};

// The process-wide table, constant from program start.
extern const dng_bottleneck_table gDNGBottleneck;
