#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "engine/FileBackedDataManager.h"
#include "engine/FileBackedFactoryNSData.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::vector<fs::path> tempFiles() {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(platform::temporaryDirectory(), ec))
        if (e.path().filename().string().rfind("quorvextempfile.", 0) == 0)
            files.push_back(e.path());
    return files;
}

bool eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

bool allZero(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i]) return false;
    return true;
}

struct HookReset {
    ~HookReset() { FileBackedFactoryNSData::setHeapRefusalHook(nullptr); }
};

}  // namespace

TEST(FileBackedData, HeapBlockIsZeroedAndAppendsUpToItsEnd) {
    testsupport::ScopedHome home;
    auto data = FileBackedFactoryNSData::initWithSize(10, false);
    ASSERT_TRUE(data);
    EXPECT_FALSE(data->isFileBacked());
    EXPECT_EQ(data->length(), 10u);
    EXPECT_TRUE(allZero(data->bytes(), 10));
    EXPECT_TRUE(tempFiles().empty());

    platform::LogCapture log;
    EXPECT_TRUE(data->appendBytes(std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_TRUE(data->writeToData("abcdef", 6));  // fills the block exactly
    EXPECT_FALSE(log.contains("overrun"));
    EXPECT_FALSE(data->writeToData("x", 1));
    EXPECT_TRUE(log.contains("FileBackedFactoryNSData writeToData buffer overrun failure"));
    EXPECT_FALSE(data->writeToData("x", UINT64_MAX));  // no pointer wrap-around
    const auto* b = static_cast<const uint8_t*>(data->bytes());
    EXPECT_EQ(b[3], 4);
    EXPECT_EQ(std::memcmp(b + 4, "abcdef", 6), 0);

    data->doneWithData();
    EXPECT_EQ(data->bytes(), nullptr);
    EXPECT_FALSE(data->writeToData("x", 1));
    data->doneWithData();  // twice is harmless
}

// Large blocks are recycled: the next buffer must still start out zeroed,
// whatever size it is, while one whose bytes are released keeps them.
TEST(FileBackedData, RecycledLargeBlocksStartZeroed) {
    testsupport::ScopedHome home;
    const uint64_t sizes[] = {uint64_t(3) << 20, uint64_t(3) << 20, (uint64_t(5) << 20) + 17,
                              uint64_t(1) << 20};
    for (uint64_t size : sizes) {
        auto data = FileBackedFactoryNSData::initWithSize(size, false);
        ASSERT_TRUE(data);
        EXPECT_FALSE(data->isFileBacked());
        EXPECT_TRUE(allZero(data->bytes(), size)) << size;
        std::memset(data->mutableBytes(), 0xEE, size);
        auto kept = FileBackedFactoryNSData::initWithSize(size, false);
        std::memset(kept->mutableBytes(), 0x77, size);
        data.reset();
        const auto* k = static_cast<const uint8_t*>(kept->bytes());
        EXPECT_TRUE(std::all_of(k, k + size, [](uint8_t v) { return v == 0x77; }));
    }
}

TEST(FileBackedData, PreferredVirtualMemoryIsAMappedTemporaryFileRemovedAfterRelease) {
    testsupport::ScopedHome home;
    platform::LogCapture log;
    const uint64_t size = 3 << 20;
    auto data = FileBackedFactoryNSData::initWithSize(size, true);
    ASSERT_TRUE(data);
    EXPECT_TRUE(data->isFileBacked());
    EXPECT_FALSE(log.contains("Warning"));  // asked for, so no warning
    auto files = tempFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].parent_path(), platform::temporaryDirectory());
    EXPECT_EQ(fs::file_size(files[0]), size);
    EXPECT_TRUE(allZero(data->bytes(), size));

    // Writes reach the file through the shared mapping.
    std::memset(data->mutableBytes(), 0xAB, size);
    auto second = FileBackedFactoryNSData::initWithSize(size, true);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->appendBytes(*data));
    EXPECT_EQ(static_cast<const uint8_t*>(second->bytes())[size - 1], 0xAB);
    EXPECT_EQ(tempFiles().size(), 2u);

    data.reset();
    second->doneWithData();
    EXPECT_TRUE(eventually([] { return tempFiles().empty(); }));
}

