#include "engine/TileProcess.h"

std::shared_ptr<platform::DispatchGroup> TileProcess::dispatchGroup() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return dispatchGroup_;
}

void TileProcess::setDispatchGroup(std::shared_ptr<platform::DispatchGroup> group) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        std::swap(dispatchGroup_, group);
    }
    // The old value goes here, unlocked: its last owner may take other locks.
}

TileMap::Trackers TileProcess::dirtyList() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return dirtyList_;
}

void TileProcess::setDirtyList(TileMap::Trackers list) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        std::swap(dirtyList_, list);
    }
    // The old value goes here, unlocked: its last owner may take other locks.
}

std::shared_ptr<ImageBuffer> TileProcess::buffer() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return buffer_;
}

void TileProcess::setBuffer(std::shared_ptr<ImageBuffer> buffer) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        std::swap(buffer_, buffer);
    }
    // The old value goes here, unlocked: its last owner may take other locks.
}

std::string TileProcess::error() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return error_;
}

void TileProcess::setError(std::string error) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        std::swap(error_, error);
    }
    // The old value goes here, unlocked: its last owner may take other locks.
}
