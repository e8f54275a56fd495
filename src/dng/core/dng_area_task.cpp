#include "dng/core/dng_area_task.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <vector>

#include "dng/core/dng_abort_sniffer.h"
#include "dng/core/dng_exception.h"
#include "platform/Dispatch.h"

namespace {

// Boundaries of a repeating tile grid strictly inside [lo, hi).
void GridCuts(int32 lo, int32 hi, int32 origin, int32 step, std::vector<int32>& cuts) {
    if (step <= 0) return;
    int64 first = origin + ((static_cast<int64>(lo) - origin) / step) * step;
    if (first <= lo) first += step;
    for (int64 c = first; c < hi; c += step) cuts.push_back(static_cast<int32>(c));
}

// Splits a tile along the boundaries of every non-empty repeating tile.
void SplitByRepeatingTiles(const dng_rect& tile, const dng_rect repeating[3],
                           std::vector<dng_rect>& out) {
    std::vector<int32> rows{tile.t, tile.b};
    std::vector<int32> cols{tile.l, tile.r};
    for (int i = 0; i < 3; i++) {
        const dng_rect& r = repeating[i];
        if (r.IsEmpty()) continue;
        GridCuts(tile.t, tile.b, r.t, r.b - r.t, rows);
        GridCuts(tile.l, tile.r, r.l, r.r - r.l, cols);
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    std::sort(cols.begin(), cols.end());
    cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
    for (size_t i = 0; i + 1 < rows.size(); i++)
        for (size_t j = 0; j + 1 < cols.size(); j++)
            out.push_back(dng_rect(rows[i], cols[j], rows[i + 1], cols[j + 1]));
}

std::vector<dng_rect> ListTiles(const dng_area_task& task, const dng_rect& area,
                                const dng_point& tileSize) {
    std::vector<dng_rect> grid;
    std::unique_ptr<dng_base_tile_iterator> iterator = task.MakeTileIterator(0, tileSize, area);
    for (dng_rect tile; iterator->NextTile(tile);) grid.push_back(tile);
    const dng_rect repeating[3] = {task.RepeatingTile1(), task.RepeatingTile2(),
                                   task.RepeatingTile3()};
    if (repeating[0].IsEmpty() && repeating[1].IsEmpty() && repeating[2].IsEmpty()) return grid;
    std::vector<dng_rect> tiles;
    for (const dng_rect& t : grid) SplitByRepeatingTiles(t, repeating, tiles);
    return tiles;
}

}  // namespace

dng_area_task::dng_area_task(const char* name) : fName(name ? name : "dng_area_task") {}

dng_area_task::~dng_area_task() = default;

void dng_area_task::Start(uint32, const dng_rect&, const dng_point&, dng_memory_allocator*,
                          dng_abort_sniffer*) {}

void dng_area_task::Finish(uint32) {}

std::unique_ptr<dng_base_tile_iterator> dng_area_task::MakeTileIterator(
    uint32, const dng_rect& tile, const dng_rect& area) const {
    return std::make_unique<dng_tile_iterator>(tile, area);
}

std::unique_ptr<dng_base_tile_iterator> dng_area_task::MakeTileIterator(
    uint32, const dng_point& tileSize, const dng_rect& area) const {
    return std::make_unique<dng_tile_iterator>(tileSize, area);
}

dng_point dng_area_task::FindTileSize(const dng_rect& area) const {
    const dng_point cell = UnitCell();
    const dng_point maxSize = MaxTileSize();
    const int32 cellV = std::max(cell.v, 1);
    const int32 cellH = std::max(cell.h, 1);
    int32 v = std::min<int64>(std::max(maxSize.v, 1), std::max<int64>(area.H(), 1));
    int32 h = std::min<int64>(std::max(maxSize.h, 1), std::max<int64>(area.W(), 1));
    v = std::max(cellV, v / cellV * cellV);
    h = std::max(cellH, h / cellH * cellH);
    return dng_point(v, h);
}

void dng_area_task::Perform(dng_area_task& task, const dng_rect& area,
                            dng_memory_allocator* allocator, dng_abort_sniffer* sniffer) {
    Perform(task, area, allocator, sniffer, 1);
}

void dng_area_task::Perform(dng_area_task& task, const dng_rect& area,
                            dng_memory_allocator* allocator, dng_abort_sniffer* sniffer,
                            uint32 threadCount) {
    const dng_point tileSize = task.FindTileSize(area);
    const std::vector<dng_rect> tiles =
        area.IsEmpty() ? std::vector<dng_rect>() : ListTiles(task, area, tileSize);

    uint32 threads = std::max<uint32>(1, std::min(threadCount, task.MaxThreads()));
    threads = static_cast<uint32>(std::max<size_t>(1, std::min<size_t>(threads, tiles.size())));

    task.Start(threads, area, tileSize, allocator, sniffer);

    if (threads == 1) {
        for (const dng_rect& tile : tiles) {
            dng_abort_sniffer::SniffForAbort(sniffer);
            task.Process(0, tile, sniffer);
        }
    } else {
        std::atomic<size_t> next{0};
        std::atomic<bool> failed{false};
        std::exception_ptr firstError;
        std::mutex errorMutex;
        auto worker = [&](uint32 index) {
            try {
                for (;;) {
                    if (failed.load()) return;
                    const size_t i = next.fetch_add(1);
                    if (i >= tiles.size()) return;
                    dng_abort_sniffer::SniffForAbort(sniffer);
                    task.Process(index, tiles[i], sniffer);
                }
            } catch (...) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (!firstError) firstError = std::current_exception();
                failed.store(true);
            }
        };
        // On the process's thread pool, the caller taking part: each worker
        // index runs once, so per-thread buffers stay private.
        platform::apply(threads, platform::DispatchQueue::global(),
                        [&](size_t index) { worker(static_cast<uint32>(index)); });
        if (firstError) std::rethrow_exception(firstError);
    }

    task.Finish(threads);
}