TEST(FileBackedData, RefusedHeapFallsBackToAFileWithAWarning) {
    testsupport::ScopedHome home;
    HookReset reset;
    uint64_t asked = 0;
    FileBackedFactoryNSData::setHeapRefusalHook([&](uint64_t size) {
        asked = size;
        return true;
    });
    platform::LogCapture log;
    auto data = FileBackedFactoryNSData::initWithSize(4096, false);
    ASSERT_TRUE(data);
    EXPECT_EQ(asked, 4096u);
    EXPECT_TRUE(data->isFileBacked());
    EXPECT_TRUE(
        log.contains(">>>>> Warning: real memory could not be assigned; falling back to virtual"));

    FileBackedFactoryNSData::setHeapRefusalHook(nullptr);
    auto small = FileBackedFactoryNSData::initWithSize(4096, false);
    ASSERT_TRUE(small);
    EXPECT_FALSE(small->isFileBacked());  // the real rule keeps small blocks on the heap
}

TEST(FileBackedData, FailuresLeaveNoFilesBehindAndReturnNull) {
    testsupport::ScopedHome home;
    platform::LogCapture log;
    // Far more than any disk: reserving the space fails after the file was made.
    auto& manager = FileBackedDataManager::sharedFileBackedDataManager();
    EXPECT_EQ(manager.allocVM(uint64_t(1) << 60), nullptr);
    EXPECT_EQ(manager.allocVM(0), nullptr);
    EXPECT_TRUE(tempFiles().empty());

    auto data = FileBackedFactoryNSData::initWithSize(uint64_t(1) << 60, true);
    EXPECT_EQ(data, nullptr);
    EXPECT_TRUE(log.contains("FileBackedFactoryNSData failed - no memory"));
    EXPECT_TRUE(tempFiles().empty());

    // An unwritable temporary folder.
    fs::path tmp = platform::temporaryDirectory();
    ASSERT_EQ(::chmod(tmp.c_str(), 0500), 0);
    if (::access(tmp.c_str(), W_OK) != 0) {  // root could still write
        EXPECT_EQ(manager.allocVM(4096), nullptr);
    }
    ::chmod(tmp.c_str(), 0700);
}

TEST(FileBackedData, ManagerFreesForeignAddressesAsHeapBlocks) {
    testsupport::ScopedHome home;
    auto& manager = FileBackedDataManager::sharedFileBackedDataManager();
    EXPECT_EQ(&manager, &FileBackedDataManager::sharedFileBackedDataManager());
    // The sanitizer build reports a leak or a bad free if this goes wrong.
    manager.deallocVM(std::malloc(128));
    manager.deallocVM(nullptr);

    // Several mappings released out of order all go away.
    std::vector<void*> blocks;
    for (int i = 0; i < 5; ++i) {
        void* p = manager.allocVM(8192 + i);
        ASSERT_NE(p, nullptr);
        static_cast<uint8_t*>(p)[8191] = 1;
        blocks.push_back(p);
    }
    EXPECT_EQ(tempFiles().size(), 5u);
    for (int i : {3, 0, 4, 1, 2}) manager.deallocVM(blocks[i]);
    EXPECT_TRUE(eventually([] { return tempFiles().empty(); }));
}

TEST(FileBackedData, ConcurrentAllocationsKeepTheirOwnBlocks) {
    testsupport::ScopedHome home;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                auto data = FileBackedFactoryNSData::initWithSize(16384, (i + t) % 2 == 0);
                if (!data) {
                    failures++;
                    continue;
                }
                std::memset(data->mutableBytes(), t + 1, 16384);
                const auto* b = static_cast<const uint8_t*>(data->bytes());
                if (b[0] != t + 1 || b[16383] != t + 1) failures++;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(eventually([] { return tempFiles().empty(); }));
}
