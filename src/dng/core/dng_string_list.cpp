#include "dng/core/dng_string_list.h"

#include <algorithm>
#include <new>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_safe_arithmetic.h"

dng_string_list::dng_string_list(const dng_string_list& other) { *this = other; }

dng_string_list& dng_string_list::operator=(const dng_string_list& other) {
    if (this == &other) return *this;
    Clear();
    Reserve(other.Count());
    for (uint32 i = 0; i < other.Count(); i++) Append(other[i]);
    return *this;
}

void dng_string_list::Reserve(uint32 minimum) {
    if (fCapacity >= minimum) return;
    uint32 doubled;
    if (!SafeUint32MultChecked(fCapacity, 2, &doubled)) doubled = minimum;
    const uint32 capacity = std::max(doubled, minimum);
    try {
        fList.reserve(capacity);
    } catch (const std::bad_alloc&) {
        ThrowMemoryFull("dng_string_list");
    } catch (const std::length_error&) {
        ThrowMemoryFull("dng_string_list");
    }
    fCapacity = capacity;
}

void dng_string_list::Insert(uint32 index, const dng_string& s) {
    Reserve(SafeUint32Add(Count(), 1));
    fList.insert(fList.begin() + std::min(index, Count()), std::make_unique<dng_string>(s));
}

bool dng_string_list::Contains(const dng_string& s) const {
    for (const auto& item : fList)
        if (*item == s) return true;
    return false;
}

void dng_string_list::Clear() {
    fList.clear();
    fList.shrink_to_fit();
    fCapacity = 0;
}

bool dng_string_list::operator==(const dng_string_list& other) const {
    if (Count() != other.Count()) return false;
    for (uint32 i = 0; i < Count(); i++)
        if ((*this)[i] != other[i]) return false;
    return true;
}
