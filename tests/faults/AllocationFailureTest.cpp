// Allocation failures one at a time (its own program: the replaced operator
// new is process-wide). A run whose Nth allocation fails ends in a clean error
// or a success, and leaves no thread running the caller's code.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "document/DocumentTestHome.h"
#include "document/MyDocument.h"
#include "platform/Dispatch.h"
#include "platform/IccProfile.h"
#include "platform/IccTransform.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

// They pair malloc with free; inlined, they look mismatched to the compiler.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

// Allocations left before the one that fails; negative while disarmed.
std::atomic<long> gCountdown{-1};
// Smaller allocations are neither counted nor failed.
std::atomic<std::size_t> gCountFrom{0};

void* allocate(std::size_t size) noexcept {
    if (size < gCountFrom.load(std::memory_order_relaxed)) return std::malloc(size ? size : 1);
    for (long left = gCountdown.load(std::memory_order_relaxed); left >= 0;)
        if (gCountdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            if (left == 0) return nullptr;
            break;
        }
    return std::malloc(size ? size : 1);
}

// Arms the Nth allocation (0 = the next one) of at least `from` bytes to fail, once.
struct FailAllocation {
    explicit FailAllocation(long n, std::size_t from = 0) {
        gCountFrom.store(from);
        gCountdown.store(n);
    }
    ~FailAllocation() {
        gCountdown.store(-1);
        gCountFrom.store(0);
    }
};

}  // namespace

// OpenEXR's header and lcms2's curves lose blocks of their own when a later
// allocation fails (an attribute copied before its insertion, a curve's
// parts): failures the sweeps provoke on purpose, in those libraries only.
extern "C" const char* __lsan_default_suppressions() { return "leak:libOpenEXR\nleak:liblcms2\n"; }

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
    std::atomic<int> running{0}, started{0}, afterReturn{0};
    std::atomic<bool> returned{false};

    void body(size_t i, bool throws) {
        afterReturn += returned;
        ++started;
        ++running;
        // Iteration 1 fails at once and the others last long enough that a
        // run going on after the failure would start them all, even when the
        // failing thread is kept waiting on a loaded machine.
        if (!(throws && i == 1)) std::this_thread::sleep_for(throws ? 10ms : 2ms);
        afterReturn += returned;
        --running;
        if (throws && i == 1) throw std::runtime_error("iteration 1 failed");
    }
};

