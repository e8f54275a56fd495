#include <gtest/gtest.h>
#include <lcms2.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "color/ColorSyncProfileWrap.h"
#include "color/ProfileManager.h"
#include "color/iccProfileManager.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

using platform::iccSignature;
namespace sig = platform::iccsig;

// A minimal profile of a class and colour space, with or without a description: enough for the
// header and description that listing reads.
std::vector<std::uint8_t> fixtureProfile(platform::IccSignature cls, platform::IccSignature space,
                                         const char* description) {
    cmsHPROFILE h = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(h, 2.1);
    cmsSetDeviceClass(h, static_cast<cmsProfileClassSignature>(static_cast<std::uint32_t>(cls)));
    cmsSetColorSpace(h, static_cast<cmsColorSpaceSignature>(static_cast<std::uint32_t>(space)));
    cmsSetPCS(h, cmsSigLabData);
    cmsWriteTag(h, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    if (description) {
        cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
        cmsMLUsetASCII(mlu, "en", "US", description);
        cmsWriteTag(h, cmsSigProfileDescriptionTag, mlu);
        cmsMLUfree(mlu);
    }
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(h, nullptr, &size);
    std::vector<std::uint8_t> bytes(size);
    cmsSaveProfileToMem(h, bytes.data(), &size);
    cmsCloseProfile(h);
    return bytes;
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> descriptions(const std::vector<ColorSyncProfileWrap::Ptr>& list) {
    std::vector<std::string> out;
    for (const auto& w : list) out.push_back(w->description());
    return out;
}

const std::vector<std::string> kScanners = {
    "E-6, Pre-4 series scanner",    "E-6, 4 Series scanner",  "Kodachrome, Pre-4 series scanner",
    "Kodachrome, 4 Series scanner", "Negative, all scanners", "Generic PCD"};

class ProfileManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        scratch.becomeHome();
        platform::UserDefaults::resetStandardForEnvironment();
        folder = scratch.path() / "icc";
        std::filesystem::create_directories(folder);
        platform::setIccProfileFolders(std::vector{folder});
        setShowExternal(false);
    }
    void TearDown() override {
        platform::setIccProfileFolders(std::nullopt);
        // becomeHome() pointed TMPDIR and HOME into the scratch folder, which is about to go.
        for (const auto& [name, value] : savedEnvironment) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

    static std::vector<std::pair<std::string, std::optional<std::string>>> environment() {
        std::vector<std::pair<std::string, std::optional<std::string>>> saved;
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "TMPDIR"}) {
            const char* v = std::getenv(name);
            saved.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
        }
        return saved;
    }
    const std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment =
        environment();

    void setShowExternal(bool on) {
        platform::UserDefaults::standard().setBool(on, "ShowExternalProfiles");
    }

    ProfileManager& manager() { return ProfileManager::sharedManager(); }
    testsupport::ScratchDir scratch;
    std::filesystem::path folder;
};

// Look-ups answer the same whether or not the list has been made yet (the
// first test of a fresh process runs before anything reads it).
TEST_F(ProfileManagerTest, LookUpsBeforeTheListIsReadFindWhatItWouldHold) {
    writeFile(folder / "srgb.icc",
              fixtureProfile(sig::kDisplayClass, sig::kRGB, "sRGB IEC61966-2.1"));
    EXPECT_EQ(manager().findMatchingProfile("kodachrome, 4 series SCANNER"),
              manager().getPhotoCD4kProfile());
    const auto automatic = manager().findMatchingProfile("AUTOMATIC");
    ASSERT_TRUE(automatic);
    EXPECT_TRUE(automatic->isAutoProfile());
    // Installed profiles are not listed while they are not shown ...
    EXPECT_FALSE(manager().findMatchingProfile("sRGB IEC61966-2.1"));
    EXPECT_FALSE(manager().findMatchingProfile("Rec 709 Gamma 1"));
    // ... and are once they are.
    setShowExternal(true);
    const auto installed = manager().findMatchingProfile("srgb iec61966-2.1");
    EXPECT_TRUE(installed);
    setShowExternal(false);
    EXPECT_EQ(descriptions(manager().arrayOfAllProfiles(false)), kScanners);
}

