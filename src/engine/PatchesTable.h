// A picture of the 24-patch colour checker: rows × columns patches (4 × 6 by
// default) on a dark background, drawn into a float RGBA image table. The
// patch colours are the checker's CIE Lab values converted through a Lab
// profile into the table's profile (by default an installed profile named
// "ProPhoto", else the application's ProPhoto).
//
// Ownership: owns its image table. One thread at a time.
#pragma once

#include <array>
#include <memory>

#include "color/ColorSyncProfileWrap.h"
#include "engine/CIImageTable.h"
#include "platform/BitmapGeometry.h"
#include "platform/CIImage.h"

class PatchesTable {
public:
    static constexpr int kMaxPatches = 24;
    // The checker's colours, CIE Lab (D50): the 24 patches row by row, then
    // the background.
    static const std::array<std::array<float, 3>, 25> kGretagLab;

    // initWithSize: of 480 × 320.
    PatchesTable();
    // The table in the profile manager's ProPhoto profile, with alpha.
    explicit PatchesTable(platform::Size size);

    // Refuses (false, the grid unchanged) a grid without patches or with
    // more than kMaxPatches: the checker has no more colours.
    bool setNumPatches(int rows, int cols);
    // Fills the table with the patches converted into `profile` (see above
    // when null). Only a saturation of 1 is supported: others are logged
    // and ignored.
    void populateGretag(const ColorSyncProfileWrap::Ptr& profile, float saturation);
    // The table's image; null when the table has no pixels.
    platform::CIImage::Ptr genImage();

    const std::shared_ptr<CIImageTable>& imageTable() const { return imageTable_; }
    int patchesRows() const { return patchesRows_; }
    int patchesCols() const { return patchesCols_; }

private:
    std::shared_ptr<CIImageTable> imageTable_;
    int patchesRows_ = 4;
    int patchesCols_ = 6;
};

// The XYZ (Y = 1) of a chromaticity kept within 0.05 … 0.99 on each axis and
// x + y ≤ 0.99.
std::array<double, 3> ClampedXYToXYZ(double x, double y);
