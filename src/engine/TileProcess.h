// What one run of a stage hands to the next: the dispatch group its workers
// ran in, the trackers it found not clean when it prepared, its output
// buffer and the first error of the run (its own or its sources'; empty
// when every tile was done).
//
// Thread safety: the fields are guarded by an internal lock, so a process may
// be read while its stage releases the buffer reference.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "engine/ImageBuffer.h"
#include "engine/TileMap.h"
#include "platform/Dispatch.h"

class TileProcess {
public:
    std::shared_ptr<platform::DispatchGroup> dispatchGroup() const;
    void setDispatchGroup(std::shared_ptr<platform::DispatchGroup> group);
    TileMap::Trackers dirtyList() const;
    void setDirtyList(TileMap::Trackers list);
    std::shared_ptr<ImageBuffer> buffer() const;
    void setBuffer(std::shared_ptr<ImageBuffer> buffer);
    std::string error() const;
    void setError(std::string error);

private:
    // A leaf in the engine's lock order (see TiledEngine.h): nothing else is
    // taken while it is held, and no value is released under it (a buffer's
    // last owner may be a stage). Setters swap and let the old value go
    // after unlocking.
    mutable std::mutex mutex_;
    std::shared_ptr<platform::DispatchGroup> dispatchGroup_;
    TileMap::Trackers dirtyList_;
    std::shared_ptr<ImageBuffer> buffer_;
    std::string error_;
};
