#include <gtest/gtest.h>

#include <vector>

#include "color/CameraProfileManager.h"
#include "color/ColorTestHome.h"
#include "color/DNGCameraProfileAbstract.h"
#include "dng/color/CameraProfileTestFile.h"
#include "dng/color/dng_camera_profile.h"
#include "dng/core/dng_tag_codes.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

namespace {

using colortest::dcpDir;
using Profile = DNGCameraProfileAbstract;
namespace fs = std::filesystem;

void writeBytes(const fs::path& path, const std::vector<uint8>& bytes) {
    colortest::writeFile(path, std::string(bytes.begin(), bytes.end()));
}

TEST(CameraProfileFile, AutomaticProfile) {
    const auto a = Profile::initAsAutoProfile();
    const auto b = Profile::initAsAutoProfile();
    EXPECT_TRUE(a->isAutoProfile());
    EXPECT_EQ(a->displayName(), "<Quorvex built-in profile>");
    EXPECT_EQ(a->uniqueCameraModelRestriction(), "");
    EXPECT_EQ(a->icon(), nullptr);
    EXPECT_EQ(a->dngProfile(), nullptr);
    EXPECT_EQ(a->hash(), 0u);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(a->getcolorMatrix1(r, c), r == c ? 1.0f : 0.0f);
            EXPECT_EQ(a->getcolorMatrix2(r, c), r == c ? 1.0f : 0.0f);
        }
    // Equal to itself only.
    EXPECT_TRUE(a->isEqualTo(*a));
    EXPECT_FALSE(a->isEqualTo(*b));
    EXPECT_EQ(a->objectSerializeForPList(),
              platform::Value(platform::Dictionary{
                  {"Class_of_serialized_Object", "DNGCameraProfileAbstract"}}));
    // Matrix access outside 3×3 neither reads nor writes out of bounds.
    a->setcolorMatrix1(3, 0, 5.0f);
    a->setcolorMatrix2(0, -1, 5.0f);
    EXPECT_EQ(a->getcolorMatrix1(0, 3), 0.0f);
    a->setcolorMatrix2(2, 1, 0.25f);
    EXPECT_EQ(a->getcolorMatrix2(2, 1), 0.25f);
}

TEST(CameraProfileFile, ReadsRealProfiles) {
    const auto nikon = Profile::initFromFile(dcpDir() / "NIKON D850.dcp");
    ASSERT_NE(nikon, nullptr);
    EXPECT_FALSE(nikon->isAutoProfile());
    EXPECT_EQ(nikon->name(), "NIKON D850");
    EXPECT_EQ(nikon->uniqueCameraModelRestriction(), "NIKON D850");
    EXPECT_EQ(nikon->displayName(), "NIKON D850 : NIKON D850");
    ASSERT_NE(nikon->icon(), nullptr);
    EXPECT_EQ(nikon->icon()->width(), 128u);
    EXPECT_EQ(nikon->icon()->height(), 128u);
    // The file's matrices (as the profile reader normalises them), one per illuminant.
    const dng_camera_profile& parsed = *nikon->dngProfile();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            EXPECT_FLOAT_EQ(nikon->getcolorMatrix1(r, c),
                            static_cast<float>(parsed.ColorMatrix1()[r][c]));
            EXPECT_FLOAT_EQ(nikon->getcolorMatrix2(r, c),
                            static_cast<float>(parsed.ColorMatrix2()[r][c]));
        }
    EXPECT_NE(nikon->getcolorMatrix1(0, 0), nikon->getcolorMatrix2(0, 0));

    // A single-illuminant profile serves its one matrix twice.
    const auto canon = Profile::initFromFile(dcpDir() / "Canon EOS 5D.dcp");
    ASSERT_NE(canon, nullptr);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(canon->getcolorMatrix1(r, c), canon->getcolorMatrix2(r, c));

    const auto yi = Profile::initFromFile(dcpDir() / "YI TECHNOLOGY M1.dcp");
    ASSERT_NE(yi, nullptr);
    EXPECT_EQ(yi->displayName(), "M1 : YI TECHNOLOGY M1");
}

TEST(CameraProfileFile, ToneTablesFollowTheProfilesCurve) {
    const auto automatic = Profile::initAsAutoProfile();
    const auto nikon = Profile::initFromFile(dcpDir() / "NIKON D850.dcp");
    const auto canon = Profile::initFromFile(dcpDir() / "Canon EOS 5D.dcp");
    ASSERT_TRUE(nikon && canon);
    std::vector<uint16_t> reference(Profile::kLUT16Size), withCurve(Profile::kLUT16Size),
        withoutCurve(Profile::kLUT16Size);
    automatic->generateLUT16(reference.data(), nullptr, 0.0f, false, false, 1.0f);
    nikon->generateLUT16(withCurve.data(), nullptr, 0.0f, false, false, 1.0f);
    canon->generateLUT16(withoutCurve.data(), nullptr, 0.0f, false, false, 1.0f);
    // A profile without a curve takes the default one.
    EXPECT_EQ(withoutCurve, reference);
    EXPECT_NE(withCurve, reference);
    EXPECT_EQ(withCurve[65535], 65535);
    for (uint32_t i = 1; i < Profile::kLUT16Size; ++i) ASSERT_GE(withCurve[i], withCurve[i - 1]);
    // The profile's spline passes through its own points.
    const dng_tone_curve& curve = nikon->dngProfile()->ToneCurve();
    const dng_tone_curve::point& p = curve.fCoord[curve.fCoord.size() / 2];
    const uint32_t i = static_cast<uint32_t>(p.h * 65535.0);
    EXPECT_NEAR(withCurve[i], p.v * 65535.0, 40.0);
    // Output-referred sources ignore the curve.
    nikon->generateLUT16(withCurve.data(), nullptr, 0.0f, true, false, 1.0f);
    EXPECT_EQ(withCurve[30000], 30000);
}

