#include "engine/PatchesTable.h"

#include <algorithm>

#include "color/ProfileManager.h"
#include "engine/PatchPixelIterator.h"
#include "platform/Log.h"

const std::array<std::array<float, 3>, 25> PatchesTable::kGretagLab = {{
    {37.986f, 13.555f, 14.059f},  {65.711f, 18.13f, 17.81f},    {49.927f, -4.88f, -21.925f},
    {43.139f, -13.095f, 21.905f}, {55.112f, 8.844f, -25.399f},  {70.719f, -33.397f, -0.199f},
    {62.661f, 36.067f, 57.096f},  {40.02f, 10.41f, -45.964f},   {51.124f, 48.239f, 16.248f},
    {30.325f, 22.976f, -21.587f}, {72.532f, -23.709f, 57.255f}, {71.941f, 19.363f, 67.857f},
    {28.778f, 14.179f, -50.297f}, {55.261f, -38.342f, 31.37f},  {42.101f, 53.378f, 28.19f},
    {81.733f, 4.039f, 79.819f},   {51.935f, 49.986f, -14.574f}, {51.038f, -28.631f, -28.638f},
    {96.539f, -0.425f, 1.186f},   {81.257f, -0.638f, -0.335f},  {66.766f, -0.734f, -0.504f},
    {50.867f, -0.153f, -0.27f},   {35.656f, -0.421f, -1.231f},  {20.461f, -0.079f, -0.973f},
    {23.0f, -0.079f, -0.973f},
}};

namespace {

constexpr int kBackground = 24;

// An installed profile described or named "ProPhoto".
ColorSyncProfileWrap::Ptr installedProPhoto() {
    ColorSyncProfileWrap::Ptr found;
    platform::iterateInstalledIccProfiles([&](const platform::IccInstalledProfile& entry) {
        if (entry.description != "ProPhoto" && entry.path.stem() != "ProPhoto") return true;
        found = ColorSyncProfileWrap::initWithIterateData(entry);
        return !found;
    });
    return found;
}

}  // namespace

PatchesTable::PatchesTable() : PatchesTable(platform::Size{480, 320}) {}

PatchesTable::PatchesTable(platform::Size size)
    : imageTable_(CIImageTable::initWithSizeAsImage(
          size, ProfileManager::sharedManager().getProPhotoProfile(true), true)) {}

bool PatchesTable::setNumPatches(int rows, int cols) {
    if (rows < 1 || cols < 1 || rows > kMaxPatches || cols > kMaxPatches ||
        rows * cols > kMaxPatches)
        return false;
    patchesRows_ = rows;
    patchesCols_ = cols;
    return true;
}

void PatchesTable::populateGretag(const ColorSyncProfileWrap::Ptr& profile, float saturation) {
    if (saturation > 1.01f || saturation < 0.99f)
        platform::log("ERROR: attempt populateGretag eith non-unity sturation value");
    auto lab = CIImageTable::initWithSizeAsTable(platform::Size{25, 3},
                                                 ColorSyncProfileWrap::profileDefaultLAB());
    for (int i = 0; i < 25; ++i) lab->setElement3(0, i, kGretagLab[size_t(i)].data());
    ColorSyncProfileWrap::Ptr target = profile;
    if (!target) target = installedProPhoto();
    if (!target) target = ProfileManager::sharedManager().getProPhotoProfile(true);
    if (lab->convertToColorSpace(target) != 0) {
        platform::log("%s: the patch colours could not be converted",
                      "-[PatchesTable populateGretag:saturation:]");
        return;
    }
    imageTable_->setColorSpace(target);

    const platform::Size size = imageTable_->getSize();
    const auto width = uint64_t(size.width), height = uint64_t(size.height);
    for (PatchPixelIterator row(height, patchesRows_); row.thisPixel() < height; row.nextPixel()) {
        for (PatchPixelIterator col(width, patchesCols_); col.thisPixel() < width;
             col.nextPixel()) {
            const bool inPatch = row.thisPatch() < patchesRows_ && col.thisPatch() < patchesCols_;
            const int entry =
                inPatch ? row.thisPatch() * patchesCols_ + col.thisPatch() : kBackground;
            imageTable_->setElement3(int(row.thisPixel()), int(col.thisPixel()),
                                     lab->getValues(entry, 0));
        }
    }
}

platform::CIImage::Ptr PatchesTable::genImage() {
    if (!imageTable_ || !imageTable_->isValid()) return nullptr;
    return platform::CIImage::imageWithBitmap(imageTable_->genImage());
}

std::array<double, 3> ClampedXYToXYZ(double x, double y) {
    auto clamp = [](double v) { return !(v >= 0.05) ? 0.05 : std::min(v, 0.99); };
    x = clamp(x);
    y = clamp(y);
    if (x + y > 0.99) {
        const double s = 0.99 / (x + y);
        x *= s;
        y *= s;
    }
    return {x / y, 1.0, (1 - x - y) / y};
}
