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
// phase every tile keeps the two-pixel ring around it, and in the second it
// filters its own pixels with that ring. The output therefore does not depend
// on the tile order or the number of workers.
//
// Ownership: owns its output buffer once a run has made it so. Thread safety:
// setParameters and the accessors may be called from any thread; tile
// routines run on several workers at once for different tiles.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

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
    // X - G of the red and blue samples on the two-pixel ring around w.
    std::vector<int32_t> readRing(const Window& w, const ImageBuffer& from) const;
    void filter(const Window& w, const std::vector<int32_t>& ring, const ImageBuffer& from,
                ImageBuffer& dest);

    std::atomic<int> numberOfFilterPasses_{0};
    std::mutex ringsLock_;
    std::map<std::pair<int, int>, std::vector<int32_t>> rings_;  // by (row, column) of the tile
};
