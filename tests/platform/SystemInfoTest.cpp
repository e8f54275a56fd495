#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include "platform/Dispatch.h"
#include "platform/SystemInfo.h"

TEST(SystemInfo, ParsesMeminfoInBytes) {
    auto stats = platform::parseMeminfo(
        "MemTotal:       16303956 kB\n"
        "MemFree:         1203452 kB\n"
        "MemAvailable:    9876543 kB\n"
        "Buffers:          123456 kB\n"
        "SReclaimable:     400000 kB\n"
        "KReclaimable:     500000 kB\n"
        "HugePages_Total:       0\n");
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->physical, 16303956ull * 1024);
    EXPECT_EQ(stats->free, 1203452ull * 1024);
    EXPECT_EQ(stats->available, 9876543ull * 1024);
    EXPECT_EQ(stats->purgeable, 500000ull * 1024);
}

TEST(SystemInfo, OlderKernelsAndBadInput) {
    // No MemAvailable or KReclaimable: fall back to MemFree and SReclaimable.
    auto old = platform::parseMeminfo("MemTotal: 100 kB\nMemFree: 40 kB\nSReclaimable: 7 kB");
    ASSERT_TRUE(old);
    EXPECT_EQ(old->available, 40u * 1024);
    EXPECT_EQ(old->purgeable, 7u * 1024);
    EXPECT_FALSE(platform::parseMeminfo(""));
    EXPECT_FALSE(platform::parseMeminfo("MemTotal: lots\nMemFree: 1 kB\n"));
    EXPECT_FALSE(platform::parseMeminfo("MemFree: 1 kB\n"));
    // A value that would overflow when scaled is skipped, not wrapped.
    EXPECT_FALSE(platform::parseMeminfo("MemTotal: 99999999999999999999 kB\nMemFree: 1 kB\n"));
}

TEST(SystemInfo, HostFigures) {
    auto stats = platform::memoryStatistics();
    ASSERT_TRUE(stats);
    EXPECT_GT(stats->physical, 0u);
    EXPECT_LE(stats->free, stats->physical);
    EXPECT_EQ(platform::pageSize(), static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(platform::processorCount(), static_cast<unsigned>(CPU_COUNT(&set)));
}