TEST_F(ProfileManagerTest, WithoutExternalProfilesOnlyTheScannerProfilesAreListed) {
    writeFile(folder / "display.icc",
              fixtureProfile(sig::kDisplayClass, sig::kRGB, "Some display"));
    manager().buildProfilesArray();
    EXPECT_EQ(descriptions(manager().arrayOfAllProfiles(false)), kScanners);
    const auto withAuto = manager().arrayOfAllProfiles(true);
    ASSERT_EQ(withAuto.size(), 7u);
    EXPECT_TRUE(withAuto[0]->isAutoProfile());
    EXPECT_EQ(withAuto[0]->description(), "Automatic");
    EXPECT_TRUE(manager().arrayOfAllProfilesWithSpace(sig::kRGB).empty());

    const auto automatic = manager().findMatchingProfile("automatic");
    ASSERT_TRUE(automatic);
    EXPECT_TRUE(automatic->isAutoProfile());
    EXPECT_EQ(manager().findMatchingProfile("GENERIC pcd"), manager().getPhotoCDXgProfile());
    EXPECT_FALSE(manager().findMatchingProfile("VodiRurar ProPhoto cmSaturation"));

    // No listed sRGB: the built-in one answers, never null.
    const auto srgb = manager().getSRGBProfile(false);
    ASSERT_TRUE(srgb);
    EXPECT_EQ(srgb->description(), "sRGB IEC61966-2.1");
    EXPECT_EQ(srgb->spaceType(), sig::kRGB);
    EXPECT_FALSE(srgb->url());
}

TEST_F(ProfileManagerTest, ExternalProfilesAreFilteredByClassSpaceAndDescription) {
    const platform::IccSignature classes[] = {sig::kColorSpaceClass, sig::kInputClass,
                                              sig::kDisplayClass, sig::kOutputClass,
                                              sig::kAbstractClass};
    const platform::IccSignature spaces[] = {sig::kRGB, sig::kGray, sig::kCMYK, sig::k3CLR,
                                             sig::kLab};
    std::vector<std::string> expected = kScanners;
    std::vector<std::string> expectedRGB;
    int n = 0;
    for (auto cls : classes)
        for (auto space : spaces)
            for (bool described : {true, false}) {
                const std::string name =
                    std::to_string(10 + n++) + "-" + platform::iccSignatureText(cls) + "-" +
                    platform::iccSignatureText(space) + (described ? "" : "-nodesc");
                writeFile(folder / (name + ".icc"),
                          fixtureProfile(cls, space, described ? name.c_str() : nullptr));
                const bool listedClass = cls != sig::kAbstractClass;
                const bool listedSpace = space != sig::kLab;
                if (described && listedClass && listedSpace) expected.push_back(name);
                if (described && space == sig::kRGB &&
                    (cls == sig::kDisplayClass || cls == sig::kOutputClass))
                    expectedRGB.push_back(name);
            }

    std::vector<bool> notices;
    const auto token = manager().addProfilesObserver([&](bool prior) { notices.push_back(prior); });
    setShowExternal(true);  // the observer rebuilds the list
    manager().removeProfilesObserver(token);
    EXPECT_EQ(notices, (std::vector<bool>{true, false}));
    EXPECT_EQ(descriptions(manager().arrayOfAllProfiles(false)), expected);
    EXPECT_EQ(descriptions(manager().arrayOfAllProfilesWithSpace(sig::kRGB)), expectedRGB);
    EXPECT_EQ(manager().arrayOfAllExternalProfiles().size(), 50u);

    // Listed installed profiles carry their file but have not read it yet.
    const auto listed = manager().arrayOfAllProfiles(false)[6];
    EXPECT_FALSE(listed->url());
    EXPECT_EQ(listed->spaceType(), sig::kRGB);

    setShowExternal(false);
    EXPECT_EQ(descriptions(manager().arrayOfAllProfiles(false)), kScanners);
}

