// The metadata inspector: labels and value texts by format, the tree of a
// dictionary, the metadata of every decodable test DNG, and a picture of
// the window for a person to look at.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>

#include "raw/RawMetadata.h"
#include "raw/rawWrapper.h"
#include "support/TestSupport.h"
#include "ui/InspectorController.h"

namespace fs = std::filesystem;
using platform::Value;

namespace {

using IC = InspectorController;

std::string text(const char* key, const Value& v) { return IC::prettyValue(v, IC::itemIndex(key)); }

const InspectorNode* find(const std::vector<InspectorNode>& nodes, const std::string& label) {
    for (const auto& n : nodes)
        if (n.key == label) return &n;
    return nullptr;
}

TEST(Inspector, TableLabelsAndLookups) {
    EXPECT_EQ(IC::propertyTable().size(), size_t(IC::kPropertyCount));
    EXPECT_EQ(IC::itemIndex(kCGImagePropertyPixelWidth), 0);
    EXPECT_EQ(IC::itemIndex("exposuretime"), -1);  // exact case
    EXPECT_EQ(IC::prettyName("ExposureTime"), "Exposure Time");
    EXPECT_EQ(IC::prettyName("FocalPlaneXResolution"), "Focal Plane X Resolution");
    EXPECT_EQ(IC::prettyName("DOP"), "D OP");
    EXPECT_EQ(IC::prettyName("XY"), "XY");
    EXPECT_EQ(IC::appendWithSeparator("", "b", "; "), "b");
    EXPECT_EQ(IC::appendWithSeparator("a", "b", "; "), "a; b");
}

TEST(Inspector, ValueTextsByFormat) {
    using namespace std::string_literals;
    EXPECT_EQ(text(kCGImagePropertyExifExposureTime, 0.004), "1/250");
    EXPECT_EQ(text(kCGImagePropertyExifExposureTime, 2.5), "2.5");
    EXPECT_EQ(text(kCGImagePropertyExifExposureTime, int64_t(30)), "30");
    // No "1/inf": zero, negative and unbounded times take the general rule.
    EXPECT_EQ(text(kCGImagePropertyExifExposureTime, 0.0), "0");
    EXPECT_EQ(text(kCGImagePropertyExifExposureTime, int64_t(-2)), "-2");
    EXPECT_EQ(text(kCGImagePropertyExifShutterSpeedValue, 2000.0), "2000");
    EXPECT_EQ(text(kCGImagePropertyExifShutterSpeedValue, 6.965784), "1/125");
    EXPECT_EQ(text(kCGImagePropertyExifApertureValue, 5.0), "5.7");
    EXPECT_EQ(text(kCGImagePropertyExifFNumber, 0.95), "0.95");
    EXPECT_EQ(text(kCGImagePropertyGPSLatitude, 37.5), "37\u00b0 30\" 0.00'");
    EXPECT_EQ(text(kCGImagePropertyExifLightSource, int64_t(255)), "Other");
    EXPECT_EQ(text(kCGImagePropertyExifLightSource, int64_t(6)), "Other");
    EXPECT_EQ(text(kCGImagePropertyExifLightSource, int64_t(21)), "D65");
    EXPECT_EQ(text(kCGImagePropertyExifMeteringMode, int64_t(0)), "Other");
    EXPECT_EQ(text(kCGImagePropertyExifMeteringMode, int64_t(5)), "Pattern");
    EXPECT_EQ(text(kCGImagePropertyExifExposureProgram, "x"s), "Undefined");  // a string is N 0
    EXPECT_EQ(text(kCGImagePropertyExifISOSpeedRatings, Value(Value::Array{int64_t(100)})), "100");
    EXPECT_EQ(text(kCGImagePropertyExifExposureBiasValue, 0.33), "0.33");
    EXPECT_EQ(text(kCGImagePropertyExifFocalLength, 1250.5), "1250.5");
    EXPECT_EQ(
        text(kCGImagePropertyExifVersion, Value(Value::Array{int64_t(2), int64_t(2), int64_t(1)})),
        "2.2.1");
    EXPECT_EQ(text(kCGImagePropertyExifVersion, "0231"s), "");
    EXPECT_EQ(text(kCGImagePropertyExifFlash, int64_t(1)), "Flash fired; flash function present");
    EXPECT_EQ(text(kCGImagePropertyExifFlash, int64_t(16)),
              "Flash did not fire; compulsory flash suppression; flash function present");
    EXPECT_EQ(text(kCGImagePropertyGPSLatitudeRef, " s "s), "South");
    EXPECT_EQ(text(kCGImagePropertyGPSAltitudeRef, int64_t(1)),
              "Sea level reference (negative value)");
    EXPECT_EQ(text(kCGImagePropertyTIFFPhotometricInterpretation, int64_t(2)), "RGB");
    EXPECT_EQ(text(kCGImagePropertyTIFFMake, "  Raspberry Pi \n"s), "Raspberry Pi");
    // Codes beyond the int range saturate instead of wrapping to a known code.
    EXPECT_EQ(text(kCGImagePropertyExifExposureProgram, int64_t(4294967297)), "2147483647");
    // Long arrays are cut.
    Value::Array many;
    for (int i = 0; i < 10; ++i) many.push_back(int64_t(1000 + i));
    EXPECT_EQ(text(kCGImagePropertyExifSubjectArea, Value(many)), "( 1000, 1001, 1002,... )");
}

TEST(Inspector, TreeGroupsHiddenRowsAndUnknownKeys) {
    platform::Dictionary exif{
        {kCGImagePropertyExifExposureTime, 0.008},
        {kCGImagePropertyExifSpectralSensitivity, "x"},
        {kCGImagePropertyExifOECF, "y"},
        {kCGImagePropertyExifMakerNote, "z"},
        {kCGImagePropertyExifISOSpeedRatings, Value(Value::Array{int64_t(100)})}};
    platform::Dictionary gps{{kCGImagePropertyGPSDOP, 1.5}};
    platform::Dictionary other{{kCGImagePropertyTIFFMake, "Inner"}};
    platform::Dictionary top{{kCGImagePropertyExifDictionary, exif},
                             {kCGImagePropertyGPSDictionary, gps},
                             {"Custom", other},
                             {kCGImagePropertyPixelWidth, int64_t(1920)},
                             {"NotAKey", int64_t(1)}};
    auto tree = IC::propTree(top);
    ASSERT_EQ(tree.size(), 4u);
    // Sorted by key: "Custom", "PixelWidth", "{Exif}", "{GPS}".
    EXPECT_EQ(tree[0].key, "Custom");
    EXPECT_EQ(tree[1].key, "Pixel Width");
    EXPECT_EQ(tree[1].val, "1920");
    EXPECT_EQ(tree[2].key, "EXIF Metadata");
    EXPECT_EQ(tree[3].key, "GPS Data");
    EXPECT_EQ(tree[2].val, "");
    ASSERT_EQ(tree[2].children.size(), 2u);
    ASSERT_TRUE(find(tree[2].children, "Exposure Time"));
    EXPECT_EQ(find(tree[2].children, "Exposure Time")->val, "1/125");
    EXPECT_EQ(find(tree[2].children, "ISO Speed Ratings")->val, "100");
    EXPECT_EQ(find(tree[3].children, "D OP")->val, "1.5");
    EXPECT_EQ(find(tree[0].children, "Make")->val, "Inner");

    InspectorController inspector;
    inspector.setData(Value());
    EXPECT_EQ(inspector.treeModel()->rowCount(), 0);
    inspector.setData(Value(top));
    EXPECT_EQ(inspector.treeModel()->rowCount(), 4);
    EXPECT_TRUE(inspector.outlineView()->isExpanded(inspector.treeModel()->index(2, 0)));
    inspector.setData(Value());
    EXPECT_EQ(inspector.treeModel()->rowCount(), 0);
}

// A thumbnail decode gives the same dictionary but for the (halved) pixel size.
std::shared_ptr<platform::Dictionary> metadataOf(const fs::path& file, bool thumbnail = true) {
    auto source = rawWrapper::initWithFile(file.string(), file.string(), thumbnail);
    if (!source || !source->masterImageBytes()) return nullptr;
    return source->metaData();
}

// Every shown key of a real file's dictionary is in the tree, and no hidden one.
void expectComplete(const platform::Dictionary& dictionary, const std::vector<InspectorNode>& tree,
                    const std::string& where) {
    for (const auto& [key, value] : dictionary) {
        if (value.isDictionary()) continue;
        const int index = IC::itemIndex(key);
        if (index < 0) continue;
        const auto& row = IC::propertyTable()[size_t(index)];
        const std::string label = row.label ? row.label : IC::prettyName(key);
        const InspectorNode* node = find(tree, label);
        if (row.format == 0) {
            EXPECT_FALSE(node) << where << " " << key;
        } else {
            ASSERT_TRUE(node) << where << " " << key;
            EXPECT_EQ(node->val, IC::prettyValue(value, index)) << where << " " << key;
        }
    }
}

TEST(Inspector, EveryDecodableTestDngShowsItsKeys) {
    // The unique camera model as each file holds it; none for the reader's stand-in.
    const std::map<std::string, std::string> models{
        {"bmpcc4k_cfa-12bit-dctjpeg_4tiles_linearization.dng",
         "Blackmagic Pocket Cinema Camera 4K"},
        {"rpi-1920x1200_10bit-packed_single-tile.dng", ""},
        {"rpi-imx296_10bit-packed_strip.dng", ""},
        {"rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng", "Raspberry Pi imx296"}};
    int decoded = 0;
    for (const auto& entry : fs::directory_iterator(testsupport::testdataDir() / "raw/dng")) {
        auto metadata = metadataOf(entry.path());
        if (!metadata) continue;
        ++decoded;
        const auto tree = IC::propTree(*metadata);
        const std::string name = entry.path().filename().string();
        expectComplete(*metadata, tree, name);
        if (auto model = models.find(name); model != models.end()) {
            const InspectorNode* dngGroup = find(tree, "DNG Metadata");
            const InspectorNode* shown =
                dngGroup ? find(dngGroup->children, "Unique Camera Model") : nullptr;
            EXPECT_EQ(shown ? shown->val : "", model->second) << name;
        }
        for (const auto& [key, value] : *metadata) {
            if (!value.isDictionary()) continue;
            const auto group = std::find_if(tree.begin(), tree.end(), [&](const InspectorNode& n) {
                return n.key == key ||
                       (key == kCGImagePropertyExifDictionary && n.key == "EXIF Metadata") ||
                       (key == kCGImagePropertyTIFFDictionary && n.key == "TIFF Metadata") ||
                       (key == kCGImagePropertyDNGDictionary && n.key == "DNG Metadata") ||
                       (key == kCGImagePropertyGPSDictionary && n.key == "GPS Data") ||
                       (key == kCGImagePropertyExifAuxDictionary &&
                        n.key == "EXIF Auxiliary Metadata");
            });
            ASSERT_NE(group, tree.end()) << name << " " << key;
            expectComplete(value.dictionary(), group->children, name + " " + key);
        }
    }
    EXPECT_GE(decoded, 4);
}

TEST(Screenshots, Inspector) {
    auto metadata = metadataOf(
        testsupport::testdataDir() / "raw/dng/rpi-1920x1200_10bit-packed_single-tile.dng", false);
    ASSERT_TRUE(metadata);
    InspectorController inspector;
    inspector.setData(Value(*metadata));
    const auto tree = IC::propTree(*metadata);
    const InspectorNode* exif = find(tree, "EXIF Metadata");
    const InspectorNode* tiff = find(tree, "TIFF Metadata");
    ASSERT_TRUE(exif && tiff);
    ASSERT_TRUE(find(tiff->children, "Make"));
    EXPECT_EQ(find(exif->children, "Exposure Time")->val, "1/125");
    EXPECT_EQ(find(exif->children, "ISO Speed Ratings")->val, "100");

    inspector.resize(520, 720);
    inspector.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&inspector));
    QTest::qWait(200);
    const QPixmap picture = QGuiApplication::platformName() == QLatin1String("xcb")
                                ? inspector.screen()->grabWindow(inspector.winId())
                                : inspector.grab();
    ASSERT_FALSE(picture.isNull());
    if (const char* folder = std::getenv("QUORVEX_SCREENSHOTS")) {
        fs::create_directories(folder);
        EXPECT_TRUE(picture.save(QString::fromLocal8Bit(folder) + "/inspector.png"));
    }
}

}  // namespace
