// The colour space of images tagged with an ICC profile: the profile plus its colour model and
// component count, as bitmaps and image writers need them.
//
// Immutable once made; safe to share between threads as std::shared_ptr<const IccColorSpace>.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/IccProfile.h"

namespace platform {

enum class IccColorModel { unknown, monochrome, rgb, cmyk, lab, deviceN };

class IccColorSpace {
public:
    // Null when there is no profile.
    static std::shared_ptr<const IccColorSpace> withProfile(
        std::shared_ptr<const IccProfile> profile);

    IccColorModel model() const { return model_; }
    // Colour components per pixel, without alpha; 0 when the model is unknown.
    std::size_t numberOfComponents() const { return components_; }
    const std::shared_ptr<const IccProfile>& profile() const { return profile_; }

private:
    IccColorSpace() = default;
    std::shared_ptr<const IccProfile> profile_;
    IccColorModel model_ = IccColorModel::unknown;
    std::size_t components_ = 0;
};

}  // namespace platform
