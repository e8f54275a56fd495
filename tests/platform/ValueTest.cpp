#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <set>
#include <string_view>

#include "platform/KeyHash.h"
#include "platform/PropertyList.h"
#include "platform/Value.h"
#include "support/TestSupport.h"

using platform::Dictionary;
using platform::Value;

TEST(Value, NumbersConvertOnRequestButKeepTheirType) {
    EXPECT_EQ(Value(2.9).integerValue(), 2);
    EXPECT_EQ(Value(-2.9).integerValue(), -2);
    EXPECT_EQ(Value(1e300).integerValue(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(Value(std::numeric_limits<double>::quiet_NaN()).integerValue(), 0);
    EXPECT_DOUBLE_EQ(Value(3).realValue(), 3.0);
    EXPECT_TRUE(Value(0.5).boolValue());
    EXPECT_FALSE(Value(0).boolValue(true));
    EXPECT_EQ(Value("7").integerValue(5), 5);  // strings are not numbers
    EXPECT_TRUE(Value(uint16_t{7}).isInteger());
    EXPECT_TRUE(Value('x').isInteger());
    EXPECT_TRUE(Value("x").isString());  // not bool
    EXPECT_FALSE(Value(1) == Value(1.0));
}

TEST(Value, DictionaryKeepsInsertionOrderAndReplacesInPlace) {
    Dictionary d;
    d.set("c", 1);
    d.set("a", 2);
    d.set("b", 3);
    d.set("a", 20);
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"c", "a", "b"}));
    EXPECT_EQ(d["a"].integerValue(), 20);
    EXPECT_TRUE(d["missing"].isNull());
    EXPECT_TRUE(d.remove("c"));
    EXPECT_FALSE(d.remove("c"));
    Dictionary other{{"b", 3}, {"a", 20}};
    EXPECT_EQ(d, other);  // order does not matter for equality
}

// Keys that std::hash stacks in one run of a table's slots (a Defaults.plist
// of 100,000 took 25 s to read) spread in the dictionaries' own hash.
TEST(Value, KeysBuiltToCollideInStdHashSpreadInTheDictionaryHash) {
    std::vector<std::string> keys;
    for (uint64_t i = 0; keys.size() < 2048; ++i) {
        std::string key = "k" + std::to_string(i);
        if (((std::hash<std::string_view>{}(key) >> 12) & 0x1FF) == 0) keys.push_back(key);
    }
    // About 4 keys for each value of those bits, and of the low bits a table
    // of 4,096 slots uses; a value drawn 24 times or more is no chance.
    for (int shift : {12, 0}) {
        SCOPED_TRACE(shift);
        std::vector<int> count(512);
        for (const auto& key : keys) ++count[(platform::keyHash(key) >> shift) & 0x1FF];
        EXPECT_LT(*std::max_element(count.begin(), count.end()), 24);
    }
}

// The key differs from run to run: one file's keys cannot be built to
// collide in every run of the program.
TEST(Value, TheDictionaryHashDiffersBetweenProcesses) {
    testsupport::ScratchDir dir;
    const auto report = dir.path() / "hash";
    std::set<std::string> hashes{std::to_string(platform::keyHash("Quorvex_UUID"))};
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(testsupport::waitForHelper(
                      testsupport::spawnHelper({"hash", "Quorvex_UUID", report.string()})),
                  0);
        std::ifstream in(report);
        hashes.emplace(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_EQ(hashes.size(), 3u);
}

TEST(Value, TypedAccessOnTheWrongTypeIsSafe) {
    Value v(5);
    EXPECT_TRUE(v.string().empty());
    EXPECT_TRUE(v.array().empty());
    EXPECT_TRUE(v["key"].isNull());
    EXPECT_TRUE(v.data().empty());
    v.array().push_back(Value(1));  // mutable access turns it into an array
    EXPECT_TRUE(v.isArray());
    EXPECT_EQ(v.array().size(), 1u);
}

namespace {
// Stands in for a profile object inside a settings dictionary.
class NamedObject : public platform::Object {
public:
    explicit NamedObject(std::string n) : name(std::move(n)) {}
    std::string className() const override { return "NamedObject"; }
    bool isEqualTo(const platform::Object& other) const override {
        auto* o = dynamic_cast<const NamedObject*>(&other);
        return o && o->name == name;
    }
    platform::Value objectSerializeForPList() const override {
        return platform::Dictionary{{"Class_of_serialized_Object", className()}, {"name", name}};
    }
    std::string name;
};
}  // namespace

TEST(ValueObject, HeldByReferenceComparedByContentWrittenSerialised) {
    auto a = std::make_shared<NamedObject>("x");
    platform::Value v(a);
    ASSERT_TRUE(v.isObject());
    EXPECT_EQ(v.objectAs<NamedObject>().get(), a.get());
    EXPECT_EQ(v, platform::Value(std::make_shared<NamedObject>("x")));
    EXPECT_NE(v, platform::Value(std::make_shared<NamedObject>("y")));
    EXPECT_TRUE(platform::Value(std::shared_ptr<NamedObject>()).isNull());
    EXPECT_EQ(platform::Value(3).object(), nullptr);

    platform::Dictionary settings{{"Quorvex_Profile", v}, {"Quorvex_Exposure", 0.5}};
    auto back = platform::parsePropertyList(platform::serializePropertyList(settings));
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["Quorvex_Profile"]["Class_of_serialized_Object"].stringValue(),
              "NamedObject");
    EXPECT_EQ((*back)["Quorvex_Profile"]["name"].stringValue(), "x");
}
