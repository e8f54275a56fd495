// The state of one tile of a stage's output: its rectangle, whether it must
// be processed, the pass in which a worker last took it, and the lock that
// workers claim it with (tryLock only, never a blocking lock).
//
// Thread safety: `state` and `passTrack` are atomic and may be read anywhere;
// they are written by the worker holding `lock` or under the owning map's
// tileLock. `location` is set before the tracker is shared and then only read.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

#include "platform/BitmapGeometry.h"

enum TileState : int { tileIsDirty = 0, tileIsEdgeDirty = 1, tileIsClean = 2 };

class TileTracker {
public:
    TileTracker() = default;
    // A copy of state, pass and location with a lock of its own.
    static std::shared_ptr<TileTracker> initWithTracker(const TileTracker& other);

    const platform::Rect& location() const { return location_; }
    void setLocation(const platform::Rect& r) { location_ = r; }
    int state() const { return state_.load(std::memory_order_acquire); }
    void setState(int s) { state_.store(s, std::memory_order_release); }
    int passTrack() const { return passTrack_.load(std::memory_order_acquire); }
    void setPassTrack(int p) { passTrack_.store(p, std::memory_order_release); }
    std::recursive_mutex& lock() { return lock_; }

    size_t hash() const;
    // Same tile: the truncated origins agree.
    bool isEqual(const TileTracker& other) const;

private:
    platform::Rect location_{};
    std::atomic<int> state_{tileIsDirty};
    std::atomic<int> passTrack_{-1};
    std::recursive_mutex lock_;
};
