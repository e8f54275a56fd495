#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>

#include "platform/KeyHash.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using platform::Dictionary;
using platform::Value;

namespace {

Value sample() {
    Dictionary inner{{"zeta", Value(1)}, {"alpha", Value(2.5)}};
    Value::Array array{Value(true),
                       Value(false),
                       Value("text <&> \"quoted\""),
                       Value(Value::Data{0, 1, 2, 0xFE, 0xFF}),
                       Value(Value::Date{1700000000}),
                       Value(inner),
                       Value(Value::Array{})};
    return Value(Dictionary{{"b", Value(int64_t{-42})},
                            {"a", Value(0.1f)},
                            {"big", Value(std::numeric_limits<int64_t>::max())},
                            {"list", Value(array)},
                            {"empty", Value("")},
                            {"ünïcødé", Value("日本語")}});
}

std::string plistWith(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body +
           "</plist>";
}

// Another run of the program: "clean FILE" removes the leftovers of writes
// to FILE; "hash KEY REPORT" writes the key's hash to REPORT; "hold ..."
// holds a lock (see testsupport::holdLock).
int platformHelper(const std::vector<std::string>& arguments) {
    if (arguments.size() == 2 && arguments[0] == "clean") {
        platform::removeStaleTemporaryFiles(arguments[1]);
        return 0;
    }
    if (arguments.size() == 3 && arguments[0] == "hash") {
        std::ofstream(arguments[2]) << platform::keyHash(arguments[1]);
        return 0;
    }
    if (arguments.size() >= 5 && arguments[0] == "hold") return testsupport::holdLock(arguments);
    return 2;
}

}  // namespace

QUORVEX_TEST_HELPER(platformHelper)

TEST(PropertyList, RoundTripKeepsTypesValuesAndKeyOrder) {
    Value original = sample();
    std::string xml = platform::serializePropertyList(original);
    auto back = platform::parsePropertyList(xml);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, original);
    EXPECT_EQ(back->dictionary().keys(),
              (std::vector<std::string>{"b", "a", "big", "list", "empty", "ünïcødé"}));
    EXPECT_EQ((*back)["list"].array()[5].dictionary().keys(),
              (std::vector<std::string>{"zeta", "alpha"}));
    EXPECT_TRUE((*back)["b"].isInteger());
    EXPECT_TRUE((*back)["a"].isReal());
}

// A hostile file's dictionary of a great many keys is read and changed in
// linear time in file order; a repeated key keeps its first place, last value.
TEST(PropertyList, AHugeDictionaryReadsInFileOrder) {
    constexpr int kKeys = 300'000;
    std::string body = "<dict>";
    for (int i = 0; i < kKeys; ++i)
        body += "<key>k" + std::to_string(i) + "</key><integer>" + std::to_string(i) + "</integer>";
    auto back =
        platform::parsePropertyList(plistWith(body + "<key>k7</key><string>again</string></dict>"));
    ASSERT_TRUE(back);
    Dictionary& d = back->dictionary();
    ASSERT_EQ(d.size(), size_t(kKeys));
    EXPECT_EQ(d.begin()[7].first, "k7");
    EXPECT_EQ(d["k7"], Value("again"));
    EXPECT_TRUE(d.remove("k150000"));
    EXPECT_EQ(d.begin()[150000].first, "k150001");
    EXPECT_EQ(d["k299998"], Value(299998));
    EXPECT_EQ(*platform::parsePropertyList(platform::serializePropertyList(*back)), *back);
}

TEST(PropertyList, RealsKeepIntegerDistinctionAndPrecision) {
    for (float f : {0.1f, 1.0f / 3.0f, 16777217.0f, -1e-30f, 3.4028235e38f}) {
        auto back = platform::parsePropertyList(platform::serializePropertyList(Value(f)));
        ASSERT_TRUE(back);
        ASSERT_TRUE(back->isReal());
        EXPECT_EQ(back->floatValue(), f);
    }
    for (double d : {0.1, 1e300, -5e-324, 2.0}) {
        auto back = platform::parsePropertyList(platform::serializePropertyList(Value(d)));
        ASSERT_TRUE(back && back->isReal());
        EXPECT_EQ(back->realValue(), d);
    }
    auto inf = platform::parsePropertyList(
        platform::serializePropertyList(Value(std::numeric_limits<double>::infinity())));
    ASSERT_TRUE(inf);
    EXPECT_TRUE(std::isinf(inf->realValue()));
    auto whole = platform::parsePropertyList(plistWith("<real>2</real>"));
    ASSERT_TRUE(whole);
    EXPECT_TRUE(whole->isReal());
    auto integer = platform::parsePropertyList(plistWith("<integer>2</integer>"));
    ASSERT_TRUE(integer);
    EXPECT_TRUE(integer->isInteger());
    EXPECT_FALSE(*whole == *integer);
}

