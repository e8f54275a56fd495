// The document's settings, reading, catalog round trip and first run.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "document/DocumentController.h"
#include "document/DocumentTestHome.h"
#include "document/MyDocument.h"
#include "document/QuorvexErrors.h"
#include "document/RawFileSearch.h"
#include "engine/DataStoreItem.h"
#include "engine/MultiDataStore.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "platform/UserWarning.h"
#include "support/TestSupport.h"

namespace {

using platform::Dictionary;
using platform::Value;

class DocumentTest : public ::testing::Test {
protected:
    std::filesystem::path writeFile(const std::string& name, const std::string& bytes = "x") {
        auto p = scratch_.path() / name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

    DocumentTestHome scratch_;
};

TEST_F(DocumentTest, FreshSettingsAreTheDefaultsPlusAsShotWhiteBalance) {
    auto doc = MyDocument::init();
    Dictionary settings = doc->getSettingsDictionary();
    Dictionary defaults = doc->imageDefaults();
    EXPECT_EQ(settings.size(), defaults.size() + 1);
    EXPECT_TRUE(settings["Quorvex_UseAsShotWB"].boolValue());
    EXPECT_FALSE(defaults.contains("Quorvex_UseAsShotWB"));
    EXPECT_EQ(defaults.size(), 28u);
    for (const auto& key : defaults.keys()) {
        if (defaults[key].isObject()) continue;  // fresh automatic profiles
        EXPECT_EQ(settings[key], defaults[key]) << key;
    }
    EXPECT_FLOAT_EQ(settings["Quorvex_Filter_inputRadius"].floatValue(), 0.8f);
    EXPECT_FLOAT_EQ(settings["Quorvex_Filter_inputKneeHigh"].floatValue(), 3.5f);
    EXPECT_FLOAT_EQ(settings["Quorvex_JPEGQuality"].floatValue(), 10.0f);
    EXPECT_TRUE(settings["Quorvex_ExportFileType"].isInteger());
    EXPECT_TRUE(settings["Quorvex_MaintainWhites"].boolValue());
    EXPECT_TRUE(settings["Quorvex_CameraProfile"].isObject());
    EXPECT_TRUE(settings["Quorvex_iccProfile"].isObject());
}

TEST_F(DocumentTest, KeyRoutingNullMarkerCropAndOrientation) {
    auto doc = MyDocument::init();
    {
        platform::LogCapture log;
        doc->setValueForKey(Value(), "Quorvex_Filter_inputEV");
        EXPECT_TRUE(log.contains("ERROR : NULL value in"));
    }
    EXPECT_TRUE(doc->getSettingsDictionary().contains("Quorvex_Filter_inputEV"));
    EXPECT_TRUE(doc->valueForKey("Quorvex_Filter_inputEV").isNull());
    // Keys of other prefixes are not settings; metadata is read-only.
    doc->setValueForKey(Value(1), "somethingElse");
    doc->setValueForKey(Value(1), "Quorvex_metaData");
    EXPECT_FALSE(doc->getSettingsDictionary().contains("somethingElse"));
    EXPECT_FALSE(doc->getSettingsDictionary().contains("Quorvex_metaData"));

    EXPECT_EQ(doc->getOrientation(), 1);
    doc->orientationChanged(6);
    EXPECT_EQ(doc->getOrientation(), 6);
    EXPECT_TRUE(doc->getSettingsDictionary()["Quorvex_ImageOrientation"].isReal());

    const platform::Rect none{-1, -1, -1, -1};
    EXPECT_EQ(doc->getCropRect(), none);
    doc->cropRectChanged({10, 20, 15, 100});
    EXPECT_EQ(doc->getCropRect(), none);
    doc->cropRectChanged({10, 20, 16, 100});
    EXPECT_EQ(doc->getCropRect(), (platform::Rect{10, 20, 16, 100}));

    int calls = 0;
    auto token = doc->addObserver("Quorvex_Filter_inputEV", [&](auto&, auto&) { ++calls; });
    doc->setValueForKey(Value(0.5f), "Quorvex_Filter_inputEV");
    doc->setToDefault("Quorvex_Filter_inputEV");
    doc->setToDefault("Quorvex_NotADefault");
    doc->removeObserver(token);
    doc->setValueForKey(Value(0.7f), "Quorvex_Filter_inputEV");
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(doc->getSettingsDictionary().contains("Quorvex_NotADefault"));
}

TEST_F(DocumentTest, MergingSettings) {
    auto doc = MyDocument::init();
    doc->addSettingValues(std::nullopt);
    doc->addSettingValues(Dictionary{{"Quorvex_Filter_inputEV", Value(1.5f)},
                                     {"Quorvex_Nested", Value(Dictionary{{"a", Value(1)}})}});
    doc->addSettingValues(Dictionary{{"Quorvex_Nested", Value(Dictionary{{"b", Value(2)}})}});
    Dictionary s = doc->getSettingsDictionary();
    EXPECT_FLOAT_EQ(s["Quorvex_Filter_inputEV"].floatValue(), 1.5f);
    EXPECT_EQ(s["Quorvex_Nested"]["a"].integerValue(), 1);
    EXPECT_EQ(s["Quorvex_Nested"]["b"].integerValue(), 2);
    EXPECT_TRUE(s.contains("Quorvex_UseAsShotWB"));
    // An explicit temperature, in any case, ends the as-shot choice.
    doc->addSettingValues(Dictionary{{"quorvex_filter_inputtemperature", Value(5000.0f)}});
    EXPECT_FALSE(doc->getSettingsDictionary().contains("Quorvex_UseAsShotWB"));
    // Keys a merge lacks are left alone.
    EXPECT_FLOAT_EQ(doc->valueForKey("Quorvex_Filter_inputEV").floatValue(), 1.5f);

    ColorHelper color;
    color.setFTemperature(20000);
    color.setFTint(-400);
    doc->setWBFromColor(color);
    EXPECT_FLOAT_EQ(color.fTemperature(), 14000);
    EXPECT_FLOAT_EQ(color.fTint(), -150);
    EXPECT_FLOAT_EQ(doc->valueForKey("Quorvex_Filter_inputTemperature").floatValue(), 14000);
}

TEST_F(DocumentTest, ReadFailuresCarryTheirCodesAndTexts) {
    platform::Error error;
    auto doc = MyDocument::init();
    EXPECT_FALSE(doc->readFromURL("http://example.invalid/a.dng", &error));
    EXPECT_EQ(error.code, -5);
    EXPECT_EQ(error.domain, "QuorvexErrorDomain");
    EXPECT_EQ(error.failureReason, "Quorvex could not resolve the file location.");

    std::filesystem::create_directories(scratch_.path() / "folder.dng");
    EXPECT_FALSE(
        MyDocument::init()->readFromURL((scratch_.path() / "folder.dng").string(), &error));
    EXPECT_EQ(error.code, -4);

    auto pcd = writeFile("img0001.PCD");
    auto pcdDoc = MyDocument::init();
    EXPECT_FALSE(pcdDoc->readFromURL("file://" + pcd.string(), &error));
    EXPECT_EQ(error.code, -18);
    EXPECT_EQ(error.failureReason,
              "Photo CD images can be viewed in the browser but not opened for editing.");
    EXPECT_EQ(pcdDoc->displayEngine(), nullptr);
    // A real pack is refused the same way: the decoder is never the reason.
    EXPECT_FALSE(MyDocument::init()->readFromURL(
        (testsupport::testdataDir() / "pcd" / "IMG0003.PCD").string(), &error));
    EXPECT_EQ(error.code, -18);

    EXPECT_FALSE(doc->dataOfType(&error));
    EXPECT_EQ(error.code, -4);
}

TEST_F(DocumentTest, EditedFileFindsItsRawFileOrFailsWithMinus15And17) {
    auto edited = writeFile("edits/IMG_1234.JPG");
    platform::Error error;
    auto doc = MyDocument::init();
    EXPECT_FALSE(doc->readFromURL(edited.string(), &error));
    EXPECT_EQ(error.code, -15);
    EXPECT_EQ(error.failureReason,
              "No valid raw search location available - Set the search location in Preferences "
              "to the folder containing your raw image files.");

    const auto raws = scratch_.path() / "raws";
    std::filesystem::create_directories(raws);
    ASSERT_TRUE(RawFileSearch::setRawSearch(raws));
    auto missing = MyDocument::init();
    EXPECT_FALSE(missing->readFromURL(edited.string(), &error));
    EXPECT_EQ(error.code, -17);
    EXPECT_EQ(error.failureReason.rfind("Could not find the raw file corresponding to IMG", 0), 0u);
    EXPECT_NE(error.failureReason.find(raws.string()), std::string::npos);

    // The raw extensions rank before "dng".
    writeFile("raws/sub/IMG_1234.dng");
    auto cr2 = writeFile("raws/IMG_1234.CR2");
    auto found = MyDocument::init();
    ASSERT_TRUE(found->readFromURL(edited.string(), &error)) << error.failureReason;
    EXPECT_TRUE(found->openedFromExternal());
    EXPECT_EQ(found->extEditorURL(), edited);
    EXPECT_EQ(found->fileURL(), cr2);
    EXPECT_EQ(found->valueForKey("Quorvex_UUID").stringValue(), cr2.string());
    EXPECT_NE(found->displayEngine(), nullptr);
    // The same document reading an editor's file again.
    EXPECT_FALSE(found->readFromURL(edited.string(), &error));
    EXPECT_EQ(error.code, -16);
}

TEST_F(DocumentTest, ShownDocumentWritesItsCatalogEntryAndReopens) {
    auto raw = writeFile("shot.dng", "not really a raw file");
    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(raw.string(), &error)) << error.failureReason;
    doc->setValueForKey(Value(0.7f), "Quorvex_Filter_inputEV");
    doc->cropRectChanged({4, 8, 100, 50});
    doc->orientationChanged(8);
    doc->documentIsForDisplay(true);
    doc->close();

