// The input of a filter that works in place on its source's buffer and reads
// `halo` pixels beyond the area it writes. In a first phase, before any tile
// of the run writes, each tile keeps the band around its area; in the second
// it puts band and area together and filters. Pixels come from the stage's
// sourceOutputInRun, so a neighbour the source did not redo in this run is
// computed again rather than read back from what this and later stages have
// since written there.
//
// Thread safety: keep and take may be called from several workers at once
// for different areas; clear between runs.
#pragma once

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "engine/PixelPatch.h"

class ImageBuffer;
class TiledEngine;

class HaloInput {
public:
    void clear();
    // Phase one: keeps the band around columns c0..c1-1 and rows r0..r1-1.
    void keep(TiledEngine& stage, int c0, int c1, int r0, int r1, int halo, ImageBuffer* src,
              ImageBuffer* dest);
    // Phase two: the input over the area widened by the halo (clipped to the
    // image). False when nothing was kept for the area (a tile that was
    // canceled between the phases).
    bool take(TiledEngine& stage, int c0, int c1, int r0, int r1, int halo, ImageBuffer* src,
              ImageBuffer* dest, PixelPatch& input);

    // The area widened by `halo` and clipped to a width x height image.
    static PixelPatch widened(int c0, int c1, int r0, int r1, int halo, int width, int height);

private:
    std::mutex lock_;
    std::map<std::pair<int, int>, std::vector<PixelPatch>> bands_;  // by (r0, c0)
};