TEST_F(ProfileManagerTest, PropertyListsRestoreByPathOrByDescription) {
    writeFile(folder / "a display.icc", fixtureProfile(sig::kDisplayClass, sig::kRGB, "A display"));
    setShowExternal(true);
    auto installed = manager().findMatchingProfile("a display");
    ASSERT_TRUE(installed);

    // Before its file is read the installed profile writes only its class.
    const platform::Dictionary classOnly{{"Class_of_serialized_Object", "ColorSyncProfileWrap"}};
    EXPECT_EQ(installed->objectSerializeForPList().dictionary(), classOnly);
    EXPECT_TRUE(ColorSyncProfileWrap::initFromPList(classOnly)->isAutoProfile());

    ASSERT_TRUE(installed->csRef());
    const auto plist = installed->objectSerializeForPList().dictionary();
    EXPECT_EQ(plist["ScannerProfilePath"].string(), (folder / "a display.icc").string());
    EXPECT_EQ(plist["ScannerProfileDescription"].string(), "A display");
    const auto restored = ColorSyncProfileWrap::initFromPList(plist);
    ASSERT_TRUE(restored);
    EXPECT_TRUE(restored->isEqual(installed.get()));
    EXPECT_EQ(restored->hash(), installed->hash());
    EXPECT_EQ(restored->description(), "A display");

    // A file URL form, percent-encoded.
    const platform::Dictionary byURL{
        {"Class_of_serialized_Object", "ColorSyncProfileWrap"},
        {"ScannerProfileURL", "file://" + folder.string() + "/a%20display.icc"}};
    EXPECT_TRUE(ColorSyncProfileWrap::initFromPList(byURL)->isEqual(installed.get()));

    std::filesystem::remove(folder / "a display.icc");
    EXPECT_TRUE(ColorSyncProfileWrap::initFromPList(plist)->isAutoProfile());

    // Built-in profiles have no file: they come back by description when listed.
    const auto kodachrome = manager().getPhotoCD4kProfile();
    const auto kplist = kodachrome->objectSerializeForPList().dictionary();
    EXPECT_FALSE(kplist.contains("ScannerProfilePath"));
    EXPECT_EQ(ColorSyncProfileWrap::initFromPList(kplist), kodachrome);
    EXPECT_FALSE(ColorSyncProfileWrap::initFromPList(
        manager().getProPhotocmSaturationProfile()->objectSerializeForPList().dictionary()));

    const auto automatic = ColorSyncProfileWrap::initAsAutoProfile();
    EXPECT_EQ(automatic->objectSerializeForPList().dictionary(), classOnly);

    // Held in property-list values, wraps compare through their own equality.
    const auto file = testsupport::testdataDir() / "icc" / "Gray_v2.icc";
    const platform::Value held(ColorSyncProfileWrap::initWithCFPath(file.string()));
    EXPECT_EQ(held, platform::Value(ColorSyncProfileWrap::initWithCFPath(file.string())));
    EXPECT_FALSE(held == platform::Value(kodachrome));
    EXPECT_EQ(held.objectAs<ColorSyncProfileWrap>()->className(), "ColorSyncProfileWrap");
}

TEST_F(ProfileManagerTest, EqualityIsReflexiveAndByPath) {
    const auto a = ColorSyncProfileWrap::initAsAutoProfile();
    EXPECT_TRUE(a->isEqual(a.get()));
    EXPECT_FALSE(a->isEqual(ColorSyncProfileWrap::initAsAutoProfile().get()));
    const auto bytes = platform::iccBuiltinBytes(platform::IccBuiltin::rec709Gamma1);
    const auto b1 = ColorSyncProfileWrap::initWithBuffer(bytes.data(),
                                                         static_cast<std::uint32_t>(bytes.size()));
    const auto b2 = ColorSyncProfileWrap::initWithBuffer(bytes.data(),
                                                         static_cast<std::uint32_t>(bytes.size()));
    ASSERT_TRUE(b1 && b2);
    EXPECT_TRUE(b1->isEqual(b1.get()));
    EXPECT_FALSE(b1->isEqual(b2.get()));
    EXPECT_EQ(b1->hash(), b2->hash());  // both hash their description

    const auto file = testsupport::testdataDir() / "icc" / "ProPhotoRGB_v4.icc";
    const auto f1 = ColorSyncProfileWrap::initWithCFPath(file.string());
    const auto f2 = ColorSyncProfileWrap::profileWithPath(file.string());
    ASSERT_TRUE(f1 && f2);
    EXPECT_TRUE(*f1 == *f2);
    EXPECT_EQ(f1->hash(), f2->hash());
    EXPECT_EQ(f1->path(), file.string());
    EXPECT_EQ(f1->description(), "ProPhoto RGB");
    EXPECT_FALSE(f1->isEqual(b1.get()));
    EXPECT_FALSE(f1->isEqual(nullptr));

    EXPECT_FALSE(ColorSyncProfileWrap::initWithCFPath((scratch.path() / "missing.icc").string()));
    EXPECT_FALSE(ColorSyncProfileWrap::initWithBuffer(nullptr, 10));
    const std::uint8_t junk[200] = {};
    EXPECT_FALSE(ColorSyncProfileWrap::initWithBuffer(junk, sizeof junk));
}

TEST_F(ProfileManagerTest, PlatformProfilesTakeClassAndSpaceFromTheirHeaders) {
    const auto lab = ColorSyncProfileWrap::profileDefaultLAB();
    ASSERT_TRUE(lab);
    EXPECT_EQ(lab->spaceType(), sig::kLab);
    EXPECT_EQ(lab->classType(), sig::kAbstractClass);
    EXPECT_EQ(lab->cgColorSpace()->model(), platform::IccColorModel::lab);
    const auto linear = ColorSyncProfileWrap::profileWithLinearRGB();
    ASSERT_TRUE(linear);
    EXPECT_EQ(linear->classType(), sig::kDisplayClass);
    EXPECT_EQ(linear->spaceType(), sig::kRGB);
    EXPECT_EQ(linear->description(), "Linear RGB Profile");
    const auto space = linear->cgColorSpace();
    EXPECT_EQ(space, linear->cgColorSpace());
    EXPECT_EQ(space->numberOfComponents(), 3u);
    EXPECT_FALSE(ColorSyncProfileWrap::initAsAutoProfile()->cgColorSpace());

    // Built-in getters keep one wrap each; the table's classes and spaces.
    EXPECT_EQ(manager().getProPhotoGamma1_D65Profile(), manager().getProPhotoGamma1_D65Profile());
    EXPECT_EQ(manager().getPhotoCDXnProfile()->classType(), sig::kInputClass);
    EXPECT_EQ(manager().getIUT709Profile()->description(), "Rec. ITU-R BT.709-5");
    EXPECT_EQ(manager().getCCIR709Profile()->description(), "VodiRurar CCIR Rec 709 Gamma 1.0 D50");
}