    auto entry =
        MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog")->getItemForUUID(
            raw.string());
    ASSERT_TRUE(entry.has_value());
    EXPECT_FLOAT_EQ((*entry)["Quorvex_Filter_inputEV"].floatValue(), 0.7f);

    auto again = MyDocument::init();
    ASSERT_TRUE(again->readFromURL(raw.string(), &error));
    EXPECT_FLOAT_EQ(again->valueForKey("Quorvex_Filter_inputEV").floatValue(), 0.7f);
    EXPECT_EQ(again->getCropRect(), (platform::Rect{4, 8, 100, 50}));
    EXPECT_EQ(again->getOrientation(), 8);
    EXPECT_EQ(again->displayName(), "shot.dng");
    // Edits a close cannot save are told.
    again->documentIsForDisplay(true);
    again->setValueForKey(Value(1.5f), "Quorvex_Filter_inputEV");
    std::vector<std::string> told;
    const auto previous =
        platform::setUserWarningHandler([&](auto& text) { told.push_back(text); });
    {
        testsupport::FileSizeLimit full(64);
        again->close();
    }
    platform::setUserWarningHandler(previous);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("\"shot.dng\" cannot be saved"), std::string::npos) << told[0];
}

TEST_F(DocumentTest, DocumentNeverShownWritesNoCatalogEntry) {
    auto raw = writeFile("batch.dng", "junk");
    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(raw.string(), &error));
    doc->setValueForKey(Value(0.3f), "Quorvex_Filter_inputEV");
    doc->close();
    EXPECT_FALSE(MultiDataStore::sharedMultiDataStore()
                     .dataStoreForStore("Catalog")
                     ->getItemForUUID(raw.string())
                     .has_value());
}

