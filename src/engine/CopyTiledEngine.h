// Copies each tile from the source buffer into the destination buffer (same
// sample format). No settings keys; no halo. Not used by the pipeline.
#pragma once

#include "engine/TiledEngine.h"

class CopyTiledEngine : public TiledEngine {
public:
    using TiledEngine::TiledEngine;

    std::string engineName() const override;
    void processTile(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer* srcBuffer,
                     ImageBuffer* destBuffer, int) override {
        copyTile(colStart, colEnd, rowStart, rowEnd, srcBuffer, destBuffer);
    }
};
