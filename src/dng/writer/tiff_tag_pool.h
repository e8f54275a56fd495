// In-place storage for the tags a tag set creates only when they apply, so a
// set is one object: no tag is allocated on its own (strings still hold their
// text). Slots are filled in order and live as long as the pool, which must
// not move once a tag has been handed to a directory. One thread at a time.
#pragma once

#include <array>
#include <utility>
#include <variant>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_types.h"

template <uint32 kCapacity, typename... Tags>
class tiff_tag_pool {
public:
    tiff_tag_pool() = default;
    tiff_tag_pool(const tiff_tag_pool&) = delete;
    tiff_tag_pool& operator=(const tiff_tag_pool&) = delete;

    // dng_error_unknown when every slot is taken.
    template <typename T, typename... Args>
    T& Make(Args&&... args) {
        if (fCount >= kCapacity) ThrowProgramError("Tag pool full");
        return fSlots[fCount++].template emplace<T>(std::forward<Args>(args)...);
    }

    uint32 Count() const { return fCount; }

private:
    std::array<std::variant<std::monostate, Tags...>, kCapacity> fSlots;
    uint32 fCount = 0;
};
