// Large blocks of anonymous memory that are recycled instead of going back to
// the kernel at once. A fresh page costs a fault, zeroing and accounting in
// the kernel, and once more when it is unmapped: many times what one pass over
// the same memory costs. A develop allocates its big buffers in sequence (the
// decoder's planes, the renderings, each stage's output, the export's
// copies), most of them soon after the one before was released, so a block
// released by one is handed to the next.
//
// A kept block of another size serves too: cut to size (its tail unmapped on
// another thread) or grown (mremap; only the added pages are new). Kept blocks are bounded by a
// budget and unmapped once they have lain unused for an idle period, so the
// pool holds only what was in use shortly before.
//
// Ownership: a block belongs to the caller from allocate() until release(),
// which must be given the size that was asked for. The pool owns kept blocks.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

class LargeBlockPool {
public:
    // The process's pool: a budget of an eighth of the physical memory (at
    // most 1 GiB) and an idle period of 50 ms (longer than a develop waits
    // between releasing one buffer and asking for the next). Never destroyed.
    static LargeBlockPool& shared();

    LargeBlockPool(size_t budgetBytes, std::chrono::milliseconds idle);
    // Unmaps the kept blocks.
    ~LargeBlockPool();
    LargeBlockPool(const LargeBlockPool&) = delete;
    LargeBlockPool& operator=(const LargeBlockPool&) = delete;

    // `bytes` (rounded up to whole pages) of page-aligned memory, or null when
    // the system has none (or for 0). With `zeroed` every byte reads 0;
    // otherwise the contents are whatever a former user left.
    void* allocate(size_t bytes, bool zeroed);
    // Takes back a block from allocate() of this pool with the same `bytes`;
    // null is ignored.
    void release(void* block, size_t bytes);
    // Unmaps every kept block now.
    void trim();
    // Takes every kept block out of reuse now and unmaps them on another
    // thread.
    void trimLater();

    size_t keptBytes() const;
    size_t keptBlocks() const;
    // Bytes of kept blocks handed out again since the pool was made.
    uint64_t reusedBytes() const;
    // Whether a kept block smaller than asked is grown in place. Not under
    // ThreadSanitizer, which does not follow a moved mapping: there the
    // block is unmapped and a fresh one mapped, and nothing counts as reused.
    static bool growsKeptBlocks();

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Blocks of at least this size come from the shared pool, smaller ones from
// the heap.
inline constexpr size_t kLargeBlockBytes = size_t(1) << 20;

// malloc/calloc and free for buffers that may be large: the shared pool from
// kLargeBlockBytes on, the heap below (and always in sanitizer builds, whose
// leak and overflow checks watch the heap only). `release` needs the size that
// was asked for. `allocate` returns null when no memory can be had.
void* allocateLargeBlock(size_t bytes, bool zeroed);
void releaseLargeBlock(void* block, size_t bytes);

// A standard allocator over allocateLargeBlock that leaves new elements
// uninitialised (for buffers every element of which is written before it is
// read). Throws std::bad_alloc when no memory can be had.
template <class T>
struct LargeBlockAllocator {
    using value_type = T;
    LargeBlockAllocator() = default;
    template <class U>
    LargeBlockAllocator(const LargeBlockAllocator<U>&) {}

    T* allocate(size_t n);
    void deallocate(T* p, size_t n) { releaseLargeBlock(p, n * sizeof(T)); }
    template <class U>
    void construct(U* p) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
    }
    template <class U>
    bool operator==(const LargeBlockAllocator<U>&) const {
        return true;
    }
};

[[noreturn]] void throwBadAlloc();

template <class T>
T* LargeBlockAllocator<T>::allocate(size_t n) {
    if (n > size_t(-1) / sizeof(T)) throwBadAlloc();
    void* p = allocateLargeBlock(n * sizeof(T), false);
    if (!p && n) throwBadAlloc();
    return static_cast<T*>(p);
}

}  // namespace platform
