#include <gtest/gtest.h>
#include <lcms2.h>

#include <fstream>
#include <vector>

#include "platform/IccProfile.h"
#include "support/TestSupport.h"

namespace {

using platform::IccProfile;
using platform::iccSignature;
namespace sig = platform::iccsig;

std::filesystem::path iccFile(const char* name) {
    return testsupport::testdataDir() / "icc" / name;
}

std::vector<std::uint8_t> readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

TEST(IccSignature, FirstCharacterIsMostSignificant) {
    EXPECT_EQ(iccSignature("mntr"), 0x6D6E7472);
    EXPECT_EQ(iccSignature("RGB "), 0x52474220);
    EXPECT_EQ(platform::iccSignatureText(iccSignature("GRAY")), "GRAY");
    EXPECT_EQ(platform::iccSignatureText(0x01414243), "?ABC");
}

TEST(IccProfile, ReadsRealProfilesOfBothVersions) {
    struct Case {
        const char* file;
        platform::IccSignature cls, space, pcs;
        std::uint32_t major;
        int channels;
    };
    const Case cases[] = {
        {"sRGB_v2.icc", sig::kDisplayClass, sig::kRGB, sig::kXYZ, 2, 3},
        {"Gray_v2.icc", sig::kDisplayClass, sig::kGray, sig::kXYZ, 2, 1},
        {"ProPhotoRGB_v4.icc", sig::kDisplayClass, sig::kRGB, sig::kXYZ, 4, 3},
        {"sRGB_v4_b.icc", sig::kDisplayClass, sig::kRGB, sig::kXYZ, 4, 3},
        {"camera-input_Canon EOS 40D_lut.icc", sig::kInputClass, sig::kRGB, sig::kXYZ, 2, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::string reason;
        const auto p = IccProfile::fromFile(iccFile(c.file), &reason);
        ASSERT_TRUE(p) << reason;
        EXPECT_EQ(p->profileClass(), c.cls);
        EXPECT_EQ(p->colorSpace(), c.space);
        EXPECT_EQ(p->connectionSpace(), c.pcs);
        EXPECT_EQ(p->version() >> 24, c.major);
        EXPECT_EQ(p->channelCount(), c.channels);
        EXPECT_FALSE(p->description().empty());
        EXPECT_EQ(p->filePath(), iccFile(c.file));
    }
    // Version 2 'desc' and version 4 'mluc' descriptions.
    EXPECT_EQ(IccProfile::fromFile(iccFile("sRGB_v2.icc"))->description(), "sRGB");
    EXPECT_EQ(IccProfile::fromFile(iccFile("ProPhotoRGB_v4.icc"))->description(), "ProPhoto RGB");
}

TEST(IccProfile, FromBytesHasNoPathAndComparesByContent) {
    const auto bytes = readAll(iccFile("sRGB_v2.icc"));
    const auto a = IccProfile::fromBytes(bytes.data(), bytes.size());
    const auto b = IccProfile::fromFile(iccFile("sRGB_v2.icc"));
    const auto c = IccProfile::fromFile(iccFile("Gray_v2.icc"));
    ASSERT_TRUE(a && b && c);
    EXPECT_TRUE(a->filePath().empty());
    EXPECT_EQ(*a, *b);
    EXPECT_FALSE(*a == *c);
}

TEST(IccProfile, HostileBytesAreRefusedWithAReason) {
    auto bytes = readAll(iccFile("sRGB_v2.icc"));
    std::string reason;
    EXPECT_FALSE(IccProfile::fromBytes(nullptr, 10, &reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_FALSE(IccProfile::fromBytes(bytes.data(), 0));
    for (std::size_t size :
         {std::size_t{1}, std::size_t{100}, std::size_t{131}, std::size_t{600}}) {
        reason.clear();
        EXPECT_FALSE(IccProfile::fromBytes(bytes.data(), size, &reason)) << size;
        EXPECT_FALSE(reason.empty());
    }
    // A tag table pointing far beyond the data.
    auto broken = bytes;
    broken[132 + 4] = 0x7F;
    EXPECT_FALSE(IccProfile::fromBytes(broken.data(), broken.size()));
    std::vector<std::uint8_t> noise(4096);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<std::uint8_t>(i * 131 + 7);
    EXPECT_FALSE(IccProfile::fromBytes(noise.data(), noise.size()));
    reason.clear();
    EXPECT_FALSE(IccProfile::fromFile("/nonexistent/x.icc", &reason));
    EXPECT_NE(reason.find("/nonexistent/x.icc"), std::string::npos);
}

TEST(IccProfile, NamedProfilesAreSharedAndKnown) {
    const auto srgb = IccProfile::named(platform::IccNamedProfile::sRGB);
    ASSERT_TRUE(srgb);
    EXPECT_EQ(srgb, IccProfile::named(platform::IccNamedProfile::sRGB));
    EXPECT_EQ(srgb->description(), "sRGB IEC61966-2.1");
    EXPECT_TRUE(srgb->filePath().empty());
    const auto lab = IccProfile::named(platform::IccNamedProfile::genericLab);
    ASSERT_TRUE(lab);
    EXPECT_EQ(lab->colorSpace(), sig::kLab);
    EXPECT_EQ(lab->profileClass(), sig::kAbstractClass);
    const auto linear = IccProfile::named(platform::IccNamedProfile::linearRGB);
    ASSERT_TRUE(linear);
    EXPECT_EQ(linear->description(), "Linear RGB Profile");
}

class InstalledProfiles : public ::testing::Test {
protected:
    void TearDown() override { platform::setIccProfileFolders(std::nullopt); }
    testsupport::ScratchDir scratch;
};

TEST_F(InstalledProfiles, IteratesProfileFilesOfEveryFolderInPathOrder) {
    const auto one = scratch.path() / "one";
    const auto two = scratch.path() / "two";
    const auto srgb = readAll(iccFile("sRGB_v2.icc"));
    const auto gray = readAll(iccFile("Gray_v2.icc"));
    writeAll(one / "b.icc", gray);
    writeAll(one / "a.ICM", srgb);
    writeAll(one / "nested" / "c.icc", srgb);
    writeAll(one / "notes.txt", srgb);
    writeAll(one / "broken.icc", {1, 2, 3, 4});
    writeAll(two / "z.icm", gray);
    platform::setIccProfileFolders(std::vector{one, scratch.path() / "missing", two});
    ASSERT_EQ(platform::iccProfileFolders().size(), 3u);

    std::vector<platform::IccInstalledProfile> seen;
    platform::iterateInstalledIccProfiles([&](const auto& entry) {
        seen.push_back(entry);
        return true;
    });
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].path, one / "a.ICM");
    EXPECT_EQ(seen[1].path, one / "b.icc");
    EXPECT_EQ(seen[2].path, one / "nested" / "c.icc");
    EXPECT_EQ(seen[3].path, two / "z.icm");
    EXPECT_EQ(seen[0].colorSpace, sig::kRGB);
    EXPECT_EQ(seen[1].colorSpace, sig::kGray);
    EXPECT_EQ(seen[0].description, "sRGB");

    int visits = 0;
    platform::iterateInstalledIccProfiles([&](const auto&) { return ++visits < 2; });
    EXPECT_EQ(visits, 2);
}

TEST_F(InstalledProfiles, DefaultFoldersFollowHome) {
    platform::setIccProfileFolders(std::nullopt);
    const char* home = std::getenv("HOME");
    const auto folders = platform::iccProfileFolders();
    ASSERT_GE(folders.size(), 2u);
    EXPECT_EQ(folders[0], "/usr/share/color/icc");
    EXPECT_EQ(folders[1], "/usr/local/share/color/icc");
    if (home && *home) {
        ASSERT_EQ(folders.size(), 4u);
        EXPECT_EQ(folders[2], std::filesystem::path(home) / ".local/share/icc");
        EXPECT_EQ(folders[3], std::filesystem::path(home) / ".color/icc");
    }
}

}  // namespace
