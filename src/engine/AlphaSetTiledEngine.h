// Sets the alpha of every pixel of each tile to opaque (65535, or 1.0 in a
// float buffer). Input: none read; output: the destination buffer in place.
// No settings keys; no halo; edges do nothing. Not used by the pipeline.
#pragma once

#include "engine/TiledEngine.h"

class AlphaSetTiledEngine : public TiledEngine {
public:
    using TiledEngine::TiledEngine;

    std::string engineName() const override;
    void processTile(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer* srcBuffer,
                     ImageBuffer* destBuffer, int pass) override;
    void processEdge(int, int, int, int, ImageBuffer*, ImageBuffer*, int) override {}
};
