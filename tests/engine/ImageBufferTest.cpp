#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <future>
#include <thread>

#include "engine/CGImageBitMap.h"
#include "engine/ImageBuffer.h"
#include "platform/Log.h"
#include "support/ExifOrientation.h"

using platform::Rect;
using testsupport::exifSource;

namespace {

// Pixel (x, y) of a 16-bit buffer gets channel values derived from x, y, c.
uint16_t pattern(int x, int y, int c) { return uint16_t(x * 97 + y * 1031 + c * 7 + 1); }

std::shared_ptr<ImageBufferU16> patterned(uint16_t w, uint16_t h) {
    auto b = ImageBufferU16::initWithSize(w, h, nullptr, nullptr);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) b->bufferU16ForRow(y, x)[c] = pattern(x, y, c);
    return b;
}

}  // namespace

TEST(ImageBufferTest, LayoutAndCrops) {
    auto u = ImageBufferU16::initWithSize(1000, 30, nullptr, nullptr);
    auto f = ImageBufferF32::initWithSize(1000, 30, nullptr, nullptr);
    ASSERT_TRUE(u && f);
    EXPECT_EQ(u->rowStepInBytes(), 8000u);
    EXPECT_EQ(f->rowStepInBytes(), 16000u);
    EXPECT_FALSE(u->isFloat());
    EXPECT_TRUE(f->isFloat());
    EXPECT_FALSE(u->bufferFloatForRow(0));
    EXPECT_FALSE(f->bufferU16ForRow(0));
    EXPECT_FALSE(u->bufferU16ForRow(30));
    EXPECT_FALSE(u->bufferU16ForRow(0, -1));

    auto parent = patterned(200, 100);
    auto view = parent->croppedImageFromBuffer(Rect{10, 20, 100, 50});
    ASSERT_TRUE(view);
    EXPECT_EQ(view->imageWidth(), 100);
    EXPECT_EQ(view->imageHeight(), 50);
    EXPECT_EQ(view->rowStepInBytes(), parent->rowStepInBytes());
    EXPECT_EQ(view->cropOffset(), 20 * parent->rowStepInBytes() + 80);
    EXPECT_EQ(view->bitmapData(), parent->bitmapData());
    view->bufferU16ForRow(1, 2)[0] = 4242;
    EXPECT_EQ(parent->bufferU16ForRow(21, 12)[0], 4242);
    // A crop of a crop adds the offsets.
    auto inner = view->croppedImageFromBuffer(Rect{5, 5, 10, 10});
    EXPECT_EQ(inner->bufferU16ForRow(0, 0), parent->bufferU16ForRow(25, 15));

    // Slivers: 16-bit widens to one pixel to the left, float keeps width 0.
    auto sliver = patterned(1000, 20)->croppedImageFromBuffer(Rect{600, 0, 0.5, 10});
    ASSERT_TRUE(sliver);
    EXPECT_EQ(sliver->imageWidth(), 1);
    EXPECT_EQ(sliver->cropOffset(), 599u * 8);
    auto fsliver = f->croppedImageFromBuffer(Rect{600, 0, 0.5, 10});
    ASSERT_TRUE(fsliver);
    EXPECT_EQ(fsliver->imageWidth(), 0);
    // Outside the image there is nothing to view.
    EXPECT_FALSE(parent->croppedImageFromBuffer(Rect{300, 0, 10, 10}));
    EXPECT_FALSE(parent->croppedImageFromBuffer(Rect{-50, -50, 10, 10}));
    EXPECT_FALSE(parent->croppedImageFromBuffer(Rect::null()));

    EXPECT_TRUE(ImageBuffer::sizeFits({65535, 1}));
    EXPECT_FALSE(ImageBuffer::sizeFits({65536, 1}));
    EXPECT_FALSE(ImageBuffer::sizeFits({10.5, 1}));
    EXPECT_FALSE(ImageBuffer::sizeFits({-1, 1}));
    // A given block too small for the size is refused.
    auto small = FileBackedFactoryNSData::initWithSize(100, false);
    EXPECT_FALSE(ImageBufferU16::initWithSize(10, 10, small, nullptr));
    EXPECT_TRUE(ImageBufferU16::initWithSize(10, 1, small, nullptr));
}

