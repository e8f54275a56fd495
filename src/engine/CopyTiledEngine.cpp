#include "engine/CopyTiledEngine.h"

#include <cstdio>

std::string CopyTiledEngine::engineName() const {
    char name[96];
    std::snprintf(name, sizeof name, "QuorvexCopyTiledEngine_%p", static_cast<const void*>(this));
    return name;
}
