#include "engine/PatchPixelIterator.h"

#include <cmath>

PatchPixelIterator::PatchPixelIterator(uint64_t length, int numPatches)
    : length_(length),
      numPatches_(numPatches),
      curPatch(numPatches),
      curPatchLen(uint64_t(std::trunc(0.04 * double(length) + 0.5))) {
    settle();
}

bool PatchPixelIterator::nextPixel() {
    if (curPixel < length_) ++curPixel;
    if (curPatchLen > 0) --curPatchLen;
    settle();
    return curPixel < length_;
}

void PatchPixelIterator::settle() {
    while (curPatchLen == 0 && curPixel < length_) nextRun();
}

void PatchPixelIterator::nextRun() {
    const int n = numPatches_;
    const int k = lastRealPatch + 1;
    if (n < 1 || (curPatch == n && k >= n)) {
        curPatch = n;
        curPatchLen = length_ - curPixel;
        return;
    }
    const double p = (0.92 - (n - 1) * 0.02) / n;
    const double start = k * (0.02 + p) + 0.04;
    double fraction;
    if (curPatch == n) {
        lastRealPatch = curPatch = k;
        fraction = start + p;
    } else {
        curPatch = n;
        fraction = start;
    }
    const double end = std::trunc(fraction * double(length_));
    curPatchLen = end > double(curPixel) ? uint64_t(end) - curPixel : 0;
}
