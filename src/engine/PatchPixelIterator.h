// Walks the pixels of one axis of a colour-checker picture, telling for each
// whether it lies in one of n patches (0 … n − 1) or in the background (n).
// Borders of 4 % of the length lie on either side and gaps of 2 % between
// patches; each patch gets an equal share p = (0.92 − (n − 1) × 0.02) ÷ n,
// patch k spanning the fractions [k × (0.02 + p) + 0.04, … + p) of the axis,
// each end truncated to a whole pixel.
//
// A run that comes out empty (a patch narrower than a pixel) is passed over
// at once; after the last patch the background runs to the end. Without
// patches the whole axis is background. A value type; one thread at a time.
#pragma once

#include <cstdint>

class PatchPixelIterator {
public:
    // initWithSize:patches:
    PatchPixelIterator(uint64_t length, int numPatches);

    // Moves to the next pixel; false once past the end.
    bool nextPixel();
    uint64_t thisPixel() const { return curPixel; }
    int thisPatch() const { return curPatch; }

    uint64_t length() const { return length_; }
    int numPatches() const { return numPatches_; }
    // Pixels left in the current run, the current one included.
    uint64_t curPatchLength() const { return curPatchLen; }
    int lastPatch() const { return lastRealPatch; }

private:
    // Enters the next run, passing over empty ones.
    void settle();
    void nextRun();

    uint64_t length_;
    int numPatches_;
    uint64_t curPixel = 0;
    int curPatch;
    uint64_t curPatchLen;
    int lastRealPatch = -1;
};
