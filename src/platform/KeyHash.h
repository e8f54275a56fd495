// The hash of the text keys our hash tables index (dictionary keys read from
// property-list files, which anyone can hand the user). Keyed with a secret
// drawn once per process (SipHash-1-3), so a file cannot be built whose keys
// all land in one part of a table: for std::hash, whose results are the same
// in every run, such keys are easy to find, and each lookup among them then
// costs a walk through all the others. Thread-safe.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

size_t keyHash(std::string_view key) noexcept;

}  // namespace platform
