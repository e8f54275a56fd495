#include "platform/RowBands.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "platform/Dispatch.h"

namespace platform {

void RunInRowBands(uint32_t height, unsigned bands,
                   const std::function<void(uint32_t, uint32_t)>& work) {
    if (height == 0) return;
    bands = std::clamp<unsigned>(bands, 1u, height);
    std::mutex errorLock;
    std::exception_ptr firstError;
    // apply only logs what escapes a block: the bands keep their errors.
    apply(bands, DispatchQueue::global(), [&](size_t band) {
        const auto first = static_cast<uint32_t>(uint64_t(height) * band / bands);
        const auto end = static_cast<uint32_t>(uint64_t(height) * (band + 1) / bands);
        try {
            if (first < end) work(first, end);
        } catch (...) {
            std::lock_guard<std::mutex> guard(errorLock);
            if (!firstError) firstError = std::current_exception();
        }
    });
    if (firstError) std::rethrow_exception(firstError);
}

}  // namespace platform
