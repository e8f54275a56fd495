#include "platform/LargeBlockPool.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/Locks.h"
#include "platform/SystemInfo.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUORVEX_HEAP_ONLY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define QUORVEX_HEAP_ONLY 1
#endif
#endif

namespace platform {

using Clock = std::chrono::steady_clock;

namespace {

// More kept blocks than this are not worth searching: the oldest go.
constexpr size_t kMaxKeptBlocks = 16;

size_t wholePages(size_t bytes) {
    const size_t page = size_t(pageSize());
    return bytes > size_t(-1) - page ? 0 : (bytes + page - 1) / page * page;
}

void unmap(void* address, size_t bytes) { ::munmap(address, bytes); }

// ThreadSanitizer does not follow mremap: a block moved there would keep what
// it knew of the memory before (a finished thread's stack), and be reported
// as raced. Under it a grown block is mapped afresh instead.
#if defined(__SANITIZE_THREAD__)
constexpr bool kMayRemap = false;
#else
constexpr bool kMayRemap = true;
#endif

// For pages nobody waits for: the caller goes on while another core unmaps.
void unmapLater(void* address, size_t bytes) {
    DispatchQueue::global(QueuePriority::Background)->async([address, bytes] {
        unmap(address, bytes);
    });
}

// Zeroes a reused block on every core: one pass over hundreds of megabytes
// would otherwise hold up the stage that asked for it.
constexpr size_t kZeroChunk = size_t(4) << 20;

void zero(void* address, size_t bytes) {
    if (bytes < 4 * kZeroChunk) {
        std::memset(address, 0, bytes);
        return;
    }
    apply((bytes + kZeroChunk - 1) / kZeroChunk, DispatchQueue::global(QueuePriority::High),
          [address, bytes](size_t i) {
              const size_t offset = i * kZeroChunk;
              std::memset(static_cast<char*>(address) + offset, 0,
                          std::min(kZeroChunk, bytes - offset));
          });
}

}  // namespace

struct LargeBlockPool::State {
    struct Kept {
        void* address;
        size_t bytes;
        Clock::time_point since;
    };

    // Releasing happens in destructors: keeping a block must not allocate,
    // and neither must giving blocks back.
    State(size_t budget, std::chrono::milliseconds idle) : budget(budget), idle(idle) {
        kept.reserve(kMaxKeptBlocks + 1);
    }
    // Blocks taken out under the mutex, unmapped after it.
    struct Batch {
        std::array<Kept, kMaxKeptBlocks + 1> blocks;
        size_t count = 0;
        void add(const Kept& k) { blocks[count++] = k; }
        void unmapAll() const {
            for (size_t i = 0; i < count; ++i) unmap(blocks[i].address, blocks[i].bytes);
        }
    };

    mutable std::mutex mutex;
    const size_t budget;
    const std::chrono::milliseconds idle;
    std::vector<Kept> kept;  // oldest first
    size_t keptBytes = 0;
    uint64_t reused = 0;
    bool trimScheduled = false;

    // The kept block that saves the most faults: one of the same size, else
    // the smallest larger one (cut to size), else the largest smaller one
    // (grown). Called with the mutex held; kept must not be empty.
    size_t bestFor(size_t bytes) const {
        size_t best = 0;
        auto better = [bytes](const Kept& a, const Kept& b) {
            const bool aFits = a.bytes >= bytes, bFits = b.bytes >= bytes;
            if (aFits != bFits) return aFits;
            return aFits ? a.bytes < b.bytes : a.bytes > b.bytes;
        };
        for (size_t i = 1; i < kept.size(); ++i)
            if (better(kept[i], kept[best])) best = i;
        return best;
    }

    Kept take(size_t i) {
        const Kept k = kept[i];
        kept.erase(kept.begin() + std::ptrdiff_t(i));
        keptBytes -= k.bytes;
        return k;
    }

    // Blocks idle for the whole period leave the list (to be unmapped by the
    // caller); schedules the next look while any remain.
    static void trimIdle(const std::shared_ptr<State>& state) {
        Batch stale;
        {
            std::lock_guard lock(state->mutex);
            const auto now = Clock::now();
            while (!state->kept.empty() && now - state->kept.front().since >= state->idle)
                stale.add(state->take(0));
            state->trimScheduled = false;
            if (!state->kept.empty())
                scheduleTrim(state, state->kept.front().since + state->idle - now);
        }
        stale.unmapAll();
    }