TEST_F(DocumentTest, UndecodableFileReportsTheDecodersError) {
    auto raw = writeFile("broken.dng", std::string(64, '\0'));
    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(raw.string(), &error));
    const auto out = scratch_.path() / "broken.jpg";
    EXPECT_FALSE(doc->exportToURL(out, "public.jpeg", {-1, -1, -1, -1}, true, &error));
    EXPECT_FALSE(error.failureReason.empty());
    EXPECT_NE(error.domain, "");
    EXPECT_FALSE(std::filesystem::exists(out));
}

// The first finished run of a shown document sets the as-shot white balance
// and the scene-referred choice, and drops "Quorvex_UseAsShotWB".
TEST_F(DocumentTest, FirstRunSetsWhiteBalanceAndSceneReferred) {
    const auto file = testsupport::testdataDir() / "raw/dng/rpi-imx296_10bit-packed_strip.dng";
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(file.string(), &error)) << error.failureReason;
    doc->documentIsForDisplay(true);
    const bool finished = platform::MainRunLoop::shared().runUntil(
        [&] { return !doc->getSettingsDictionary().contains("Quorvex_UseAsShotWB"); },
        std::chrono::seconds(60));
    ASSERT_TRUE(finished);
    Dictionary s = doc->getSettingsDictionary();
    ASSERT_TRUE(s.contains("Quorvex_Filter_inputTemperature"));
    ASSERT_TRUE(s.contains("Quorvex_Filter_inputTint"));
    EXPECT_GE(s["Quorvex_Filter_inputTemperature"].floatValue(), 1000);
    EXPECT_LE(s["Quorvex_Filter_inputTemperature"].floatValue(), 14000);
    EXPECT_TRUE(s["Quorvex_SceneReferred"].boolValue());
    // Resetting the slider returns to the as-shot value.
    EXPECT_TRUE(doc->imageDefaults().contains("Quorvex_Filter_inputTemperature"));
    doc->close();
}

