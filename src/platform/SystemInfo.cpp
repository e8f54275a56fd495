#include "platform/SystemInfo.h"

#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace platform {

std::optional<MemoryStatistics> parseMeminfo(std::string_view text) {
    MemoryStatistics stats;
    bool haveTotal = false, haveFree = false, haveAvailable = false, haveKReclaimable = false;
    uint64_t sReclaimable = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view key = line.substr(0, colon);
        std::string_view rest = line.substr(colon + 1);
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        uint64_t value = 0;
        auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
        if (ec != std::errc()) continue;
        std::string_view unit(ptr, static_cast<size_t>(rest.data() + rest.size() - ptr));
        while (!unit.empty() && unit.front() == ' ') unit.remove_prefix(1);
        if (unit == "kB") {
            if (value > UINT64_MAX / 1024) continue;
            value *= 1024;
        }
        if (key == "MemTotal")
            stats.physical = value, haveTotal = true;
        else if (key == "MemFree")
            stats.free = value, haveFree = true;
        else if (key == "MemAvailable")
            stats.available = value, haveAvailable = true;
        else if (key == "KReclaimable")
            stats.purgeable = value, haveKReclaimable = true;
        else if (key == "SReclaimable")
            sReclaimable = value;
    }
    if (!haveTotal || !haveFree) return std::nullopt;
    if (!haveAvailable) stats.available = stats.free;
    if (!haveKReclaimable) stats.purgeable = sReclaimable;
    return stats;
}

std::optional<MemoryStatistics> memoryStatistics() {
    std::ifstream in("/proc/meminfo");
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return parseMeminfo(text.str());
}

uint64_t pageSize() {
    long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

}  // namespace platform
