#include <gtest/gtest.h>

#include <cstring>

#include "engine/CIImageTable.h"

using platform::Size;

TEST(CIImageTableTest, TableGeometryAndRangeChecks) {
    auto t = CIImageTable::initWithSizeAsTable(Size{25, 3}, nullptr);
    ASSERT_TRUE(t->isValid());
    EXPECT_EQ(t->getSize(), (Size{25, 3}));
    EXPECT_FALSE(t->isImage());
    EXPECT_TRUE(t->isRGBDerivedSpace());  // no profile: "RGB "
    const float v[3] = {0.25f, 0.5f, 0.75f};
    t->setElement3(2, 24, v);
    t->setElement3(3, 0, v);   // row out of range
    t->setElement3(0, 25, v);  // column out of range
    t->setElement3(-1, 0, v);
    ASSERT_TRUE(t->getValues(24, 2));
    EXPECT_EQ(t->getValues(24, 2)[2], 0.75f);
    EXPECT_FALSE(t->getValues(25, 0));
    EXPECT_FALSE(t->getValues(0, 3));
    EXPECT_FALSE(t->getValues(-1, 0));
    // Four floats do not fit three-float elements.
    const float four[4] = {9, 9, 9, 9};
    t->setElement4(0, 0, four);
    EXPECT_EQ(t->getValues(1, 0)[0], 0.0f);
    EXPECT_EQ(t->getValues(0, 0)[0], 0.0f);
    float *r, *g, *b, *a;
    int64_t step;
    t->getBuffers(&r, &g, &b, &a, &step);
    EXPECT_EQ(step, 3);
    EXPECT_FALSE(a);
    EXPECT_EQ(b[2 * t->table()->rowStep + 24 * step], 0.75f);
    EXPECT_FALSE(t->genImage());  // no room for alpha

    auto none = CIImageTable::initWithSizeAsTable(Size{100000, 2}, nullptr);
    EXPECT_FALSE(none->isValid());
    EXPECT_EQ(none->getSize(), (Size{0, 0}));
    none->setElement3(0, 0, v);
    EXPECT_FALSE(none->genImage());
}

TEST(CIImageTableTest, ConversionAndImaging) {
    auto linear = ColorSyncProfileWrap::initWithLinearRGB();
    auto srgb = ColorSyncProfileWrap::initWithSRGB();
    ASSERT_TRUE(linear && srgb);

    // Without a profile a conversion only labels.
    auto bare = CIImageTable::initWithSizeAsImage(Size{2, 2}, nullptr, false);
    const float v[3] = {0.2f, 0.4f, 0.6f};
    bare->setElement3(1, 1, v);
    EXPECT_EQ(bare->convertToColorSpace(linear), 0u);
    EXPECT_EQ(bare->colorSpace(), linear);
    EXPECT_EQ(bare->getValues(1, 1)[0], 0.2f);

    // Same profile: values kept; then imaged as RGBA with alpha 1.
    auto t = CIImageTable::initWithSizeAsImage(Size{3, 2}, linear, false);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            const float e[3] = {0.1f * x, 0.2f + 0.1f * y, 0.7f};
            t->setElement3(y, x, e);
        }
    EXPECT_EQ(t->convertToColorSpace(ColorSyncProfileWrap::initWithLinearRGB()), 0u);
    EXPECT_NEAR(t->getValues(2, 1)[0], 0.2f, 1e-4);
    EXPECT_NEAR(t->getValues(2, 1)[1], 0.3f, 1e-4);
    auto image = t->genImage();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 3u);
    EXPECT_EQ(image->bytesPerRow(), 48u);
    EXPECT_TRUE(image->isFloat());
    ASSERT_TRUE(image->colorSpace());
    const float* px = reinterpret_cast<const float*>(image->dataProvider()->bytes());
    for (int i = 0; i < 6; ++i) EXPECT_EQ(px[i * 4 + 3], 1.0f);
    EXPECT_NEAR(px[(1 * 3 + 2) * 4 + 1], 0.3f, 1e-4);
    EXPECT_FALSE(t->isImage());

    // With alpha: colours converted, alpha passed through.
    auto withAlpha = CIImageTable::initWithSizeAsImage(Size{1, 1}, srgb, true);
    EXPECT_TRUE(withAlpha->isImage());
    const float e4[4] = {0.5f, 0.5f, 0.5f, 0.25f};
    withAlpha->setElement4(0, 0, e4);
    EXPECT_EQ(withAlpha->convertToColorSpace(linear), 0u);
    EXPECT_NEAR(withAlpha->getValues(0, 0)[0], 0.214, 2e-3);  // sRGB 0.5 in linear light
    EXPECT_EQ(withAlpha->getValues(0, 0)[3], 0.25f);
    EXPECT_EQ(withAlpha->colorSpace(), linear);

    // A target without a profile fails and changes nothing.
    EXPECT_EQ(withAlpha->convertToColorSpace(ColorSyncProfileWrap::initAsAutoProfile()),
              CIImageTable::kConversionFailed);
    EXPECT_EQ(withAlpha->colorSpace(), linear);
    EXPECT_NEAR(withAlpha->getValues(0, 0)[0], 0.214, 2e-3);

    // A Lab-labelled table does not image.
    auto lab =
        CIImageTable::initWithSizeAsImage(Size{1, 1}, ColorSyncProfileWrap::initWithLAB(), false);
    EXPECT_FALSE(lab->isRGBDerivedSpace());
    EXPECT_FALSE(lab->genImage());
}
