// Stage 2a/2b: a 3 x 3 median of one colour difference. Channel X (red or
// blue, `colorToProcess`) becomes G + median(X - G) over the window; green is
// never changed. Input and output: 16-bit RGBA at full scale 65535. Setting:
// "Quorvex_ArtifactFilter" (0 to 1) gives 0, 2, 4 or 6 passes; below one
// step the stage only copies its source. The fourth sample (A) holds a copy
// of X while the stage runs and keeps it afterwards (later stages ignore A).
// Halo: one pixel per pass; the outermost border rows and columns (2 as the
// engine sets them) are copied, never filtered.
//
// Each tile is filtered on its own, all passes at once, in a scratch copy of
// its input widened by one pixel per pass; only the tile is written. Pass
// after pass the scratch follows exactly what a pass over the whole image
// gives, so the output depends neither on the tile order, the number of
// workers, nor on which tiles a run redoes. The input is the source's output:
// read from the source's buffer when the stage has a buffer of its own; when
// it works in place, the band around each tile is kept in a first phase
// (before any tile writes), and tiles the source did not redo in this run are
// computed again by the source (renderArea).
//
// Ownership: as TiledEngine. Thread safety: setParameters and the accessors
// may be called from any thread; tile routines run on several workers at once
// for different tiles.
#pragma once

#include <atomic>

#include "engine/HaloInput.h"
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
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion& region) override;
    // Every pass over one tile (both phases in one call).
    void processTile(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer* srcBuffer,
                     ImageBuffer* destBuffer, int pass) override;
    // The work is done in pass 0; later passes have nothing left to do.
    void processTileInPhase(int phase, int colStart, int colEnd, int rowStart, int rowEnd,
                            ImageBuffer* srcBuffer, ImageBuffer* destBuffer, int pass) override;
    void processEdge(int, int, int, int, ImageBuffer*, ImageBuffer*, int) override {}
    bool renderArea(PixelPatch& out) override;

    int colorToProcess() const { return colorToProcess_; }
    void setColorToProcess(int c) { colorToProcess_ = c == 2 ? 2 : 0; }
    int medianFilterPasses() const { return medianFilterPasses_; }
    void setMedianFilterPasses(int n) { medianFilterPasses_ = n; }
    bool passesSourceThrough() const override { return medianFilterPasses_ <= 0; }

private:
    // The output over `out`'s area after `passes` passes, from the input over
    // that area widened by `passes` (clipped to the image), whose row `row`
    // from column `col` on `input(row, col)` gives. False when canceled.
    template <class Input>
    bool filterInto(const Input& input, int passes, int width, int height, PixelPatch& out);

    std::atomic<int> colorToProcess_{0};
    std::atomic<int> medianFilterPasses_{0};
    HaloInput halo_;
};