TEST_F(ProfileManagerTest, DefaultProfilesFollowTheUserDefaults) {
    EXPECT_FALSE(ColorSyncProfileWrap::profileDefaultRGB());
    const auto gray = testsupport::testdataDir() / "icc" / "Gray_v2.icc";
    platform::UserDefaults::standard().setString(gray.string(), "DefaultGrayProfile");
    const auto wrap = ColorSyncProfileWrap::profileDefaultGray();
    ASSERT_TRUE(wrap);
    EXPECT_EQ(wrap->spaceType(), sig::kGray);
    EXPECT_EQ(wrap->path(), gray.string());
    platform::UserDefaults::standard().setString((scratch.path() / "gone.icc").string(),
                                                 "DefaultCMYKProfile");
    EXPECT_FALSE(ColorSyncProfileWrap::profileDefaultCMYK());
}

TEST_F(ProfileManagerTest, MenuListAndUnsupportedCalls) {
    auto& menus = iccProfileManager::sharediccProfileManager();
    const auto list = menus.profileListForMenu();
    ASSERT_EQ(list.size(), 7u);
    EXPECT_TRUE(list[0]->isAutoProfile());
    EXPECT_EQ(menus.profileList(false).size(), 6u);
    EXPECT_FALSE(menus.profileDirectory());
    platform::LogCapture log;
    platform::Error error;
    EXPECT_FALSE(menus.addProfile(folder / "x.icc", &error));
    menus.iterateProfiles();
    EXPECT_TRUE(
        log.contains("ERROR : invalid function call -[iccProfileManager addProfile:error:]"));
    EXPECT_TRUE(log.contains("ERROR : invalid function call -[iccProfileManager iterateProfiles]"));
}

TEST_F(ProfileManagerTest, ListRebuildsWhileOtherThreadsReadIt) {
    for (int i = 0; i < 20; ++i)
        writeFile(folder / ("p" + std::to_string(i) + ".icc"),
                  fixtureProfile(sig::kDisplayClass, sig::kRGB,
                                 ("Profile " + std::to_string(i)).c_str()));
    setShowExternal(true);
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&] {
            while (!stop) {
                const auto list = manager().arrayOfAllProfiles(true);
                for (const auto& w : list) (void)w->description();
                if (auto p = manager().findMatchingProfile("profile 7")) (void)p->csRef();
                ++reads;
            }
        });
    // Rebuild only once the readers are at work, however loaded the machine.
    while (reads.load() < 4) std::this_thread::yield();
    const int before = reads.load();
    for (int i = 0; i < 10; ++i) setShowExternal(i % 2 == 0);
    while (reads.load() < before + 4) std::this_thread::yield();
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_GT(reads.load(), before);
}

TEST_F(ProfileManagerTest, LazyMembersAreMadeOncePerWrap) {
    writeFile(folder / "lazy.icc", fixtureProfile(sig::kDisplayClass, sig::kRGB, "Lazy"));
    const auto wrap = ColorSyncProfileWrap::profileWithIterateData(
        {folder / "lazy.icc", sig::kDisplayClass, sig::kRGB, "Lazy"});
    std::vector<std::shared_ptr<const platform::IccProfile>> refs(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < refs.size(); ++i)
        threads.emplace_back([&, i] { refs[i] = wrap->csRef(); });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(refs[0]);
    for (const auto& r : refs) EXPECT_EQ(r, refs[0]);
    EXPECT_EQ(wrap->path(), (folder / "lazy.icc").string());
}

// Last, because the manager keeps the first listed sRGB it finds for the rest of the process.
TEST_F(ProfileManagerTest, AListedSRGBProfileIsPreferred) {
    writeFile(folder / "srgb.icc",
              fixtureProfile(sig::kDisplayClass, sig::kRGB, "sRGB IEC61966-2.1"));
    setShowExternal(true);
    const auto srgb = manager().getSRGBProfile(false);
    ASSERT_TRUE(srgb);
    EXPECT_EQ(srgb->classType(), sig::kDisplayClass);
    EXPECT_TRUE(srgb->csRef());
    EXPECT_EQ(srgb->path(), (folder / "srgb.icc").string());
}

}  // namespace