// Whether an allocation of the run fails (rounds below 40) or an iteration
// throws, apply returns only once no helper runs the body, and reports it.
TEST(AllocationFailure, ApplyReturnsOnlyWhenNoHelperRunsTheBody) {
    const auto queue = platform::DispatchQueue::global();
    // The pool's threads exist before the countdown: what fails is the
    // queueing of the helpers and the bookkeeping of the run.
    platform::apply(16, queue, [](size_t) { std::this_thread::sleep_for(1ms); });
    for (long round = 0; round < 60; ++round) {
        const bool throws = round >= 40;
        const size_t count = throws ? 64 : 8;
        Iterations it;
        bool failed = false, reported = false;
        {
            FailAllocation failing(throws ? -1 : round);
            try {
                platform::apply(count, queue, [&](size_t i) { it.body(i, throws); });
            } catch (const std::bad_alloc&) {
                failed = true;
            } catch (const std::runtime_error& e) {
                failed = reported = std::strcmp(e.what(), "iteration 1 failed") == 0;
            }
        }
        it.returned = true;
        EXPECT_EQ(it.running.load(), 0) << round;
        EXPECT_EQ(reported, throws) << round;
        // Work not yet begun when an iteration failed is not started.
        if (throws) {
            EXPECT_LT(it.started.load(), 64) << round;
        } else if (!failed) {
            EXPECT_EQ(it.started.load(), 8) << round;
        }
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(it.afterReturn.load(), 0) << round;
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
                gCountdown = n;  // till the end of the run: the worker's report allocates too
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

// A first use whose making ran out of memory leaves the flag unset: the next
// use makes the thing.
TEST(AllocationFailure, AOnceFlagWhoseCallRanOutOfMemoryCallsAgain) {
    platform::OnceFlag once;
    std::unique_ptr<std::string> made;
    const auto make = [&] { made = std::make_unique<std::string>(100, 'x'); };
    {
        FailAllocation failing(0);
        EXPECT_THROW(platform::callOnce(once, make), std::bad_alloc);
    }
    platform::callOnce(once, make);
    ASSERT_TRUE(made);
    EXPECT_EQ(made->size(), 100u);
}

// Listing a folder short of memory is a failure like any other; the
// standard library's error-code listing would end the program instead.
TEST(AllocationFailure, EmptyingTheTemporaryFolderSurvivesAFailingAllocation) {
    testsupport::ScopedHome home;
    int thrown = 0;
    for (long n = 0; n < 60; ++n) {
        const auto folder = platform::temporaryDirectory();
        for (const char* name : {"a", "b", "c", "d"})
            std::ofstream(folder / (name + std::to_string(n))) << "x";
        FailAllocation failing(n);
        try {
            platform::emptyTemporaryDirectory();
        } catch (const std::bad_alloc&) {
            ++thrown;
        }
    }
    platform::emptyTemporaryDirectory();
    EXPECT_TRUE(std::filesystem::is_empty(platform::temporaryDirectory()));
    EXPECT_GT(thrown, 0);
}

// A colour conversion whose making or preparation meets a failing
// allocation, lcms2's own included (its context's too: lcms2's process-wide
// one must not stand in), fails for want of memory and is prepared again on
// its next use; one that needs no more allocations converts exactly as a
// clean one.
TEST(AllocationFailure, AColourConversionPreparedShortOfMemoryIsExactOrFails) {
    const auto from = platform::IccProfile::named(platform::IccNamedProfile::linearRGB);
    const auto to = platform::IccProfile::named(platform::IccNamedProfile::sRGB);
    ASSERT_TRUE(from && to);
    std::vector<uint16_t> codes(64 * 4);
    std::vector<float> floats(64 * 4);
    for (size_t i = 0; i < codes.size(); ++i) floats[i] = (codes[i] = uint16_t(i * 997)) / 65535.f;
    for (auto layout : {platform::IccPixelLayout::rgba16, platform::IccPixelLayout::rgbaFloat}) {
        const std::string pixels =
            layout == platform::IccPixelLayout::rgba16
                ? std::string(reinterpret_cast<const char*>(codes.data()), codes.size() * 2)
                : std::string(reinterpret_cast<const char*>(floats.data()), floats.size() * 4);
        std::string clean = pixels;
        ASSERT_TRUE(platform::IccTransform::create(from, to)->convert(
            clean.data(), 64, 1, clean.size(), layout, nullptr));
        // Fails allocation n = 0, 1, ... until a run needs fewer than n + 1.
        long n = 0;
        for (bool reached = true; reached; ++n) {
            std::shared_ptr<const platform::IccTransform> t;
            std::string px = pixels, why;
            bool converted = false, threw = false;
            {
                FailAllocation failing(n);
                try {
                    t = platform::IccTransform::create(from, to);
                    converted = t->convert(px.data(), 64, 1, px.size(), layout, &why);
                } catch (const std::bad_alloc&) {
                    threw = true;
                }
                reached = gCountdown < 0;
            }
            if (converted) {
                EXPECT_TRUE(!reached && px == clean) << "allocation " << n;
            } else {
                EXPECT_TRUE(reached && (threw || why == platform::IccTransform::kNoMemoryReason))
                    << "allocation " << n << ": " << why;
                if (!t) t = platform::IccTransform::create(from, to);
                px = pixels;
                EXPECT_TRUE(t->convert(px.data(), 64, 1, px.size(), layout, &why) && px == clean)
                    << "again after " << n;
            }
        }
        EXPECT_GT(n, 6);
    }
}

// The file's bytes with the times of writing ("2024:05:01 10:20:30", also
// with '-' and 'T') blanked out: two clean exports differ in nothing else.
std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    const std::string shape = "0000:00:00 00:00:00";
    const auto fits = [&](size_t at) {
        for (size_t k = 0; k < shape.size(); ++k) {
            const char c = bytes[at + k], s = shape[k];
            if (s == '0' ? !std::isdigit(static_cast<unsigned char>(c))
                         : c != s && !(c == '-' && s == ':' && k < 10) && !(c == 'T' && s == ' '))
                return false;
        }
        return true;
    };
    for (size_t i = 0; i + shape.size() <= bytes.size(); ++i)
        if (fits(i)) bytes.replace(i, shape.size(), shape.size(), '#');
    return bytes;
}

// An export whose Nth allocation fails, for every N, writes exactly the file
// of a clean export or fails for want of memory. Each export makes its
// colour conversions afresh, so that lcms2's allocations fail too (and its
// reserve serves). One sweep per run, so that they can run side by side. A
// small chart has every allocation failed; one of a real photo's size (a
// megapixel and more takes the banded paths of the full-size develop and
// render) only the large ones: a band that failed must not leave its rows out
// of a written file.
struct Sweep {
    const char* type;
    const char* chart;
    std::size_t from;
};
void PrintTo(const Sweep& s, std::ostream* os) { *os << s.type << ' ' << s.chart; }
class ExportAllocationFailure : public ::testing::TestWithParam<Sweep> {};

TEST_P(ExportAllocationFailure, EveryFailingAllocationEndsInAnErrorOrTheSameFile) {
    DocumentTestHome home;
    const auto [type, chart, from] = GetParam();
    const auto source = testsupport::makeChart(home.path(), chart);
    ASSERT_FALSE(source.empty()) << "no chart";
    const auto out = home.path() / "out";
    platform::LogCapture quiet;
    std::string clean;
    // Whether an export of an open document, its Nth allocation failing
    // (none when negative), wrote the file; `used` gets its allocations.
    auto exportOnce = [&](long failAt, long* used = nullptr) {
        platform::IccTransform::forgetShared();
        platform::Error error;
        auto doc = MyDocument::init();
        EXPECT_TRUE(doc->readFromURL(source.string(), &error)) << error.failureReason;
        bool written = false, threw = false;
        {
            FailAllocation failing(failAt, from);
            try {
                written = doc->exportToURL(out, type, {-1, -1, -1, -1}, true, &error);
            } catch (const std::bad_alloc&) {
                threw = true;  // the command line's last resort reports it
            }
            if (used) *used = failAt - gCountdown;
        }
        doc->close();
        // Every failure here is for want of memory, and says so.
        EXPECT_TRUE(written
                        ? !threw
                        : threw || error.failureReason.starts_with("There is not enough memory"))
            << failAt << ": " << error.failureReason;
        EXPECT_EQ(written, std::filesystem::exists(out)) << failAt << ": " << error.failureReason;
        if (written && clean.empty()) clean = fileBytes(out);
        EXPECT_TRUE(!written || fileBytes(out) == clean) << "allocation " << failAt;
        std::filesystem::remove(out);
        return written;
    };
    ASSERT_TRUE(exportOnce(-1));  // the presets and defaults exist, as at any run but the first
    ASSERT_FALSE(clean.empty());
    long total = 0;
    ASSERT_TRUE(exportOnce(LONG_MAX, &total));
    ASSERT_GT(total, from ? 20 : 100);
    int failures = 0;
    for (long n = 0; n < total; ++n) failures += !exportOnce(n);
    RecordProperty(std::string("allocations ") + type, std::to_string(total));
    EXPECT_GT(failures, 0);
    ASSERT_TRUE(exportOnce(-1));
}

INSTANTIATE_TEST_SUITE_P(Types, ExportAllocationFailure,
                         ::testing::Values(Sweep{"public.jpeg", "120x80", 0},
                                           Sweep{"public.tiff", "120x80", 0},
                                           Sweep{"public.dng", "120x80", 0},
                                           Sweep{"com.ilm.openexr-image", "120x80", 0},
                                           Sweep{"public.tiff", "1280x1024", 64 << 10}));

}  // namespace