TEST(ImageBufferTest, CopiesBetweenFormats) {
    auto u = ImageBufferU16::initWithSize(3, 2, nullptr, nullptr);
    const uint16_t px[4] = {65325, 0, 32768, 65535};
    std::memcpy(u->bufferU16ForRow(1, 2), px, 8);
    auto f = ImageBufferF32::initWithCopyFrom(*u);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->bufferFloatForRow(1, 2)[0], 1.0f);
    EXPECT_EQ(f->bufferFloatForRow(1, 2)[1], 0.0f);
    auto back = ImageBufferU16::initWithCopyFrom(*f);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::memcmp(back->bufferU16ForRow(1, 2), px, 8), 0);
    // Float values beyond full scale clamp.
    f->bufferFloatForRow(0, 0)[0] = 2.0f;
    f->bufferFloatForRow(0, 0)[1] = -1.0f;
    auto clamped = ImageBufferU16::initWithCopyFrom(*f);
    EXPECT_EQ(clamped->bufferU16ForRow(0, 0)[0], 65535);
    EXPECT_EQ(clamped->bufferU16ForRow(0, 0)[1], 0);
    // A crop copies only its own pixels, from rows of its parent's step.
    auto parent = patterned(50, 40);
    auto crop = parent->croppedImageFromBuffer(Rect{7, 9, 11, 13});
    auto copy = ImageBufferU16::initWithCopyFrom(*crop);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->rowStepInBytes(), 88u);
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 11; ++x)
            ASSERT_EQ(copy->bufferU16ForRow(y, x)[2], pattern(x + 7, y + 9, 2));
    auto fcrop = ImageBufferF32::initWithCopyFrom(*crop);
    EXPECT_FLOAT_EQ(fcrop->bufferFloatForRow(12, 10)[3], pattern(17, 21, 3) / 65325.0f);
}

TEST(ImageBufferTest, Resizing) {
    auto flat = ImageBufferU16::initWithSize(64, 48, nullptr, nullptr);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            for (int c = 0; c < 4; ++c) flat->bufferU16ForRow(y, x)[c] = 30000;
    flat->setValidRegion(Rect{0, 0, 512, 512});
    auto half = flat->resizedImageFromBuffer(32, 24);
    ASSERT_TRUE(half);
    EXPECT_FALSE(half->isFloat());
    EXPECT_EQ(half->imageWidth(), 32);
    EXPECT_EQ(half->validRegion(), (Rect{0, 0, 512, 512}));
    for (int y = 0; y < 24; ++y) ASSERT_NEAR(half->bufferU16ForRow(y, 31)[1], 30000, 1);
    auto same = flat->resizedImageFromBuffer(64, 48);
    ASSERT_TRUE(same);
    EXPECT_NE(same->bitmapData(), flat->bitmapData());
    EXPECT_EQ(same->bufferU16ForRow(47, 63)[3], 30000);
    auto f = ImageBufferF32::initWithCopyFrom(*flat);
    auto fbig = f->resizedImageFromBuffer(100, 70);
    ASSERT_TRUE(fbig && fbig->isFloat());
    EXPECT_NEAR(fbig->bufferFloatForRow(69, 99)[0], 30000 / 65325.0f, 1e-5);
}

TEST(ImageBufferTest, SharingWithStages) {
    auto b = ImageBufferU16::initWithSize(4, 4, nullptr, nullptr);
    for (StageId s = 1; s <= 32; ++s) EXPECT_FALSE(b->testReadOnlyAndAddtoEngineList(s)) << s;
    EXPECT_TRUE(b->testReadOnlyAndAddtoEngineList(33));
    EXPECT_FALSE(b->testReadOnlyAndAddtoEngineList(7));  // already listed
    EXPECT_TRUE(b->testReadOnlyAndAddtoEngineList(kNoStage));

    auto owned = ImageBufferU16::initWithSize(4, 4, nullptr, nullptr);
    owned->setBufferOwner(100);
    EXPECT_FALSE(owned->testReadOnlyAndAddtoEngineList(100));
    for (StageId s = 1; s <= 40; ++s) EXPECT_TRUE(owned->testReadOnlyAndAddtoEngineList(s));
}

TEST(ImageBufferTest, LockingWithATimeout) {
    auto b = ImageBufferU16::initWithSize(4, 4, nullptr, nullptr);
    b->lock(1);
    b->lock(1);  // recursive
    auto other = std::async(std::launch::async, [&] {
        bool quick = b->tryLock(2);
        bool timed = b->lockWithinSeconds(2, 0.05);
        return quick || timed;
    });
    EXPECT_FALSE(other.get());
    b->unlock(1);
    b->unlock(1);
    auto later = std::async(std::launch::async, [&] {
        bool got = b->lockWithinSeconds(2, 1.0);
        if (got) b->unlock(2);
        return got;
    });
    EXPECT_TRUE(later.get());
}

