// Allocation failures one at a time: this program replaces the global
// operator new with one that can be told to fail the Nth allocation from now
// (std::bad_alloc, or null for the nothrow forms). A run whose Nth allocation
// fails must end in a clean error or a success: no crash, no abort, no hang,
// and no thread left running the caller's code.
//
// Its own executable, since the replacement is process-wide.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>
#include <thread>

#include "document/DocumentTestHome.h"
#include "document/MyDocument.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Value.h"
#include "support/TestSupport.h"

// The replacements below pair malloc with free; the compiler, seeing a new
// expression inlined next to them, takes them for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

// Allocations left before the one that fails; negative while disarmed.
std::atomic<long> gCountdown{-1};
std::atomic<long> gCounted{0};
std::atomic<bool> gCounting{false};

bool allocationMayProceed() noexcept {
    if (gCounting.load(std::memory_order_relaxed)) gCounted.fetch_add(1, std::memory_order_relaxed);
    long left = gCountdown.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (gCountdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed))
            return left != 0;
    }
    return true;
}

void* allocate(std::size_t size) noexcept {
    if (!allocationMayProceed()) return nullptr;
    return std::malloc(size ? size : 1);
}

// Arms the Nth allocation (0 = the next one) to fail, once.
struct FailAllocation {
    explicit FailAllocation(long n) { gCountdown.store(n); }
    ~FailAllocation() { gCountdown.store(-1); }
    bool fired() const { return gCountdown.load() < 0; }
};

}  // namespace

