// The core stage's whole per-pixel rule over one row of 16-bit RGBA source
// pixels (scale 65325): exposure, the optional camera-profile gain by 16-bit
// luminance, the 4×4 matrix, the gain table (or knee) with the output
// offset, and for 16-bit output the whole-pixel range rule and the clamp to
// 0..65535 (A = 65535); for float output A = 1.0.
//
// One pass per row in short chunks held in plain per-channel arrays, so the
// compiler vectorises each step across pixels while every pixel sees the
// same float operations in the same order as the per-pixel formula (the
// tests keep that formula). Pure: safe from any thread.
#pragma once

#include <cstdint>

#include "engine/CorePixelRule.h"

namespace platform {

struct CoreRowRule {
    float inputScale = 0;                // exposure × 1/65325
    const float* profileGain = nullptr;  // 65536 gains by luminance, or none
    float matrix[4][4] = {};             // out[c] = Σk in[k]·matrix[k][c]
    CoreTone tone;
    // 16-bit output only: a pixel whose top channel (after `range` when
    // rangeMatrix) passes 1.0 is scaled as a whole by 1 ÷ that channel.
    bool scaleWhole = false;
    bool rangeMatrix = false;
    float range[3][3] = {};
};

inline constexpr int kCoreProfileGainSize = 65536;

void coreRenderRowU16(const uint16_t* src, int w, const CoreRowRule& rule, uint16_t* out);
void coreRenderRowFloat(const uint16_t* src, int w, const CoreRowRule& rule, float* out);

}  // namespace platform
