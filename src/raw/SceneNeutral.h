// The light of a Bayer mosaic whose file states no white balance, estimated
// from the whole picture: the mean of each colour over every 8 x 8 block of
// the visible area, leaving out blocks that hold a clipped sample (their
// colour is the sensor's limit, not the scene's) and the darkest blocks
// (whose noise and black-level error pull every colour toward the same
// value). Each colour is the mean of its own sites, so the mosaic's two
// greens weigh as one colour.
//
// Input: the black-subtracted mosaic scaled to 65535 (LibRawSource's
// readPlane). Output: the camera neutral, largest entry 1; nullopt when too
// few blocks are left to say. Reads only; safe from several threads.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "raw/CFAPattern.h"
#include "raw/rawWrapper.h"

std::optional<std::array<double, 3>> SceneNeutral(const RawSamples& mosaic, uint32_t width,
                                                  uint32_t height, const CFAPattern& pattern);