TEST(PropertyList, ReadsWhatOtherWritersProduce) {
    auto v = platform::parsePropertyList(
        "<?xml version=\"1.0\"?>\n<!DOCTYPE plist SYSTEM \"x.dtd\">\n<plist version=\"1.0\">\n"
        "<dict>\n\t<key>n</key>\n\t<integer> +17 </integer>\n\t<key>h</key><integer>0x1F</integer>"
        "<key>d</key><data>\n  AAEC\n  /w==\n</data><key>e</key><string/>"
        "<key>t</key><date>2001-01-01T00:00:00Z</date>"
        "<key>u</key><integer>18446744073709551615</integer>"
        "<key>big</key><integer>-99999999999999999999</integer></dict></plist>");
    ASSERT_TRUE(v);
    EXPECT_EQ((*v)["n"].integerValue(), 17);
    EXPECT_EQ((*v)["h"].integerValue(), 31);
    EXPECT_EQ((*v)["d"].data(), (Value::Data{0, 1, 2, 0xFF}));
    EXPECT_TRUE((*v)["e"].isString());
    EXPECT_EQ((*v)["t"].date().secondsSince1970, 978307200.0);
    EXPECT_EQ((*v)["u"].integerValue(), -1);  // unsigned 64-bit keeps its bits
    // Beyond 64 bits, still a number of its size and sign: out of range.
    EXPECT_EQ((*v)["big"], Value(-1e20));
}

TEST(PropertyList, MalformedInputGivesAnErrorNotACrash) {
    const char* bad[] = {
        "",
        "not xml at all",
        "<plist><dict><key>a</key></dict></plist>",        // key without value
        "<plist><dict><string>x</string></dict></plist>",  // value without key
        "<plist><integer>12x</integer></plist>",
        "<plist><integer>99999999999999999999x</integer></plist>",
        "<plist><real>1.5.5</real></plist>",
        "<plist><data>@@@@</data></plist>",
        "<plist><data>AA==AA</data></plist>",
        "<plist><date>yesterday</date></plist>",
        "<plist><date>2020-13-01T00:00:00Z</date></plist>",
        "<plist><banana/></plist>",
        "<plist></plist>",
        "<notplist><string>x</string></notplist>",
        "<plist><array><string>x</string>",  // truncated
    };
    for (const char* text : bad) {
        platform::Error error;
        EXPECT_FALSE(platform::parsePropertyList(text, &error)) << text;
        EXPECT_EQ(error.domain, platform::PropertyListErrorDomain) << text;
        EXPECT_FALSE(error.failureReason.empty()) << text;
    }
}

// Damage is told in words and where, the parser's report logged; a large
// file that is no property list, or turns into zeros, is told so without
// being read whole.
TEST(PropertyList, DamageIsToldInWordsAndWhere) {
    platform::LogCapture capture;
    testsupport::ScratchDir dir;
    const fs::path file = dir.path() / "a.plist";
    const struct {
        const char* head;
        uintmax_t size;
        const char* reason;
        unsigned long long mostRead;
    } cases[] = {
        {"<?xml version=\"1.0\"?>\n<plist>\n<dict>\n<key>a</key>\n<string>x</strin>\n", 0,
         "the file is cut short or damaged near line 5", 1u << 20},
        {"<plist>\n<array>\n<string>x</string>\n", 0,
         "the file is cut short or damaged near line 3", 1u << 20},
        {" \n", 0, "the file is empty", 1u << 20},
        {"", 64u << 20, "the file is not a property list", 1u << 20},
        {"<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<array>\n", 64u << 20,
         "the file is cut short or damaged near line 4", 4u << 20},
    };
    for (const auto& c : cases) {
        std::ofstream(file) << c.head;
        if (c.size) fs::resize_file(file, c.size);
        platform::Error error;
        const auto before = testsupport::bytesReadSoFar();
        EXPECT_FALSE(
            platform::readPropertyList(file, &error, std::numeric_limits<uintmax_t>::max()));
        EXPECT_LT(testsupport::bytesReadSoFar() - before, c.mostRead);
        EXPECT_EQ(error.failureReason, c.reason);
    }
    EXPECT_TRUE(capture.contains("the XML parser reports \""));
    platform::Error error;
    EXPECT_FALSE(platform::parsePropertyList(std::string(64, '\0'), &error));
    EXPECT_EQ(error.failureReason, "the file is not a property list");
}

