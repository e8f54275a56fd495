// Stage 2a/2b: a 3 x 3 median of one colour difference. Channel X (red or
// blue, `colorToProcess`) becomes G + median(X - G) over the window; green is
// never changed. Input and output: 16-bit RGBA at full scale 65535. Setting:
// "Quorvex_ArtifactFilter" (0 to 1) gives 0, 2, 4 or 6 passes; below one
// step the stage only copies its source. The fourth sample (A) holds a copy
// of X while the stage runs and keeps it afterwards (later stages ignore A).
// Halo: one pixel; the outermost border rows and columns (2 as the engine
// sets them) are copied, never filtered.
//
// The frame runs every pass in two phases with a barrier between them. In
// the first pass's first phase each tile copies X into A over its whole tile
// rectangle (border part included); then in every pass each tile filters its
// pixels, reading one of X and A and writing the other, by turns, so that the
// last pass writes X and A ends as it would with a copy before every pass. No
// tile ever reads what another writes in the same phase, so the output does
// not depend on the tile order or the number of workers.
//
// Ownership: as TiledEngine. Thread safety: setParameters and the accessors
// may be called from any thread; tile routines run on several workers at once
// for different tiles.
#pragma once

#include <atomic>

#include "engine/TiledEngine.h"

class MedianTiledEngine : public TiledEngine {
public:
    MedianTiledEngine(platform::Size size, std::optional<std::string> imageID,
                      bool releasePrecursors);
    MedianTiledEngine(Ptr source, std::optional<std::string> imageID, bool releasePrecursors);

    static std::shared_ptr<MedianTiledEngine> initWithSize(platform::Size size,
                                                           std::optional<std::string> imageID,
                                                           bool releasePrecursors);
    static std::shared_ptr<MedianTiledEngine> initWithImage(Ptr source,
                                                            std::optional<std::string> imageID,
                                                            bool releasePrecursors);

    // The strength step of "Quorvex_ArtifactFilter": trunc(value x 6) when
    // that lies in 0..6, else -1.
    static int artifactFilterStep(const platform::Value& value);

    struct Area {
        int colStart, colEnd, rowStart, rowEnd;
    };
    // The whole tile of `stage`'s map that a (border-trimmed) tile area lies
    // in, border part included, clipped to the buffer; the area itself when
    // it is no tile of the map. Tile rectangles cover the image exactly once.
    static Area tileArea(TiledEngine& stage, int colStart, int colEnd, int rowStart, int rowEnd,
                         const ImageBuffer& buffer);

    std::string engineName() const override;
    void setParameters(const std::optional<std::string>& key,
                       const platform::Dictionary& parameters) override;
    // One whole pass over one tile: the copy into A, then the filter.
    void processTile(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer* srcBuffer,
                     ImageBuffer* destBuffer, int pass) override;
    void processTileInPhase(int phase, int colStart, int colEnd, int rowStart, int rowEnd,
                            ImageBuffer* srcBuffer, ImageBuffer* destBuffer, int pass) override;
    void processEdge(int, int, int, int, ImageBuffer*, ImageBuffer*, int) override {}

    int colorToProcess() const { return colorToProcess_; }
    void setColorToProcess(int c) { colorToProcess_ = c == 2 ? 2 : 0; }
    int medianFilterPasses() const { return medianFilterPasses_; }
    void setMedianFilterPasses(int n) { medianFilterPasses_ = n; }

private:
    // The copy phase over the columns and rows given (a pass's source is the
    // stage's source in pass 0 and its own output afterwards).
    void copyToScratch(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer* from,
                       ImageBuffer* dest);
    // Sample `writeSample` becomes G + the median of (readSample - G).
    void filter(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer* dest,
                int readSample, int writeSample);

    std::atomic<int> colorToProcess_{0};
    std::atomic<int> medianFilterPasses_{0};
};
