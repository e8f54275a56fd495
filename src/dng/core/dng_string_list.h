// An ordered list of owned strings (keywords, creators). A plain value with no
// lock; indexes are not checked: callers keep them below Count().
#pragma once

#include <memory>
#include <vector>

#include "dng/core/dng_string.h"

class dng_string_list {
public:
    dng_string_list() = default;
    ~dng_string_list() = default;
    dng_string_list(const dng_string_list& other);
    dng_string_list& operator=(const dng_string_list& other);

    uint32 Count() const { return static_cast<uint32>(fList.size()); }
    uint32 Capacity() const { return fCapacity; }

    dng_string& operator[](uint32 index) { return *fList[index]; }
    const dng_string& operator[](uint32 index) const { return *fList[index]; }

    // Grows the capacity to max(2 × capacity, minimum) when below minimum;
    // dng_error_memory when memory runs out.
    void Reserve(uint32 minimum);
    void Insert(uint32 index, const dng_string& s);
    void Append(const dng_string& s) { Insert(Count(), s); }
    bool Contains(const dng_string& s) const;
    void Clear();

    bool operator==(const dng_string_list& other) const;
    bool operator!=(const dng_string_list& other) const { return !(*this == other); }

private:
    uint32 fCapacity = 0;
    std::vector<std::unique_ptr<dng_string>> fList;
};
