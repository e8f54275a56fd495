// A small grid of float colour elements (three or four floats each) tagged
// with an ICC profile: a decoder writes into its channel planes, the grid is
// converted in one call to another profile, then turned into a float RGBA
// image. The Photo CD thumbnails and the colour-checker patch table use it.
//
// Ownership: owns its record and memory; holds its profile. Thread safety:
// none; a table is made, filled, converted and imaged by one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "color/ColorSyncProfileWrap.h"
#include "platform/BitmapGeometry.h"
#include "platform/BitmapImage.h"

// The float bitmap record: channel planes of the first element, size, steps
// (in floats), the colour-space signature and the alpha layout (0 none,
// 1 alpha last).
struct FloatBitmapRecord {
    uint64_t reserved = 0;
    float* planes[16] = {};
    uint64_t rows = 0;
    uint64_t columns = 0;
    int64_t rowStep = 0;
    int64_t elementStep = 0;
    uint32_t spaceSignature = 0;
    uint32_t alphaLayout = 0;
};

class CIImageTable {
public:
    // Largest side accepted.
    static constexpr double kMaxSide = 65535;
    // The answer of a failed conversion: "????".
    static constexpr uint32_t kConversionFailed = 0x3F3F3F3F;

    // Room for four floats per element; with alpha the elements use all four.
    static std::shared_ptr<CIImageTable> initWithSizeAsImage(platform::Size size,
                                                             ColorSyncProfileWrap::Ptr space,
                                                             bool hasAlpha);
    // Three floats per element, no alpha.
    static std::shared_ptr<CIImageTable> initWithSizeAsTable(platform::Size size,
                                                             ColorSyncProfileWrap::Ptr space);

    // Writes out of range (or a fourth float into three-float elements) are ignored.
    void setElement3(int row, int col, const float value[3]);
    void setElement4(int row, int col, const float value[4]);
    // The element's first float; null outside the grid.
    float* getValues(int col, int row);
    void getBuffers(float** r, float** g, float** b, float** a, int64_t* step);
    platform::Size getSize() const;
    bool isValid() const;
    bool isRGBDerivedSpace() const;
    bool isImage() const;
    void setColorSpace(ColorSyncProfileWrap::Ptr profile);
    const ColorSyncProfileWrap::Ptr& colorSpace() const { return colorSpace_; }
    // 0 on success (or when a table without profile is only labelled),
    // kConversionFailed with the table unchanged otherwise. Alpha is passed
    // through.
    uint32_t convertToColorSpace(const ColorSyncProfileWrap::Ptr& target);
    // A float RGBA image of the elements; null without a record, for a space
    // that is not RGB-like, or for a table made without room for alpha.
    std::shared_ptr<const platform::BitmapImage> genImage();
    bool logThisObject() const { return false; }

    const FloatBitmapRecord* table() const { return table_.get(); }
    bool hasSpaceForAlpha() const { return hasSpaceForAlpha_; }

private:
    CIImageTable() = default;
    static bool makeRecord(platform::Size size, uint32_t signature, int64_t elementStep,
                           uint32_t alphaLayout, size_t floatsPerElementRoom,
                           std::unique_ptr<FloatBitmapRecord>& record, std::vector<float>& memory);

    std::unique_ptr<FloatBitmapRecord> table_;
    std::vector<float> memory_;
    ColorSyncProfileWrap::Ptr colorSpace_;
    bool hasSpaceForAlpha_ = false;
};