void* operator new(std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using namespace std::chrono_literals;

// Counts what iterations do, to see that none runs after apply returned.
struct Iterations {
    std::atomic<int> running{0};
    std::atomic<int> started{0};
    std::atomic<int> afterReturn{0};
    std::atomic<bool> returned{false};

    void body(size_t i, bool throws) {
        if (returned) ++afterReturn;
        ++started;
        ++running;
        std::this_thread::sleep_for(2ms);
        if (returned) ++afterReturn;
        --running;
        if (throws && i == 1) throw std::runtime_error("iteration 1 failed");
    }
};

TEST(AllocationFailure, ApplyReportsAnIterationsExceptionAfterEveryHelperFinished) {
    const auto queue = platform::DispatchQueue::global();
    for (int round = 0; round < 20; ++round) {
        Iterations it;
        bool thrown = false;
        try {
            platform::apply(64, queue, [&](size_t i) { it.body(i, true); });
        } catch (const std::runtime_error& e) {
            thrown = std::string(e.what()) == "iteration 1 failed";
        }
        it.returned = true;
        EXPECT_TRUE(thrown) << "the failed iteration was swallowed";
        EXPECT_EQ(it.running.load(), 0);
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(it.afterReturn.load(), 0);
        // Work not yet begun when an iteration failed is not started.
        EXPECT_LT(it.started.load(), 64);
    }
}

TEST(AllocationFailure, ApplyReturnsOnlyWhenNoHelperRunsTheBody) {
    const auto queue = platform::DispatchQueue::global();
    // The pool's threads exist before the countdown: what fails is the
    // queueing of the helpers and the bookkeeping of the run.
    platform::apply(16, queue, [](size_t) { std::this_thread::sleep_for(1ms); });
    for (long n = 0; n < 40; ++n) {
        Iterations it;
        bool failed = false;
        {
            FailAllocation failing(n);
            try {
                platform::apply(8, queue, [&](size_t i) { it.body(i, false); });
            } catch (const std::bad_alloc&) {
                failed = true;
            }
        }
        it.returned = true;
        EXPECT_EQ(it.running.load(), 0) << "allocation " << n;
        if (!failed) {
            EXPECT_EQ(it.started.load(), 8) << "allocation " << n;
        }
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(it.afterReturn.load(), 0) << "allocation " << n;
    }
}

// A task that throws, or whose failure cannot be logged, never ends a worker.
TEST(AllocationFailure, WorkersOutliveTasksThatThrowWhileMemoryIsShort) {
    const auto queue = platform::DispatchQueue::global();
    platform::LogCapture quiet;
    for (long n = 0; n < 12; ++n) {
        platform::DispatchGroup group;
        std::atomic<bool> go{false};
        for (int t = 0; t < 8; ++t)
            group.async(queue, [n, &go] {
                while (!go) std::this_thread::yield();
                // Armed till the end of the run: the worker's report of the
                // exception allocates too.
                gCountdown = n;
                throw std::runtime_error(std::string(200, 'x'));
            });
        go = true;
        group.wait();
        gCountdown = -1;
    }
    std::atomic<int> ran{0};
    platform::apply(32, queue, [&](size_t) { ++ran; });
    EXPECT_EQ(ran.load(), 32);
}

// Listing a folder short of memory is a failure like any other; the
// standard library's error-code listing would end the program instead.
TEST(AllocationFailure, EmptyingTheTemporaryFolderSurvivesAFailingAllocation) {
    testsupport::ScopedHome home;
    int thrown = 0;
    for (long n = 0; n < 60; ++n) {
        const auto folder = platform::temporaryDirectory();
        ASSERT_FALSE(folder.empty());
        for (const char* name : {"a", "b", "c", "d"})
            std::ofstream(folder / (std::string(name) + std::to_string(n))) << "x";
        {
            FailAllocation failing(n);
            try {
                platform::emptyTemporaryDirectory();
            } catch (const std::bad_alloc&) {
                ++thrown;
            }
        }
    }
    platform::emptyTemporaryDirectory();
    EXPECT_TRUE(std::filesystem::is_empty(platform::temporaryDirectory()));
    EXPECT_GT(thrown, 0);
}

std::filesystem::path chartTool() {
#ifdef QUORVEX_MAKE_TEST_CHART
    return QUORVEX_MAKE_TEST_CHART;
#else
    return {};
#endif
}

class ExportAllocationFailure : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(chartTool())) << "the chart tool is not built";
        source_ = home_.path() / "chart.dng";
        const std::string cmd =
            chartTool().string() + " --size 240x160 --output " + source_.string() + " >/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    // One export of an open document, its Nth allocation failing: true when
    // written, false when it failed with a reason; anything else ends the
    // test program.
    bool exportOnce(long failAt, std::string* reason) {
        platform::Error error;
        auto doc = MyDocument::init();
        EXPECT_TRUE(doc->readFromURL(source_.string(), &error)) << error.failureReason;
        const auto out = home_.path() / "out";
        bool written = false, threw = false;
        {
            FailAllocation failing(failAt);
            try {
                written = doc->exportToURL(out, GetParam(), {-1, -1, -1, -1}, true, &error);
            } catch (const std::bad_alloc&) {
                threw = true;  // the command line's last resort reports it
            }
        }
        doc->close();
        if (reason) *reason = threw ? "not enough memory" : error.failureReason;
        EXPECT_FALSE(written && threw) << "allocation " << failAt;
        EXPECT_EQ(written, std::filesystem::exists(out))
            << "allocation " << failAt << ": " << error.failureReason;
        std::error_code ec;
        std::filesystem::remove(out, ec);
        return written;
    }

    DocumentTestHome home_;
    std::filesystem::path source_;
};

TEST_P(ExportAllocationFailure, EveryFailingAllocationEndsInAnErrorOrAFile) {
    platform::LogCapture quiet;
    // Warm: the presets and defaults exist, as at any run but the first.
    std::string why;
    ASSERT_TRUE(exportOnce(-1, &why)) << why;
    gCounted = 0;
    gCounting = true;
    ASSERT_TRUE(exportOnce(-1, nullptr));
    gCounting = false;
    const long total = gCounted;
    ASSERT_GT(total, 100);
    // About 150 runs spread over the whole export, the first fifty one by one.
    const long stride = std::max(1L, total / 100);
    int failures = 0;
    for (long n = 0; n < total; n += n < 50 ? 1 : stride) {
        std::string reason;
        if (!exportOnce(n, &reason)) {
            ++failures;
            EXPECT_FALSE(reason.empty()) << "allocation " << n;
        }
    }
    RecordProperty("allocations", std::to_string(total));
    EXPECT_GT(failures, 0);
    ASSERT_TRUE(exportOnce(-1, nullptr));
}

INSTANTIATE_TEST_SUITE_P(Types, ExportAllocationFailure,
                         ::testing::Values("public.jpeg", "public.tiff"), [](const auto& info) {
                             return std::string(info.param) == "public.jpeg" ? "Jpeg" : "Tiff";
                         });

}  // namespace