    // Called with the mutex held.
    static void scheduleTrim(const std::shared_ptr<State>& state, Clock::duration delay) {
        if (state->trimScheduled) return;
        std::weak_ptr<State> weak = state;
        try {
            DispatchQueue::global(QueuePriority::Background)
                ->asyncAfter(std::max(delay, Clock::duration(0)), [weak] {
                    if (auto s = weak.lock()) trimIdle(s);
                });
            state->trimScheduled = true;
        } catch (const std::exception&) {
            // Out of memory: the next release tries again, and an allocation
            // the system refuses gives the kept blocks back first.
        }
    }
};

LargeBlockPool& LargeBlockPool::shared() {
    static LazySingleton<LargeBlockPool> instance;
    return instance.get([] {
        constexpr size_t kMaxBudget = size_t(1) << 30;
        size_t budget = kMaxBudget;
        if (auto stats = memoryStatistics())
            budget = size_t(std::min<uint64_t>(budget, stats->physical / 8));
        return new LargeBlockPool(budget, std::chrono::milliseconds(50));
    });
}

LargeBlockPool::LargeBlockPool(size_t budgetBytes, std::chrono::milliseconds idle)
    : state_(std::make_shared<State>(budgetBytes, idle)) {}

LargeBlockPool::~LargeBlockPool() { trim(); }

bool LargeBlockPool::growsKeptBlocks() { return kMayRemap; }

void* LargeBlockPool::allocate(size_t bytes, bool zeroed) {
    const size_t size = wholePages(bytes);
    if (size == 0) return nullptr;
    std::optional<State::Kept> found;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->kept.empty()) found = state_->take(state_->bestFor(size));
    }
    if (found) {
        void* address = found->address;
        if (found->bytes > size) {
            unmapLater(static_cast<char*>(address) + size, found->bytes - size);
        } else if (found->bytes < size) {
            address = kMayRemap ? ::mremap(found->address, found->bytes, size, MREMAP_MAYMOVE)
                                : MAP_FAILED;
            if (address == MAP_FAILED) {
                unmap(found->address, found->bytes);
                address = nullptr;
            }
        }
        if (address) {
            // Pages a grown block gained are fresh, and so already zero.
            const size_t old = std::min(found->bytes, size);
            if (zeroed) zero(address, old);
            std::lock_guard lock(state_->mutex);
            state_->reused += old;
            return address;
        }
    }
    void* address =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED && keptBytes() > 0) {
        // Blocks kept for reuse are the first memory to give up.
        trim();
        address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    if (address == MAP_FAILED) return nullptr;
    // No request for 2 MiB pages: the kernel finds them only in memory nobody
    // has used for a while (on a virtual machine often never backed by the
    // host, whose first write costs several times the clearing), or compacts
    // for them, while small pages come from what a process just freed. Faults
    // per page cost less than that.
    return address;
}

void LargeBlockPool::release(void* block, size_t bytes) {
    if (!block) return;
    const size_t size = wholePages(bytes);
    State::Batch evicted;
    {
        std::lock_guard lock(state_->mutex);
        if (size > state_->budget) {
            evicted.add({block, size, Clock::now()});
        } else {
            state_->kept.push_back({block, size, Clock::now()});
            state_->keptBytes += size;
            while (state_->keptBytes > state_->budget || state_->kept.size() > kMaxKeptBlocks)
                evicted.add(state_->take(0));
            State::scheduleTrim(state_, state_->idle);
        }
    }
    evicted.unmapAll();
}

void LargeBlockPool::trim() {
    State::Batch all;
    {
        std::lock_guard lock(state_->mutex);
        for (const State::Kept& k : state_->kept) all.add(k);
        state_->kept.clear();  // keeps its capacity
        state_->keptBytes = 0;
    }
    all.unmapAll();
}

void LargeBlockPool::trimLater() {
    std::vector<State::Kept> all;
    {
        std::lock_guard lock(state_->mutex);
        all.swap(state_->kept);
        state_->kept.reserve(kMaxKeptBlocks + 1);
        state_->keptBytes = 0;
    }
    for (const State::Kept& k : all) unmapLater(k.address, k.bytes);
}

size_t LargeBlockPool::keptBytes() const {
    std::lock_guard lock(state_->mutex);
    return state_->keptBytes;
}

size_t LargeBlockPool::keptBlocks() const {
    std::lock_guard lock(state_->mutex);
    return state_->kept.size();
}

uint64_t LargeBlockPool::reusedBytes() const {
    std::lock_guard lock(state_->mutex);
    return state_->reused;
}

void* allocateLargeBlock(size_t bytes, bool zeroed) {
#ifndef QUORVEX_HEAP_ONLY
    if (bytes >= kLargeBlockBytes) return LargeBlockPool::shared().allocate(bytes, zeroed);
#endif
    const size_t n = bytes ? bytes : 1;
    return zeroed ? std::calloc(n, 1) : std::malloc(n);
}

void releaseLargeBlock(void* block, size_t bytes) {
#ifndef QUORVEX_HEAP_ONLY
    if (bytes >= kLargeBlockBytes) return LargeBlockPool::shared().release(block, bytes);
#else
    (void)bytes;
#endif
    std::free(block);
}

void throwBadAlloc() { throw std::bad_alloc(); }

}  // namespace platform