TEST(CameraProfileFile, EqualityAndHashFollowTheFileName) {
    testsupport::ScopedHome home;
    fs::create_directories(home.path() / "elsewhere");
    fs::copy_file(dcpDir() / "NIKON D850.dcp", home.path() / "elsewhere" / "NIKON D850.dcp");
    const auto a = Profile::initFromFile(dcpDir() / "NIKON D850.dcp");
    const auto b = Profile::initFromFile(home.path() / "elsewhere" / "NIKON D850.dcp");
    const auto c = Profile::initFromFile(dcpDir() / "Canon EOS 5D.dcp");
    ASSERT_TRUE(a && b && c);
    EXPECT_TRUE(a->isEqualTo(*b));
    EXPECT_EQ(a->hash(), b->hash());
    EXPECT_FALSE(a->isEqualTo(*c));
    EXPECT_FALSE(a->isEqualTo(*Profile::initAsAutoProfile()));
    EXPECT_FALSE(Profile::initAsAutoProfile()->isEqualTo(*a));
    // Through values, as the settings hold them.
    EXPECT_EQ(platform::Value(a), platform::Value(b));
    EXPECT_FALSE(platform::Value(a) == platform::Value(c));
}

TEST(CameraProfileFile, UnreadableFilesGiveNoProfile) {
    testsupport::ScopedHome home;
    EXPECT_EQ(Profile::initFromFile(home.path() / "missing.dcp"), nullptr);

    platform::LogCapture log;
    colortest::writeFile(home.path() / "text.dcp", "not a camera profile at all");
    EXPECT_EQ(Profile::initFromFile(home.path() / "text.dcp"), nullptr);
    EXPECT_EQ(Profile::initFromFile(home.path()), nullptr);  // a folder

    // Every truncation of a real profile fails cleanly or reads.
    const std::string bytes = colortest::readFile(dcpDir() / "Canon EOS 5D.dcp");
    for (size_t cut : {size_t(4), size_t(8), size_t(20), bytes.size() / 3, bytes.size() - 9}) {
        colortest::writeFile(home.path() / "cut.dcp", bytes.substr(0, cut));
        EXPECT_EQ(Profile::initFromFile(home.path() / "cut.dcp"), nullptr) << cut;
    }
}

TEST(CameraProfileFile, SecondMatrixStandsInForAMissingFirst) {
    testsupport::ScopedHome home;
    cameraprofiletest::ProfileFile f(false);
    f.SRational(tcColorMatrix2, {0.9, -0.3, -0.1, -0.4, 1.3, 0.1, -0.1, 0.2, 0.6});
    f.Short(tcCalibrationIlluminant2, {21});
    f.Ascii(tcProfileName, "Only two");
    writeBytes(home.path() / "two.dcp", f.Build());
    const auto profile = Profile::initFromFile(home.path() / "two.dcp");
    ASSERT_NE(profile, nullptr);
    EXPECT_EQ(profile->name(), "Only two");
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(profile->getcolorMatrix1(r, c), profile->getcolorMatrix2(r, c));
            EXPECT_NE(profile->getcolorMatrix1(r, c), r == c ? 1.0f : 0.0f);
        }
}

TEST(CameraProfileFile, PropertyListsFindTheFileAgainByName) {
    testsupport::ScopedHome home;
    const fs::path folder = CameraProfileManager::profileDirectory();
    ASSERT_EQ(folder, colortest::profilesIn(home));
    fs::copy_file(dcpDir() / "FUJIFILM X-T2.dcp", folder / "FUJIFILM X-T2.dcp");
    const auto profile = Profile::initFromFile(folder / "FUJIFILM X-T2.dcp");
    ASSERT_NE(profile, nullptr);

    // Written inside a settings dictionary and read back.
    const platform::Value settings(
        platform::Dictionary{{"Quorvex_CameraProfile", profile}, {"Quorvex_Filter_inputEV", 0.5}});
    const auto parsed = platform::parsePropertyList(platform::serializePropertyList(settings));
    ASSERT_TRUE(parsed);
    const platform::Value& stored = (*parsed)["Quorvex_CameraProfile"];
    EXPECT_EQ(stored["Class_of_serialized_Object"].stringValue(), "DNGCameraProfileAbstract");
    EXPECT_EQ(stored["FileName"].stringValue(), "FUJIFILM X-T2.dcp");
    const auto restored = Profile::initFromPList(stored.dictionary());
    ASSERT_NE(restored, nullptr);
    EXPECT_TRUE(restored->isEqualTo(*profile));
    EXPECT_EQ(restored->name(), "FUJIFILM X-T2");

    // An automatic profile, a vanished file and names outside the folder
    // all restore as the automatic profile.
    EXPECT_TRUE(
        Profile::initFromPList(Profile::initAsAutoProfile()->objectSerializeForPList().dictionary())
            ->isAutoProfile());
    fs::copy_file(dcpDir() / "NIKON D850.dcp", home.path() / "NIKON D850.dcp");
    for (const char* name : {"missing.dcp", "../NIKON D850.dcp", "..", "", "/etc/passwd"}) {
        EXPECT_TRUE(
            Profile::initFromPList(platform::Dictionary{{"FileName", name}})->isAutoProfile())
            << name;
    }
    EXPECT_TRUE(Profile::initFromPList(platform::Dictionary{{"FileName", 42}})->isAutoProfile());
    fs::remove(folder / "FUJIFILM X-T2.dcp");
    EXPECT_TRUE(Profile::initFromPList(stored.dictionary())->isAutoProfile());
}

}  // namespace
