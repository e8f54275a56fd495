#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "raw/ImageWrapper.h"
#include "support/TestSupport.h"

namespace {

// A source that "decodes" a known two-pixel image, or fails with a given error.
class SyntheticWrapper : public ImageWrapper {
public:
    static std::shared_ptr<SyntheticWrapper> initWithFile(const std::string& path,
                                                          const std::string& uuid, bool thumb) {
        return std::shared_ptr<SyntheticWrapper>(new SyntheticWrapper(path, uuid, thumb));
    }
    const uint16_t* masterImageBytes() override {
        if (failWith) {
            setError(failWith);
            return nullptr;
        }
        if (master.empty()) {
            ++decodes;
            master = {1, 2, 3, 4, 5, 6};
            setImageSize(2, 1);
            setMetaData(
                std::make_shared<platform::Dictionary>(platform::Dictionary{{"PixelWidth", 2}}));
        }
        return master.data();
    }
    void setProcessAsMonochromeSensor(bool monochrome) override {
        if (monochrome != processAsMonochromeSensor()) master.clear();
        ImageWrapper::setProcessAsMonochromeSensor(monochrome);
    }
    std::optional<platform::Error> failWith;
    std::vector<uint16_t> master;
    int decodes = 0;

private:
    using ImageWrapper::ImageWrapper;
};

TEST(ImageWrapper, RecordsFileAndDecodesNothingUntilAsked) {
    testsupport::ScratchDir dir;
    auto path = (dir.path() / "a.dng").string();
    std::ofstream(path) << "x";
    auto base = ImageWrapper::initWithFile(path, "id-1", false);
    ASSERT_TRUE(base);
    EXPECT_EQ(base->fileSource(), path);
    EXPECT_EQ(base->uuid(), "id-1");
    EXPECT_TRUE(base->fileExists());
    EXPECT_FALSE(base->wantThumbNail());
    EXPECT_FALSE(base->isOutputReferred());
    EXPECT_FALSE(base->error());
    EXPECT_FALSE(base->metaData());
    EXPECT_EQ(base->masterImageBytes(), nullptr);
    EXPECT_EQ(base->alternateImageBytes(), nullptr);
    EXPECT_EQ(base->bufferProfile(), nullptr);

    auto missing = ImageWrapper::initWithFile((dir.path() / "none").string(), "id-2", true);
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->fileExists());
    EXPECT_TRUE(missing->wantThumbNail());
}

TEST(ImageWrapper, SubclassDecodesOnDemandAndParametersFollow) {
    auto w = SyntheticWrapper::initWithFile("/nonexistent/x.dng", "u", false);
    EXPECT_EQ(w->decodes, 0);
    const uint16_t* m = w->masterImageBytes();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m[5], 6);
    EXPECT_EQ(w->masterImageBytes(), m);
    EXPECT_EQ(w->decodes, 1);

    w->setCameraBaselineExposure(-0.5f);
    w->setIsOutputReferred(true);
    platform::Dictionary p = w->getParameters();
    EXPECT_EQ(p["UUID"].stringValue(), "u");
    EXPECT_EQ(p["width"].integerValue(), 2);
    EXPECT_EQ(p["height"].integerValue(), 1);
    EXPECT_TRUE(p["isOutputReferred"].boolValue());
    EXPECT_FLOAT_EQ(p["cameraBaselineExposure"].floatValue(), -0.5f);

    // The metadata dictionary is shared: writes through it are seen by the next reader.
    w->metaData()->set("Orientation", 1);
    EXPECT_EQ((*w->metaData())["Orientation"].integerValue(), 1);

    w->setProcessAsMonochromeSensor(false);
    w->masterImageBytes();
    EXPECT_EQ(w->decodes, 1) << "the same flag again keeps the images";
    w->setProcessAsMonochromeSensor(true);
    w->masterImageBytes();
    EXPECT_EQ(w->decodes, 2);
}

TEST(ImageWrapper, ErrorAndProfilesAreKept) {
    auto w = SyntheticWrapper::initWithFile("f", "u", false);
    w->failWith = platform::Error{platform::RawOpenErrorDomain, -2, "unsupported"};
    EXPECT_EQ(w->masterImageBytes(), nullptr);
    ASSERT_TRUE(w->error());
    EXPECT_EQ(w->error()->domain, platform::RawOpenErrorDomain);
    w->setError(std::nullopt);
    EXPECT_FALSE(w->error());

    auto profile = ColorSyncProfileWrap::initAsAutoProfile();
    w->setScannerProfile(profile);
    EXPECT_EQ(w->scannerProfile(), profile);
    w->setScannerProfile(nullptr);
    EXPECT_EQ(w->scannerProfile(), nullptr);
}

}  // namespace
