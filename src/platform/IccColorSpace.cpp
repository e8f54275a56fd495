#include "platform/IccColorSpace.h"

namespace platform {

std::shared_ptr<const IccColorSpace> IccColorSpace::withProfile(
    std::shared_ptr<const IccProfile> profile) {
    if (!profile) return nullptr;
    std::shared_ptr<IccColorSpace> space(new IccColorSpace);
    const IccSignature s = profile->colorSpace();
    if (s == iccsig::kGray)
        space->model_ = IccColorModel::monochrome;
    else if (s == iccsig::kRGB)
        space->model_ = IccColorModel::rgb;
    else if (s == iccsig::kCMYK)
        space->model_ = IccColorModel::cmyk;
    else if (s == iccsig::kLab)
        space->model_ = IccColorModel::lab;
    else if ((static_cast<std::uint32_t>(s) & 0x00FFFFFFu) == 0x00434C52u)  // "nCLR"
        space->model_ = IccColorModel::deviceN;
    if (space->model_ != IccColorModel::unknown)
        space->components_ = static_cast<std::size_t>(profile->channelCount());
    space->profile_ = std::move(profile);
    return space;
}

}  // namespace platform