TEST_F(DocumentTest, ControllerListsAndFindsOpenDocuments) {
    auto raw = writeFile("listed.dng", "junk");
    auto& controller = DocumentController::sharedDocumentController();
    platform::Error error;
    EXPECT_EQ(controller.makeDocumentForURL((scratch_.path() / "x.pcd").string(), &error), nullptr);
    auto doc = controller.makeDocumentForURL(raw.string(), &error);
    ASSERT_NE(doc, nullptr);
    controller.addDocument(doc);
    controller.addDocument(doc);
    EXPECT_EQ(controller.documentForURL(raw.string()), doc);
    size_t count = 0;
    for (const auto& d : controller.documents()) count += d == doc;
    EXPECT_EQ(count, 1u);
    bool alreadyOpen = false;
    controller.openDocumentWithContentsOfURL(raw.string(), false,
                                             [&](const MyDocument::Ptr& d, bool open, const auto&) {
                                                 EXPECT_EQ(d, doc);
                                                 alreadyOpen = open;
                                             });
    EXPECT_TRUE(alreadyOpen);
    ASSERT_NE(doc->displayEngine(), nullptr);
    EXPECT_EQ(doc->displayEngine()->delegate(), nullptr);  // not shown: display was NO
    controller.openDocumentWithContentsOfURL(raw.string(), true, [](auto&&...) {});
    EXPECT_EQ(doc->displayEngine()->delegate(), doc);
    controller.removeDocument(doc);
    EXPECT_EQ(controller.documentForURL(raw.string()), nullptr);
    doc->close();

    EXPECT_TRUE(controller.menusActive());
    platform::NotificationCenter::defaultCenter().post("TARNWisp_DisableMenus");
    EXPECT_FALSE(controller.menusActive());
    platform::NotificationCenter::defaultCenter().post("TARNWisp_EnableMenus");
    EXPECT_TRUE(controller.menusActive());
}

}  // namespace
