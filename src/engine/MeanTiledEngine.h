// Stage 2c: a 5 x 5 running mean of the red and blue colour differences.
// For each pass, first red then blue, row by row and left to right, X becomes
// G + trunc(sum over the window of (X - G) / 25), in place, so pixels already
// changed in the pass (above and to the left) feed later ones; green is never
// changed. Input and output: 16-bit RGBA at full scale 65535, filtered in
// place on the source's buffer. Setting: "Quorvex_ArtifactFilter" (steps 4, 5
// and 6 give 2, 4 and 6 passes; lower steps none). Halo: two pixels; the
// outermost two rows and columns are never filtered.
//
// A tile reads its neighbours' pixels as they were before the run: in a first
// phase every tile keeps the two-pixel band around it, and in the second it
// filters its own pixels with that band. The output therefore does not depend
// on the tile order or the number of workers. Where the source did not redo a
// neighbour (or the tile itself) in this run, the buffer holds this stage's
// own earlier output there, and the source computes its output again
// (HaloInput), so a tile redone alone gets the result a run over every tile
// gives.
//
// Ownership: owns its output buffer once a run has made it so. Thread safety:
// setParameters and the accessors may be called from any thread; tile
// routines run on several workers at once for different tiles.
#pragma once

#include <atomic>

#include "engine/HaloInput.h"
#include "engine/TiledEngine.h"

class MeanTiledEngine : public TiledEngine {
public:
    MeanTiledEngine(platform::Size size, std::optional<std::string> imageID,
                    bool releasePrecursors);
    MeanTiledEngine(Ptr source, std::optional<std::string> imageID, bool releasePrecursors);

    static std::shared_ptr<MeanTiledEngine> initWithSize(platform::Size size,
                                                         std::optional<std::string> imageID,
                                                         bool releasePrecursors);
    static std::shared_ptr<MeanTiledEngine> initWithImage(Ptr source,
                                                          std::optional<std::string> imageID,
                                                          bool releasePrecursors);

    std::string engineName() const override;
    void setParameters(const std::optional<std::string>& key,
                       const platform::Dictionary& parameters) override;
    // Runs the base and makes this stage the owner of the output buffer.
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion& region) override;
    // Every pass over one tile, reading its surroundings as they are now.
    void processTile(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer* srcBuffer,
                     ImageBuffer* destBuffer, int pass) override;
    void processTileInPhase(int phase, int colStart, int colEnd, int rowStart, int rowEnd,
                            ImageBuffer* srcBuffer, ImageBuffer* destBuffer, int pass) override;
    void processEdge(int, int, int, int, ImageBuffer*, ImageBuffer*, int) override {}

    int numberOfFilterPasses() const { return numberOfFilterPasses_; }
    void setNumberOfFilterPasses(int n) { numberOfFilterPasses_ = n; }

private:
    struct Window {
        int c0, c1, r0, r1;  // the filtered pixels
        bool empty() const { return c0 >= c1 || r0 >= r1; }
    };
    Window filterWindow(int colStart, int colEnd, int rowStart, int rowEnd,
                        const ImageBuffer& buffer) const;
    // Filters the window from the input over it and its two-pixel band, whose
    // row `row` from column `col` on `input(row, col)` gives.
    template <class Input>
    void filter(const Window& w, const Input& input, ImageBuffer& dest);

    std::atomic<int> numberOfFilterPasses_{0};
    HaloInput halo_;
};
