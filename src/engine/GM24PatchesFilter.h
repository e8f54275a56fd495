// The colour-checker patches' adjustment: each colour channel v becomes
// min(a × v + b, clamp), alpha unchanged; a missing a, b or clamp reads 1, 0
// and 100. Output: float RGBA over the input's extent.
//
// Registered as "GM24Patches" ("Gretag Macbeth 24 patch generator"). One
// thread at a time.
#pragma once

#include "platform/CIFilter.h"

class GM24PatchesFilter : public platform::CIFilter {
public:
    GM24PatchesFilter();
    static void registerFilter();

protected:
    platform::CIImage::Ptr makeOutputImage() override;
};