TEST(ImageBufferTest, SamplingPatches) {
    auto b = patterned(10, 8);
    double r, g, bl, a;
    ASSERT_TRUE(b->sampleValues(0, 0, 1, &r, &g, &bl, &a));
    EXPECT_DOUBLE_EQ(r, pattern(0, 0, 0) / 65535.0);
    EXPECT_DOUBLE_EQ(a, pattern(0, 0, 3) / 65535.0);
    // A 3 x 3 patch at the top-left corner averages the four pixels inside.
    ASSERT_TRUE(b->sampleValues(0, 0, 3, &r, &g, &bl, &a));
    double expect =
        (pattern(0, 0, 1) + pattern(1, 0, 1) + pattern(0, 1, 1) + pattern(1, 1, 1)) / 4.0 / 65535.0;
    EXPECT_DOUBLE_EQ(g, expect);
    // At the far corner likewise.
    ASSERT_TRUE(b->sampleValues(9, 7, 3, &r, &g, &bl, &a));
    expect =
        (pattern(8, 6, 1) + pattern(9, 6, 1) + pattern(8, 7, 1) + pattern(9, 7, 1)) / 4.0 / 65535.0;
    EXPECT_DOUBLE_EQ(g, expect);
    // Points off the image have no pixels of their own: NO, no numbers.
    EXPECT_FALSE(b->sampleValues(-1, 0, 5, &r, &g, &bl, &a));
    EXPECT_FALSE(b->sampleValues(0, 8, 1, &r, &g, &bl, &a));
    auto f = ImageBufferF32::initWithCopyFrom(*b);
    ASSERT_TRUE(f->sampleValues(3, 2, 1, &r, &g, &bl, &a));
    EXPECT_NEAR(r, pattern(3, 2, 0) / 65325.0, 1e-7);
}

TEST(ImageBufferTest, ImagesHonourTheCropOffset) {
    auto parent = patterned(40, 30);
    auto crop = parent->croppedImageFromBuffer(Rect{5, 6, 20, 10});
    for (auto image : {crop->createCGImage(), crop->getImage(nullptr)}) {
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width(), 20u);
        EXPECT_EQ(image->height(), 10u);
        auto bm = CGImageBitMap::initWithCGImageRef(image);
        double v[4];
        ASSERT_TRUE(bm->getPixelValues(3, 4, v));
        // Premultiplied alpha: the colour is divided by it.
        EXPECT_NEAR(v[0], (pattern(8, 10, 0) / 65535.0) / (pattern(8, 10, 3) / 65535.0), 1e-12);
    }
    // The image keeps the memory alive after the buffers are gone.
    auto image = crop->createCGImage();
    const uint8_t* first = image->dataProvider()->bytes();
    parent.reset();
    crop.reset();
    uint16_t v;
    std::memcpy(&v, first, 2);
    EXPECT_EQ(v, pattern(5, 6, 0));
    EXPECT_FALSE(ImageBufferU16::initWithSize(0, 5, nullptr, nullptr)->createCGImage());
}

TEST(ImageBufferTest, OrientationsAreExactRemaps) {
    // Through a crop, so rows carry padding.
    auto parent = patterned(23, 17);
    auto crop = parent->croppedImageFromBuffer(Rect{2, 3, 9, 6});
    auto fparent = ImageBufferF32::initWithCopyFrom(*parent);
    auto fcrop = fparent->croppedImageFromBuffer(Rect{2, 3, 9, 6});
    platform::LogCapture capture;
    for (auto buffer : {crop, fcrop}) {
        const int w = buffer->imageWidth(), h = buffer->imageHeight();
        const size_t pixel = buffer->bytesPerPixel();
        for (int o = 0; o <= 8; ++o) {
            auto bm = buffer->getCGImageBitMapWithOrientation(o);
            ASSERT_TRUE(bm) << o;
            auto image = bm->getImageRef();
            const bool swapped = o >= 5;
            ASSERT_EQ(int(image->width()), swapped ? h : w) << o;
            ASSERT_EQ(int(image->height()), swapped ? w : h) << o;
            const uint8_t* out = image->dataProvider()->bytes();
            for (int y = 0; y < int(image->height()); ++y)
                for (int x = 0; x < int(image->width()); ++x) {
                    auto [sx, sy] = exifSource(o, x, y, w, h);
                    const uint8_t* in =
                        buffer->pixelBase() + sy * buffer->rowStepInBytes() + sx * pixel;
                    ASSERT_EQ(std::memcmp(out + y * image->bytesPerRow() + x * pixel, in, pixel), 0)
                        << "orientation " << o << " at " << x << "," << y;
                }
        }
    }
    EXPECT_TRUE(capture.contains("Invalid image rotate 5 in"));
    EXPECT_FALSE(capture.contains("Invalid image rotate 6 in"));
    auto odd = crop->getCGImageBitMapWithOrientation(9);
    ASSERT_TRUE(odd);
    EXPECT_TRUE(capture.contains("Invalid image rotate 9 in"));
}
