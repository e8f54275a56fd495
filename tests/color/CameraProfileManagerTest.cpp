#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "color/CameraProfileManager.h"
#include "color/ColorTestHome.h"
#include "platform/Log.h"

namespace {

using colortest::dcpDir;
namespace fs = std::filesystem;

CameraProfileManager& manager() { return CameraProfileManager::sharedCameraProfileManager(); }

std::vector<std::string> names(const std::vector<CameraProfileManager::ProfilePtr>& list) {
    std::vector<std::string> out;
    for (const auto& p : list) out.push_back(p->name());
    return out;
}

TEST(CameraProfileManager, ImportsListsAndRestoresRealProfiles) {
    testsupport::ScopedHome home;
    EXPECT_TRUE(manager().profileListForMenu().size() == 1);  // the folder starts empty
    EXPECT_TRUE(fs::is_directory(colortest::profilesIn(home)));

    for (const char* file : {"YI TECHNOLOGY M1.dcp", "Canon EOS 5D.dcp", "NIKON D850.dcp"}) {
        platform::Error error;
        EXPECT_TRUE(manager().addProfile(dcpDir() / file, &error)) << error.description();
    }
    const auto menu = manager().profileListForMenu();
    ASSERT_EQ(menu.size(), 4u);
    EXPECT_TRUE(menu[0]->isAutoProfile());
    EXPECT_EQ(names(menu), (std::vector<std::string>{"<Quorvex built-in profile>", "Canon EOS 5D",
                                                     "NIKON D850", "YI TECHNOLOGY M1"}));
    EXPECT_EQ(menu[2]->profileURL(), colortest::profilesIn(home) / "NIKON D850.dcp");
    EXPECT_EQ(names(manager().profileList(false)),
              (std::vector<std::string>{"Canon EOS 5D", "NIKON D850", "YI TECHNOLOGY M1"}));

    // Each profile survives a trip through its property-list form.
    for (size_t i = 1; i < menu.size(); ++i) {
        const auto back = DNGCameraProfileAbstract::initFromPList(
            menu[i]->objectSerializeForPList().dictionary());
        EXPECT_TRUE(back->isEqualTo(*menu[i])) << menu[i]->name();
        EXPECT_EQ(back->getcolorMatrix1(1, 1), menu[i]->getcolorMatrix1(1, 1));
    }
}

TEST(CameraProfileManager, ListingTakesDcpFilesOfAnyCaseThatRead) {
    testsupport::ScopedHome home;
    const fs::path folder = CameraProfileManager::profileDirectory();
    ASSERT_FALSE(folder.empty());
    fs::copy_file(dcpDir() / "Sony SLT-A55V.dcp", folder / "b-sony.DCP");
    fs::copy_file(dcpDir() / "samsung SM-G930V.dcp", folder / "a-samsung.dcp");
    colortest::writeFile(folder / "notes.txt", "hello");
    colortest::writeFile(folder / "broken.dcp", "IIRC but nothing else");
    fs::create_directories(folder / "sub.dcp");
    platform::LogCapture log;
    EXPECT_EQ(names(manager().profileList(false)),
              (std::vector<std::string>{"samsung SM-G930V", "Sony SLT-A55V Xmpns"}));
}

TEST(CameraProfileManager, ImportingAnExistingNameFailsAndKeepsTheFile) {
    testsupport::ScopedHome home;
    const fs::path folder = CameraProfileManager::profileDirectory();
    ASSERT_TRUE(manager().addProfile(dcpDir() / "Canon EOS RP.dcp", nullptr));
    const std::string original = colortest::readFile(folder / "Canon EOS RP.dcp");

    fs::create_directories(home.path() / "other");
    colortest::writeFile(home.path() / "other" / "Canon EOS RP.dcp", "replacement");
    platform::Error error;
    EXPECT_FALSE(manager().addProfile(home.path() / "other" / "Canon EOS RP.dcp", &error));
    EXPECT_EQ(error.domain, platform::PosixErrorDomain);
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_EQ(colortest::readFile(folder / "Canon EOS RP.dcp"), original);

    // A file that is not a profile is refused and nothing is copied.
    colortest::writeFile(home.path() / "other" / "x.dcp", "not a profile");
    EXPECT_FALSE(manager().addProfile(home.path() / "other" / "x.dcp", &error));
    EXPECT_EQ(error.code, EINVAL);
    EXPECT_NE(error.failureReason.find("x.dcp"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder / "x.dcp"));

    // A missing source reports an error and leaves no trace in the folder.
    EXPECT_FALSE(manager().addProfile(home.path() / "nothing.dcp", &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST(CameraProfileManager, RemovalUnlocksAndDeletesAndTellsObservers) {
    testsupport::ScopedHome home;
    std::vector<bool> notices;
    const auto token =
        manager().addProfileListObserver([&](bool prior) { notices.push_back(prior); });
    ASSERT_TRUE(manager().addProfile(dcpDir() / "NIKON D850.dcp", nullptr));
    const auto list = manager().profileList(false);
    ASSERT_EQ(list.size(), 1u);
    ::chmod(list[0]->profileURL().c_str(), 0444);

    platform::Error error;
    EXPECT_TRUE(manager().removeProfile(*list[0], &error)) << error.description();
    EXPECT_FALSE(fs::exists(list[0]->profileURL()));
    EXPECT_TRUE(manager().profileList(false).empty());

    // Removing again, or the automatic profile, fails; observers hear of every attempt.
    EXPECT_FALSE(manager().removeProfile(*list[0], &error));
    EXPECT_FALSE(manager().removeProfile(*DNGCameraProfileAbstract::initAsAutoProfile(), &error));
    manager().removeProfileListObserver(token);
    EXPECT_TRUE(manager().addProfile(dcpDir() / "NIKON D850.dcp", nullptr));
    EXPECT_EQ(notices, (std::vector<bool>{true, false, true, false, true, false, true, false}));
}

TEST(CameraProfileManager, UnreachableFolderLeavesOnlyTheAutomaticProfile) {
    testsupport::ScopedHome home;
    // Application Support cannot be made: a file is in the way.
    colortest::writeFile(home.path() / "blocked", "");
    setenv("XDG_DATA_HOME", (home.path() / "blocked").c_str(), 1);
    platform::LogCapture log;
    EXPECT_TRUE(CameraProfileManager::profileDirectory().empty());
    const auto menu = manager().profileListForMenu();
    ASSERT_EQ(menu.size(), 1u);
    EXPECT_TRUE(menu[0]->isAutoProfile());
    EXPECT_TRUE(log.contains("Could not access Library directory"));
    platform::Error error;
    EXPECT_FALSE(manager().addProfile(dcpDir() / "NIKON D850.dcp", &error));

    // The Profiles name taken by a file.
    setenv("XDG_DATA_HOME", (home.path() / "data2").c_str(), 1);
    fs::create_directories(home.path() / "data2" / "Quorvex");
    colortest::writeFile(home.path() / "data2" / "Quorvex" / "Profiles", "");
    EXPECT_TRUE(CameraProfileManager::profileDirectory().empty());
    EXPECT_TRUE(log.contains("Could not create directory"));
    // Once the way is clear it is found.
    fs::remove(home.path() / "data2" / "Quorvex" / "Profiles");
    EXPECT_EQ(CameraProfileManager::profileDirectory(),
              home.path() / "data2" / "Quorvex" / "Profiles");
}

}  // namespace
