// Base of tiled operations over an image area. A run picks a tile size, calls
// Start once, Process for every tile of the area (each exactly once, possibly
// from several threads, each with its own thread index), then Finish.
// Process must be safe to call concurrently for different tiles when the task
// is run with more than one thread; Start and Finish run on the caller's thread.
#pragma once

#include <memory>
#include <string>

#include "dng/core/dng_point.h"
#include "dng/core/dng_rect.h"
#include "dng/core/dng_tile_iterator.h"
#include "dng/core/dng_types.h"

class dng_abort_sniffer;
class dng_memory_allocator;

class dng_area_task {
public:
    explicit dng_area_task(const char* name = "dng_area_task");
    virtual ~dng_area_task();
    dng_area_task(const dng_area_task&) = delete;
    dng_area_task& operator=(const dng_area_task&) = delete;

    virtual uint32 MaxThreads() const { return fMaxThreads; }
    virtual uint32 MinTaskArea() const { return fMinTaskArea; }
    virtual dng_point UnitCell() const { return fUnitCell; }
    virtual dng_point MaxTileSize() const { return fMaxTileSize; }

    // Tile grids of the images the task touches; a task tile never straddles
    // a boundary of a non-empty one. Empty by default.
    virtual dng_rect RepeatingTile1() const { return dng_rect(); }
    virtual dng_rect RepeatingTile2() const { return dng_rect(); }
    virtual dng_rect RepeatingTile3() const { return dng_rect(); }

    virtual void Start(uint32 threadCount, const dng_rect& area, const dng_point& tileSize,
                       dng_memory_allocator* allocator, dng_abort_sniffer* sniffer);
    virtual void Process(uint32 threadIndex, const dng_rect& tile, dng_abort_sniffer* sniffer) = 0;
    virtual void Finish(uint32 threadCount);

    // The iterators that cut the area into task tiles: by default row-major
    // over the grid of the given tile, or of the given size anchored at the
    // area's corner.
    virtual std::unique_ptr<dng_base_tile_iterator> MakeTileIterator(uint32 threadIndex,
                                                                     const dng_rect& tile,
                                                                     const dng_rect& area) const;
    virtual std::unique_ptr<dng_base_tile_iterator> MakeTileIterator(uint32 threadIndex,
                                                                     const dng_point& tileSize,
                                                                     const dng_rect& area) const;

    // The tile size for an area: the maximum tile size clipped to the area and
    // rounded down to whole unit cells (at least one cell).
    dng_point FindTileSize(const dng_rect& area) const;

    const std::string& Name() const { return fName; }

    // Runs the whole protocol over the area with one thread (index 0) on the
    // calling thread.
    static void Perform(dng_area_task& task, const dng_rect& area, dng_memory_allocator* allocator,
                        dng_abort_sniffer* sniffer);
    // The same with up to threadCount threads (capped by MaxThreads and by the
    // number of tiles). The first exception of any worker is rethrown after all
    // workers have stopped; Finish is not called then.
    static void Perform(dng_area_task& task, const dng_rect& area, dng_memory_allocator* allocator,
                        dng_abort_sniffer* sniffer, uint32 threadCount);

protected:
    uint32 fMaxThreads = 128;
    uint32 fMinTaskArea = 65536;
    dng_point fUnitCell = dng_point(1, 1);
    dng_point fMaxTileSize = dng_point(256, 256);
    std::string fName;
};
