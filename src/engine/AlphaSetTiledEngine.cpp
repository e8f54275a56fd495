#include "engine/AlphaSetTiledEngine.h"

#include <algorithm>
#include <cstdio>

std::string AlphaSetTiledEngine::engineName() const {
    char name[96];
    std::snprintf(name, sizeof name, "QuorvexAlphaSetEngine_%p", static_cast<const void*>(this));
    return name;
}

void AlphaSetTiledEngine::processTile(int colStart, int colEnd, int rowStart, int rowEnd,
                                      ImageBuffer*, ImageBuffer* destBuffer, int) {
    if (!destBuffer) return;
    colStart = std::max(colStart, 0);
    rowStart = std::max(rowStart, 0);
    colEnd = std::min<int>(colEnd, destBuffer->imageWidth());
    rowEnd = std::min<int>(rowEnd, destBuffer->imageHeight());
    for (int row = rowStart; row < rowEnd; ++row) {
        if (uint16_t* p = destBuffer->bufferU16ForRow(row))
            for (int col = colStart; col < colEnd; ++col) p[col * 4 + 3] = 65535;
        else if (float* f = destBuffer->bufferFloatForRow(row))
            for (int col = colStart; col < colEnd; ++col) f[col * 4 + 3] = 1.0f;
    }
}
