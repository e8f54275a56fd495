#include "engine/CIImageTable.h"

#include <cmath>
#include <cstring>
#include <new>

#include "platform/IccTransform.h"

using platform::Size;

namespace {

constexpr uint32_t kRGB = 0x52474220;  // 'RGB '

bool sizeOk(Size s) {
    return s.width >= 0 && s.height >= 0 && s.width <= CIImageTable::kMaxSide &&
           s.height <= CIImageTable::kMaxSide;
}

}  // namespace

bool CIImageTable::makeRecord(Size size, uint32_t signature, int64_t elementStep,
                              uint32_t alphaLayout, size_t floatsPerElementRoom,
                              std::unique_ptr<FloatBitmapRecord>& record,
                              std::vector<float>& memory) {
    if (!sizeOk(size)) return false;
    const auto columns = uint64_t(size.width), rows = uint64_t(size.height);
    try {
        memory.assign(size_t(columns * rows * floatsPerElementRoom), 0.0f);
        record = std::make_unique<FloatBitmapRecord>();
    } catch (const std::bad_alloc&) {
        memory.clear();
        record.reset();
        return false;
    }
    record->rows = rows;
    record->columns = columns;
    record->elementStep = elementStep;
    record->rowStep = elementStep * int64_t(columns);
    record->spaceSignature = signature;
    record->alphaLayout = alphaLayout;
    for (int c = 0; c < 3; ++c) record->planes[c] = memory.data() + c;
    if (elementStep >= 4 && alphaLayout) record->planes[3] = memory.data() + 3;
    return true;
}

std::shared_ptr<CIImageTable> CIImageTable::initWithSizeAsImage(Size size,
                                                                ColorSyncProfileWrap::Ptr space,
                                                                bool hasAlpha) {
    auto t = std::shared_ptr<CIImageTable>(new CIImageTable());
    const uint32_t sig = space ? uint32_t(space->spaceType()) : kRGB;
    makeRecord(size, sig, hasAlpha ? 4 : 3, hasAlpha ? 1 : 0, 4, t->table_, t->memory_);
    t->colorSpace_ = std::move(space);
    t->hasSpaceForAlpha_ = true;
    return t;
}

std::shared_ptr<CIImageTable> CIImageTable::initWithSizeAsTable(Size size,
                                                                ColorSyncProfileWrap::Ptr space) {
    auto t = std::shared_ptr<CIImageTable>(new CIImageTable());
    const uint32_t sig = space ? uint32_t(space->spaceType()) : kRGB;
    makeRecord(size, sig, 3, 0, 3, t->table_, t->memory_);
    t->colorSpace_ = std::move(space);
    t->hasSpaceForAlpha_ = false;
    return t;
}

float* CIImageTable::getValues(int col, int row) {
    if (!table_ || col < 0 || row < 0 || uint64_t(col) >= table_->columns ||
        uint64_t(row) >= table_->rows)
        return nullptr;
    return memory_.data() + int64_t(row) * table_->rowStep + int64_t(col) * table_->elementStep;
}

void CIImageTable::setElement3(int row, int col, const float value[3]) {
    float* e = getValues(col, row);
    if (!e) return;
    e[0] = value[0];
    e[1] = value[1];
    e[2] = value[2];
    if (isImage()) e[3] = 1.0f;
}

void CIImageTable::setElement4(int row, int col, const float value[4]) {
    float* e = getValues(col, row);
    if (!e || table_->elementStep < 4) return;
    for (int c = 0; c < 4; ++c) e[c] = value[c];
}

void CIImageTable::getBuffers(float** r, float** g, float** b, float** a, int64_t* step) {
    if (!table_) {
        *r = *g = *b = *a = nullptr;
        *step = 0;
        return;
    }
    *r = table_->planes[0];
    *g = table_->planes[1];
    *b = table_->planes[2];
    *a = table_->elementStep >= 4 ? table_->planes[3] : nullptr;
    *step = table_->elementStep;
}

Size CIImageTable::getSize() const {
    if (!table_) return Size{};
    return Size{double(table_->columns), double(table_->rows)};
}

bool CIImageTable::isValid() const { return table_ && table_->rows && table_->columns; }

bool CIImageTable::isRGBDerivedSpace() const {
    if (!table_) return false;
    const uint32_t s = table_->spaceSignature;
    return s == 0x48535620 /* HSV  */ || s == kRGB || s == 0x73524742 /* sRGB */ ||
           s == 0x484C5320 /* HLS  */;
}

bool CIImageTable::isImage() const { return table_ && table_->alphaLayout != 0; }

void CIImageTable::setColorSpace(ColorSyncProfileWrap::Ptr profile) {
    if (profile && table_) table_->spaceSignature = uint32_t(profile->spaceType());
    colorSpace_ = std::move(profile);
}

uint32_t CIImageTable::convertToColorSpace(const ColorSyncProfileWrap::Ptr& target) {
    if (!table_ || !target) return kConversionFailed;
    if (!colorSpace_) {
        setColorSpace(target);
        return 0;
    }
    std::unique_ptr<FloatBitmapRecord> record;
    std::vector<float> memory;
    if (!makeRecord(getSize(), uint32_t(target->spaceType()), table_->elementStep,
                    table_->alphaLayout, hasSpaceForAlpha_ ? 4 : 3, record, memory))
        return kConversionFailed;
    auto transform = platform::IccTransform::create(colorSpace_->csRef(), target->csRef());
    if (!transform) return kConversionFailed;
    // Elements four floats wide carry their fourth float through (alpha).
    const auto layout = table_->elementStep >= 4 ? platform::IccPixelLayout::rgbaFloat
                                                 : platform::IccPixelLayout::rgbFloat;
    const size_t rowBytes = size_t(table_->rowStep) * sizeof(float);
    if (table_->rows && table_->columns &&
        !transform->convert(memory_.data(), rowBytes, memory.data(), rowBytes, table_->columns,
                            table_->rows, layout))
        return kConversionFailed;
    table_ = std::move(record);
    memory_ = std::move(memory);
    colorSpace_ = target;
    return 0;
}

std::shared_ptr<const platform::BitmapImage> CIImageTable::genImage() {
    if (!table_ || !isRGBDerivedSpace() || !hasSpaceForAlpha_) return nullptr;
    const uint64_t n = table_->rows * table_->columns;
    if (table_->elementStep == 3) {
        // Widen in place from the back, so nothing is overwritten before it is read.
        for (uint64_t i = n; i-- > 0;) {
            const float r = memory_[i * 3], g = memory_[i * 3 + 1], b = memory_[i * 3 + 2];
            memory_[i * 4] = r;
            memory_[i * 4 + 1] = g;
            memory_[i * 4 + 2] = b;
            memory_[i * 4 + 3] = 1.0f;
        }
        table_->planes[3] = memory_.data() + 3;
        table_->rowStep = 4 * int64_t(table_->columns);
        table_->elementStep = 4;
        table_->alphaLayout = 1;
    }
    std::vector<uint8_t> data(size_t(n) * 16);
    if (n) std::memcpy(data.data(), memory_.data(), data.size());
    table_->alphaLayout = 0;
    std::shared_ptr<const platform::IccColorSpace> space =
        colorSpace_ ? colorSpace_->cgColorSpace() : nullptr;
    return platform::BitmapImage::create(
        table_->columns, table_->rows, 32, 128, 16 * table_->columns,
        platform::kBitmapAlphaPremultipliedLast | platform::kBitmapFloatComponents |
            platform::kBitmapByteOrder32Little,
        std::move(space), platform::BitmapDataProvider::withData(std::move(data)));
}
