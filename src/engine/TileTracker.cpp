#include "engine/TileTracker.h"

#include <cstdint>

std::shared_ptr<TileTracker> TileTracker::initWithTracker(const TileTracker& other) {
    auto t = std::make_shared<TileTracker>();
    t->location_ = other.location_;
    t->setState(other.state());
    t->setPassTrack(other.passTrack());
    return t;
}

size_t TileTracker::hash() const {
    auto y = static_cast<int64_t>(location_.y), x = static_cast<int64_t>(location_.x);
    return static_cast<size_t>((y << 12) | x);
}

bool TileTracker::isEqual(const TileTracker& other) const {
    return static_cast<int64_t>(location_.x) == static_cast<int64_t>(other.location_.x) &&
           static_cast<int64_t>(location_.y) == static_cast<int64_t>(other.location_.y);
}
