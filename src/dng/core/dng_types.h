// Basic fixed-width types shared by every DNG library file.
#pragma once

#include <cstddef>
#include <cstdint>

typedef std::uint8_t uint8;
typedef std::int8_t int8;
typedef std::uint16_t uint16;
typedef std::int16_t int16;
typedef std::uint32_t uint32;
typedef std::int32_t int32;
typedef std::uint64_t uint64;
typedef std::int64_t int64;
typedef float real32;
typedef double real64;

// A stream whose place in its original file is unknown.
constexpr uint64 kDNGStreamInvalidOffset = ~static_cast<uint64>(0);
