// Host facts for cache sizing: memory statistics from /proc/meminfo, the page
// size and (in Dispatch.h) processorCount(). Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

struct MemoryStatistics {
    uint64_t physical = 0;   // MemTotal
    uint64_t free = 0;       // MemFree
    uint64_t available = 0;  // MemAvailable (free plus what the kernel can reclaim)
    uint64_t purgeable = 0;  // KReclaimable (or SReclaimable on older kernels)
};

// All in bytes; nullopt when the file cannot be read or lacks MemTotal/MemFree.
std::optional<MemoryStatistics> memoryStatistics();
std::optional<MemoryStatistics> parseMeminfo(std::string_view text);

uint64_t pageSize();

}  // namespace platform