// An empty element's text has no address: the sanitizer build stops on a
// null pointer handed to the comparison.
TEST(PropertyList, EmptyElementsInAnArrayFileAreScanned) {
    testsupport::ScratchDir dir;
    const fs::path file = dir.path() / "a.plist";
    const Value entry(Dictionary{{"id", "/a.dng"}, {"name", ""}, {"list", Value::Array{}}});
    ASSERT_TRUE(platform::writePropertyList(Value(Value::Array{entry}), file));
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    int canonical = 0;
    EXPECT_TRUE(platform::scanArrayFile(fd, "id", [&](platform::ArrayElementInfo&& info) {
        canonical += info.canonical;
        return true;
    }));
    ::close(fd);
    EXPECT_EQ(canonical, 1);
}

// Another run clearing killed writers' leftovers mid-write spares the
// writer's own temporary file.
TEST(PropertyList, AWriteUnderWaySurvivesACleanUpFromAnotherProcess) {
    testsupport::ScratchDir dir;
    const fs::path file = dir.path() / "catalog.plist";
    platform::Error error;
    EXPECT_TRUE(platform::writeFileAtomically(
        file,
        [&](int fd) {
            return platform::writeAll(fd, "<plist><array>") &&
                   testsupport::waitForHelper(testsupport::spawnHelper({"clean", file.string()})) ==
                       0 &&
                   platform::writeAll(fd, "</array></plist>");
        },
        &error))
        << error.failureReason;
    EXPECT_TRUE(platform::readPropertyList(file));
}

TEST(PropertyList, DeepNestingIsRefused) {
    std::string body;
    for (int i = 0; i < 100000; ++i) body += "<array>";
    for (int i = 0; i < 100000; ++i) body += "</array>";
    platform::Error error;
    EXPECT_FALSE(platform::parsePropertyList(plistWith(body), &error));
    EXPECT_NE(error.failureReason.find("deep"), std::string::npos);
}

TEST(PropertyList, FilesAreWrittenAtomicallyAndKeepTheirMode) {
    testsupport::ScratchDir scratch;
    auto file = scratch.path() / "settings.plist";
    ASSERT_TRUE(platform::writePropertyList(sample(), file));
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    Value changed = sample();
    changed.dictionary().set("b", Value(7));
    ASSERT_TRUE(platform::writePropertyList(changed, file));
    auto back = platform::readPropertyList(file);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, changed);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary file is left beside it.
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(scratch.path())) (void)e, ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(PropertyList, FileFailuresAreReported) {
    testsupport::ScratchDir scratch;
    platform::Error error;
    EXPECT_FALSE(platform::readPropertyList(scratch.path() / "missing.plist", &error));
    EXPECT_EQ(error.domain, platform::PosixErrorDomain);
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_FALSE(
        platform::writePropertyList(Value(1), scratch.path() / "no" / "dir.plist", &error));
    EXPECT_FALSE(platform::readPropertyList(scratch.path(), &error));  // a folder

    auto truncated = scratch.path() / "truncated.plist";
    std::string full = platform::serializePropertyList(sample());
    std::ofstream(truncated) << full.substr(0, full.size() / 2);
    EXPECT_FALSE(platform::readPropertyList(truncated, &error));
    EXPECT_EQ(error.domain, platform::PropertyListErrorDomain);

    // A FIFO in a settings file's place is refused, not waited on, and
    // never written over.
    const auto fifo = scratch.path() / "Defaults.plist";
    ASSERT_TRUE(testsupport::makeFifo(fifo));
    EXPECT_TRUE(testsupport::finishesWithoutBlocking(
        fifo, [&] { EXPECT_FALSE(platform::readPropertyList(fifo, &error)); }));
    EXPECT_NE(error.failureReason.find("not a regular file"), std::string::npos);
    EXPECT_FALSE(platform::writePropertyList(Value(1), fifo, &error));
}

TEST(PropertyList, Base64MatchesKnownVectors) {
    auto bytes = [](const char* s) { return Value::Data(s, s + std::strlen(s)); };
    EXPECT_EQ(platform::base64Encode(bytes("")), "");
    EXPECT_EQ(platform::base64Encode(bytes("f")), "Zg==");
    EXPECT_EQ(platform::base64Encode(bytes("fo")), "Zm8=");
    EXPECT_EQ(platform::base64Encode(bytes("foo")), "Zm9v");
    EXPECT_EQ(platform::base64Encode(bytes("foobar")), "Zm9vYmFy");
    EXPECT_EQ(platform::base64Decode("Zm9v YmE="), bytes("fooba"));
    EXPECT_FALSE(platform::base64Decode("Zm9vY"));  // dangling 6 bits
}
