// The forward table of the default tone curve: 1,025 values at k ÷ 1024,
// rising from 0 to 1. Immutable data, safe from any thread.
#pragma once

struct DefaultToneCurveTable {
    static constexpr int kEntries = 1025;
    static const float* values();
};
